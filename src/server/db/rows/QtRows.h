#pragma once
// DirectRows over a statement run through Qt's driver (SqlConnection::run or runCached), for the
// reads that go better that way: a statement kept prepared, a few rows, a backend whose own
// interface gains nothing for them. Every value as the driver gives it; a failed fetch throws
// ServerError as every other statement does, never ends the rows early.

#include "server/db/rows/DirectRows.h"

#include <QByteArray>
#include <QSqlQuery>

#include <memory>
#include <optional>
#include <vector>

namespace kxserver {

class SqlConnection;

class QtRows : public DirectRows {
public:
    // The rows of an executed statement of `connection`; a kept statement goes back to it when the
    // rows go.
    QtRows(SqlConnection &connection, std::shared_ptr<QSqlQuery> query);
    QtRows(SqlConnection &connection, QSqlQuery query);
    QtRows(const QtRows &) = delete;
    QtRows &operator=(const QtRows &) = delete;

    bool next() override;
    bool isNull(int column) const override;
    QString text(int column) const override;
    std::optional<qint64> whole(int column) const override;
    std::optional<QByteArrayView> textBytes(int column) const override;

private:
    SqlConnection &m_connection;
    std::shared_ptr<QSqlQuery> m_query;
    bool m_done = false;
    // By column: a text's UTF-8 bytes, made when asked for and kept until the next row.
    mutable std::vector<std::optional<QByteArray>> m_bytes;
};

} // namespace kxserver
