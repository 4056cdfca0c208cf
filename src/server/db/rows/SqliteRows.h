#pragma once
// DirectRows through SQLite's own interface: its texts are read as SQLite keeps them, without the
// driver converting every text to UTF-16 inside SQLite.

#include "server/db/rows/DirectRows.h"
#include "server/db/SqlConnection.h"

#include <QVariantList>

struct sqlite3;
struct sqlite3_stmt;

namespace kxserver {

class SqliteRows : public DirectRows {
public:
    // Prepares the statement and binds the values in order (whole numbers, texts, null).
    SqliteRows(SqlConnection &connection, const QString &sql, const QVariantList &values);
    ~SqliteRows() override;
    SqliteRows(const SqliteRows &) = delete;
    SqliteRows &operator=(const SqliteRows &) = delete;

    bool next() override;
    bool isNull(int column) const override;
    QString text(int column) const override;
    std::optional<qint64> whole(int column) const override;
    std::optional<QByteArrayView> textBytes(int column) const override;
    Value value(int column) const override;

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
