#pragma once

#include "session/Factory.h"
#include "server/db/SqlConnection.h"

#include <QString>

#include <memory>

// The server's classes as the program sees them: which class names exist, how a stored object is
// found by its id, which members and methods each has, and the class queries with their columns.
// Every name is matched exactly, letter case included.
namespace kxserver {

cacheapi::ServerObjectPtr NewInstance(const std::shared_ptr<SqlConnection> &connection, const QString &className);
cacheapi::ServerObjectPtr OpenStored(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                     const QString &id);
cacheapi::QueryCursorPtr OpenQuery(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                   const QString &queryName);

} // namespace kxserver
