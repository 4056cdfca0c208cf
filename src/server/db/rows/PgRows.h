#pragma once
// DirectRows through libpq: the statement goes out as one request and its rows come one at a time
// (libpq's single-row mode, so that a list of 100,000 rows is never held twice), every value taken
// from libpq's answer as it stands (Qt's driver converts a value anew each time it is read). While
// the rows stream, the connection serves nothing else; a statement sent meanwhile cuts the stream,
// and the next row then fails.

#include "server/db/rows/DirectRows.h"
#include "server/db/SqlConnection.h"

#include <QVariantList>

#include <chrono>
#include <vector>

struct pg_conn;
struct pg_result;

namespace kxserver {

class PgRows : public DirectRows {
public:
    // Sends the statement with its values written in; its columns must be whole numbers or texts.
    // What is left unread when it goes is read to its end (so that the connection can be used again).
    PgRows(SqlConnection &connection, const QString &sql, const QVariantList &values);
    ~PgRows() override;
    PgRows(const PgRows &) = delete;
    PgRows &operator=(const PgRows &) = delete;

    bool next() override;
    bool isNull(int column) const override;
    QString text(int column) const override;
    std::optional<qint64> whole(int column) const override;
    std::optional<QByteArrayView> textBytes(int column) const override;

private:
    QByteArrayView raw(int column) const;
    // The column types of the first row: whole numbers or texts.
    void takeTypes();
    void drain();

    SqlConnection &m_connection;
    pg_conn *m_pg = nullptr; // the connection's handle, valid while it is open
    int m_socket = -1;
    std::chrono::milliseconds m_limit{0}; // for each answer
    pg_result *m_answer = nullptr;        // the current row
    bool m_streaming = false;             // rows still to come
    std::vector<bool> m_whole;            // by column: a whole number (else a text)
};

} // namespace kxserver
