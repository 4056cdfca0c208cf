#pragma once

#include "server/admin/KorvexDb.h"

#include <QString>
#include <QStringList>

// The clerks' own PostgreSQL logins ("korvex-db zugang"): one login per clerk, in the group
// korvex_clerks, mapped to personnel codes of one company. Run with the admin's login.
namespace kxserver {

// How many sessions a clerk's login may hold at once unless the admin says otherwise: the program
// keeps one, and a login that opens hundreds is somebody else's doing.
inline constexpr int kClerkConnections = 5;

// Creates login `login` (or updates it: password, mapping and connection limit) with `password`,
// stored as a scram-sha-256 verifier computed here, so the plain password never reaches the server;
// maps it to `codes` of company `firma`, replacing its earlier mapping; it may hold `connections`
// sessions at once (1 to 1000). Sets `*created` when the login is new. A refusal or failure throws
// ServerError with the reason (German); nothing is changed then.
void SetPgLogin(const DbTarget &target, const QString &login, int firma, const QStringList &codes,
                const QString &password, bool *created = nullptr, int connections = kClerkConnections);

// Removes a clerk's login, its mapping and whatever it made in the database (large objects, default
// privileges), which would otherwise keep the login from being dropped. A refusal or failure throws
// ServerError with the reason (German).
void RemovePgLogin(const DbTarget &target, const QString &login);

} // namespace kxserver
