#pragma once

#include "server/db/AnswerWatch.h"
#include "server/db/KeptStatements.h"
#include "server/db/SchemaMark.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

struct pg_conn;
struct pg_result;
struct sqlite3;

namespace kxserver {

// Requests this process has sent to its database servers: one per statement sent (a whole
// transaction script counts once), one per statement prepared on PostgreSQL. On SQLite, which runs
// in-process, it counts the statements run. Only ever grows; the benchmarks print it beside every
// figure, and the tests bound what a click costs by it.
quint64 RoundTrips();
// Rows this process has read from its database servers (every row a query delivered). Only ever
// grows; the tests bound what a look of the live view reads by it.
quint64 RowsRead();

// The PostgreSQL notification channel on which a commit names each list it changed.
inline const char *const kListChannel = "korvex_liste";

// Where a connection string points: "cn_iptcp:" + server + "[" + port + "]:KORVEX". A server with a
// slash in it names an embedded SQLite file, any other a PostgreSQL server.
struct ConnectTarget {
    Backend backend = Backend::Sqlite;
    QString path; // SQLite: the absolute file name
    QString host; // PostgreSQL
    int port = 0;
};
// Empty for a string that is not of that form (which the factory treats as a failed connect).
std::optional<ConnectTarget> ParseConnectString(const QString &connectString);

// How long the program waits for one answer of a PostgreSQL server before it counts the connection
// as lost. "Connected?" is asked before every piece of work, so a paused server shows within seconds;
// any other answer may take longer (a lock wait, a busy server) but not for ever. The server itself
// ends a statement after kStatementTimeout (a list of millions of articles streams for a while).
struct AnswerLimits {
    std::chrono::milliseconds check{3000};
    std::chrono::milliseconds setUp{5000};
    std::chrono::milliseconds statement{30000};
};
inline constexpr const char *kStatementTimeout = "60s";
AnswerLimits CurrentAnswerLimits();
// For tests that cannot wait half a minute for a paused server.
void SetAnswerLimits(const AnswerLimits &limits);

// One open database connection, shared by a factory and the cursors and objects it handed out, so
// that whatever outlives the factory still fails cleanly instead of touching a removed connection.
// The statements it runs through runCached stay prepared on it (KeptStatements) and die with it:
// nothing prepared survives a reconnect, which opens a connection of its own.
class SqlConnection {
public:
    // Opens the target; empty when it cannot be reached or is not a KORVEX database.
    static std::shared_ptr<SqlConnection> open(const ConnectTarget &target);
    ~SqlConnection();
    SqlConnection(const SqlConnection &) = delete;
    SqlConnection &operator=(const SqlConnection &) = delete;

    Backend backend() const { return m_target.backend; }
    bool isOpen() const { return m_open; }
    // A round trip: false once the server or the file has gone (or the file was replaced).
    bool alive();
    // Closes the connection; an open unit is rolled back by the database as the connection ends.
    void close();
    // Throws kNotConnected when closed.
    void ensureOpen() const;

    // Prepares, binds the values in order and executes; throws ServerError on failure.
    QSqlQuery run(const QString &sql, const QVariantList &values = {});
    // Like run, but the statement stays prepared on this connection for the next call with the same
    // text (SQLite compiles it, PostgreSQL parses and plans it once): for the program's own fixed
    // statements, not for texts made per call. The statement goes back to the connection, finished,
    // when the last copy of the pointer is gone; while a caller still holds it, another call with
    // the same text prepares one of its own, so a cursor never loses its rows to a second reader.
    std::shared_ptr<QSqlQuery> runCached(const QString &sql, const QVariantList &values);
    // Sends several statements as one request (on SQLite: runs them one after the other) and
    // returns the last one's rows. A transaction's BEGIN still waiting goes out with them.
    using Statement = std::pair<QString, QVariantList>;
    using Rows = std::vector<QVariantList>;
    Rows runScript(const std::vector<Statement> &statements);
    // PostgreSQL only: one statement with its values sent apart from its text ($1, $2, ...), so that
    // a value (a typed password) never appears in a statement the server might log.
    Rows runWithParameters(const QString &sql, const QStringList &values);
    // Prepares once for several executions within one call.
    QSqlQuery prepare(const QString &sql);
    void execute(QSqlQuery &query, const QVariantList &values);
    // The next row of a query; throws ServerError when reading failed (instead of ending early).
    bool next(QSqlQuery &query);

    // Session values set by "Xecute" (the server process's FIRMA, FIL and PERSONAL).
    std::optional<int> sessionFirma;
    std::optional<int> sessionFiliale;
    std::optional<QString> sessionPersonal;

    // Units: everything written between beginUnit and commitUnit commits together or not at all.
    void beginUnit();
    void commitUnit();
    void rollbackUnit();
    bool inUnit() const { return m_unit; }

    // Runs one write operation: inside an open unit as part of it, otherwise in a transaction of its
    // own. A failure inside a unit breaks the unit: it can then only be rolled back.
    template <typename Body> auto write(Body &&body) {
        ensureOpen();
        if (m_unit) {
            failIfUnitBroken();
            try {
                return body();
            } catch (...) {
                m_unitBroken = true;
                throw;
            }
        }
        beginTransaction();
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                commitTransaction();
            } else {
                auto result = body();
                commitTransaction();
                return result;
            }
        } catch (...) {
            rollbackTransaction();
            throw;
        }
    }

    // What the layer above keeps for a transaction: it hears when one begins and ends, and gives
    // the commit the statements that go out with it. The connection owns it and knows nothing of
    // what it keeps.
    class UnitState {
    public:
        virtual ~UnitState() = default;
        virtual void transactionBegins() = 0;
        virtual void transactionEnds() = 0;
        // Statements sent before COMMIT in the same request; throws to refuse the commit.
        virtual std::vector<Statement> beforeCommit() = 0;
        // The commit went through.
        virtual void committed() = 0;
    };
    UnitState *unitState() const { return m_unitState.get(); }
    void setUnitState(std::unique_ptr<UnitState> state) { m_unitState = std::move(state); }
    // The statement that tells other workstations with the commit that `list` changed; nothing
    // where the database has no notifications (SQLite: watchers see the file's change counter).
    std::optional<Statement> listChangedNotice(qint64 list) const;

    // The live view (see lists::TakeChanges): the lists this connection has looked at (what was seen
    // is the caller's, so that it outlives the connection); whether anything may have changed since.
    std::set<qint64> watchedLists;
    bool mayHaveChanged(qint64 list);

    // A timestamp for "when" columns: local time, ISO 8601.
    static QString now();

private:
    friend class BulkInsert; // COPY and SQLite's own binding, on this connection's handles
    friend class SqliteRows; // SQLite's and libpq's own reading, on this connection's handles
    friend class PgRows;
    explicit SqlConnection(const ConnectTarget &target);
    bool openSqlite();
    // PostgreSQL: the statement with its values written in as the driver writes bound values.
    QString inlineValues(const QString &sql, const QVariantList &values) const;
    bool openPostgres();
    bool sameFile() const;
    void beginTransaction();
    void commitTransaction();
    void rollbackTransaction();
    void failIfUnitBroken() const;
    // Throw the error of a failed statement, in the clerk's words (the statement is not shown).
    [[noreturn]] void fail(const QSqlError &error);
    // Fails with what a libpq answer says (its message and SQLSTATE; the connection's message when
    // there is no answer), after clearing it.
    [[noreturn]] void failWithAnswer(::pg_result *answer);
    // Binds the values in order and executes under the watch; fails on error (counts no trip).
    void bindAndExec(QSqlQuery &query, const QVariantList &values);
    // The statement kept for `sql`, lent to the caller; prepared (and kept) when there is none idle.
    std::shared_ptr<QSqlQuery> keptStatement(const QString &sql);
    Rows runPostgresScript(const QString &text);
    void failUnlessCommitted(const QString &script, const QString &lastTag);
    // Runs one round trip to a PostgreSQL server under the watch.
    template <typename Call> auto awaitAnswer(std::chrono::milliseconds limit, Call &&call) {
        AnswerWatch::Waiting waiting(m_watch.get(), socket(), limit);
        return call();
    }
    int socket() const;
    ::pg_conn *pgConnection() const;
    // SQLite's own connection under Qt's driver, for its binding and reading interface; nullptr on
    // PostgreSQL or when it is not open.
    ::sqlite3 *sqliteConnection() const;
    // A PostgreSQL connection that the watch cut or that libpq found broken.
    bool lost() const;
    QSqlDatabase db() const;
    void endTransaction();

    ConnectTarget m_target;
    QString m_name;
    bool m_open = false;
    bool m_unit = false;
    bool m_unitBroken = false;
    bool m_transaction = false;
    bool m_beginPending = false; // BEGIN goes out with the transaction's first statement
    // When the last script on this connection was answered in full (PostgreSQL).
    std::chrono::steady_clock::time_point m_scriptAnswered;
    qint64 m_dataVersion = -1;   // SQLite: the file's change counter when the lists were last read
    std::set<qint64> m_notified; // PostgreSQL: lists named by notifications not yet looked at
    void drainNotifications();
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    // runCached's statements, prepared on this connection. Freed after the connection is removed,
    // with its driver: a PostgreSQL statement then frees nothing on the server (the session ended).
    detail::KeptStatements m_kept;
    std::unique_ptr<AnswerWatch> m_watch; // PostgreSQL only
    std::unique_ptr<UnitState> m_unitState;
};

} // namespace kxserver
