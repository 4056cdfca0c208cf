// The article rules checked on the state a call would leave, before anything is written: the same
// rules, with the same words, as checkArticles and checkLists find on the stored state (which the
// writing phase asks again under the lock).

#include "server/exchange/ImportRun.h"
#include "server/lists/UpdateLists.h"

#include <QSet>

#include <algorithm>
#include <map>

namespace kxexchange {

void ImportRun::checkRulesAhead() {
    if (!m_pairsLoaded)
        return; // neither articles nor pairs in the call: no article is named
    // The articles the call named; their failures are reported in article-number order, as the
    // stored-state check reports them.
    std::vector<std::pair<QString, const Article *>> named;
    for (auto it = m_articles.constBegin(); it != m_articles.constEnd(); ++it)
        if (it->touchedLine != 0)
            named.emplace_back(it.key(), &it.value());
    const auto byNumber = [](const auto &a, const auto &b) { return a.first < b.first; };
    // Per named article: how many of its suppliers are active, and whether its main supplier is.
    struct Tally {
        qint64 main = 0;
        qint64 active = 0;
        bool mainActive = false;
    };
    QHash<qint64, Tally> tallies;
    tallies.reserve(qsizetype(named.size()));
    for (const auto &entry : named)
        tallies.insert(entry.second->id, {entry.second->main});
    for (auto it = m_pairs.constBegin(); it != m_pairs.constEnd(); ++it) {
        if (it->active != 'J')
            continue;
        const auto tally = tallies.find(it.key().first);
        if (tally == tallies.end())
            continue;
        ++tally->active;
        tally->mainActive = tally->mainActive || it.key().second == tally->main;
    }
    std::vector<std::pair<QString, const Article *>> failing;
    for (const auto &entry : named) {
        const Tally &tally = tallies[entry.second->id];
        if (tally.active == 0 || (entry.second->main != 0 && !tally.mainActive))
            failing.push_back(entry);
    }
    std::sort(failing.begin(), failing.end(), byNumber);
    for (const auto &[number, article] : failing) {
        const Tally &tally = tallies[article->id];
        if (tally.active == 0)
            fileError(touchedAt(number), QStringLiteral("der Artikel %1 hätte danach keinen aktiven Lieferanten "
                                                        "(erwartet: mindestens ein Lieferant mit Aktiv J)")
                                             .arg(number));
        else if (article->main != 0 && !tally.mainActive)
            fileError(touchedAt(number), QStringLiteral("der Hauptlieferant %1 des Artikels %2 wäre danach keiner "
                                                        "seiner aktiven Lieferanten")
                                             .arg(m_supplierNumbers.value(article->main))
                                             .arg(number));
    }
    if (!clean())
        return;

    // The prepared lists: their unsaved flags over the pairs' new state.
    QHash<QPair<qint64, qint64>, QString> listActive; // (list, supplier entry) -> J/N
    QSqlQuery changes = m_db.run(QStringLiteral("SELECT o.liste, o.artlief, o.laktiv FROM liste_aend o"
                                                " JOIN artliste l ON l.id = o.liste JOIN upd_run r ON r.id = l.run"
                                                " WHERE r.firma = ? AND o.laktiv IS NOT NULL"),
                                 {m_request.firma});
    while (m_db.next(changes))
        listActive.insert({changes.value(0).toLongLong(), changes.value(1).toLongLong()}, changes.value(2).toString());
    QSqlQuery lists = m_db.run(
        QStringLiteral("SELECT l.id, r.nr, u.artikel, h.liste, h.haupt_lief FROM artliste l JOIN upd_run r ON r.id ="
                       " l.run JOIN upd_artikel u ON u.run = l.run%1 WHERE r.firma = ? AND (%2 OR h.liste IS NOT NULL)")
            .arg(
                kxserver::lists::MainSupplierJoin(m_db.backend(), QStringLiteral("l.id"), QStringLiteral("u.artikel"),
                                                  "h"),
                kxserver::lists::ArticleHasChange(m_db.backend(), QStringLiteral("l.id"), QStringLiteral("u.artikel"))),
        {m_request.firma});
    QHash<qint64, std::pair<QString, const Article *>> numbers; // article id -> number, of the named articles
    for (const auto &entry : named)
        numbers.insert(entry.second->id, entry);
    // The rows first, then the pairs of just their articles.
    struct ListRow {
        qint64 list, run;
        std::pair<QString, const Article *> article;
        bool ownMain;
        qint64 main;
    };
    std::vector<ListRow> rows;
    QHash<qint64, QList<QPair<qint64, qint64>>> byArticle;
    while (m_db.next(lists)) {
        const auto number = numbers.constFind(lists.value(2).toLongLong());
        if (number == numbers.constEnd())
            continue;
        rows.push_back({lists.value(0).toLongLong(), lists.value(1).toLongLong(), *number, !lists.value(3).isNull(),
                        lists.value(4).isNull() ? 0 : lists.value(4).toLongLong()});
        byArticle.insert(number->second->id, {});
    }
    if (!byArticle.isEmpty())
        for (auto it = m_pairs.constBegin(); it != m_pairs.constEnd(); ++it)
            if (const auto entries = byArticle.find(it.key().first); entries != byArticle.end())
                *entries << it.key();
    std::map<std::pair<QString, qint64>, QString> failures; // (article number, run) -> reason
    for (const ListRow &row : rows) {
        const qint64 list = row.list;
        const QString *number = &row.article.first;
        const Article *article = row.article.second;
        const QList<QPair<qint64, qint64>> entries = byArticle.value(article->id);
        if (entries.isEmpty())
            continue;
        const qint64 main = row.ownMain ? row.main : article->main;
        int active = 0;
        bool mainActive = false;
        for (const auto &key : entries) {
            const Pair &pair = m_pairs[key];
            const QString flag = listActive.value({list, pair.id}, QString(QLatin1Char(pair.active)));
            if (flag == QLatin1String("J")) {
                ++active;
                mainActive = mainActive || key.second == main;
            }
        }
        const QString reason = active == 0                ? QStringLiteral("keinen aktiven Lieferanten")
                               : main != 0 && !mainActive ? QStringLiteral("einen inaktiven Hauptlieferanten")
                                                          : QString();
        if (!reason.isEmpty())
            failures.emplace(std::make_pair(*number, row.run), reason);
    }
    for (const auto &[key, reason] : failures)
        fileError(touchedAt(key.first), QStringLiteral("der Artikel %1 hätte danach in der Artikelliste des Updates %2 "
                                                       "(mit ihren noch nicht gespeicherten Änderungen) %3")
                                            .arg(key.first)
                                            .arg(key.second)
                                            .arg(reason));
}

} // namespace kxexchange
