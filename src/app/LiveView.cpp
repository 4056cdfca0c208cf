#include "LiveView.h"

#include "CacheApi.h"
#include "FMStart.h"
#include "Freshness.h"
#include "KxList.h"
#include "MainLogic.h"
#include "TextHelpers.h"

#include <QApplication>
#include <QSet>
#include <QTimer>

using namespace cacheapi;

namespace {

const QString kClass = QStringLiteral("UpdateVelka.Hauptlief");
const QString kLF = QStringLiteral("\n");
constexpr int kAktiv = 5;
constexpr int kHauptlieferant = 6;

} // namespace

LiveView::LiveView(FMStart &window) : QObject(&window), m_window(window), m_timer(new QTimer(this)) {
    m_timer->setObjectName(QStringLiteral("liveView"));
    m_timer->setInterval(kIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &LiveView::look);
    m_timer->start();
}

void LiveView::look() {
    // Never inside a handler (also not in its nested event loop), never under an open box or dialog,
    // never while a list is loading.
    if (ProgramEnded() || HandlerRunning() || ServerBusy::active() || QApplication::activeModalWidget())
        return;
    if (!gFactory || m_window.artListKey.isEmpty() || !m_window.liart->isEnabled())
        return;
    try {
        QStringList changed;
        {
            ServerBusy busy;
            changed = gFactory->takeChanges(m_window.artListKey);
        }
        apply(changed);
    } catch (const ServerError &) {
        // A lost connection is found by the next action, which reconnects; nothing is shown here.
    }
}

void LiveView::watch(const QString &listKey) {
    // Taken before the list is read: a change committed from here on is news at the first look,
    // however long that look waits for the clerk to be idle; one committed before is on the screen.
    ServerBusy busy;
    gFactory->takeChanges(listKey);
}

void LiveView::apply(const QStringList &articles) {
    if (articles.isEmpty())
        return;
    // Another workstation's take-all names thousands of articles: a set keeps this one pass.
    const QSet<QString> wanted(articles.begin(), articles.end());
    KxList *liart = m_window.liart;
    for (int row = 0; row < liart->rowCount(); ++row) {
        const QString number = Piece(liart->rowText(row), kLF, 1);
        if (wanted.contains(number))
            refreshArticle(row, number); // an article not in the list is never found, so ignored
    }
}

bool LiveView::refreshArticle(int row, const QString &articleNumber) {
    FMStart &w = m_window;
    struct Supplier {
        QString id;
        QString text; // the server's supplier text, which lief_such compares with "Haupt-Lief"
        QString row;  // as the supplier list shows it
        bool active;
        bool main;
    };
    QList<Supplier> suppliers;
    QString stamp;
    {
        ServerBusy busy;
        QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("ArtikelLief"));
        query->execute({w.artListKey, articleNumber});
        while (query->next())
            suppliers.append(
                {mainlogic::CellText(query->column(1)), mainlogic::CellText(query->column(2)),
                 mainlogic::SupplierRow(query->column(2), query->column(3), query->column(4), query->column(5)),
                 mainlogic::CellText(query->column(6)) == QLatin1String("J"),
                 mainlogic::CellText(query->column(7)) == QLatin1String("J")});
        stamp = query->stamp();
        query->close();
    }
    QString mainSupplier;
    for (const Supplier &s : suppliers)
        if (s.main)
            mainSupplier = Piece(s.row, kLF, 1);
    const QString text = mainlogic::ArticleRowWithMainSupplier(w.liart->rowText(row), mainSupplier);
    if (text != w.liart->rowText(row))
        w.liart->setRowText(row, text);
    if (row != w.liart->currentRow())
        return true;
    // The current article's cells, in place: only when the list still holds exactly these entries
    // (otherwise the next click finds the screen stale and refreshes it whole).
    KxList *lilief = w.lilief;
    if (lilief->rowCount() != suppliers.size())
        return false;
    for (int i = 0; i < suppliers.size(); ++i)
        if (lilief->hiddenText(i) != suppliers[i].id || lilief->rowText(i) != suppliers[i].row)
            return false;
    for (int i = 0; i < suppliers.size(); ++i) {
        const int active = suppliers[i].active ? 1 : 0;
        const int main = mainlogic::IsMainSupplier(mainSupplier, suppliers[i].text) ? 1 : 0;
        if (lilief->checkState(i, kAktiv) != active)
            lilief->setCheckState(i, kAktiv, active);
        if (lilief->checkState(i, kHauptlieferant) != main)
            lilief->setCheckState(i, kHauptlieferant, main);
    }
    w.markPrices(); // an "Aktiv" switch changes which offers are compared
    w.freshness->filled(w.artListKey, articleNumber, stamp);
    return true;
}
