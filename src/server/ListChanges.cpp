// What another workstation changed in a list since this one last looked (the live view).
#include "UpdateLists.h"

#include <QSet>
#include <QVariantMap>

#include <limits>

namespace kxserver::lists {

namespace {

// One statement, one snapshot: the list's version (kind 0, with whether rows written at or before
// the version seen last are still there), the articles of the change rows written since that version
// (kind 1), and the articles whose entries a save applied since (kind 2). Every writer of a list
// raises its version before it writes, and each change row and save-log row carries the version
// that wrote it (aend_nr), so a row written after the version read here has a higher one. (A save
// log's id would not do: two lists saved at once take their ids in one order and commit in another.)
const QString kLookSql = QStringLiteral(
    "SELECT 0, l.version, CASE WHEN EXISTS (SELECT 1 FROM liste_aend o WHERE o.liste = l.id AND o.aend_nr <= ?)"
    " THEN 1 ELSE 0 END, NULL FROM artliste l WHERE l.id = ?"
    " UNION ALL SELECT 1, 0, 0, a.artnr FROM artikel a WHERE a.id IN (SELECT o.artikel FROM liste_aend o"
    " WHERE o.liste = ? AND o.aend_nr > ?)"
    " UNION ALL SELECT 2, 0, 0, a.artnr FROM artikel a WHERE a.id IN (SELECT al.artikel FROM speicher_log s"
    " JOIN artlief al ON al.id = s.artlief WHERE s.liste = ? AND s.aend_nr > ?)");

const QString kList = QStringLiteral("list");
const QString kVersion = QStringLiteral("version");
const QString kSeen = QStringLiteral("seen");

} // namespace

QStringList TakeChanges(SqlConnection &connection, const QVariant &listKey, QVariantMap &since) {
    const qint64 list = ListKey(listKey);
    if (list < 0 || !connection.isOpen())
        return {};
    const bool first = since.value(kList).toLongLong() != list;
    // This connection's own gate (a notification, SQLite's commit counter) says whether anything was
    // committed since its last look. A connection that has not looked yet (a reconnect after the
    // idle disconnect or a restart) cannot tell, and asks the list.
    const bool looked = connection.watchedLists.count(list) > 0;
    const bool maybe = connection.mayHaveChanged(list);
    if (!first && looked && !maybe)
        return {};
    connection.watchedLists.insert(list);
    // The first look takes every row's article (what is changed and not saved now) and no save as
    // news; later looks what came since.
    const qint64 versionSeen = first ? -1 : since.value(kVersion).toLongLong();
    // On the first look the saves are no news, whatever their number.
    const qint64 savedSince = first ? std::numeric_limits<qint64>::max() : versionSeen;
    QSqlQuery query = connection.run(kLookSql, {versionSeen, list, list, versionSeen, list, savedSince});
    bool found = false;
    qint64 version = 0;
    bool olderRowsLeft = false;
    QStringList written;
    QStringList saved;
    while (connection.next(query)) {
        switch (query.value(0).toInt()) {
        case 0:
            found = true;
            version = query.value(1).toLongLong();
            olderRowsLeft = query.value(2).toInt() != 0;
            break;
        case 1:
            written << query.value(3).toString();
            break;
        default:
            saved << query.value(3).toString();
        }
    }
    query.finish();
    if (!found)
        return {};
    // The articles seen with rows: a Speichern removes every row of the list, also those it does not
    // log (entries taken back to their saved state), so once none of the rows seen is left, each of
    // those articles may show something else now.
    QSet<QString> seen = first ? QSet<QString>() : since.value(kSeen).value<QSet<QString>>();
    since.remove(kSeen); // the set is changed below, without a copy
    QStringList changed;
    if (!first) {
        changed = written + saved;
        if (!olderRowsLeft && !seen.isEmpty()) {
            changed += QStringList(seen.cbegin(), seen.cend());
            seen.clear();
        }
        changed.removeDuplicates();
    }
    for (const QString &article : written)
        seen.insert(article);
    since = {{kList, list}, {kVersion, version}, {kSeen, QVariant::fromValue(seen)}};
    return changed;
}

} // namespace kxserver::lists
