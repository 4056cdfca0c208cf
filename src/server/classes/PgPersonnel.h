#pragma once

#include "session/Factory.h"
#include "server/db/SqlConnection.h"

#include <QString>

#include <memory>

namespace kxserver {

// "KX.ParPersEdv" on PostgreSQL: the personnel record is never read by the clerk's login. Opening
// asks the server whether the code exists (a missing code keeps its own error); "PasswortPruefen"
// (typed password) has the server compare it with the stored hash and answers "1" with the record's
// values when it matches and the code is mapped to the connection's database login, "0" otherwise.
// Until then the values are empty, so "AKTIV" is not "J".
cacheapi::ServerObjectPtr OpenPgPersonnel(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                          const QString &id);

} // namespace kxserver
