#pragma once

// What the files of SqlConnection share among themselves and with no one else.

#include "server/db/Dialect.h"

class QSqlError;

namespace kxserver::detail {

// Counts one request to the server (RoundTrips()).
void countTrip();
// Counts one row read (RowsRead()).
void countRow();

// Another connection holds the lock (SQLite) or the unit lost a lock race (PostgreSQL).
bool isBusyError(Backend backend, const QSqlError &error);

} // namespace kxserver::detail
