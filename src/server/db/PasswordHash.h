#pragma once

#include <QString>

namespace kxserver {

// Personnel passwords are stored only as salted bcrypt hashes ("$2b$<cost>$..."), made by libxcrypt.
// PostgreSQL's pgcrypto verifies the same form on the server.
//
// The cost for passwords of real users; every step up doubles the work of one check.
constexpr int kPasswordCost = 10;

// A new salted hash of `plain` (UTF-8). Throws ServerError kDatabase when the system has no
// randomness to give or bcrypt is not available (nothing can then be stored).
QString HashPassword(const QString &plain, int cost = kPasswordCost);

// True when `plain` is the password that `hash` was made from. Compares in constant time; a
// stored value that is no bcrypt hash (for example a plain text) never matches.
bool VerifyPassword(const QString &plain, const QString &hash);

// True when `stored` has the form of a hash made by HashPassword.
bool IsPasswordHash(const QString &stored);

} // namespace kxserver
