#include "app/LiveView.h"

#include "app/ArticleDisplay.h"
#include "session/CacheApi.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "text/TextHelpers.h"

#include <QApplication>
#include <QTimer>

using namespace cacheapi;

LiveView::LiveView(QObject *parent, const KxList &articles, const QString &listKey, ArticleDisplay &display)
    : QObject(parent), m_articles(articles), m_listKey(listKey), m_display(display), m_timer(new QTimer(this)) {
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
    if (!gFactory || m_listKey.isEmpty() || !m_articles.isEnabled())
        return;
    try {
        cacheapi::ChangedArticles changes;
        {
            ServerBusy busy;
            changes = gFactory->takeChangedArticles(m_listKey, m_since);
        }
        apply(changes);
    } catch (const ServerError &) {
        // A lost connection is found by the next action, which reconnects; nothing is shown here.
    }
}

void LiveView::watch(const QString &listKey) {
    // Taken before the list is read: a change committed from here on is news at the first look,
    // however long that look waits for the clerk to be idle; one committed before is on the screen.
    ServerBusy busy;
    m_since.clear();
    gFactory->takeChanges(listKey, m_since);
}

void LiveView::apply(const QStringList &articles) {
    cacheapi::ChangedArticles changes;
    changes.articles = articles;
    changes.unread = articles;
    apply(changes);
}

void LiveView::apply(const cacheapi::ChangedArticles &changes) {
    if (changes.articles.isEmpty())
        return;
    const int current = m_articles.currentRow();
    const QString currentNumber = current < 0 ? QString() : Piece(m_articles.rowText(current), kLF, 1);
    // The changed rows: those the look brought, the others in one request; an article the list does
    // not hold is ignored.
    m_display.showGivenRows(changes.rows);
    m_display.showRows(changes.unread);
    // The current article's cells in place: only when the list still holds exactly these entries
    // (otherwise the next click finds the screen stale and refreshes it whole).
    if (current >= 0 && changes.articles.contains(currentNumber))
        m_display.showCurrent(true);
}
