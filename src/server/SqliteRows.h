#pragma once
// A query's rows read through SQLite's own interface, on the handle of the connection Qt's driver
// opened: each value as SQLite keeps it (a text as its UTF-8 bytes), without the driver converting
// every text to UTF-16 inside SQLite and wrapping every value in a QVariant. For the long reads (the
// article list of 100,000 rows); a failure throws ServerError as every other statement does.

#include "SqlConnection.h"

#include <QByteArrayView>
#include <QString>
#include <QVariantList>

#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace kxserver {

class SqliteRows {
public:
    // Prepares the statement and binds the values in order (whole numbers, texts, null).
    SqliteRows(SqlConnection &connection, const QString &sql, const QVariantList &values);
    ~SqliteRows();
    SqliteRows(const SqliteRows &) = delete;
    SqliteRows &operator=(const SqliteRows &) = delete;

    // The next row; false after the last, when the statement's read ends at once.
    bool next();

    // Columns counted from 0, of the current row.
    bool isNull(int column) const;
    // The value as text, as Qt's driver's value gives it by toString(): a whole number written out,
    // a text as it is; null is the null text.
    QString text(int column) const;
    // The value if it is a whole number.
    std::optional<qint64> whole(int column) const;
    // The value's UTF-8 bytes if it is a text; valid until the next row.
    std::optional<QByteArrayView> textBytes(int column) const;

private:
    void bind(const QVariantList &values);
    // Throws the connection's error, with SQLite's message and code.
    [[noreturn]] void failed(const char *what);

    SqlConnection &m_connection;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_statement = nullptr;
    bool m_done = false;
};

} // namespace kxserver
