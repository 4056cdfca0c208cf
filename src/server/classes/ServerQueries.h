#pragma once

#include "server/db/rows/DirectRows.h"
#include "server/db/SqlConnection.h"
#include "session/Factory.h"

#include <QString>

#include <memory>

// The class queries' cursors, and the article stamp that the supplier list's query delivers after
// its last row.
namespace kxserver {

struct QueryDef;

// A cursor on a class query of the class table.
cacheapi::QueryCursorPtr OpenCursor(const std::shared_ptr<SqlConnection> &connection, const QueryDef &query);
// The stamp of an article's supplier entries in a list, as "ArtikelLief" gives it after its last row.
QString StampOfArticle(SqlConnection &connection, const QString &listKey, const QString &articleNumber);
// Columns 1 to 5 of "Artikel" and "ArtikelZeilen" from a row whose first six columns are those of
// lists::ArticleListSql, for list key `listKey`.
QVariantList ArticleListColumns(const DirectRows &row, const QString &listKey);

} // namespace kxserver
