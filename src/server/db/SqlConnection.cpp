// Opening and closing a connection: SQLite's file or PostgreSQL's server, the schema version check,
// and whether it still answers.
#include "server/db/SqlConnection.h"

#include "server/db/Dialect.h"
#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <optional>

namespace kxserver {

using detail::countTrip;

namespace {

std::atomic<quint64> gConnectionCounter{0};

// libpq's own sources (~/.pgpass, PGSERVICE, PGUSER) supply the credentials; the program stores none.
// A short connect timeout keeps a dead server from freezing the clerk's window; keepalives find a
// half-open connection, and tcp_user_timeout a peer that stops acknowledging what was sent (a cut
// cable) after 5 seconds; the application name tells the administrator who is connected.
const char *const kPostgresOptions = "connect_timeout=5;keepalives=1;keepalives_idle=30;keepalives_interval=10;"
                                     "keepalives_count=3;tcp_user_timeout=5000;application_name=korvex-hauptlief;"
                                     "options=-csearch_path=pg_catalog";

bool statFile(const QString &path, unsigned long long *device, unsigned long long *inode) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *device = static_cast<unsigned long long>(info.st_dev);
    *inode = static_cast<unsigned long long>(info.st_ino);
    return true;
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

} // namespace

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
        if (statement == QLatin1String("BEGIN IMMEDIATE") && IsBusyError(Backend::Sqlite, error))
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
        // The version first, read with pg_catalog alone in the path: a database of another version
        // (an old one with whatever its shared login planted in it) is refused before a name of
        // ours could find anything of somebody else's.
        return (version = KorvexSchemaVersion(database)).has_value() &&
               (*version != kSchemaVersion ||
                (setPostgresSearchPath(setup) && setup.exec(QStringLiteral("SET lock_timeout = '5s'")) &&
                 setup.exec(QStringLiteral("SET idle_in_transaction_session_timeout = '60s'")) &&
                 setup.exec(QStringLiteral("SET statement_timeout = '%1'").arg(QLatin1String(kStatementTimeout)))));
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
    // They are read when the program asks whether a list changed (drainNotifications), not as they
    // come: with Qt's subscription every clerk's program woke at every other clerk's commit, which on
    // a busy server made the woken programs queue before the committing one.
    if (!awaitAnswer(CurrentAnswerLimits().setUp,
                     [&] { return setup.exec(QStringLiteral("LISTEN %1").arg(QLatin1String(kListChannel))); })) {
        setup = QSqlQuery();
        database.close();
        return false;
    }
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
    // Inside a transaction whose last script the server answered a moment ago, the connection is
    // known to be there. Asking again would be one more round trip under the list's lock, which
    // every other clerk of the list waits behind (a click asks between its locked read and its
    // writes). A server gone since then fails the transaction's next statement.
    if (m_target.backend == Backend::Postgres && m_transaction && !m_beginPending && !lost() &&
        std::chrono::steady_clock::now() - m_scriptAnswered < std::chrono::seconds(1))
        return true;
    const QString check = QStringLiteral("SELECT value FROM korvex_meta WHERE key = 'schema'");
    // The check stays prepared like the program's statements: compiling it was most of its time
    // in-process, and on PostgreSQL a parse and a plan on the server for every click. One that
    // cannot be prepared runs as text and fails there, as it always did. PostgreSQL's PREPARE is a
    // request of its own, so it waits for its answer as the check does.
    std::shared_ptr<QSqlQuery> kept = m_kept.lend(check);
    const bool prepareFirst = !kept && !m_kept.has(check);
    std::optional<QSqlQuery> text;
    countTrip();
    const bool answered = awaitAnswer(CurrentAnswerLimits().check, [&] {
        if (prepareFirst) {
            QSqlQuery fresh(database);
            fresh.setForwardOnly(true);
            if (m_target.backend == Backend::Postgres)
                countTrip();
            if (fresh.prepare(check))
                kept = m_kept.keep(check, std::move(fresh));
        }
        if (kept)
            return kept->exec() && kept->next();
        text.emplace(database);
        text->setForwardOnly(true);
        return text->exec(check) && text->next();
    });
    if (!answered) {
        // A server that no longer answers (or whose connection broke) is gone for this connection:
        // the next access connects afresh, through the usual attempts.
        if (lost()) {
            kept.reset();
            text.reset();
            close();
        }
        return false;
    }
    return (kept ? *kept : *text).value(0).toString() == QLatin1String(kSchemaMarker);
}

void SqlConnection::close() {
    if (!m_open)
        return;
    m_open = false;
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
    // The kept statements stay until the connection is removed (see the member): freed now, each
    // would send its DEALLOCATE to a connection that is closed, or to a server that has gone.
}

void SqlConnection::ensureOpen() const {
    if (!m_open)
        throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
}

} // namespace kxserver
