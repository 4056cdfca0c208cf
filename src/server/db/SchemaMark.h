#pragma once

#include "server/db/Dialect.h"

#include <QString>

#include <optional>

class QSqlDatabase;

namespace kxserver {

// The version of the tables below; a database of another version is not ours to open. Every change
// of the schema raises it and adds its step to server/admin/Upgrade.cpp.
//   1  the first schema
//   2  personnel passwords stored as bcrypt hashes; speicher_log keeps the flags before the change
//   3  liste_aend.aend_nr: the list's version of the transaction that last wrote the row, set by the
//      database itself, and speicher_log.aend_nr, the list's version of the save, so that a watching
//      workstation reads only the rows written since its last look
constexpr int kSchemaVersion = 6;
// The marker in korvex_meta ("schema") that tells a KORVEX database from any other.
inline const char *const kSchemaMarker = "KORVEX";
// SQLite's application id of our files ('KRVX'), so that file(1) and friends can tell them apart.
constexpr int kSqliteApplicationId = 0x4B525658;

// True when the database holds a KORVEX schema of our version. Reads only; never writes.
bool IsKorvexDatabase(QSqlDatabase &db);
// The schema version of a KORVEX database, whatever it is; nothing for any other database (or one
// whose version cannot be read). Reads only.
std::optional<int> KorvexSchemaVersion(QSqlDatabase &db);
// The marker table's name as statements must write it (on PostgreSQL with its schema), or empty
// when the database has none that may be read safely.
QString KorvexMetaTable(QSqlDatabase &db);
// Why a KORVEX database of version `found` cannot be used by this program (German): an older one
// names the call that upgrades it (`upgradeTarget` is what follows "korvex-db upgrade"), a newer
// one says that this program is too old. `where` names the database.
QString SchemaVersionMessage(const QString &where, int found, const QString &upgradeTarget);

} // namespace kxserver
