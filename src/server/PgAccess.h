#pragma once

#include "KorvexDb.h"

#include <QString>
#include <QStringList>

// The clerks' own PostgreSQL logins ("korvex-db zugang"): one login per clerk, in the group
// korvex_clerks, mapped to personnel codes of one company. Run with the admin's login.
namespace kxserver {

// Creates login `login` (or updates it: password and mapping) with `password`, stored as a
// scram-sha-256 verifier computed here, so the plain password never reaches the server; maps it
// to `codes` of company `firma`, replacing its earlier mapping. Sets `*created` when the login is
// new. Empty text on success, otherwise the reason (German); nothing is changed then.
QString SetPgLogin(const DbTarget &target, const QString &login, int firma, const QStringList &codes,
                   const QString &password, bool *created = nullptr);

// Removes a clerk's login and its mapping. Empty text on success, otherwise the reason (German).
QString RemovePgLogin(const DbTarget &target, const QString &login);

} // namespace kxserver
