#pragma once

// What the files of SqlConnection share among themselves and with no one else.

#include "server/db/Dialect.h"

namespace kxserver::detail {

// Counts one request to the server (RoundTrips()).
void countTrip();
// Counts one row read (RowsRead()).
void countRow();

} // namespace kxserver::detail
