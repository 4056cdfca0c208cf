#pragma once

#include "session/Factory.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class ArticleDisplay;
class KxList;
class QTimer;

// While the program is connected and idle, another workstation's accepted change to the loaded
// update shows by itself: the article row's "Haupt-Lief" and, for the current article, the supplier
// cells. It asks the factory's cheap "what changed?" about twice a second, only when no handler runs
// and no box or dialog is open; it never connects, never moves the current row, the selection or the
// scroll position, and a failing look shows nothing (the next action reconnects as ever).
class LiveView : public QObject {
    Q_OBJECT
public:
    // Watches the list whose key `listKey` holds (empty: none) for the window `parent`, whose article
    // list is `articles`; shows what it finds through `display`.
    LiveView(QObject *parent, const KxList &articles, const QString &listKey, ArticleDisplay &display);

    // One look, as the timer takes it; tests call it to wait for the effect without a fixed sleep.
    void look();
    // Starts watching a list that is about to be read into the window (called by the load).
    void watch(const QString &listKey);
    // The articles changed elsewhere: their rows, and the current one's supplier cells.
    void apply(const QStringList &articles);
    // The same with the rows the look brought along.
    void apply(const cacheapi::ChangedArticles &changes);

    static constexpr int kIntervalMs = 400;

private:
    const KxList &m_articles;
    const QString &m_listKey;
    ArticleDisplay &m_display;
    QTimer *m_timer = nullptr;
    // What the last look saw of the loaded list: kept here, not in the connection, so that the look
    // after a reconnect shows what colleagues did meanwhile.
    QVariantMap m_since;
};
