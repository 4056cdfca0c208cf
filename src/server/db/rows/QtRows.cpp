#include "server/db/rows/QtRows.h"

#include "server/db/SqlConnection.h"

#include <limits>

namespace kxserver {

QtRows::QtRows(SqlConnection &connection, std::shared_ptr<QSqlQuery> query)
    : m_connection(connection), m_query(std::move(query)) {}

QtRows::QtRows(SqlConnection &connection, QSqlQuery query)
    : QtRows(connection, std::make_shared<QSqlQuery>(std::move(query))) {}

bool QtRows::next() {
    if (m_done)
        return false;
    m_bytes.clear();
    if (m_connection.next(*m_query))
        return true;
    m_done = true;
    m_query->finish(); // ends SQLite's read snapshot at once
    return false;
}

bool QtRows::isNull(int column) const {
    return m_query->isNull(column);
}

QString QtRows::text(int column) const {
    return m_query->value(column).toString();
}

std::optional<qint64> QtRows::whole(int column) const {
    const QVariant value = m_query->value(column);
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return value.toLongLong();
    case QMetaType::ULongLong: // PostgreSQL's driver gives a bigint that is not negative so
        if (value.toULongLong() <= quint64(std::numeric_limits<qint64>::max()))
            return qint64(value.toULongLong());
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::optional<QByteArrayView> QtRows::textBytes(int column) const {
    if (column < 0)
        return std::nullopt;
    if (size_t(column) < m_bytes.size() && m_bytes[size_t(column)])
        return QByteArrayView(*m_bytes[size_t(column)]);
    if (m_query->isNull(column))
        return std::nullopt;
    const QVariant value = m_query->value(column);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    if (m_bytes.size() <= size_t(column))
        m_bytes.resize(size_t(column) + 1);
    // Moving the vector's arrays keeps their data where it is: earlier views stay valid.
    m_bytes[size_t(column)] = value.toString().toUtf8();
    return QByteArrayView(*m_bytes[size_t(column)]);
}

} // namespace kxserver
