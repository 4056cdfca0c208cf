// What another workstation changed in a list since this one last looked (the live view).
#include "UpdateLists.h"

#include <QVariantMap>

#include <map>

namespace kxserver::lists {

QStringList TakeChanges(SqlConnection &connection, const QVariant &listKey, QVariantMap &since) {
    const qint64 list = ListKey(listKey);
    if (list < 0 || !connection.isOpen())
        return {};
    const bool first = since.value(QStringLiteral("list")).toLongLong() != list;
    // This connection's own gate (a notification, SQLite's commit counter) says whether anything was
    // committed since its last look. A connection that has not looked yet (a reconnect after the
    // idle disconnect or a restart) cannot tell, and asks the list's counter.
    const bool looked = connection.watchedLists.count(list) > 0;
    const bool maybe = connection.mayHaveChanged(list);
    if (!first && looked && !maybe)
        return {};
    connection.watchedLists.insert(list);
    // Every commit that writes the list raises its counter (its lock), and every save logs what it
    // applied. Read before the changes themselves, so that no commit slips in between unseen.
    QSqlQuery counter = connection.run(QStringLiteral("SELECT l.version, (SELECT COALESCE(MAX(s.id), 0) FROM"
                                                      " speicher_log s) FROM artliste l WHERE l.id = ?"),
                                       {list});
    if (!connection.next(counter))
        return {};
    const qint64 version = counter.value(0).toLongLong();
    const qint64 logged = counter.value(1).toLongLong();
    counter.finish();
    if (!first && version == since.value(QStringLiteral("version")).toLongLong() &&
        logged == since.value(QStringLiteral("logged")).toLongLong())
        return {};
    // The list's own changes per article: small (only what was changed and not yet saved).
    QSqlQuery query = connection.run(QStringLiteral("SELECT a.artnr, o.artlief, o.laktiv, o.hlief FROM liste_aend o"
                                                    " JOIN artikel a ON a.id = o.artikel WHERE o.liste = ?"
                                                    " ORDER BY a.artnr, o.artlief"),
                                     {list});
    std::map<QString, QString> now;
    while (connection.next(query))
        now[query.value(0).toString()] +=
            QStringLiteral("%1|%2|%3;")
                .arg(query.value(1).toString(), query.value(2).toString(), query.value(3).toString());
    query.finish();
    QStringList changed;
    if (!first) {
        const QVariantMap seen = since.value(QStringLiteral("seen")).toMap();
        for (const auto &[article, state] : now) {
            const auto found = seen.constFind(article);
            if (found == seen.constEnd() || found.value().toString() != state)
                changed << article;
        }
        for (auto it = seen.constBegin(); it != seen.constEnd(); ++it)
            if (!now.count(it.key()))
                changed << it.key();
        // A change and its save between two looks leave the list's own changes as they were: the
        // save log names what was applied since.
        const qint64 loggedBefore = since.value(QStringLiteral("logged")).toLongLong();
        if (logged > loggedBefore) {
            QSqlQuery saved = connection.run(
                QStringLiteral("SELECT DISTINCT a.artnr FROM speicher_log s JOIN artlief al ON al.id = s.artlief"
                               " JOIN artikel a ON a.id = al.artikel WHERE s.id > ? AND s.id <= ? AND s.liste = ?"),
                {loggedBefore, logged, list});
            while (connection.next(saved))
                changed << saved.value(0).toString();
        }
        changed.removeDuplicates();
    }
    QVariantMap seen;
    for (const auto &[article, state] : now)
        seen.insert(article, state);
    since = {{QStringLiteral("list"), list},
             {QStringLiteral("version"), version},
             {QStringLiteral("logged"), logged},
             {QStringLiteral("seen"), seen}};
    return changed;
}

} // namespace kxserver::lists
