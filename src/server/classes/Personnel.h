#pragma once

#include "server/classes/ClassTable.h"

// The personnel classes' stored objects ("KX.ParPersEdv", "KX.ParPersAbt", "KX.PersBasis"): an id
// "company||key", read-only members.
namespace kxserver {

// Reads the record of `id` from the class's table. A class with a password keeps the stored hash
// beside its members; the hash is no member, so no client can read it. Where PostgreSQL holds the
// line (the class names the server's functions), the record is never read by the clerk's login:
// opening asks the server whether the key exists (a missing one keeps its own error), and the
// members stay empty until the password check, so "AKTIV" is not "J".
OpenedObject OpenPersonnel(SqlConnection &connection, const ClassDef &cls, const QString &id);

// The password check (typed password): "1" when it matches, exactly as typed, letter case included,
// "0" otherwise; a stored value that is no hash never matches. On PostgreSQL the server compares it
// with the stored hash and hands out the record's values when it matches and the code is mapped to
// the connection's database login.
QVariant CheckPassword(ClassObject &object, QVariantList &args);

} // namespace kxserver
