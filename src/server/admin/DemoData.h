#pragma once

#include "server/admin/KorvexDb.h"

#include <QSqlDatabase>

namespace kxserver {

// The bcrypt cost of the demo users' passwords: the lowest libxcrypt takes. Their passwords are
// printed in the README, so a slow hash would protect nothing, and many test databases are built
// and logged into; real users' passwords get kPasswordCost.
constexpr int kDemoPasswordCost = 4;

// The demo merchant's data (and the benchmark run when asked), inserted into an empty schema in the
// caller's transaction. Throws ServerError.
void FillDemoData(QSqlDatabase &db, const DbContent &content);

} // namespace kxserver
