// The article rules checked on the state a call would leave, before anything is written: the same
// rules, with the same words, as checkArticles and checkLists find on the stored state (which the
// writing phase asks again under the lock).

#include "ImportRun.h"

#include <QSet>

#include <map>

namespace kxexchange {

void ImportRun::checkRulesAhead() {
    if (!m_pairsLoaded)
        return; // neither articles nor pairs in the call: no article is named
    // The pairs of each article.
    QHash<qint64, QList<QPair<qint64, qint64>>> byArticle;
    for (auto it = m_pairs.constBegin(); it != m_pairs.constEnd(); ++it)
        byArticle[it.key().first] << it.key();
    // The articles the call named, in article-number order as the stored-state check reports them.
    std::map<QString, const Article *> named;
    for (auto it = m_articles.constBegin(); it != m_articles.constEnd(); ++it)
        if (it->touchedLine != 0)
            named.emplace(it.key(), &it.value());

    for (const auto &[number, article] : named) {
        QSet<qint64> active;
        for (const auto &key : byArticle.value(article->id))
            if (m_pairs.value(key).active == 'J')
                active.insert(key.second);
        const QString where = touchedAt(number);
        if (active.isEmpty())
            fileError(where, QStringLiteral("der Artikel %1 hätte danach keinen aktiven Lieferanten (erwartet: "
                                            "mindestens ein Lieferant mit Aktiv J)")
                                 .arg(number));
        else if (article->main != 0 && !active.contains(article->main))
            fileError(where, QStringLiteral("der Hauptlieferant %1 des Artikels %2 wäre danach keiner seiner aktiven "
                                            "Lieferanten")
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
                       " l.run JOIN upd_artikel u ON u.run = l.run LEFT JOIN liste_haupt h ON h.liste = l.id AND"
                       " h.artikel = u.artikel WHERE r.firma = ? AND (EXISTS (SELECT 1 FROM liste_aend x WHERE"
                       " x.liste = l.id AND x.artikel = u.artikel) OR h.liste IS NOT NULL)"),
        {m_request.firma});
    QHash<qint64, QString> numbers; // article id -> number, of the named articles
    for (const auto &[number, article] : named)
        numbers.insert(article->id, number);
    std::map<std::pair<QString, qint64>, QString> failures; // (article number, run) -> reason
    while (m_db.next(lists)) {
        const qint64 list = lists.value(0).toLongLong();
        const auto number = numbers.constFind(lists.value(2).toLongLong());
        if (number == numbers.constEnd())
            continue;
        const Article *article = named.at(*number);
        const QList<QPair<qint64, qint64>> entries = byArticle.value(article->id);
        if (entries.isEmpty())
            continue;
        const bool ownMain = !lists.value(3).isNull();
        const qint64 main = ownMain ? (lists.value(4).isNull() ? 0 : lists.value(4).toLongLong()) : article->main;
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
            failures.emplace(std::make_pair(*number, lists.value(1).toLongLong()), reason);
    }
    for (const auto &[key, reason] : failures)
        fileError(touchedAt(key.first), QStringLiteral("der Artikel %1 hätte danach in der Artikelliste des Updates %2 "
                                                       "(mit ihren noch nicht gespeicherten Änderungen) %3")
                                            .arg(key.first)
                                            .arg(key.second)
                                            .arg(reason));
}

} // namespace kxexchange
