#pragma once

#include "server/admin/Schema.h"
#include "session/ServerError.h"

#include <QString>

#include <exception>

class QSqlDatabase;

// Creating KORVEX databases: what the tool korvex-db does, callable from tests as well.
namespace kxserver {

struct DbTarget {
    Backend backend = Backend::Sqlite;
    QString path; // SQLite file
    QString host; // PostgreSQL server; the database is always "korvex"
    int port = 5432;
};

struct DbContent {
    // The demo merchant: users, departments, suppliers, a few hundred articles, update runs 1 to 4.
    bool demo = false;
    // An extra update run (number kBenchmarkRun) with this many generated articles; implies demo.
    int benchmarkArticles = 0;
};

// Number and first article of the generated benchmark run; its first article has 50 suppliers.
constexpr int kBenchmarkRun = 99;
inline const char *const kBenchmarkFirstArticle = "5000000";

// Creates the tables, and the data asked for, in a new SQLite file or in database "korvex" of a
// PostgreSQL server (created there when missing). An existing file, or existing KORVEX tables, are
// replaced only with `force`. Throws ServerError with the reason (German) when it refuses or fails;
// nothing is changed then.
void CreateDatabase(const DbTarget &target, const DbContent &content, bool force);

// For tests: a new demo database file at `path`, replacing whatever is there. Throws ServerError.
void CreateDemoDatabase(const QString &path, int benchmarkArticles = 0);

// Gives a new database file (or a copy of one) its rights: 0600, or 0660 with the folder's group
// when the folder belongs to another group than the creator's (a shared folder of the clerks, whose
// group then reads and writes it). Throws ServerError with the reason (German).
void ProtectDatabaseFile(const QString &path);

// The connection string under which the program reaches `path`: "cn_iptcp:<path>[1972]:KORVEX".
QString SqliteConnectString(const QString &path);

// Opens `db` (of driver QPSQL) on database `database` of the server `target` names, as the admin's
// session: names are found in pg_catalog alone from its first statement. False when it cannot.
bool OpenAdminSession(QSqlDatabase &db, const DbTarget &target, const QString &database);

// The reason a step failed, from whatever it threw, after `prefix`: the database's own errors keep
// their number, anything else is kDatabase.
cacheapi::ServerError FailedBecause(const QString &prefix, const std::exception &e);

} // namespace kxserver
