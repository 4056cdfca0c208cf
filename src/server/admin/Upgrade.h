#pragma once

#include "server/admin/KorvexDb.h"

#include <QString>

class QSqlDatabase;

// Stored data only ever move forward: each change of the schema is one numbered step here, and
// `korvex-db upgrade` runs the steps a database still lacks, all in one transaction.
namespace kxserver {

struct UpgradeResult {
    int from = 0; // the version the database had
    QString copy; // SQLite: the copy of the file as it was, kept beside it
};

// Takes a KORVEX database of an earlier schema version to kSchemaVersion. On SQLite a copy of the
// file is kept beside it first. A database of the current version is left alone (from equals
// kSchemaVersion, no copy); a newer or a foreign one is refused. A refusal or a failure throws
// ServerError with the reason (German); nothing was changed then.
UpgradeResult UpgradeDatabase(const DbTarget &target);

// The steps from version `from` to kSchemaVersion on an open database, inside the caller's
// transaction, version marks included. Throws ServerError.
void RunUpgradeSteps(QSqlDatabase &db, Backend backend, int from);

} // namespace kxserver
