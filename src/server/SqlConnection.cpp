#include "SqlConnection.h"

#include "DatabaseErrors.h"
#include "PgLiteral.h"
#include "ServerErrorCodes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>

#include <libpq-fe.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <mutex>

namespace kxserver {

namespace {

std::atomic<quint64> gConnectionCounter{0};
std::atomic<quint64> gRoundTrips{0};

void countTrip() {
    ++gRoundTrips;
}

// libpq's own sources (~/.pgpass, PGSERVICE, PGUSER) supply the credentials; the program stores none.
// A short connect timeout keeps a dead server from freezing the clerk's window; keepalives find a
// half-open connection, and tcp_user_timeout a peer that stops acknowledging what was sent (a cut
// cable) after 5 seconds; the application name tells the administrator who is connected.
const char *const kPostgresOptions = "connect_timeout=5;keepalives=1;keepalives_idle=30;keepalives_interval=10;"
                                     "keepalives_count=3;tcp_user_timeout=5000;application_name=korvex-hauptlief";

std::mutex gLimitsMutex;
AnswerLimits gLimits;

bool statFile(const QString &path, unsigned long long *device, unsigned long long *inode) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *device = static_cast<unsigned long long>(info.st_dev);
    *inode = static_cast<unsigned long long>(info.st_ino);
    return true;
}

bool isBusyError(Backend backend, const QSqlError &error) {
    if (backend == Backend::Sqlite) {
        const int code = SqlitePrimaryCode(error); // with the extended codes of both
        return code == kSqliteBusy || code == kSqliteLocked;
    }
    // lock_not_available, serialization_failure, deadlock_detected
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("55P03") || code == QLatin1String("40001") || code == QLatin1String("40P01");
}

// A KORVEX database of another schema version is no server that does not answer: the clerk, and
// the administrator he calls, learn which version it is and what upgrades it.
[[noreturn]] void throwOtherVersion(const ConnectTarget &target, int found) {
    const bool sqlite = target.backend == Backend::Sqlite;
    const QString host = target.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(target.host) : target.host;
    const QString server = QStringLiteral("%1:%2").arg(host).arg(target.port);
    throw Error(
        kOtherVersion,
        SchemaVersionMessage(sqlite ? QDir::toNativeSeparators(target.path) : QStringLiteral("korvex auf ") + server,
                             found, sqlite ? target.path : QStringLiteral("--pg ") + server));
}

// A file that the program could open but cannot work with: it is read-only (or its folder is, so
// that SQLite cannot keep its journal beside it), or it is damaged. Reported at the connect, with
// the reason: a clerk would otherwise log in and fail at the first change.
[[noreturn]] void throwUnusable(const QString &path, const QSqlError &error) {
    const int code = SqlitePrimaryCode(error);
    const QString why = code == kSqliteCorrupt || code == kSqliteNotADb
                            ? QStringLiteral("Sie ist beschädigt.")
                            : QStringLiteral("Das Programm darf sie nicht beschreiben: die Datei, ihr Ordner oder "
                                             "der Datenträger ist schreibgeschützt, oder es fehlt das Recht, neben "
                                             "ihr Dateien anzulegen.");
    QString detail = error.databaseText().trimmed().section(QLatin1Char('\n'), 0, 0);
    throw Error(
        kUnusableDatabase,
        QStringLiteral("Die Datenbankdatei %1 ist nicht verwendbar. %2").arg(QDir::toNativeSeparators(path), why) +
            (detail.isEmpty() ? QString() : QLatin1Char('\n') + detail));
}

// Errors that say the file is there and is ours, but cannot be used (rather than foreign).
bool unusable(const QSqlError &error) {
    switch (SqlitePrimaryCode(error)) {
    case kSqliteReadOnly:
    case kSqliteCorrupt:
    case kSqliteCantOpen:
    case kSqliteIoErr:
    case kSqlitePerm:
        return true;
    default:
        return false;
    }
}

// The session's own search_path, pg_catalog first: whatever a login set for itself, our names mean
// our tables (schema korvex; public in databases of older versions) and the system's functions. The
// admin's tool reads and writes through this connection too.
bool setPostgresSearchPath(QSqlQuery &setup) {
    return setup.exec(QStringLiteral("SET search_path = pg_catalog, korvex, public"));
}

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

quint64 RoundTrips() {
    return gRoundTrips.load();
}

AnswerLimits CurrentAnswerLimits() {
    std::lock_guard<std::mutex> lock(gLimitsMutex);
    return gLimits;
}

void SetAnswerLimits(const AnswerLimits &limits) {
    std::lock_guard<std::mutex> lock(gLimitsMutex);
    gLimits = limits;
}

std::optional<ConnectTarget> ParseConnectString(const QString &connectString) {
    static const QRegularExpression pattern(QStringLiteral("^cn_iptcp:(.*)\\[([0-9]{1,5})\\]:KORVEX$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(connectString);
    if (!match.hasMatch())
        return std::nullopt;
    ConnectTarget target;
    const QString server = match.captured(1);
    target.port = match.captured(2).toInt();
    // A NUL ends a file name for the system, so no file or host has one; Qt's file functions would
    // answer such a name with an empty path.
    if (server.trimmed().isEmpty() || server.contains(QChar::Null))
        return std::nullopt;
    if (server.contains(QLatin1Char('/'))) {
        target.backend = Backend::Sqlite;
        target.path = QFileInfo(server).absoluteFilePath();
        return target;
    }
    // libpq would read blanks, commas and '=' as separators of further hosts or options.
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9._:-]+$"));
    if (!hostPattern.match(server).hasMatch() || target.port < 1 || target.port > 65535)
        return std::nullopt;
    target.backend = Backend::Postgres;
    target.host = server;
    return target;
}

SqlConnection::SqlConnection(const ConnectTarget &target)
    : m_target(target), m_name(QStringLiteral("korvex-server-%1").arg(++gConnectionCounter)) {}

SqlConnection::~SqlConnection() {
    close();
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase SqlConnection::db() const {
    return QSqlDatabase::database(m_name, false);
}

std::shared_ptr<SqlConnection> SqlConnection::open(const ConnectTarget &target) {
    std::shared_ptr<SqlConnection> connection(new SqlConnection(target));
    const bool ok = target.backend == Backend::Sqlite ? connection->openSqlite() : connection->openPostgres();
    if (!ok)
        return nullptr;
    connection->m_open = true;
    return connection;
}

bool SqlConnection::openSqlite() {
    // A connect never creates a file: a missing one is a server that does not answer.
    if (!QFileInfo(m_target.path).isFile() || !statFile(m_target.path, &m_device, &m_inode))
        return false;
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    // mode=rw makes SQLite itself refuse to create the file, closing the gap after the check above.
    database.setDatabaseName(QUrl::fromLocalFile(m_target.path).toString(QUrl::FullyEncoded) +
                             QStringLiteral("?mode=rw"));
    database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
    if (!database.open())
        return false;
    QSqlQuery pragma(database);
    const auto giveUp = [&] {
        pragma = QSqlQuery();
        database.close();
    };
    // Look before changing anything: a foreign file must stay exactly as it was.
    if (!pragma.exec(QStringLiteral("PRAGMA foreign_keys = ON")) || !IsKorvexDatabase(database)) {
        if (const std::optional<int> found = KorvexSchemaVersion(database)) {
            giveUp();
            throwOtherVersion(m_target, *found);
        }
        // Why it is not ours to open: a file whose name reads as a KORVEX database but whose
        // contents cannot be read is worth a word; a foreign file is not reachable, as always.
        QSqlQuery probe(database);
        const bool read = probe.exec(QStringLiteral("SELECT value FROM korvex_meta WHERE key = 'schema'"));
        const QSqlError error = probe.lastError();
        probe = QSqlQuery();
        if (!read && unusable(error)) {
            giveUp();
            throwUnusable(m_target.path, error);
        }
        giveUp();
        return false;
    }
    // WAL lets the other workstations read while one writes; NORMAL synchronisation is safe in WAL
    // mode (a crash loses no committed data short of a power cut) and keeps a click's write short.
    // SQLite opens a file it may not write read-only without a word (mode=rw means "if it can"),
    // and only a write finds out: so one row is written and rolled back at once, which stores
    // nothing. Another workstation holding the write lock shows the file is writable.
    const QString trialWrite = QStringLiteral("UPDATE korvex_meta SET value = value WHERE key = 'schema'");
    for (const QString &statement :
         {QStringLiteral("PRAGMA journal_mode = WAL"), QStringLiteral("PRAGMA synchronous = NORMAL"),
          QStringLiteral("PRAGMA busy_timeout = 5000"), QStringLiteral("BEGIN IMMEDIATE"), trialWrite,
          QStringLiteral("ROLLBACK")}) {
        if (pragma.exec(statement))
            continue;
        const QSqlError error = pragma.lastError();
        if (statement == QLatin1String("BEGIN IMMEDIATE") && isBusyError(Backend::Sqlite, error))
            break;
        if (statement == trialWrite)
            pragma.exec(QStringLiteral("ROLLBACK"));
        giveUp();
        if (unusable(error))
            throwUnusable(m_target.path, error);
        return false;
    }
    // The journal mode is the answer of its pragma: a file that stays out of WAL mode cannot keep
    // its journal beside it.
    pragma.exec(QStringLiteral("PRAGMA journal_mode"));
    if (!pragma.next() || pragma.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        const QSqlError error = pragma.lastError();
        giveUp();
        throwUnusable(m_target.path, error);
    }
    return true;
}

bool SqlConnection::openPostgres() {
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
    database.setHostName(m_target.host);
    database.setPort(m_target.port);
    database.setDatabaseName(QStringLiteral("korvex"));
    database.setConnectOptions(QString::fromLatin1(kPostgresOptions));
    if (!database.open())
        return false;
    m_watch = std::make_unique<AnswerWatch>();
    QSqlQuery setup(database);
    // A clerk waiting on another's lock gets an answer within seconds; a unit left open by a hung
    // workstation does not block the others for long; no statement runs for ever.
    std::optional<int> version;
    const bool ready = awaitAnswer(CurrentAnswerLimits().setUp, [&] {
        return setPostgresSearchPath(setup) && setup.exec(QStringLiteral("SET lock_timeout = '5s'")) &&
               setup.exec(QStringLiteral("SET idle_in_transaction_session_timeout = '60s'")) &&
               setup.exec(QStringLiteral("SET statement_timeout = '%1'").arg(QLatin1String(kStatementTimeout))) &&
               (version = KorvexSchemaVersion(database)).has_value();
    });
    if (!ready || *version != kSchemaVersion) {
        setup = QSqlQuery();
        database.close();
        if (ready)
            throwOtherVersion(m_target, *version);
        return false;
    }
    // The live view: every commit that changes a list names it on this channel (pg_notify), and the
    // notifications arrive on this very connection, so the idle disconnect still drops everything.
    if (QSqlDriver *driver = database.driver()) {
        driver->subscribeToNotification(QString::fromLatin1(kListChannel));
        m_notifications = QObject::connect(
            driver, &QSqlDriver::notification,
            [this](const QString &name, QSqlDriver::NotificationSource source, const QVariant &payload) {
                if (name == QLatin1String(kListChannel) && source == QSqlDriver::OtherSource)
                    m_notified.insert(payload.toString().toLongLong());
            });
    }
    return true;
}

void SqlConnection::drainNotifications() {
    // Notifications that libpq read along with a script's answers wait in its queue, where Qt's
    // socket watch does not see them.
    PGconn *connection = pgConnection();
    if (!connection)
        return;
    PQconsumeInput(connection);
    const int self = PQbackendPID(connection);
    while (PGnotify *notify = PQnotifies(connection)) {
        if (qstrcmp(notify->relname, kListChannel) == 0 && notify->be_pid != self)
            m_notified.insert(QByteArray(notify->extra).toLongLong());
        PQfreemem(notify);
    }
}

bool SqlConnection::mayHaveChanged(qint64 list) {
    if (!m_open || m_transaction)
        return false;
    if (m_target.backend == Backend::Postgres) {
        drainNotifications();
        return m_notified.erase(list) > 0;
    }
    // SQLite's counter changes with every commit of another connection to the file; reading it is a
    // look at the file's header, in-process.
    QSqlQuery query(db());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA data_version")) || !query.next())
        return false;
    const qint64 version = query.value(0).toLongLong();
    if (version == m_dataVersion)
        return false;
    m_dataVersion = version;
    return true;
}

bool SqlConnection::sameFile() const {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    return statFile(m_target.path, &device, &inode) && device == m_device && inode == m_inode;
}

bool SqlConnection::alive() {
    if (!m_open)
        return false;
    // SQLite keeps reading a deleted or replaced file through its open handle; only the name tells.
    // Such a connection is closed at once (see close() for what that saves).
    if (m_target.backend == Backend::Sqlite && !sameFile()) {
        close();
        return false;
    }
    QSqlDatabase database = db();
    if (!database.isOpen())
        return false;
    QSqlQuery query(database);
    query.setForwardOnly(true);
    countTrip();
    const bool answered = awaitAnswer(CurrentAnswerLimits().check, [&] {
        return query.exec(QStringLiteral("SELECT value FROM korvex_meta WHERE key = 'schema'")) && query.next();
    });
    if (!answered) {
        // A server that no longer answers (or whose connection broke) is gone for this connection:
        // the next access connects afresh, through the usual attempts.
        if (lost()) {
            query = QSqlQuery();
            close();
        }
        return false;
    }
    return query.value(0).toString() == QLatin1String(kSchemaMarker);
}

PGconn *SqlConnection::pgConnection() const {
    const QSqlDatabase database = db();
    const QVariant handle = database.isValid() && database.driver() ? database.driver()->handle() : QVariant();
    // Qt's driver hands out libpq's connection under its struct name.
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0))
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
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

void SqlConnection::close() {
    if (!m_open)
        return;
    m_open = false;
    QObject::disconnect(m_notifications);
    watchedLists.clear();
    m_notified.clear();
    m_unit = false;
    m_unitBroken = false;
    endTransaction();
    sessionFirma.reset();
    sessionFiliale.reset();
    sessionPersonal.reset();
    QSqlDatabase database = db();
    if (m_target.backend == Backend::Sqlite && database.isOpen() && !sameFile()) {
        // Committed changes wait in the "-wal" file beside the database's name until a checkpoint
        // copies them into the database. SQLite's own close skips that for a file that was moved,
        // replaced or deleted while open: the clerk's last changes would stay behind in a "-wal"
        // that no longer belongs to the file (and that a new database under the old name would
        // delete, or even read as its own). So they go into the file through the open handle now,
        // and the old "-wal" is emptied.
        QSqlQuery checkpoint(database);
        checkpoint.exec(QStringLiteral("ROLLBACK")); // a unit left open ends here in any case
        checkpoint.exec(QStringLiteral("PRAGMA busy_timeout = 500"));
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        checkpoint.finish();
    }
    database.close();
}

void SqlConnection::ensureOpen() const {
    if (!m_open)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
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
    if (isBusyError(m_target.backend, error))
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
    if (awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.next(); }))
        return true;
    if (query.lastError().type() != QSqlError::NoError)
        fail(query.lastError());
    return false;
}

std::shared_ptr<QSqlQuery> SqlConnection::runCached(const QString &sql, const QVariantList &values) {
    // PostgreSQL statements go out whole in one request anyway (see run); only SQLite gains.
    if (!m_transaction || values.isEmpty() || m_target.backend == Backend::Postgres)
        return std::make_shared<QSqlQuery>(run(sql, values));
    auto found = m_statements.find(sql);
    if (found == m_statements.end())
        found = m_statements.emplace(sql, std::make_shared<QSqlQuery>(prepare(sql))).first;
    execute(*found->second, values);
    return found->second;
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
        QSqlQuery query = prepare(statement.first);
        bindAndExec(query, statement.second);
        if (query.isSelect()) {
            rows.clear();
            const int columns = query.record().count();
            while (next(query)) {
                QVariantList row;
                for (int i = 0; i < columns; ++i)
                    row << query.value(i);
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
    return rows;
}

// PostgreSQL answers the COMMIT of a transaction that an earlier, unnoticed error aborted with
// "ROLLBACK" and no error: a script ending in COMMIT has stored its work only when the answer says so.
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

void SqlConnection::beginTransaction() {
    // BEGIN waits for the transaction's first statement and goes out with it (runScript): a unit
    // costs no request of its own.
    m_beginPending = true;
    m_transaction = true;
    writtenStamps.clear();
    book.reset();
}

void SqlConnection::endTransaction() {
    m_transaction = false;
    m_beginPending = false;
    book.reset();
    m_statements.clear();
}

void SqlConnection::commitTransaction() {
    if (m_beginPending) { // nothing was sent, so there is nothing to commit
        endTransaction();
        return;
    }
    std::vector<Statement> script = CheckTouchedArticles(*this);
    if (m_target.backend == Backend::Postgres)
        for (const qint64 list : book.changedLists()) // delivered with the commit, never without it
            script.push_back(
                {QStringLiteral("SELECT pg_notify(?, ?)"), {QString::fromLatin1(kListChannel), QString::number(list)}});
    script.push_back({QStringLiteral("COMMIT"), {}});
    runScript(script);
    for (const auto &[key, after] : book.checked())
        writtenStamps[{key.first, after.articleNumber}] = after.stamp;
    endTransaction();
}

void SqlConnection::rollbackTransaction() {
    if (m_transaction && m_open && !m_beginPending) {
        QSqlQuery query(db());
        countTrip();
        // A lost connection has rolled back by itself.
        awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.exec(QStringLiteral("ROLLBACK")); });
    }
    endTransaction();
}

void SqlConnection::failIfUnitBroken() const {
    if (m_unitBroken)
        throw Error(kUnitState, QStringLiteral("Die Änderungen wurden wegen eines vorherigen Fehlers verworfen; "
                                               "es wird nichts weiter gespeichert."));
}

void SqlConnection::beginUnit() {
    ensureOpen();
    if (m_unit)
        throw Error(kUnitState, QStringLiteral("Es ist bereits eine Änderungseinheit offen."));
    beginTransaction();
    m_unit = true;
    m_unitBroken = false;
}

void SqlConnection::commitUnit() {
    ensureOpen();
    if (!m_unit)
        throw Error(kUnitState, QStringLiteral("Es ist keine Änderungseinheit offen."));
    if (m_unitBroken) {
        m_unit = false;
        m_unitBroken = false;
        rollbackTransaction();
        throw Error(kUnitState, QStringLiteral("Die Änderungen wurden wegen eines vorherigen Fehlers verworfen."));
    }
    m_unit = false;
    try {
        commitTransaction();
    } catch (...) {
        rollbackTransaction();
        throw;
    }
}

void SqlConnection::rollbackUnit() {
    // Safe to call from any clean-up path: without an open unit there is nothing to undo.
    if (!m_unit)
        return;
    m_unit = false;
    m_unitBroken = false;
    rollbackTransaction();
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
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        const QString message = QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(connection));
        const char *code = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        PQclear(result);
        fail(QSqlError(QStringLiteral("QPSQL"), message.trimmed(),
                       code ? QSqlError::StatementError : QSqlError::ConnectionError,
                       code ? QString::fromLatin1(code) : QString()));
    }
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
