// "Speichern": a list's changes applied to the master data, set-based, with the save log.
#include "server/lists/ListsDetail.h"
#include "session/ServerErrorCodes.h"
#include "server/lists/UpdateLists.h"

namespace kxserver::lists {

namespace {

// The save log: one row per applied change, who changed it, who saved it and when, with the flags
// the master data had before it (where the change sets them), and the list version of the save
// (raised by its lock, so a watching look finds the rows by it). Runs before the master data are
// written. Its columns are named here and nowhere else.
void logSavedChanges(SqlConnection &connection, qint64 list, const QString &saver, const QString &when) {
    connection.run(
        QStringLiteral("INSERT INTO speicher_log (liste, artlief, laktiv, hlief, laktiv_alt, hlief_alt, aend_pers,"
                       " gesp_pers, gesp_zeit, aend_nr) SELECT o.liste, o.artlief, o.laktiv, o.hlief,"
                       " CASE WHEN o.laktiv IS NULL THEN NULL ELSE al.aktiv END,"
                       " CASE WHEN o.hlief IS NULL THEN NULL WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END,"
                       " o.aend_pers, ?, ?, l.version FROM liste_aend o JOIN artliste l ON l.id = o.liste"
                       " JOIN artlief al ON al.id = o.artlief JOIN artikel a ON a.id = al.artikel"
                       " WHERE o.liste = ? AND COALESCE(o.aendsw, 0) <> 0"),
        {saver, when, list});
}

} // namespace

int Speichern(SqlConnection &connection, const QVariant &firma, const QVariant &listKey) {
    connection.ensureOpen();
    const QString saver = SessionPersonal(connection);
    const qint64 list = ListKey(listKey);
    const std::optional<qint64> company = WholeNumber(firma);
    const auto unknown = [&] {
        return Error(kUnknownList, QStringLiteral("Die Artikelliste \"%1\" der Firma \"%2\" existiert nicht.")
                                       .arg(listKey.toString(), firma.toString()));
    };
    if (list < 0 || !company)
        throw unknown();

    return connection.write([&] {
        // Writes of this unit waiting for its commit: the save must see them.
        if (!Unit(connection).book.pendingWrites().empty())
            connection.runScript(CheckTouchedArticles(connection));
        Unit(connection).book.writesSent();
        QSqlQuery owner = connection.run(
            QStringLiteral("SELECT r.firma FROM artliste l JOIN upd_run r ON r.id = l.run WHERE l.id = ?"), {list});
        if (!connection.next(owner) || owner.value(0).toLongLong() != *company)
            throw unknown();
        owner.finish();
        LockList(connection, list);
        Unit(connection).book.noteChanged(list);
        // On PostgreSQL the save goes through the database's door "speichern" (its own statements, as
        // below, with the server's time): a clerk's login may not write the master data or the log,
        // nor remove a list's rows. Every PostgreSQL database of this schema version has it.
        if (connection.backend() == Backend::Postgres) {
            QSqlQuery saved = connection.run(QStringLiteral("SELECT korvex.speichern(?, ?)"), {list, saver});
            return connection.next(saved) ? saved.value(0).toInt() : 0;
        }
        const QString when = SqlConnection::now();

        // Set-based, in a few statements whatever the number of changes: the list stays locked for
        // as short as possible (another clerk's click waits for it, and gives up after 5 seconds).
        QSqlQuery counted = connection.run(
            QStringLiteral("SELECT COUNT(*) FROM liste_aend WHERE liste = ? AND COALESCE(aendsw, 0) <> 0"), {list});
        const int changes = connection.next(counted) ? counted.value(0).toInt() : 0;
        counted.finish();
        if (changes > 0) {
            // Logged first, while the master data still hold what the changes replace.
            logSavedChanges(connection, list, saver, when);
            const QString changedEntry = QStringLiteral("(SELECT o.%1 FROM liste_aend o WHERE o.liste = ?"
                                                        " AND o.artlief = artlief.id)");
            connection.run(
                QStringLiteral("UPDATE artlief SET aktiv = %1, aend_pers = COALESCE(NULLIF(%2, ''), ?),"
                               " aend_zeit = ?, gesp_pers = ? WHERE id IN (SELECT artlief FROM liste_aend"
                               " WHERE liste = ? AND COALESCE(aendsw, 0) <> 0 AND laktiv IS NOT NULL)")
                    .arg(changedEntry.arg(QLatin1String("laktiv")), changedEntry.arg(QLatin1String("aend_pers"))),
                {list, list, saver, when, saver, list});
            // The main supplier lives once per article in the master data: the entry the saved
            // changes mark with "J" (unchanged entries keep what the master data say); who changed
            // it is the last entry's changer in supplier-entry order, as the entries were applied.
            // That changer is found from the article's own entries: asked by list alone, SQLite walks
            // the list's whole change table in entry order for every article (a save of 20,000
            // articles took 110 s instead of 0.3 s).
            connection.run(
                QStringLiteral(
                    "UPDATE artikel SET haupt_lief = (SELECT al.lieferant FROM artlief al%1"
                    " WHERE al.artikel = artikel.id"
                    " AND CASE WHEN o.hlief IS NOT NULL AND COALESCE(o.aendsw, 0) <> 0 THEN o.hlief"
                    " WHEN artikel.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END = 'J'"
                    " ORDER BY al.lieferant LIMIT 1),"
                    " aend_pers = COALESCE((SELECT NULLIF(o.aend_pers, '') FROM artlief x%2"
                    " WHERE x.artikel = artikel.id"
                    " AND o.hlief IS NOT NULL AND COALESCE(o.aendsw, 0) <> 0 ORDER BY x.id DESC LIMIT 1), ?),"
                    " aend_zeit = ?"
                    " WHERE id IN (SELECT artikel FROM liste_aend WHERE liste = ? AND hlief IS NOT NULL"
                    " AND COALESCE(aendsw, 0) <> 0)")
                    .arg(ChangeJoin(connection.backend(), QStringLiteral("?"), QStringLiteral("al.id")),
                         ChangeJoin(connection.backend(), QStringLiteral("?"), QStringLiteral("x.id"), "o", false)),
                {list, list, saver, when, list});
        }
        connection.run(QStringLiteral("DELETE FROM liste_aend WHERE liste = ?"), {list});
        connection.run(QStringLiteral("DELETE FROM liste_haupt WHERE liste = ?"), {list});
        if (changes > 0) // a save that found nothing to apply is no save of this list
            connection.run(QStringLiteral("UPDATE artliste SET gesp_pers = ?, gesp_zeit = ? WHERE id = ?"),
                           {saver, when, list});
        return changes;
    });
}

} // namespace kxserver::lists
