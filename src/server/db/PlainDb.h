#pragma once
// Statements on a plain Qt connection of the admin's own (creating, upgrading and securing a
// database, its logins): no session of the program, no unit, no watch on the answers. A failure
// throws ServerError kDatabase with the statement's beginning and the database's message, which
// the admin's tool shows as they stand.

#include <QSqlDatabase>
#include <QString>

struct pg_conn;
struct sqlite3;

namespace kxserver {

// Runs one statement on db.
void Exec(QSqlDatabase &db, const QString &sql);

// libpq's connection under Qt's PostgreSQL driver; nullptr for another driver or a closed one.
::pg_conn *PgHandle(const QSqlDatabase &db);
// SQLite's connection under Qt's SQLite driver; nullptr for another driver or a closed one.
::sqlite3 *SqliteHandle(const QSqlDatabase &db);

} // namespace kxserver
