#pragma once

#include "server/db/DirectRows.h"
#include "session/Factory.h"
#include "server/db/SqlConnection.h"

#include <QString>

#include <memory>

// The class queries of "UpdateVelka.Hauptlief" with their columns, and the article stamp that the
// supplier list's query delivers after its last row.
namespace kxserver {

// A cursor on the query of that name; empty when the class has no such query.
cacheapi::QueryCursorPtr OpenHauptliefQuery(const std::shared_ptr<SqlConnection> &connection, const QString &queryName);
// The stamp of an article's supplier entries in a list, as "ArtikelLief" gives it after its last row.
QString StampOfArticle(SqlConnection &connection, const QString &listKey, const QString &articleNumber);
// Columns 1 to 5 of "Artikel" and "ArtikelZeilen" from a row whose first six columns are those of
// lists::ArticleListSql, for list key `listKey`.
QVariantList ArticleListColumns(const DirectRows &row, const QString &listKey);

} // namespace kxserver
