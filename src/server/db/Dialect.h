#pragma once

namespace kxserver {

// The database behind a connection. Where SQLite and PostgreSQL differ, the code asks this.
enum class Backend { Sqlite, Postgres };

} // namespace kxserver
