#include "server/db/rows/SqliteRows.h"

#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

#include <QLocale>
#include <QSqlError>

#include <sqlite3.h>

namespace kxserver {

SqliteRows::SqliteRows(SqlConnection &connection, const QString &sql, const QVariantList &values)
    : m_connection(connection) {
    m_connection.ensureOpen();
    m_connection.runScript({}); // a BEGIN still waiting: the rows belong to the open transaction
    m_db = m_connection.sqliteConnection();
    if (!m_db)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zur Datenbank."));
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &m_statement, nullptr) != SQLITE_OK)
        failed("Unable to execute statement");
    try {
        bind(values);
    } catch (...) {
        sqlite3_finalize(m_statement);
        throw;
    }
    detail::countTrip();
}

void SqliteRows::bind(const QVariantList &values) {
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        int bound = SQLITE_OK;
        if (value.isNull()) {
            bound = sqlite3_bind_null(m_statement, i + 1);
        } else if (value.typeId() == QMetaType::QString) {
            const QByteArray utf8 = value.toString().toUtf8();
            bound = sqlite3_bind_text(m_statement, i + 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        } else {
            bool whole = false;
            const qint64 number = value.toLongLong(&whole);
            if (!whole)
                throw Error(kWrongArguments, QStringLiteral("Der Wert \"%1\" ist keine Zahl.").arg(value.toString()));
            bound = sqlite3_bind_int64(m_statement, i + 1, number);
        }
        if (bound != SQLITE_OK)
            failed("Unable to bind value");
    }
}

SqliteRows::~SqliteRows() {
    sqlite3_finalize(m_statement);
}

bool SqliteRows::next() {
    m_connection.ensureOpen();
    if (m_done)
        return false; // a step now would run the statement again
    switch (sqlite3_step(m_statement)) {
    case SQLITE_ROW:
        detail::countRow();
        return true;
    case SQLITE_DONE:
        m_done = true;
        sqlite3_reset(m_statement); // ends the read snapshot at once
        return false;
    default:
        failed("Unable to fetch row"); // a failed step is an error, never a short result
    }
}

bool SqliteRows::isNull(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

QString SqliteRows::text(int column) const {
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_NULL:
        return QString();
    case SQLITE_INTEGER:
        return QString::number(sqlite3_column_int64(m_statement, column));
    case SQLITE_FLOAT:
        return QString::number(sqlite3_column_double(m_statement, column), 'g', QLocale::FloatingPointShortest);
    case SQLITE_TEXT: {
        const QByteArrayView utf8 = *textBytes(column);
        return QString::fromUtf8(utf8.data(), utf8.size());
    }
    default: // bytes, which Qt's driver hands out as they are and toString reads as UTF-8
        return QString::fromUtf8(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                                 sqlite3_column_bytes(m_statement, column));
    }
}

std::optional<qint64> SqliteRows::whole(int column) const {
    if (sqlite3_column_type(m_statement, column) != SQLITE_INTEGER)
        return std::nullopt;
    return sqlite3_column_int64(m_statement, column);
}

std::optional<QByteArrayView> SqliteRows::textBytes(int column) const {
    if (sqlite3_column_type(m_statement, column) != SQLITE_TEXT)
        return std::nullopt;
    // The text first, then its length in that form, as SQLite wants them asked.
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    return QByteArrayView(data, sqlite3_column_bytes(m_statement, column));
}

DirectRows::Value SqliteRows::value(int column) const {
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_NULL:
        return {};
    case SQLITE_INTEGER:
        return {Value::Kind::Whole, sqlite3_column_int64(m_statement, column), {}};
    case SQLITE_TEXT: {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return {Value::Kind::Text, 0, QByteArrayView(data, sqlite3_column_bytes(m_statement, column))};
    }
    default:
        return {Value::Kind::Other, 0, {}};
    }
}

void SqliteRows::failed(const char *what) {
    const QSqlError error(QLatin1String(what), QString::fromUtf8(sqlite3_errmsg(m_db)), QSqlError::StatementError,
                          QString::number(sqlite3_extended_errcode(m_db)));
    m_connection.fail(error);
}

} // namespace kxserver
