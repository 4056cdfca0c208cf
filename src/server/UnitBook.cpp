#include "UnitBook.h"

namespace kxserver {

UnitBook::PendingWrite &UnitBook::PendingWrites::of(qint64 list, qint64 pair, qint64 article) {
    const auto [at, fresh] = m_index.try_emplace({list, pair}, m_writes.size());
    if (fresh)
        m_writes.push_back({list, pair, article, {}, {}, {}, {}, {}});
    return m_writes[at->second];
}

void UnitBook::PendingWrites::clear() {
    m_writes.clear();
    m_index.clear();
}

void UnitBook::noteRulesRead(qint64 list, qint64 article, std::vector<RuleEntry> entries, const SupplierRules &rules) {
    m_ruleEntries[{list, article}] = std::move(entries);
    m_touchedArticles.emplace(ArticleKey(list, article), rules);
}

const UnitBook::CachedEntry *UnitBook::cachedEntry(qint64 list, qint64 pair) const {
    const auto found = m_entryCache.find({list, pair});
    return found == m_entryCache.end() ? nullptr : &found->second;
}

UnitBook::CachedEntry &UnitBook::entryWritten(qint64 list, qint64 pair, const CachedEntry &read) {
    return m_entryCache.try_emplace({list, pair}, read).first->second;
}

void UnitBook::noteProposalsRead(qint64 list, ProposalArticles articles) {
    m_proposalsList = list;
    m_proposals = std::move(articles);
}

void UnitBook::forgetProposals() {
    m_proposalsList = 0;
    m_proposals.clear();
}

void UnitBook::reset() {
    forgetProposals();
    m_lockedLists.clear();
    m_touchedArticles.clear();
    m_checkedArticles.clear();
    m_entryCache.clear();
    m_pendingWrites.clear();
    m_ruleEntries.clear();
    m_changedLists.clear();
}

void UnitBook::writesSent() {
    forgetProposals();
    m_pendingWrites.clear();
    m_touchedArticles.clear();
    m_ruleEntries.clear();
    m_entryCache.clear();
}

} // namespace kxserver
