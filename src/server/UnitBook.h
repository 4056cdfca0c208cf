#pragma once

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
// commit's check found. One object with one reset, owned by the connection.
class UnitBook {
public:
    // The lists locked so far and, per (list, article), the rules' state before the first write.
    std::set<qint64> lockedLists;
    std::map<std::pair<qint64, qint64>, SupplierRules> touchedArticles;
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

    // A transaction begins or ends: nothing of the last one is known any more.
    void reset();
    // The pending writes went out within the transaction (before a save): the rules start afresh
    // for what follows, the locks stay; the save changes every entry of the list.
    void writesSent();
};

} // namespace kxserver
