#pragma once

#include <QString>
#include <QStringList>

class QSqlDatabase;

namespace kxserver {

enum class Backend { Sqlite, Postgres };

// The version of the tables below; a database of another version is not ours to open.
constexpr int kSchemaVersion = 1;
// The marker in korvex_meta ("schema") that tells a KORVEX database from any other.
inline const char *const kSchemaMarker = "KORVEX";
// SQLite's application id of our files ('KRVX'), so that file(1) and friends can tell them apart.
constexpr int kSqliteApplicationId = 0x4B525658;

// The statements that create the tables of an empty database, in order.
QStringList SchemaStatements(Backend backend);
// Our tables, in an order in which they can be dropped.
QStringList SchemaTables();
// True when the database holds a KORVEX schema of our version. Reads only; never writes.
bool IsKorvexDatabase(QSqlDatabase &db);

} // namespace kxserver
