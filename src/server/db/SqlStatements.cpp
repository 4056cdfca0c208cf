// Statements: preparing, running and reading them, with the answer limits and the count of
// requests; a unit's script in one request; the errors in German words.
#include "server/db/SqlConnection.h"

#include "server/db/Dialect.h"
#include "server/db/PgLiteral.h"
#include "server/db/PlainDb.h"
#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlRecord>

#include <libpq-fe.h>

#include <atomic>
#include <ctime>
#include <mutex>

namespace kxserver {

namespace {

std::atomic<quint64> gRoundTrips{0};
std::atomic<quint64> gRowsRead{0};

std::mutex gLimitsMutex;
AnswerLimits gLimits;

// The supplier rules a clerk's commit broke, as PostgreSQL's own check refused them (see
// PgSecuritySql.cpp): the same refusal as the program's, which the window answers with a refresh.
std::optional<QString> SupplierRulesRefusal(const QSqlError &error) {
    if (error.nativeErrorCode() != QLatin1String("KX011"))
        return std::nullopt;
    const QString text = error.databaseText().section(QLatin1Char('\n'), 0, 0);
    const qsizetype start = text.indexOf(QLatin1String("Die "));
    return start < 0 ? text : text.mid(start);
}

} // namespace

namespace detail {

void countTrip() {
    ++gRoundTrips;
}

void countRow() {
    ++gRowsRead;
}

} // namespace detail

using detail::countTrip;

quint64 RoundTrips() {
    return gRoundTrips.load();
}

quint64 RowsRead() {
    return gRowsRead.load();
}

AnswerLimits CurrentAnswerLimits() {
    std::lock_guard<std::mutex> lock(gLimitsMutex);
    return gLimits;
}

void SetAnswerLimits(const AnswerLimits &limits) {
    std::lock_guard<std::mutex> lock(gLimitsMutex);
    gLimits = limits;
}

PGconn *SqlConnection::pgConnection() const {
    return PgHandle(db());
}

::sqlite3 *SqlConnection::sqliteConnection() const {
    return SqliteHandle(db());
}

int SqlConnection::socket() const {
    if (!m_watch)
        return -1;
    PGconn *connection = pgConnection();
    return connection ? PQsocket(connection) : -1;
}

bool SqlConnection::lost() const {
    if (!m_watch)
        return false;
    if (m_watch->expired())
        return true;
    PGconn *connection = pgConnection();
    return !connection || PQstatus(connection) == CONNECTION_BAD;
}

QString SqlConnection::now() {
    // Asked once per entry a unit writes; the text only changes with the second, and writing it out
    // costs more than the rest of an entry's bookkeeping.
    // The system's clock in seconds is cheap; the local time behind the text is not.
    thread_local std::time_t second = -1;
    thread_local QString text;
    if (const std::time_t s = std::time(nullptr); s != second) {
        text = QDateTime::currentDateTime().toString(Qt::ISODate);
        second = s;
    }
    return text;
}

// The statement's text is never shown: the clerk gets the error in German words.
void SqlConnection::fail(const QSqlError &error) {
    if (m_open && lost()) {
        // The server went away or stopped answering: what was not committed is gone with the
        // connection, and the next access connects afresh.
        const bool silent = m_watch->expired();
        if (m_unit)
            m_unitBroken = true;
        close();
        // What was written before stays on the server; the step itself may or may not have been
        // stored (a commit whose answer never came), and the window shows the server's state
        // before the next change.
        const QString step = QStringLiteral(" Der Vorgang ist vielleicht gespeichert, vielleicht nicht; die Anzeige "
                                            "wird vor der nächsten Änderung auf den Stand des Servers gebracht.");
        throw Error(kNotConnected,
                    (silent ? QStringLiteral("Der Server antwortet nicht mehr; die Verbindung wurde getrennt.")
                            : QStringLiteral("Die Verbindung zum Server ist abgebrochen.")) +
                        step);
    }
    if (m_target.backend == Backend::Postgres && m_transaction && m_open) {
        // PostgreSQL has aborted the transaction already and refuses every further statement
        // (even freeing prepared ones); end it now. Inside a unit, write() marks the unit broken.
        QSqlQuery rollback(db());
        awaitAnswer(CurrentAnswerLimits().statement, [&] { return rollback.exec(QStringLiteral("ROLLBACK")); });
        if (m_unit)
            m_unitBroken = true;
        endTransaction();
    }
    if (const std::optional<QString> rules = SupplierRulesRefusal(error))
        throw Error(kRejected, *rules);
    if (IsBusyError(m_target.backend, error))
        throw Error(kBusy, QStringLiteral("Die Daten werden gerade an einem anderen Arbeitsplatz geändert. Der "
                                          "Vorgang wurde nicht ausgeführt, nichts davon wurde gespeichert; bitte "
                                          "versuchen Sie es gleich noch einmal."));
    throw Error(kDatabase, DescribeDatabaseError(m_target.backend, error));
}

QSqlQuery SqlConnection::prepare(const QString &sql) {
    ensureOpen();
    if (m_beginPending)
        runScript({});
    QSqlQuery query(db());
    query.setForwardOnly(true);
    if (m_target.backend == Backend::Postgres)
        countTrip(); // Qt's driver sends PREPARE at once
    if (!awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.prepare(sql); }))
        fail(query.lastError());
    return query;
}

void SqlConnection::execute(QSqlQuery &query, const QVariantList &values) {
    ensureOpen();
    countTrip();
    bindAndExec(query, values);
}

void SqlConnection::bindAndExec(QSqlQuery &query, const QVariantList &values) {
    // Qt's driver writes the values of a prepared statement into its EXECUTE; text goes in quoted by
    // libpq on the live connection (PgLiteral.h).
    const bool postgres = m_target.backend == Backend::Postgres;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, postgres ? PgBindValue(pgConnection(), values.at(i)) : values.at(i));
    if (!awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.exec(); }))
        fail(query.lastError());
}

bool SqlConnection::next(QSqlQuery &query) {
    ensureOpen();
    if (awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.next(); })) {
        ++gRowsRead;
        return true;
    }
    if (query.lastError().type() != QSqlError::NoError)
        fail(query.lastError());
    return false;
}

std::shared_ptr<QSqlQuery> SqlConnection::keptStatement(const QString &sql) {
    if (std::shared_ptr<QSqlQuery> kept = m_kept.lend(sql))
        return kept;
    return m_kept.keep(sql, prepare(sql));
}

std::shared_ptr<QSqlQuery> SqlConnection::runCached(const QString &sql, const QVariantList &values) {
    // Without values run sends the text as it stands (PostgreSQL cannot prepare BEGIN).
    if (values.isEmpty())
        return std::make_shared<QSqlQuery>(run(sql, values));
    ensureOpen();
    if (m_beginPending)
        runScript({}); // a statement prepared before belongs to this transaction all the same
    std::shared_ptr<QSqlQuery> query = m_kept.lend(sql);
    if (!query && m_target.backend == Backend::Postgres && m_kept.has(sql))
        // Still being read by another caller: run once as it stands (one request, not three).
        return std::make_shared<QSqlQuery>(run(sql, values));
    if (!query)
        query = m_kept.keep(sql, prepare(sql));
    execute(*query, values);
    return query;
}

SqlConnection::Rows SqlConnection::runScript(const std::vector<Statement> &statements) {
    ensureOpen();
    std::vector<Statement> all;
    if (m_beginPending) {
        // IMMEDIATE takes SQLite's write lock at once, so two workstations cannot both read, then
        // both try to upgrade and one of them fail half way.
        all.push_back(
            {m_target.backend == Backend::Sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"), {}});
        m_beginPending = false;
    }
    all.insert(all.end(), statements.begin(), statements.end());
    Rows rows;
    if (all.empty())
        return rows;
    countTrip();
    if (m_target.backend == Backend::Postgres) {
        QStringList texts;
        for (const Statement &statement : all)
            texts << (statement.second.isEmpty() ? statement.first : inlineValues(statement.first, statement.second));
        return runPostgresScript(texts.join(QStringLiteral(";\n")));
    }
    // In-process: one call of the program, statement by statement, each with its values bound.
    for (const Statement &statement : all) {
        const std::shared_ptr<QSqlQuery> query = keptStatement(statement.first);
        bindAndExec(*query, statement.second);
        if (query->isSelect()) {
            rows.clear();
            const int columns = query->record().count();
            while (next(*query)) {
                QVariantList row;
                for (int i = 0; i < columns; ++i)
                    row << query->value(i);
                rows.push_back(row);
            }
        }
    }
    return rows;
}

SqlConnection::Rows SqlConnection::runPostgresScript(const QString &text) {
    PGconn *connection = pgConnection();
    if (!connection)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    // The request and every answer to it wait under the watch: a server that stops answering cuts
    // the connection instead of freezing the window. The watch ends before any error is raised.
    Rows rows;
    QString message;
    QString state;
    QString lastTag; // the command tag of the script's last statement
    bool sent = false;
    {
        AnswerWatch::Waiting waiting(m_watch.get(), socket(), CurrentAnswerLimits().statement);
        // What a statement run through Qt's driver left unread goes first, as the driver itself does
        // before each of its own: a kept statement stays open after its caller let go of it.
        while (PGresult *unread = PQgetResult(connection))
            PQclear(unread);
        sent = PQsendQuery(connection, text.toUtf8().constData()) != 0;
        // Every statement's result is read: the first error is the script's, and it has ended the
        // statements after it (and left an open transaction aborted, which fail() rolls back).
        while (PGresult *result = sent ? PQgetResult(connection) : nullptr) {
            const ExecStatusType status = PQresultStatus(result);
            if (status == PGRES_FATAL_ERROR) {
                if (!message.isEmpty()) {
                    PQclear(result);
                    continue;
                }
                message = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
                const char *code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
                state = code ? QString::fromLatin1(code) : QString();
            }
            lastTag = QString::fromLatin1(PQcmdStatus(result));
            if (status == PGRES_TUPLES_OK) {
                rows.clear();
                const int count = PQntuples(result);
                const int columns = PQnfields(result);
                rows.reserve(count);
                for (int r = 0; r < count; ++r) {
                    QVariantList row;
                    for (int c = 0; c < columns; ++c)
                        row << (PQgetisnull(result, r, c) ? QVariant()
                                                          : QVariant(QString::fromUtf8(PQgetvalue(result, r, c))));
                    rows.push_back(row);
                }
            }
            PQclear(result);
        }
    }
    if (!message.isEmpty())
        fail(QSqlError(QStringLiteral("QPSQL"), message, QSqlError::StatementError, state));
    failUnlessCommitted(text, lastTag);
    // Not sent, or the server went away in the middle: nothing of the script is known to be stored.
    if (!sent || PQstatus(connection) != CONNECTION_OK || lost())
        fail(QSqlError(QStringLiteral("QPSQL"), QString::fromUtf8(PQerrorMessage(connection)),
                       QSqlError::ConnectionError));
    m_scriptAnswered = std::chrono::steady_clock::now();
    return rows;
}

// PostgreSQL answers the COMMIT of a transaction that an earlier, unnoticed error aborted with
// "ROLLBACK" and no error: a script ending in COMMIT has stored its work only when the answer says so.
void SqlConnection::failWithAnswer(PGresult *answer) {
    const QString message =
        QString::fromUtf8(answer ? PQresultErrorMessage(answer) : PQerrorMessage(pgConnection())).trimmed();
    const char *code = answer ? PQresultErrorField(answer, PG_DIAG_SQLSTATE) : nullptr;
    const QString state = code ? QString::fromLatin1(code) : QString(); // read before the answer is cleared
    PQclear(answer);
    fail(QSqlError(QStringLiteral("QPSQL"), message,
                   state.isEmpty() ? QSqlError::ConnectionError : QSqlError::StatementError, state));
}

void SqlConnection::failUnlessCommitted(const QString &script, const QString &lastTag) {
    if (!script.endsWith(QLatin1String("COMMIT")) || lastTag == QLatin1String("COMMIT"))
        return;
    fail(QSqlError(QStringLiteral("QPSQL"),
                   QStringLiteral("COMMIT answered \"%1\": the transaction was rolled back").arg(lastTag),
                   QSqlError::TransactionError, QStringLiteral("25P02")));
}

QSqlQuery SqlConnection::run(const QString &sql, const QVariantList &values) {
    if (m_beginPending)
        runScript({}); // its BEGIN alone: the rows are read through Qt's driver
    if (!values.isEmpty() && m_target.backend == Backend::Sqlite) {
        QSqlQuery query = prepare(sql);
        execute(query, values);
        return query;
    }
    // Without values there is nothing to bind: sent as it stands (PostgreSQL cannot prepare BEGIN).
    // On PostgreSQL Qt's driver would send three requests for a statement with values (PREPARE,
    // EXECUTE with the values written in, DEALLOCATE); writing them in here sends one, quoted by
    // libpq on the live connection (PgLiteral.h).
    ensureOpen();
    const QString text = values.isEmpty() ? sql : inlineValues(sql, values);
    QSqlQuery query(db());
    query.setForwardOnly(true);
    countTrip();
    if (!awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.exec(text); }))
        fail(query.lastError());
    return query;
}

QString SqlConnection::inlineValues(const QString &sql, const QVariantList &values) const {
    return PgInlineValues(pgConnection(), sql, values);
}

SqlConnection::Rows SqlConnection::runWithParameters(const QString &sql, const QStringList &values) {
    ensureOpen();
    if (m_beginPending)
        runScript({}); // inside a unit the statement belongs to its transaction
    PGconn *connection = pgConnection();
    if (!connection)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    std::vector<QByteArray> texts;
    std::vector<const char *> pointers;
    for (const QString &value : values)
        texts.push_back(value.toUtf8());
    for (const QByteArray &text : texts)
        pointers.push_back(text.constData());
    countTrip();
    PGresult *result = nullptr;
    {
        AnswerWatch::Waiting waiting(m_watch.get(), socket(), CurrentAnswerLimits().statement);
        result = PQexecParams(connection, sql.toUtf8().constData(), static_cast<int>(pointers.size()), nullptr,
                              pointers.data(), nullptr, nullptr, 0);
    }
    Rows rows;
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        failWithAnswer(result);
    for (int r = 0; r < PQntuples(result); ++r) {
        QVariantList row;
        for (int c = 0; c < PQnfields(result); ++c)
            row << (PQgetisnull(result, r, c) ? QVariant() : QVariant(QString::fromUtf8(PQgetvalue(result, r, c))));
        rows.push_back(row);
    }
    PQclear(result);
    return rows;
}

} // namespace kxserver
