// A unit's pending entry writes, checked against the supplier rules and sent in as few statements as
// the backend allows, just before its commit.
#include "ListsDetail.h"
#include "ServerErrorCodes.h"
#include "UpdateLists.h"

#include <map>
#include <set>

namespace kxserver {

std::vector<SqlConnection::Statement> CheckTouchedArticles(SqlConnection &connection) {
    // The state after the writes: the entries read under the lock with the pending writes on them.
    UnitBook::RuleEntriesByArticle after = connection.book.ruleEntries();
    for (const UnitBook::PendingWrite &w : connection.book.pendingWrites().all()) {
        auto found = after.find({w.list, w.article});
        if (found == after.end())
            continue;
        for (UnitBook::RuleEntry &entry : found->second)
            if (entry.pair == w.pair) {
                if (w.laktiv)
                    entry.laktiv = *w.laktiv;
                if (w.hlief) {
                    entry.hlief = *w.hlief;
                    entry.listMain = true;
                }
            }
    }
    std::vector<SqlConnection::Statement> script;
    // All entry writes in as few statements as the database's limit on values allows. SQLite runs
    // in-process, so more statements cost no request; but Qt's driver looks up every bound value's
    // name in a list as long as the statement's values, so a statement of 4,000 values costs it
    // millions of steps: there, small statements.
    const size_t kRowsPerStatement = connection.backend() == Backend::Sqlite ? 25 : 500;
    const auto &writes = connection.book.pendingWrites().all();
    for (size_t from = 0; from < writes.size(); from += kRowsPerStatement) {
        const size_t to = std::min(writes.size(), from + kRowsPerStatement);
        QStringList rows;
        QVariantList values;
        for (size_t i = from; i < to; ++i) {
            const UnitBook::PendingWrite &w = writes[i];
            rows << QStringLiteral("(?, ?, ?, ?, ?, ?, ?, ?)");
            values << w.list << w.pair << w.article << lists::orNull(w.laktiv) << lists::orNull(w.hlief)
                   << (w.aendsw ? QVariant(qlonglong(*w.aendsw)) : NullNumber()) << w.by << w.when;
        }
        script.push_back(
            {QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers,"
                            " aend_zeit) VALUES %1 ON CONFLICT (liste, artlief) DO UPDATE SET"
                            " laktiv = COALESCE(excluded.laktiv, liste_aend.laktiv),"
                            " hlief = COALESCE(excluded.hlief, liste_aend.hlief),"
                            " aendsw = COALESCE(excluded.aendsw, liste_aend.aendsw),"
                            " aend_pers = excluded.aend_pers, aend_zeit = excluded.aend_zeit")
                 .arg(rows.join(QStringLiteral(", "))),
             values});
    }
    // A change mark of 0 says "no change": "Rückgängig" writes it back for an entry it returns to
    // where it was before the step. Should the master data have moved since (another list's or a
    // colleague's save), that entry now differs from its saved state and is a change after all.
    std::map<qint64, std::set<qint64>> unmarked; // list -> articles written with mark 0
    for (const UnitBook::PendingWrite &w : writes)
        if (w.aendsw && *w.aendsw == 0)
            unmarked[w.list].insert(w.article);
    for (const auto &[list, articleSet] : unmarked) {
        QVariantList articles;
        for (const qint64 article : articleSet)
            articles << article;
        for (qsizetype from = 0; from < articles.size(); from += lists::kParameterChunk) {
            const QVariantList chunk = articles.mid(from, lists::kParameterChunk);
            script.push_back(
                {QStringLiteral("UPDATE liste_aend SET aendsw = 1 WHERE liste = ? AND artikel IN (%1)"
                                " AND COALESCE(aendsw, 0) = 0 AND EXISTS (SELECT 1 FROM artlief al"
                                " JOIN artikel a ON a.id = al.artikel WHERE al.id = liste_aend.artlief AND"
                                " (COALESCE(liste_aend.laktiv, al.aktiv) <> al.aktiv OR COALESCE(liste_aend.hlief,"
                                " CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END) <>"
                                " CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END))")
                     .arg(lists::Placeholders(chunk.size())),
                 QVariantList{list} + chunk});
        }
    }
    for (const auto &[key, before] : connection.book.rulesBefore()) {
        const qint64 list = key.first; // plain names: a lambda below captures them
        const qint64 article = key.second;
        if (!connection.book.pendingWrites().touches(list, article))
            continue; // only read under the lock, never written
        const SupplierRules now = lists::RulesOf(after[key], before.articleNumber);
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
        connection.book.noteChecked(list, article, now);
        if (now.touchesMain)
            script.push_back(
                {QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (?, ?, ?)"
                                " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief"),
                 {list, article, IdOrNull(now.mainSupplier)}});
    }
    return script;
}

} // namespace kxserver
