#include "server/db/BulkInsert.h"

#include "server/db/AnswerWatch.h"
#include "server/db/Digits.h"
#include "server/db/PlainDb.h"
#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

#include <QSqlError>

#include <libpq-fe.h>
#include <sqlite3.h>

namespace kxserver {

namespace {

// The bytes of a COPY that go out in one piece.
constexpr qsizetype kCopyPiece = 1 << 18;

void appendNumber(QByteArray &out, qint64 value) {
    out.append(Digits(value).bytes());
}

// UTF-8 of the text, in COPY's text form when `escaped`: a backslash, a tab, a line break or a
// carriage return inside a value would end the value, the row or the data.
void appendText(QByteArray &out, QStringView text, bool escaped) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (c < 0x80) {
            if (escaped && (c == U'\\' || c == U'\t' || c == U'\n' || c == U'\r')) {
                out += '\\';
                out += c == U'\\' ? '\\' : c == U'\t' ? 't' : c == U'\n' ? 'n' : 'r';
            } else {
                out += char(c);
            }
            continue;
        }
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            c = QChar::surrogateToUcs4(char16_t(c), text[++i].unicode());
        else if (QChar::isSurrogate(c))
            c = 0xFFFD; // a lone half of a pair, as Qt's own conversion writes it
        if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
        }
        out += char(0x80 | (c & 0x3F));
    }
}

} // namespace

BulkInsert::BulkInsert(SqlConnection &connection, const QString &table, const QStringList &columns)
    : m_connection(&connection), m_table(table), m_columns(columns),
      m_postgres(connection.backend() == Backend::Postgres) {}

BulkInsert::BulkInsert(const QSqlDatabase &db, const QString &table, const QStringList &columns)
    : m_db(db), m_table(table), m_columns(columns), m_postgres(db.driverName() == QLatin1String("QPSQL")) {}

BulkInsert::~BulkInsert() {
    sqlite3_finalize(m_full);
    if (m_copying) {
        // Left by an exception: the COPY ends as failed, and with it the transaction.
        if (PGconn *pg = pgHandle()) {
            PQputCopyEnd(pg, "abgebrochen");
            while (PGresult *result = PQgetResult(pg))
                PQclear(result);
        }
    }
}

BulkInsert &BulkInsert::number(qint64 value) {
    if (m_postgres) {
        if (m_column > 0)
            m_copy += '\t';
        appendNumber(m_copy, value);
    } else {
        m_cells.push_back({Cell::Number, value, 0});
    }
    ++m_column;
    return *this;
}

BulkInsert &BulkInsert::text(QStringView value) {
    if (m_postgres) {
        if (m_column > 0)
            m_copy += '\t';
        appendText(m_copy, value, true);
    } else {
        const qsizetype offset = m_texts.size();
        appendText(m_texts, value, false);
        m_cells.push_back({Cell::Text, offset, int(m_texts.size() - offset)});
    }
    ++m_column;
    return *this;
}

BulkInsert &BulkInsert::null() {
    if (m_postgres) {
        if (m_column > 0)
            m_copy += '\t';
        m_copy += "\\N";
    } else {
        m_cells.push_back({Cell::Null, 0, 0});
    }
    ++m_column;
    return *this;
}

void BulkInsert::endRow() {
    m_column = 0;
    ++m_rows;
    if (!m_postgres) {
        if (m_rows == kRowsPerStatement)
            sendSqlite(kRowsPerStatement);
        return;
    }
    m_copy += '\n';
    if (m_copy.size() >= kCopyPiece || m_rows == kRowsPerCopy)
        putCopy();
    if (m_rows == kRowsPerCopy)
        endCopy();
}

void BulkInsert::finish() {
    if (m_postgres) {
        if (m_rows > 0) {
            putCopy();
            endCopy();
        }
        return;
    }
    if (m_rows > 0)
        sendSqlite(int(m_rows));
}

sqlite3 *BulkInsert::sqliteHandle() {
    if (!m_connection)
        return SqliteHandle(m_db);
    m_connection->ensureOpen();
    m_connection->runScript({}); // a BEGIN still waiting
    return m_connection->sqliteConnection();
}

PGconn *BulkInsert::pgHandle() const {
    return m_connection ? m_connection->pgConnection() : PgHandle(m_db);
}

AnswerWatch *BulkInsert::watch() const {
    return m_connection ? m_connection->m_watch.get() : nullptr;
}

int BulkInsert::socket() const {
    return m_connection ? m_connection->socket() : -1;
}

void BulkInsert::fail(const QSqlError &error) {
    if (m_connection)
        m_connection->fail(error);
    throw Error(kDatabase, QStringLiteral("INSERT INTO %1: %2").arg(m_table, error.text()));
}

void BulkInsert::failWithAnswer(PGresult *answer) {
    if (m_connection)
        m_connection->failWithAnswer(answer);
    const QString message =
        QString::fromUtf8(answer ? PQresultErrorMessage(answer) : PQerrorMessage(pgHandle())).trimmed();
    const char *code = answer ? PQresultErrorField(answer, PG_DIAG_SQLSTATE) : nullptr;
    const QString state = code ? QString::fromLatin1(code) : QString();
    PQclear(answer);
    fail(QSqlError(QStringLiteral("QPSQL"), message, QSqlError::StatementError, state));
}

void BulkInsert::sendSqlite(int rows) {
    sqlite3 *db = sqliteHandle();
    if (!db)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zur Datenbank."));
    const auto failed = [&](int code) {
        const QSqlError error(QStringLiteral("Unable to execute statement"), QString::fromUtf8(sqlite3_errmsg(db)),
                              QSqlError::StatementError, QString::number(code));
        fail(error);
    };
    sqlite3_stmt *statement = rows == kRowsPerStatement ? m_full : nullptr;
    if (!statement) {
        const QString row = QLatin1Char('(') +
                            QStringList(m_columns.size(), QStringLiteral("?")).join(QLatin1Char(',')) +
                            QLatin1Char(')');
        const QByteArray sql =
            (QStringLiteral("INSERT INTO %1 (%2) VALUES ").arg(m_table, m_columns.join(QStringLiteral(", "))) +
             QStringList(rows, row).join(QLatin1Char(',')))
                .toUtf8();
        if (const int code = sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &statement, nullptr);
            code != SQLITE_OK) {
            sqlite3_finalize(statement);
            failed(sqlite3_extended_errcode(db));
        }
        if (rows == kRowsPerStatement)
            m_full = statement;
    }
    struct Finalize {
        sqlite3_stmt *statement;
        bool own;
        ~Finalize() {
            if (own)
                sqlite3_finalize(statement);
            else
                sqlite3_reset(statement);
        }
    } done{statement, statement != m_full};
    for (size_t i = 0; i < m_cells.size(); ++i) {
        const Cell &cell = m_cells[i];
        const int at = int(i) + 1;
        const int bound =
            cell.kind == Cell::Number ? sqlite3_bind_int64(statement, at, cell.number)
            : cell.kind == Cell::Text
                ? sqlite3_bind_text(statement, at, m_texts.constData() + cell.number, cell.length, SQLITE_STATIC)
                : sqlite3_bind_null(statement, at);
        if (bound != SQLITE_OK)
            failed(sqlite3_extended_errcode(db));
    }
    detail::countTrip();
    if (sqlite3_step(statement) != SQLITE_DONE)
        failed(sqlite3_extended_errcode(db));
    m_cells.clear();
    m_texts.clear();
    m_rows = 0;
}

void BulkInsert::failPostgres(const QString &message, const char *state) {
    PGconn *pg = pgHandle();
    m_copying = false;
    while (PGresult *rest = pg ? PQgetResult(pg) : nullptr)
        PQclear(rest);
    fail(QSqlError(QStringLiteral("QPSQL"), message.trimmed(),
                   state ? QSqlError::StatementError : QSqlError::ConnectionError,
                   state ? QString::fromLatin1(state) : QString()));
}

void BulkInsert::startCopy() {
    if (m_connection) {
        m_connection->ensureOpen();
        m_connection->runScript({}); // a BEGIN still waiting
    }
    PGconn *pg = pgHandle();
    if (!pg)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    const QByteArray sql =
        QStringLiteral("COPY %1 (%2) FROM STDIN").arg(m_table, m_columns.join(QStringLiteral(", "))).toUtf8();
    detail::countTrip();
    PGresult *result = nullptr;
    {
        AnswerWatch::Waiting waiting(watch(), socket(), CurrentAnswerLimits().statement);
        // What a statement run through Qt's driver left unread goes first.
        while (PGresult *unread = PQgetResult(pg))
            PQclear(unread);
        result = PQexec(pg, sql.constData());
    }
    if (PQresultStatus(result) != PGRES_COPY_IN)
        failWithAnswer(result);
    PQclear(result);
    m_copying = true;
}

void BulkInsert::putCopy() {
    if (m_copy.isEmpty())
        return;
    if (!m_copying)
        startCopy();
    PGconn *pg = pgHandle();
    int sent = 0;
    {
        AnswerWatch::Waiting waiting(watch(), socket(), CurrentAnswerLimits().statement);
        sent = PQputCopyData(pg, m_copy.constData(), int(m_copy.size()));
    }
    m_copy.clear();
    if (sent != 1)
        failPostgres(QString::fromUtf8(PQerrorMessage(pg)), nullptr);
}

void BulkInsert::endCopy() {
    if (!m_copying)
        return;
    PGconn *pg = pgHandle();
    QString message;
    QByteArray state;
    bool ended = false;
    {
        AnswerWatch::Waiting waiting(watch(), socket(), CurrentAnswerLimits().statement);
        ended = PQputCopyEnd(pg, nullptr) == 1;
        while (PGresult *result = ended ? PQgetResult(pg) : nullptr) {
            if (PQresultStatus(result) != PGRES_COMMAND_OK && message.isEmpty()) {
                message = QString::fromUtf8(PQresultErrorMessage(result));
                const char *code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
                state = code ? QByteArray(code) : QByteArray();
                if (message.isEmpty())
                    message = QStringLiteral("COPY ended without success");
            }
            PQclear(result);
        }
    }
    m_copying = false;
    m_rows = 0;
    if (!ended || PQstatus(pg) != CONNECTION_OK || (m_connection && m_connection->lost()))
        failPostgres(QString::fromUtf8(PQerrorMessage(pg)), nullptr);
    if (!message.isEmpty())
        failPostgres(message, state.isEmpty() ? nullptr : state.constData());
}

} // namespace kxserver
