#pragma once
// Where SQLite and PostgreSQL differ in what every room writes: lists of values as one bound
// parameter, a join that stays a lookup per row, what a database error means and whether it says
// "busy". A difference that belongs to one statement alone (a planner's hint for one query) stays
// with that statement and says why.

#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>
#include <vector>

class QSqlError;

namespace kxserver {

// The database behind a connection.
enum class Backend { Sqlite, Postgres };

// A statement's text for each backend, built once (each call site's lambda has its own).
template <typename Make> const QString &PerBackend(Backend backend, Make make) {
    static const std::array<QString, 2> texts{make(Backend::Sqlite), make(Backend::Postgres)};
    return texts[backend == Backend::Sqlite ? 0 : 1];
}

// Any number of values as one bound parameter: no limit on parameters, and the same statement for
// 10 or 20,000 values. SQLite takes a JSON array; PostgreSQL an array, whose length its planner
// sees (the values go out written into the statement), so that 20,000 values are joined by hash,
// not looked up one by one. The condition "`column` is one of them", and the value to bind:
QString InTextList(Backend backend, const QString &column);
QVariant TextListValue(Backend backend, const QStringList &texts);
// The same for the lines of one text, empty lines left out.
QVariant TextLinesValue(Backend backend, QStringView lines);
// The same for whole numbers.
QString InIdList(Backend backend, const QString &column);
QVariant IdListValue(Backend backend, const std::vector<qint64> &ids);

// " JOIN `table` `alias` ON `condition`" (LEFT JOIN when `outer`); on PostgreSQL as a lookup for
// each joined row whatever the statistics say (the key is unique: LIMIT 1 changes no result, but a
// subquery with a limit is not merged into the join).
QString KeyLookupJoin(Backend backend, const char *table, const QString &alias, const QString &condition, bool outer);

// What a database error means for the clerk, in German: one line naming the cause, then the
// driver's own (English) detail on a second line for the administrator. Never the statement: SQL
// is no help to the clerk and shows the tables to anyone looking over his shoulder.
QString DescribeDatabaseError(Backend backend, const QSqlError &error);

// SQLite's primary result code of an error (the low byte of the extended code); 0 when none.
int SqlitePrimaryCode(const QSqlError &error);

// SQLite codes the program tells apart.
enum SqliteCode : int {
    kSqliteError = 1,
    kSqlitePerm = 3,
    kSqliteBusy = 5,
    kSqliteLocked = 6,
    kSqliteReadOnly = 8,
    kSqliteIoErr = 10,
    kSqliteCorrupt = 11,
    kSqliteFull = 13,
    kSqliteCantOpen = 14,
    kSqliteNotADb = 26,
};

// The database refused for a lock another connection holds (SQLite busy or locked; PostgreSQL
// lock_not_available, serialization_failure, deadlock_detected).
bool IsBusyError(Backend backend, const QSqlError &error);

} // namespace kxserver
