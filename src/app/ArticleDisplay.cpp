#include "app/ArticleDisplay.h"

#include "app/review/ArticleRows.h"

#include "session/CacheApi.h"
#include "app/Freshness.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "text/TextHelpers.h"

#include <QLabel>

#include <algorithm>
#include <vector>

using namespace cacheapi;

void ArticleDisplay::showRows(const QStringList &articleNumbers) {
    if (articleNumbers.isEmpty() || m_listKey.isEmpty())
        return;
    // In number order the rows are found by one walk along the list.
    QStringList wanted = articleNumbers;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    ArticleRows rows(&m_articles);
    // The shown numbers stay in order, so that each answer's row is found by a binary search.
    QStringList shown;
    shown.reserve(wanted.size());
    std::vector<int> rowOf;
    rowOf.reserve(size_t(wanted.size()));
    for (const QString &number : std::as_const(wanted))
        if (const int row = rows.find(number); row >= 0) {
            shown << number;
            rowOf.push_back(row);
        }
    if (shown.isEmpty())
        return;
    ServerBusy busy;
    QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("ArtikelZeilen"));
    query->execute({m_listKey, shown.join(kLF)});
    while (query->next()) {
        const QString number = mainlogic::CellText(query->column(2));
        const auto found = std::lower_bound(shown.cbegin(), shown.cend(), number);
        if (found != shown.cend() && *found == number)
            showRow(rowOf[size_t(found - shown.cbegin())], query->column(2), query->column(3), query->column(4),
                    query->column(5));
    }
    query->close();
}

void ArticleDisplay::showProposalsTaken(const std::vector<int> &rows) {
    KxList *list = &m_articles;
    for (const int row : rows) {
        const QString text = list->rowText(row);
        const QString taken = mainlogic::ArticleRowWithProposalTaken(text);
        if (taken != text)
            list->setRowText(row, taken);
    }
}

void ArticleDisplay::showGivenRows(const QList<QVariantList> &rows) {
    ArticleRows rowOf(&m_articles);
    for (const QVariantList &columns : rows) {
        if (columns.size() < 5)
            continue;
        if (const int row = rowOf.find(mainlogic::CellText(columns[1])); row >= 0)
            showRow(row, columns[1], columns[2], columns[3], columns[4]);
    }
}

void ArticleDisplay::showRow(int row, const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                             const QVariant &proposedSupplier) {
    const QString text = mainlogic::ArticleRow(number, description, mainSupplier, proposedSupplier);
    if (text != m_articles.rowText(row))
        m_articles.setRowText(row, text);
}

bool ArticleDisplay::showCurrent(bool inPlace) {
    const int r = m_articles.currentRow();
    if (r < 0)
        return false;
    const QString articleRow = m_articles.rowText(r);
    const QString article = Piece(articleRow, kLF, 1);
    struct Supplier {
        QString id;
        QString text; // the server's supplier text
        QString row;  // as the supplier list shows it
        bool active;
        std::optional<bool> main; // empty: the server does not tell
        mainlogic::PriceHistory history;
    };
    // A price of the history: a number in euros, or null for none.
    const auto euros = [](const QVariant &value) -> std::optional<double> {
        bool ok = false;
        const double price = value.toDouble(&ok);
        return value.isNull() || !ok ? std::nullopt : std::optional<double>(price);
    };
    QList<Supplier> suppliers;
    QString stamp;
    {
        ServerBusy busy;
        QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("ArtikelLief"));
        query->execute({m_listKey, article});
        while (query->next()) {
            const QVariant main = query->column(7);
            const QVariant supplier = query->column(2);
            suppliers.append({mainlogic::CellText(query->column(1)), mainlogic::CellText(supplier),
                              mainlogic::SupplierRow(supplier, query->column(3), query->column(4), query->column(5)),
                              mainlogic::CellText(query->column(6)) == QLatin1String("J"),
                              main.isNull() ? std::nullopt
                                            : std::optional<bool>(main.toString() == QLatin1String("J")),
                              {euros(query->column(8)), mainlogic::CellText(query->column(9)),
                               mainlogic::CellText(query->column(10)), euros(query->column(11)),
                               mainlogic::CellText(query->column(12)), mainlogic::CellText(query->column(13))}});
        }
        stamp = query->stamp();
        query->close();
    }
    KxList *lilief = &m_suppliers;
    if (inPlace) {
        if (lilief->rowCount() != suppliers.size())
            return false;
        for (int i = 0; i < suppliers.size(); ++i)
            if (lilief->hiddenText(i) != suppliers[i].id)
                return false;
    }
    // The history may change without the rows: a coming price leaves the price shown as it is.
    m_priceHistory.clear();
    for (const Supplier &s : suppliers)
        m_priceHistory.insert(s.id, s.history);
    // The entries name their main supplier; a server that does not tell leaves it to the row's
    // "Haupt-Lief", compared by the suppliers' leading numbers.
    bool flagged = false;
    QString mainSupplier;
    for (const Supplier &s : suppliers)
        if (s.main) {
            flagged = true;
            if (*s.main)
                mainSupplier = Piece(s.row, kLF, 1);
        }
    const auto isMain = [&](const Supplier &s) {
        return s.main ? *s.main : mainlogic::IsMainSupplier(Piece(articleRow, kLF, 3), s.text);
    };
    if (!inPlace) {
        lilief->clear();
        m_freshness.cleared();
    }
    for (int i = 0; i < suppliers.size(); ++i) {
        const Supplier &s = suppliers[i];
        const int main = isMain(s) ? 1 : 0;
        const int active = s.active ? 1 : 0;
        if (!inPlace) {
            lilief->addRow(s.row);
            if (main)
                lilief->setCurrentRow(i);
            lilief->setCheckState(i, kHauptlieferant, main);
            lilief->setCheckState(i, kAktiv, active);
            lilief->setHiddenText(i, s.id);
            continue;
        }
        // The same entry with another text: its price or unit changed in the master data (an import),
        // or its supplier's name. The row follows where it stands, the clerk's place stays.
        if (lilief->rowText(i) != s.row)
            lilief->setRowText(i, s.row);
        if (lilief->checkState(i, kAktiv) != active)
            lilief->setCheckState(i, kAktiv, active);
        if (lilief->checkState(i, kHauptlieferant) != main)
            lilief->setCheckState(i, kHauptlieferant, main);
    }
    if (flagged) {
        const QString text = mainlogic::ArticleRowWithMainSupplier(articleRow, mainSupplier);
        if (text != articleRow)
            m_articles.setRowText(r, text);
    }
    m_freshness.filled(m_listKey, article, stamp);
    m_suppliersShown(); // an "Aktiv" switch changes which offers are compared
    return true;
}
