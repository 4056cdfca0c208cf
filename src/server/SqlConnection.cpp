#include "SqlConnection.h"

#include "ServerErrorCodes.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>
#include <QUrl>

#include <libpq-fe.h>
#include <sys/stat.h>

#include <atomic>

namespace kxserver {

namespace {

std::atomic<quint64> gConnectionCounter{0};
std::atomic<quint64> gRoundTrips{0};

void countTrip() {
    ++gRoundTrips;
}

// libpq's own sources (~/.pgpass, PGSERVICE, PGUSER) supply the credentials; the program stores none.
// A short connect timeout keeps a dead server from freezing the clerk's window; keepalives find a
// half-open connection; the application name tells the administrator who is connected.
const char *const kPostgresOptions = "connect_timeout=5;keepalives=1;keepalives_idle=30;keepalives_interval=10;"
                                     "keepalives_count=3;application_name=korvex-hauptlief";

bool statFile(const QString &path, unsigned long long *device, unsigned long long *inode) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *device = static_cast<unsigned long long>(info.st_dev);
    *inode = static_cast<unsigned long long>(info.st_ino);
    return true;
}

bool isBusyError(Backend backend, const QSqlError &error) {
    const QString code = error.nativeErrorCode();
    if (backend == Backend::Sqlite) {
        // SQLITE_BUSY and SQLITE_LOCKED with their extended codes (the low byte is the primary code).
        bool ok = false;
        const int number = code.toInt(&ok);
        return ok && ((number & 0xff) == 5 || (number & 0xff) == 6);
    }
    // lock_not_available, serialization_failure, deadlock_detected
    return code == QLatin1String("55P03") || code == QLatin1String("40001") || code == QLatin1String("40P01");
}

} // namespace

quint64 RoundTrips() {
    return gRoundTrips.load();
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
    // Look before changing anything: a foreign file must stay exactly as it was.
    if (!pragma.exec(QStringLiteral("PRAGMA foreign_keys = ON")) || !IsKorvexDatabase(database)) {
        pragma = QSqlQuery();
        database.close();
        return false;
    }
    // WAL lets the other workstations read while one writes; NORMAL synchronisation is safe in WAL
    // mode (a crash loses no committed data short of a power cut) and keeps a click's write short.
    if (!pragma.exec(QStringLiteral("PRAGMA journal_mode = WAL")) ||
        !pragma.exec(QStringLiteral("PRAGMA synchronous = NORMAL")) ||
        !pragma.exec(QStringLiteral("PRAGMA busy_timeout = 5000"))) {
        pragma = QSqlQuery();
        database.close();
        return false;
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
    QSqlQuery setup(database);
    // A clerk waiting on another's lock gets an answer within seconds; a unit left open by a hung
    // workstation does not block the others for long.
    if (!setup.exec(QStringLiteral("SET lock_timeout = '5s'")) ||
        !setup.exec(QStringLiteral("SET idle_in_transaction_session_timeout = '60s'")) || !IsKorvexDatabase(database)) {
        setup = QSqlQuery();
        database.close();
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
    const QVariant handle = db().driver()->handle();
    const bool isPq =
        handle.isValid() && (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0);
    PGconn *connection = isPq ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
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
    if (!query.exec(QStringLiteral("SELECT value FROM korvex_meta WHERE key = 'schema'")) || !query.next())
        return false;
    return query.value(0).toString() == QLatin1String(kSchemaMarker);
}

void SqlConnection::close() {
    if (!m_open)
        return;
    m_open = false;
    QObject::disconnect(m_notifications);
    watched.clear();
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
    return QDateTime::currentDateTime().toString(Qt::ISODate);
}

void SqlConnection::fail(const QSqlQuery &query, const QString &sql) {
    fail(query.lastError(), sql);
}

void SqlConnection::fail(const QSqlError &error, const QString &sql) {
    if (m_target.backend == Backend::Postgres && m_transaction && m_open) {
        // PostgreSQL has aborted the transaction already and refuses every further statement
        // (even freeing prepared ones); end it now. Inside a unit, write() marks the unit broken.
        QSqlQuery rollback(db());
        rollback.exec(QStringLiteral("ROLLBACK"));
        if (m_unit)
            m_unitBroken = true;
        endTransaction();
    }
    if (isBusyError(m_target.backend, error))
        throw Error(kBusy, QStringLiteral("Die Daten werden gerade an einem anderen Arbeitsplatz geändert. Der "
                                          "Vorgang wurde nicht ausgeführt, nichts davon wurde gespeichert; nach dem "
                                          "nächsten Start können Sie ihn wiederholen."));
    QString statement = sql.simplified();
    if (statement.size() > 80)
        statement = statement.left(77) + QStringLiteral("...");
    throw Error(kDatabase, QStringLiteral("Datenbankfehler: %1 (%2)").arg(error.text(), statement));
}

QSqlQuery SqlConnection::prepare(const QString &sql) {
    ensureOpen();
    if (m_beginPending)
        runScript({});
    QSqlQuery query(db());
    query.setForwardOnly(true);
    if (m_target.backend == Backend::Postgres)
        countTrip(); // Qt's driver sends PREPARE at once
    if (!query.prepare(sql))
        fail(query, sql);
    return query;
}

void SqlConnection::execute(QSqlQuery &query, const QVariantList &values) {
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    countTrip();
    if (!query.exec())
        fail(query, query.lastQuery());
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
        QSqlQuery query(db());
        query.setForwardOnly(true);
        if (!query.prepare(statement.first))
            fail(query, statement.first);
        for (int i = 0; i < statement.second.size(); ++i)
            query.bindValue(i, statement.second.at(i));
        if (!query.exec())
            fail(query, statement.first);
        if (query.isSelect()) {
            rows.clear();
            const int columns = query.record().count();
            while (query.next()) {
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
    const QVariant handle = db().driver()->handle();
    // Qt's driver hands out its PGconn (a typedef of struct pg_conn) by value.
    const bool isPq =
        handle.isValid() && (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0);
    PGconn *connection = isPq ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
    if (!connection)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    if (!PQsendQuery(connection, text.toUtf8().constData()))
        fail(QSqlError(QStringLiteral("QPSQL"), QString::fromUtf8(PQerrorMessage(connection)),
                       QSqlError::ConnectionError),
             text);
    // Every statement's result is read: the first error is the script's, and it has ended the
    // statements after it (and left an open transaction aborted, which fail() rolls back).
    Rows rows;
    QString message;
    QString state;
    while (PGresult *result = PQgetResult(connection)) {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_FATAL_ERROR) {
            if (!message.isEmpty()) {
                PQclear(result);
                continue;
            }
            message = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
            const char *code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            state = code ? QString::fromLatin1(code) : QString();
        } else if (status == PGRES_TUPLES_OK) {
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
    if (!message.isEmpty())
        fail(QSqlError(QStringLiteral("QPSQL"), message, QSqlError::StatementError, state), text);
    if (PQstatus(connection) != CONNECTION_OK) {
        m_open = false; // the server went away in the middle: nothing of the script is known to be stored
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
    }
    return rows;
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
    // EXECUTE with the values written in by the driver's formatValue, DEALLOCATE); writing them in
    // the same way here sends one, with the same quoting.
    ensureOpen();
    const QString text = values.isEmpty() ? sql : inlineValues(sql, values);
    QSqlQuery query(db());
    query.setForwardOnly(true);
    countTrip();
    if (!query.exec(text))
        fail(query, sql);
    return query;
}

QString SqlConnection::inlineValues(const QString &sql, const QVariantList &values) const {
    const QSqlDriver *driver = db().driver();
    QString text;
    text.reserve(sql.size() + 16 * values.size());
    qsizetype next = 0;
    bool quoted = false;
    for (const QChar c : sql) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (c != QLatin1Char('?') || quoted) {
            text += c;
            continue;
        }
        if (next >= values.size())
            throw Error(
                kDatabase,
                QStringLiteral("Datenbankfehler: zu wenige Werte für die Platzhalter von %1").arg(sql.left(80)));
        const QVariant &value = values.at(next++);
        QSqlField field(QString(), value.metaType());
        field.setValue(value);
        text += driver->formatValue(field);
    }
    if (next != values.size())
        throw Error(kDatabase,
                    QStringLiteral("Datenbankfehler: zu viele Werte für die Platzhalter von %1").arg(sql.left(80)));
    return text;
}

void SqlConnection::beginTransaction() {
    // BEGIN waits for the transaction's first statement and goes out with it (runScript): a unit
    // costs no request of its own.
    m_beginPending = true;
    m_transaction = true;
    writtenStamps.clear();
    lockedLists.clear();
    touchedArticles.clear();
    entryCache.clear();
}

void SqlConnection::endTransaction() {
    m_transaction = false;
    m_beginPending = false;
    changedLists.clear();
    pendingWrites.clear();
    ruleEntries.clear();
    lockedLists.clear();
    touchedArticles.clear();
    checkedArticles.clear();
    entryCache.clear();
    m_statements.clear();
}

void SqlConnection::commitTransaction() {
    if (m_beginPending) { // nothing was sent, so there is nothing to commit
        endTransaction();
        return;
    }
    std::vector<Statement> script = CheckTouchedArticles(*this);
    if (m_target.backend == Backend::Postgres)
        for (const qint64 list : changedLists) // delivered with the commit, never without it
            script.push_back(
                {QStringLiteral("SELECT pg_notify(?, ?)"), {QString::fromLatin1(kListChannel), QString::number(list)}});
    script.push_back({QStringLiteral("COMMIT"), {}});
    runScript(script);
    for (const auto &[key, after] : checkedArticles)
        writtenStamps[{key.first, after.articleNumber}] = after.stamp;
    endTransaction();
}

void SqlConnection::rollbackTransaction() {
    if (m_transaction && m_open && !m_beginPending) {
        QSqlQuery query(db());
        countTrip();
        query.exec(QStringLiteral("ROLLBACK")); // a lost connection has rolled back by itself
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

} // namespace kxserver
