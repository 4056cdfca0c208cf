#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>

struct pg_conn;

namespace kxserver {

// Values written into PostgreSQL statement text. Text is quoted by libpq (PQescapeLiteral) on the
// live connection: its literal reads the same whatever standard_conforming_strings says when the
// server parses it. Qt's driver quotes by what that setting said at the connect, so a session whose
// setting was switched later (a SET, a function or trigger that sets it) would read a backslash in
// a value as an escape and a quote after it as the literal's end.

// The literal of one value: NULL, a number, TRUE/FALSE, or quoted text. Throws kDatabase when libpq
// cannot quote it (no connection, a client encoding other than UTF8, broken text).
QString PgLiteral(pg_conn *connection, const QVariant &value);

// `sql` with each ? outside a quoted part replaced by the literal of the next value; throws
// kDatabase when values and placeholders do not match.
QString PgInlineValues(pg_conn *connection, const QString &sql, const QVariantList &values);

// What to bind in place of `value` into a statement that Qt's driver prepared on PostgreSQL: text
// already quoted by PgLiteral, which the driver writes into its EXECUTE as it stands (it writes a
// value of a type it does not know by that value's text). Other values stay as they are: the
// driver's forms of numbers, flags and nulls hold no quote or backslash.
QVariant PgBindValue(pg_conn *connection, const QVariant &value);
// PgBindValue on the connection of `db` when it is a PostgreSQL one; the value itself otherwise.
QVariant BindValueFor(const QSqlDatabase &db, const QVariant &value);

} // namespace kxserver
