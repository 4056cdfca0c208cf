#include "Proposals.h"

#include "ServerErrorCodes.h"
#include "UpdateLists.h"

#include <QSet>
#include <QStringList>

namespace kxserver::lists {

QSqlQuery ProposalRows(SqlConnection &connection, qint64 list) {
    // Asked inside a unit, the rows are read under the list's lock: they are then what the unit's
    // writes change, and what taking them back restores.
    if (connection.inUnit())
        LockList(connection, list);
    // The main supplier as the list shows it: the list's own where its changes give one.
    return connection.run(
        QStringLiteral("SELECT u.artnr, al.id, COALESCE(o.laktiv, al.aktiv),"
                       " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                       " CASE WHEN al.lieferant = u.velka_lief THEN 1 ELSE 0 END, COALESCE(o.aendsw, 0)"
                       " FROM artliste l JOIN upd_artikel u ON u.run = l.run JOIN artikel a ON a.id = u.artikel"
                       " LEFT JOIN liste_haupt h ON h.liste = l.id AND h.artikel = u.artikel"
                       " LEFT JOIN artlief al ON al.artikel = u.artikel"
                       " LEFT JOIN lieferant f ON f.id = al.lieferant"
                       " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id"
                       " WHERE l.id = ? AND u.velka_lief IS NOT NULL"
                       " AND COALESCE(CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END, -1)"
                       " <> u.velka_lief"
                       " ORDER BY u.artnr, f.liefnr"),
        {list});
}

int TakeProposals(SqlConnection &connection, const QVariant &listKey, const QVariant &articleNumbers) {
    connection.ensureOpen();
    const QString by = SessionPersonal(connection);
    const qint64 list = ListKey(listKey);
    if (list < 0)
        throw Error(kUnknownList, QStringLiteral("Die Artikelliste \"%1\" existiert nicht.").arg(listKey.toString()));
    QStringList numbers = articleNumbers.toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    numbers.removeDuplicates();

    return connection.write([&] {
        LockList(connection, list);
        connection.book.forgetEntries(); // every entry of these articles changes
        const QString when = SqlConnection::now();
        for (qsizetype from = 0; from < numbers.size(); from += kParameterChunk) {
            const QStringList chunk = numbers.mid(from, kParameterChunk);
            const QString in = Placeholders(chunk.size());
            QVariantList values{list};
            for (const QString &number : chunk)
                values << number;

            // Checked under the lock, so what is written is what the rules allow now, whatever
            // another workstation changed since the clerk's list was read.
            QSqlQuery check = connection.run(
                QStringLiteral("SELECT u.artnr, CASE WHEN al.id IS NOT NULL AND COALESCE(o.laktiv, al.aktiv) = 'J'"
                               " THEN 1 ELSE 0 END"
                               " FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                               " LEFT JOIN artlief al ON al.artikel = u.artikel AND al.lieferant = u.velka_lief"
                               " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id"
                               " WHERE l.id = ? AND u.artnr IN (%1)")
                    .arg(in),
                values);
            QSet<QString> found;
            while (connection.next(check)) {
                const QString number = check.value(0).toString();
                found.insert(number);
                if (check.value(1).toInt() == 0)
                    throw Error(kRejected,
                                QStringLiteral("Die Änderung wurde abgelehnt: Der vorgeschlagene Lieferant des "
                                               "Artikels %1 ist kein aktiver Lieferant des Artikels. Vermutlich "
                                               "wurde er inzwischen an einem anderen Arbeitsplatz geändert. Nichts "
                                               "davon wurde gespeichert.")
                                    .arg(number));
            }
            check.finish();
            for (const QString &number : chunk)
                if (!found.contains(number))
                    throw Error(
                        kUnknownList,
                        QStringLiteral("Die Artikelliste %1 enthält den Artikel \"%2\" nicht.").arg(list).arg(number));

            QVariantList insert{by, when};
            insert += values;
            connection.run(
                QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers,"
                               " aend_zeit) SELECT l.id, al.id, al.artikel, NULL,"
                               " CASE WHEN al.lieferant = u.velka_lief THEN 'J' ELSE 'N' END, 1, ?, ?"
                               " FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                               " JOIN artlief al ON al.artikel = u.artikel WHERE l.id = ? AND u.artnr IN (%1)"
                               " ON CONFLICT (liste, artlief) DO UPDATE SET hlief = excluded.hlief,"
                               " aendsw = excluded.aendsw, aend_pers = excluded.aend_pers,"
                               " aend_zeit = excluded.aend_zeit")
                    .arg(in),
                insert);
            // The supplier rules over what is now written, as the commit checks them for single
            // entries, in one query: exactly one main supplier, and that one active.
            QSqlQuery rules = connection.run(
                QStringLiteral("SELECT u.artnr FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                               " JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                               " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id"
                               " WHERE l.id = ? AND u.artnr IN (%1) GROUP BY u.artnr"
                               " HAVING SUM(CASE WHEN COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant"
                               " THEN 'J' ELSE 'N' END) = 'J' THEN 1 ELSE 0 END) <> 1"
                               " OR SUM(CASE WHEN COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant"
                               " THEN 'J' ELSE 'N' END) = 'J' AND COALESCE(o.laktiv, al.aktiv) <> 'J'"
                               " THEN 1 ELSE 0 END) > 0")
                    .arg(in),
                values);
            if (connection.next(rules))
                throw Error(kRejected, QStringLiteral("Die Änderung wurde abgelehnt: Artikel %1 hätte danach nicht "
                                                      "genau einen aktiven Hauptlieferanten. Nichts davon wurde "
                                                      "gespeichert.")
                                           .arg(rules.value(0).toString()));
            rules.finish();
            connection.run(
                QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief)"
                               " SELECT l.id, u.artikel, u.velka_lief FROM artliste l"
                               " JOIN upd_artikel u ON u.run = l.run WHERE l.id = ? AND u.artnr IN (%1)"
                               " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief")
                    .arg(in),
                values);
            NoteWrittenArticles(connection, list, chunk);
        }
        return static_cast<int>(numbers.size());
    });
}

} // namespace kxserver::lists
