#pragma once

#include "AnswerWatch.h"
#include "Schema.h"

#include <QMetaObject>
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

namespace kxserver {

// Requests this process has sent to its database servers: one per statement sent (a whole
// transaction script counts once), one per statement prepared on PostgreSQL. On SQLite, which runs
// in-process, it counts the statements run. Only ever grows; the benchmarks print it beside every
// figure, and the tests bound what a click costs by it.
quint64 RoundTrips();

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

// The state of an article's supplier entries that the writing rules look at.
struct SupplierRules {
    bool severalMains = false;
    bool inactiveMain = false;
    bool noneActive = false;
    bool touchesMain = false; // some entry of the article has a main-supplier change in the list
    qint64 mainSupplier = 0;  // lieferant id of the (single) main supplier, 0 when none
    QString articleNumber;
    QString stamp; // the article's stamp (ArticleStamp.h) in this state
};

// One open database connection, shared by a factory and the cursors and objects it handed out, so
// that whatever outlives the factory still fails cleanly instead of touching a removed connection.
// Every statement is prepared for one call and dies with it; nothing prepared survives a reconnect.
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
    // Like run, but inside a transaction the prepared statement is kept for the rest of it: the 50
    // opens and saves of a main-supplier change then prepare each statement once. Only for
    // statements whose rows are read at once (a cursor would lose its rows when they are reused).
    // The statements die with the transaction, so none outlives a unit or a reconnect.
    std::shared_ptr<QSqlQuery> runCached(const QString &sql, const QVariantList &values);
    // Sends several statements as one request (on SQLite: runs them one after the other) and
    // returns the last one's rows. A transaction's BEGIN still waiting goes out with them.
    using Statement = std::pair<QString, QVariantList>;
    using Rows = std::vector<QVariantList>;
    Rows runScript(const std::vector<Statement> &statements);
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

    // Bookkeeping of the current transaction for the supplier rules: the lists locked so far and,
    // per (list, article), the rules' state before the first write.
    std::set<qint64> lockedLists;
    std::map<std::pair<qint64, qint64>, SupplierRules> touchedArticles;
    // The stamps of the articles the last committed transaction wrote, by (list, article number), as
    // it left them: the window's own accepted change does not make its screen stale.
    std::map<std::pair<qint64, QString>, QString> writtenStamps;
    // The rules' state after the writes, as the commit check found it.
    std::map<std::pair<qint64, qint64>, SupplierRules> checkedArticles;

    // Supplier entries read in the current transaction while it holds their list's lock, by (list,
    // pair id). Under the lock only this connection changes them, and it drops an entry from here
    // whenever it writes it; so the first entry opened under the lock brings its article's others
    // along, and a main-supplier change of 50 suppliers reads once instead of 50 times.
    struct CachedEntry {
        qint64 article = 0;
        QString laktiv;
        QString hlief;
        int aendsw = 0;
    };
    std::map<std::pair<qint64, qint64>, CachedEntry> entryCache;

    // Entry writes of the current transaction, sent together when it commits (the rules are checked
    // against the state read under the list's lock before that), so that a unit of any size costs one
    // request to store.
    struct PendingWrite {
        qint64 list = 0;
        qint64 pair = 0;
        qint64 article = 0;
        std::optional<QString> laktiv;
        std::optional<QString> hlief;
        std::optional<int> aendsw;
        QString by;
        QString when;
    };
    // In the order first written, with an index: a unit of 100,000 entries (taking back all
    // proposals) finds each entry's write in log n, not by a scan of the writes before it.
    class PendingWrites {
    public:
        // The write of this entry in the transaction, made empty on its first use.
        PendingWrite &of(qint64 list, qint64 pair, qint64 article);
        // Whether the transaction writes an entry of this article.
        bool touches(qint64 list, qint64 article) const { return m_articles.count({list, article}) > 0; }
        const std::vector<PendingWrite> &all() const { return m_writes; }
        bool empty() const { return m_writes.empty(); }
        void clear();

    private:
        std::vector<PendingWrite> m_writes;
        std::map<std::pair<qint64, qint64>, size_t> m_index; // (list, pair) -> position
        std::set<std::pair<qint64, qint64>> m_articles;      // (list, article)
    };
    PendingWrites pendingWrites;
    // The state of the written entries of an article, for the rules: read under the lock before the
    // first write of the transaction.
    struct RuleEntry {
        qint64 pair = 0;
        qint64 supplier = 0;
        QString laktiv;
        QString hlief;
        bool listMain = false; // the list holds a main-supplier flag of its own for it
    };
    std::map<std::pair<qint64, qint64>, std::vector<RuleEntry>> ruleEntries;
    // The lists this transaction changed: their watchers at other workstations are told at the commit.
    std::set<qint64> changedLists;

    // The live view (see lists::TakeChanges): the lists this connection has looked at (what was seen
    // is the caller's, so that it outlives the connection); whether anything may have changed since.
    std::set<qint64> watchedLists;
    bool mayHaveChanged(qint64 list);

    // A timestamp for "when" columns: local time, ISO 8601.
    static QString now();

private:
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
    // Binds the values in order and executes under the watch; fails on error (counts no trip).
    void bindAndExec(QSqlQuery &query, const QVariantList &values);
    Rows runPostgresScript(const QString &text);
    // Runs one round trip to a PostgreSQL server under the watch.
    template <typename Call> auto awaitAnswer(std::chrono::milliseconds limit, Call &&call) {
        AnswerWatch::Waiting waiting(m_watch.get(), socket(), limit);
        return call();
    }
    int socket() const;
    ::pg_conn *pgConnection() const;
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
    qint64 m_dataVersion = -1;   // SQLite: the file's change counter when the lists were last read
    std::set<qint64> m_notified; // PostgreSQL: lists named by notifications not yet looked at
    QMetaObject::Connection m_notifications;
    void drainNotifications();
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    std::map<QString, std::shared_ptr<QSqlQuery>> m_statements; // prepared within the current transaction
    std::unique_ptr<AnswerWatch> m_watch;                       // PostgreSQL only
};

// Checks the supplier rules of every article written in the current transaction against what its
// pending writes make of the state read under the lock, and returns the statements that store the
// writes and the main supplier the list's changes give. Throws kRejected when a write broke a rule
// that held before it. Defined with the update lists.
std::vector<SqlConnection::Statement> CheckTouchedArticles(SqlConnection &connection);

} // namespace kxserver
