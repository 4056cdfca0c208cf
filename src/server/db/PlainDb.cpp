#include "server/db/PlainDb.h"

#include "session/ServerErrorCodes.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace kxserver {

namespace {

// Qt's drivers hand out the library's own connection under its struct name.
template <typename Handle> Handle *driverHandle(const QSqlDatabase &db, std::initializer_list<const char *> names) {
    const QVariant handle = db.isValid() && db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid())
        return nullptr;
    for (const char *name : names)
        if (qstrcmp(handle.typeName(), name) == 0)
            return *static_cast<Handle *const *>(handle.constData());
    return nullptr;
}

} // namespace

void Exec(QSqlDatabase &db, const QString &sql) {
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw Error(kDatabase, QStringLiteral("%1: %2").arg(sql.left(60), query.lastError().text()));
}

::pg_conn *PgHandle(const QSqlDatabase &db) {
    return driverHandle<::pg_conn>(db, {"pg_conn*", "PGconn*"});
}

::sqlite3 *SqliteHandle(const QSqlDatabase &db) {
    return driverHandle<::sqlite3>(db, {"sqlite3*"});
}

} // namespace kxserver
