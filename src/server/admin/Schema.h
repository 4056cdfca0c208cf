#pragma once

#include "server/db/SchemaMark.h"

#include <QString>
#include <QStringList>

namespace kxserver {

// A statement of the schema with its placeholders (%KEY%, %AUTO%, %CODE%, %CLUSTER%, see Schema.cpp)
// written for the backend.
QString SchemaText(const char *text, Backend backend);
// The statements that create the tables of an empty database, in order.
QStringList SchemaStatements(Backend backend);
// What numbers a list's changes on SQLite (the column itself is part of the table): an index, and the
// triggers that stamp every written row with the list's version. PostgreSQL has its own trigger,
// with the clerks' rights (PgSecuritySql.cpp).
QStringList SqliteChangeNumberStatements();
// The indexes and tables that came with version 6: the catalog numbers' indexes, the price history
// and the lists' price news.
QStringList PriceHistoryStatements(Backend backend);
// Our tables, in an order in which they can be dropped.
QStringList SchemaTables();

} // namespace kxserver
