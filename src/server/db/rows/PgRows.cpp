#include "server/db/rows/PgRows.h"

#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

#include <libpq-fe.h>

namespace kxserver {

namespace {

// PostgreSQL's type numbers (pg_type) of the columns these reads hand out.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kName = 19, kBpchar = 1042, kVarchar = 1043;

} // namespace

PgRows::PgRows(SqlConnection &connection, const QString &sql, const QVariantList &values) : m_connection(connection) {
    connection.ensureOpen();
    connection.runScript({}); // a BEGIN still waiting: the rows belong to the open transaction
    PGconn *pg = connection.pgConnection();
    if (!pg)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    // Asked once: finding the connection's handle through Qt costs more than a row.
    m_pg = pg;
    m_socket = connection.socket();
    m_limit = CurrentAnswerLimits().statement;
    const QByteArray text = (values.isEmpty() ? sql : connection.inlineValues(sql, values)).toUtf8();
    detail::countTrip();
    bool sent = false;
    {
        AnswerWatch::Waiting waiting(connection.m_watch.get(), m_socket, m_limit);
        // What a statement run through Qt's driver left unread goes first, as the driver does.
        while (PGresult *unread = PQgetResult(pg))
            PQclear(unread);
        sent = PQsendQuery(pg, text.constData()) != 0;
    }
    if (!sent)
        connection.failWithAnswer(nullptr);
    m_streaming = PQsetSingleRowMode(pg) != 0;
    if (!m_streaming) {
        drain();
        connection.failWithAnswer(nullptr);
    }
}

PgRows::~PgRows() {
    PQclear(m_answer);
    if (m_streaming)
        drain();
}

void PgRows::drain() {
    m_streaming = false;
    if (!m_connection.isOpen()) // closed: the handle has gone with it
        return;
    AnswerWatch::Waiting waiting(m_connection.m_watch.get(), m_socket, m_limit);
    while (PGresult *unread = PQgetResult(m_pg))
        PQclear(unread);
}

bool PgRows::next() {
    PQclear(m_answer);
    m_answer = nullptr;
    if (!m_streaming)
        return false;
    m_connection.ensureOpen();
    PGresult *answer = nullptr;
    {
        AnswerWatch::Waiting waiting(m_connection.m_watch.get(), m_socket, m_limit);
        answer = PQgetResult(m_pg);
    }
    const ExecStatusType status = answer ? PQresultStatus(answer) : PGRES_FATAL_ERROR;
    if (status == PGRES_SINGLE_TUPLE) {
        m_answer = answer;
        if (m_whole.empty())
            takeTypes();
        detail::countRow();
        return true;
    }
    // The end of the rows, or an error (a failed fetch is an error, never a short result; a stream
    // cut by another statement ends without its last answer).
    drain();
    if (status != PGRES_TUPLES_OK)
        m_connection.failWithAnswer(answer);
    PQclear(answer);
    return false;
}

void PgRows::takeTypes() {
    for (int c = 0; c < PQnfields(m_answer); ++c) {
        const Oid type = PQftype(m_answer, c);
        if (type != kInt2 && type != kInt4 && type != kInt8 && type != kText && type != kName && type != kBpchar &&
            type != kVarchar)
            throw Error(
                kDatabase,
                QStringLiteral("Die Spalte %1 der Abfrage hat einen unerwarteten Typ (%2).").arg(c + 1).arg(type));
        m_whole.push_back(type == kInt2 || type == kInt4 || type == kInt8);
    }
}

QByteArrayView PgRows::raw(int column) const {
    return QByteArrayView(PQgetvalue(m_answer, 0, column), PQgetlength(m_answer, 0, column));
}

bool PgRows::isNull(int column) const {
    return PQgetisnull(m_answer, 0, column) != 0;
}

QString PgRows::text(int column) const {
    if (isNull(column))
        return QString();
    // A whole number comes as its digits, as toString writes it.
    const QByteArrayView value = raw(column);
    return m_whole[size_t(column)] ? QString::fromLatin1(value) : QString::fromUtf8(value);
}

std::optional<qint64> PgRows::whole(int column) const {
    if (!m_whole[size_t(column)] || isNull(column))
        return std::nullopt;
    const QByteArrayView digits = raw(column);
    // PostgreSQL writes a whole number as its digits, a minus before: read here, Qt's reading goes
    // through a copy and costs as much as the rest of the row. Long ones are left to Qt's.
    const bool negative = digits.startsWith('-');
    const QByteArrayView magnitude = digits.sliced(negative ? 1 : 0);
    if (magnitude.isEmpty() || magnitude.size() > 18) {
        bool ok = false;
        const qint64 value = digits.toLongLong(&ok);
        return ok ? std::optional<qint64>(value) : std::nullopt;
    }
    qint64 value = 0;
    for (const char c : magnitude) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::optional<QByteArrayView> PgRows::textBytes(int column) const {
    if (m_whole[size_t(column)] || isNull(column))
        return std::nullopt;
    return raw(column);
}

} // namespace kxserver
