#pragma once

#include "server/db/SqlConnection.h"

#include <QHash>
#include <QString>

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace kxserver {

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

// What one transaction of a connection knows about the lists it touches: the locks it took, the
// entries and rules' state it read under them, the writes waiting for its commit and what the
// commit's check found. One object with one reset, kept in the connection's unit state (ListUnit).
class UnitBook {
public:
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
        const std::vector<PendingWrite> &all() const { return m_writes; }
        bool empty() const { return m_writes.empty(); }
        void clear();

    private:
        std::vector<PendingWrite> m_writes;
        std::map<std::pair<qint64, qint64>, size_t> m_index; // (list, pair) -> position
    };

    // The state of the written entries of an article, for the rules: read under the lock before the
    // first write of the transaction.
    struct RuleEntry {
        qint64 pair = 0;
        qint64 supplier = 0;
        QString laktiv;
        QString hlief;
        bool listMain = false; // the list holds a main-supplier flag of its own for it
    };

    // An article of a list with its proposed main supplier and its entries (in supplier-number order),
    // as taking the proposal checks it.
    struct ProposalArticle {
        qint64 id = 0;       // artikel id
        qint64 proposal = 0; // lieferant id of the proposed supplier, 0: none
        std::vector<RuleEntry> entries;
    };
    using ProposalArticles = QHash<QString, ProposalArticle>; // by article number

    using ArticleKey = std::pair<qint64, qint64>; // (list, article)
    using RulesByArticle = std::map<ArticleKey, SupplierRules>;
    using RuleEntriesByArticle = std::map<ArticleKey, std::vector<RuleEntry>>;

    // The lists locked so far.
    bool holdsLock(qint64 list) const { return m_lockedLists.count(list) > 0; }
    void noteLock(qint64 list) { m_lockedLists.insert(list); }

    // Per (list, article), the rules' state and the entries before the first write, read under the
    // lock; a second read of the same article keeps the first state.
    void noteRulesRead(qint64 list, qint64 article, std::vector<RuleEntry> entries, const SupplierRules &rules);
    bool rulesRead(qint64 list, qint64 article) const { return m_touchedArticles.count({list, article}) > 0; }
    const RulesByArticle &rulesBefore() const { return m_touchedArticles; }
    const RuleEntriesByArticle &ruleEntries() const { return m_ruleEntries; }

    // The rules' state after the writes, as the commit check (or a save's read) found it.
    void noteChecked(qint64 list, qint64 article, SupplierRules rules) {
        m_checkedArticles[{list, article}] = std::move(rules);
    }
    const RulesByArticle &checked() const { return m_checkedArticles; }

    // The entry cache: an entry read under the lock (a second read keeps the first), the one found
    // there (nullptr when none), the one a write changes (made from `read` when not cached yet), and
    // dropping them all when every entry may change.
    void cacheEntry(qint64 list, qint64 pair, const CachedEntry &entry) { m_entryCache.emplace(ArticleKey(list, pair), entry); }
    const CachedEntry *cachedEntry(qint64 list, qint64 pair) const;
    CachedEntry &entryWritten(qint64 list, qint64 pair, const CachedEntry &read);
    void forgetEntries() { m_entryCache.clear(); }

    // The list's differing articles as the query "Vorschlaege" read them under the list's lock in
    // this transaction, to its last row: taking their proposals in the same unit uses them instead of
    // reading them again, and takes each article out. Any entry written otherwise drops them.
    void noteProposalsRead(qint64 list, ProposalArticles articles);
    ProposalArticles *proposalsRead(qint64 list) { return m_proposalsList == list ? &m_proposals : nullptr; }

    // The write of this entry waiting for the commit, made empty on its first use; all of them.
    PendingWrite &pendingWrite(qint64 list, qint64 pair, qint64 article) {
        forgetProposals();
        return m_pendingWrites.of(list, pair, article);
    }
    const PendingWrites &pendingWrites() const { return m_pendingWrites; }

    // The lists this transaction changed: their watchers at other workstations are told at the commit.
    void noteChanged(qint64 list) { m_changedLists.insert(list); }
    const std::set<qint64> &changedLists() const { return m_changedLists; }

    // A transaction begins or ends: nothing of the last one is known any more.
    void reset();
    // The pending writes went out within the transaction (before a save): the rules start afresh
    // for what follows, the locks stay; the save changes every entry of the list.
    void writesSent();

private:
    void forgetProposals();

    std::set<qint64> m_lockedLists;
    RulesByArticle m_touchedArticles;
    RulesByArticle m_checkedArticles;
    std::map<std::pair<qint64, qint64>, CachedEntry> m_entryCache; // by (list, pair)
    PendingWrites m_pendingWrites;
    RuleEntriesByArticle m_ruleEntries;
    std::set<qint64> m_changedLists;
    qint64 m_proposalsList = 0; // the list m_proposals belongs to, 0: none
    ProposalArticles m_proposals;
};

namespace lists {

// The update lists' state on a connection: the unit's bookkeeping, reset when a transaction begins
// and when it ends, and the stamps the last commit left. Its commit adds the rules' check and the
// notices of the changed lists to the COMMIT's request.
class ListUnit final : public SqlConnection::UnitState {
public:
    explicit ListUnit(SqlConnection &connection) : m_connection(connection) {}
    UnitBook book;
    // The stamps of the articles the last committed transaction wrote, by (list, article number), as
    // it left them: the window's own accepted change does not make its screen stale.
    std::map<std::pair<qint64, QString>, QString> writtenStamps;

    void transactionBegins() override;
    void transactionEnds() override { book.reset(); }
    std::vector<SqlConnection::Statement> beforeCommit() override;
    void committed() override;

private:
    SqlConnection &m_connection;
};

// The lists' state on `connection`, made on first use.
ListUnit &Unit(SqlConnection &connection);

} // namespace lists

} // namespace kxserver
