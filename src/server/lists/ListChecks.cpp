// A unit's pending entry writes, checked against the supplier rules and sent in as few statements as
// the backend allows, just before its commit.
#include "server/db/JsonRows.h"
#include "server/lists/ListsDetail.h"
#include "session/ServerErrorCodes.h"
#include "server/lists/UpdateLists.h"

#include <map>
#include <set>

namespace kxserver {

SqlConnection::Statement lists::MarkMovedEntries(Backend backend, qint64 list, const std::set<qint64> &articles) {
    const QString differs =
        QStringLiteral("(COALESCE(liste_aend.laktiv, al.aktiv) <> al.aktiv OR COALESCE(liste_aend.hlief,"
                       " CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END) <>"
                       " CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END)");
    const QVariant ids = IdListValue(backend, std::vector<qint64>(articles.begin(), articles.end()));
    if (backend == Backend::Sqlite)
        return {QStringLiteral("UPDATE liste_aend SET aendsw = 1 WHERE liste = ? AND %2 AND COALESCE(aendsw, 0) = 0"
                               " AND EXISTS (SELECT 1 FROM artlief al JOIN artikel a ON a.id = al.artikel"
                               " WHERE al.id = liste_aend.artlief AND %1)")
                    .arg(differs, InIdList(backend, QStringLiteral("artikel"))),
                {list, ids}};
    // The entries reached through the master data's indexed pairs, never by comparing each of the
    // list's changes with a list of numbers (what the planner does when the statistics count the
    // list's changes as none: 100,000 changes against 20,000 articles took over 30 s).
    return {QStringLiteral("UPDATE liste_aend SET aendsw = 1 FROM artlief al JOIN artikel a ON a.id = al.artikel"
                           " WHERE liste_aend.liste = ? AND al.id = liste_aend.artlief"
                           " AND %2 AND COALESCE(liste_aend.aendsw, 0) = 0 AND %1")
                .arg(differs, InIdList(backend, QStringLiteral("al.artikel"))),
            {list, ids}};
}

std::vector<SqlConnection::Statement> CheckTouchedArticles(SqlConnection &connection) {
    UnitBook &book = lists::Unit(connection).book;
    // The pending writes by article; only the entries of a written article are copied to put them on.
    std::map<UnitBook::ArticleKey, std::vector<const UnitBook::PendingWrite *>> writesOf;
    for (const UnitBook::PendingWrite &w : book.pendingWrites().all())
        writesOf[{w.list, w.article}].push_back(&w);
    // The state after the writes: the entries read under the lock with the article's writes on them.
    const auto after = [&book](const UnitBook::ArticleKey &key,
                                     const std::vector<const UnitBook::PendingWrite *> &written) {
        const auto read = book.ruleEntries().find(key);
        std::vector<UnitBook::RuleEntry> entries;
        if (read != book.ruleEntries().end())
            entries = read->second;
        for (const UnitBook::PendingWrite *w : written)
            for (UnitBook::RuleEntry &entry : entries)
                if (entry.pair == w->pair) {
                    if (w->laktiv)
                        entry.laktiv = *w->laktiv;
                    if (w->hlief) {
                        entry.hlief = *w->hlief;
                        entry.listMain = true;
                    }
                }
        return entries;
    };
    std::vector<SqlConnection::Statement> script;
    const Backend backend = connection.backend();
    // All entry writes as rows of one bound value per statement: a unit of 100,000 entries (taking
    // back all proposals) is 20 statements, each parsed once.
    const auto &writes = book.pendingWrites().all();
    JsonRows entries({QStringLiteral("bigint"), QStringLiteral("bigint"), QStringLiteral("bigint"),
                      QStringLiteral("text"), QStringLiteral("text"), QStringLiteral("integer"), QStringLiteral("text"),
                      QStringLiteral("text")});
    const QString entrySql =
        QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers,"
                       " aend_zeit) %1 ON CONFLICT (liste, artlief) DO UPDATE SET"
                       " laktiv = COALESCE(excluded.laktiv, liste_aend.laktiv),"
                       " hlief = COALESCE(excluded.hlief, liste_aend.hlief),"
                       " aendsw = COALESCE(excluded.aendsw, liste_aend.aendsw),"
                       " aend_pers = excluded.aend_pers, aend_zeit = excluded.aend_zeit")
            .arg(entries.select(backend));
    for (const UnitBook::PendingWrite &w : writes) {
        entries.number(w.list).number(w.pair).number(w.article).textOrNull(w.laktiv).textOrNull(w.hlief);
        entries.numberOrNull(w.aendsw ? std::optional<qint64>(*w.aendsw) : std::nullopt).text(w.by).text(w.when);
        entries.endRow();
        if (entries.rows() == kJsonRowsPerStatement)
            script.push_back({entrySql, {entries.take()}});
    }
    if (!entries.empty())
        script.push_back({entrySql, {entries.take()}});
    // A change mark of 0 says "no change": "Rückgängig" writes it back for an entry it returns to
    // where it was before the step. Should the master data have moved since (another list's or a
    // colleague's save), that entry now differs from its saved state and is a change after all.
    std::map<qint64, std::set<qint64>> unmarked; // list -> articles written with mark 0
    for (const UnitBook::PendingWrite &w : writes)
        if (w.aendsw && *w.aendsw == 0)
            unmarked[w.list].insert(w.article);
    for (const auto &[list, articleSet] : unmarked)
        script.push_back(lists::MarkMovedEntries(backend, list, articleSet));
    JsonRows mains({QStringLiteral("bigint"), QStringLiteral("bigint"), QStringLiteral("bigint")});
    const QString mainSql =
        QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief) %1"
                       " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief")
            .arg(mains.select(backend));
    for (const auto &[key, before] : book.rulesBefore()) {
        const qint64 list = key.first; // plain names: a lambda below captures them
        const qint64 article = key.second;
        const auto written = writesOf.find(key);
        if (written == writesOf.end())
            continue; // only read under the lock, never written
        const SupplierRules now = lists::RulesOf(after(key, written->second), before.articleNumber);
        QString reason;
        if (now.severalMains && !before.severalMains)
            reason = QStringLiteral("mehr als einen Hauptlieferanten");
        else if (now.inactiveMain && !before.inactiveMain)
            reason = QStringLiteral("einen inaktiven Hauptlieferanten");
        else if (now.noneActive && !before.noneActive)
            reason = QStringLiteral("keinen aktiven Lieferanten");
        if (!reason.isEmpty())
            throw Error(kRejected,
                        QStringLiteral("Die Änderung wurde abgelehnt: Artikel %1 hätte danach %2. Vermutlich wurde "
                                       "er inzwischen an einem anderen Arbeitsplatz geändert. Nichts davon wurde "
                                       "gespeichert.")
                            .arg(before.articleNumber, reason));
        book.noteChecked(list, article, now);
        if (now.touchesMain) {
            mains.number(list).number(article).numberOrNull(now.mainSupplier ? std::optional<qint64>(now.mainSupplier)
                                                                             : std::nullopt);
            mains.endRow();
            if (mains.rows() == kJsonRowsPerStatement)
                script.push_back({mainSql, {mains.take()}});
        }
    }
    if (!mains.empty())
        script.push_back({mainSql, {mains.take()}});
    return script;
}

} // namespace kxserver
