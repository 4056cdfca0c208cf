#include "UnitBook.h"

namespace kxserver {

UnitBook::PendingWrite &UnitBook::PendingWrites::of(qint64 list, qint64 pair, qint64 article) {
    const auto [at, fresh] = m_index.try_emplace({list, pair}, m_writes.size());
    if (fresh) {
        m_writes.push_back({list, pair, article, {}, {}, {}, {}, {}});
        m_articles.insert({list, article});
    }
    return m_writes[at->second];
}

void UnitBook::PendingWrites::clear() {
    m_writes.clear();
    m_index.clear();
    m_articles.clear();
}

void UnitBook::reset() {
    lockedLists.clear();
    touchedArticles.clear();
    checkedArticles.clear();
    entryCache.clear();
    pendingWrites.clear();
    ruleEntries.clear();
    changedLists.clear();
}

void UnitBook::writesSent() {
    pendingWrites.clear();
    touchedArticles.clear();
    ruleEntries.clear();
    entryCache.clear();
}

} // namespace kxserver
