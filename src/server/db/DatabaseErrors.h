#pragma once

#include "server/db/Dialect.h"

#include <QString>

class QSqlError;

namespace kxserver {

// What a database error means for the clerk, in German: one line naming the cause, then the
// driver's own (English) detail on a second line for the administrator. Never the statement: SQL
// is no help to the clerk and shows the tables to anyone looking over his shoulder.
QString DescribeDatabaseError(Backend backend, const QSqlError &error);

// SQLite's primary result code of an error (the low byte of the extended code); 0 when none.
int SqlitePrimaryCode(const QSqlError &error);

// SQLite codes the program tells apart.
enum SqliteCode : int {
    kSqliteError = 1,
    kSqlitePerm = 3,
    kSqliteBusy = 5,
    kSqliteLocked = 6,
    kSqliteReadOnly = 8,
    kSqliteIoErr = 10,
    kSqliteCorrupt = 11,
    kSqliteFull = 13,
    kSqliteCantOpen = 14,
    kSqliteNotADb = 26,
};

} // namespace kxserver
