#pragma once

#include <QStringList>

#include <cstddef>

namespace kxserver {

// The owner's objects of a secured PostgreSQL database (see PgSecurity.h), run as korvex_owner:
// the mapping of logins, the login functions, the triggers and the clerks' grants. Each statement
// may run again over its own result.
QStringList PgSecurityStatements();
// Their second half: the doors a clerk's writes go through instead of rights of his own, which
// rows of the lists he sees, and his grants.
QStringList PgDoorStatements();
// A list of statements written as C strings, as texts.
template <std::size_t N> QStringList PgStatementList(const char *const (&statements)[N]) {
    QStringList list;
    list.reserve(qsizetype(N));
    for (const char *statement : statements)
        list << QString::fromUtf8(statement);
    return list;
}
// The names of the triggers above; any other trigger on our tables was not made by us.
QStringList PgTriggerNames();

} // namespace kxserver
