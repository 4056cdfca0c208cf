#include "server/lists/UnitBook.h"

#include "server/lists/ListsDetail.h"

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

namespace lists {

void ListUnit::transactionBegins() {
    writtenStamps.clear();
    book.reset();
}

std::vector<SqlConnection::Statement> ListUnit::beforeCommit() {
    std::vector<SqlConnection::Statement> script = CheckTouchedArticles(m_connection);
    for (const qint64 list : book.changedLists()) // delivered with the commit, never without it
        if (std::optional<SqlConnection::Statement> notice = m_connection.listChangedNotice(list))
            script.push_back(std::move(*notice));
    return script;
}

void ListUnit::committed() {
    for (const auto &[key, after] : book.checked())
        writtenStamps[{key.first, after.articleNumber}] = after.stamp;
}

ListUnit &Unit(SqlConnection &connection) {
    if (auto *unit = dynamic_cast<ListUnit *>(connection.unitState()))
        return *unit;
    auto unit = std::make_unique<ListUnit>(connection);
    ListUnit &made = *unit;
    connection.setUnitState(std::move(unit));
    return made;
}

} // namespace lists

} // namespace kxserver
