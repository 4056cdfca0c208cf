#pragma once
// Many new rows into one table, as each backend takes them fastest: on PostgreSQL through COPY …
// FROM STDIN (a statement per kRowsPerCopy rows, so that none runs into the server's statement
// timeout however many rows come), on SQLite through a multi-row INSERT kept prepared and bound
// through SQLite's own interface (Qt's driver spends more per bound value than SQLite per row).
// Runs in the connection's open transaction or unit; a failure throws ServerError as every other
// statement does, and the unit is then only fit to be rolled back.
//
// The same on a plain connection of the admin's (creating a database, its demo data): there in the
// transaction the admin's tool opened, a failure throwing ServerError kDatabase with the table and
// the database's message. One COPY at a time runs on a PostgreSQL connection: rows for another
// table go to its own BulkInsert only after finish() here.

#include "server/db/SqlConnection.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

struct sqlite3_stmt;
struct sqlite3;
struct pg_conn;
struct pg_result;
class QSqlError;

namespace kxserver {

class BulkInsert {
public:
    static constexpr qsizetype kRowsPerCopy = 50000;
    static constexpr int kRowsPerStatement = 500;

    BulkInsert(SqlConnection &connection, const QString &table, const QStringList &columns);
    BulkInsert(const QSqlDatabase &db, const QString &table, const QStringList &columns);
    ~BulkInsert();
    BulkInsert(const BulkInsert &) = delete;
    BulkInsert &operator=(const BulkInsert &) = delete;

    // The values of a row, column by column, then endRow().
    BulkInsert &number(qint64 value);
    BulkInsert &text(QStringView value);
    BulkInsert &null();
    BulkInsert &textOrNull(const std::optional<QString> &value) { return value ? text(*value) : null(); }
    BulkInsert &numberOrNull(const std::optional<qint64> &value) { return value ? number(*value) : null(); }
    void endRow();
    // Sends the rows not sent yet: every row given is in the table afterwards. More rows may follow.
    void finish();

private:
    struct Cell {
        enum Kind : char { Number, Text, Null } kind;
        qint64 number; // the value, or for a text its offset in m_texts
        int length;    // a text's length in bytes
    };
    ::sqlite3 *sqliteHandle();
    ::pg_conn *pgHandle() const;
    [[noreturn]] void fail(const QSqlError &error);
    [[noreturn]] void failWithAnswer(::pg_result *answer);
    AnswerWatch *watch() const;
    int socket() const;
    void sendSqlite(int rows);
    void startCopy();
    void putCopy();
    void endCopy();
    [[noreturn]] void failPostgres(const QString &message, const char *state);

    SqlConnection *m_connection = nullptr; // the program's session, or else
    QSqlDatabase m_db;                     // the admin's plain connection
    QString m_table;
    QStringList m_columns;
    bool m_postgres = false;
    qsizetype m_rows = 0; // rows given and not yet sent (SQLite) or not yet in a finished COPY
    int m_column = 0;
    // SQLite: the values of the rows not yet sent; the full statement, prepared once.
    std::vector<Cell> m_cells;
    QByteArray m_texts;
    sqlite3_stmt *m_full = nullptr;
    // PostgreSQL: COPY's text form of the rows not yet put; whether a COPY is open.
    QByteArray m_copy;
    bool m_copying = false;
};

} // namespace kxserver
