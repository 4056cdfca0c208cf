#include "server/db/KeptStatements.h"

namespace kxserver::detail {

namespace {

// Holds a kept statement for its caller; gives it back, finished, when the caller lets go of it.
// It owns a share of the statement: one dropped by clear() while lent dies with its last reader.
template <typename Kept> class Lease {
public:
    explicit Lease(std::shared_ptr<Kept> kept) : m_kept(std::move(kept)) { m_kept->lent = true; }
    ~Lease() {
        m_kept->query.finish();
        m_kept->lent = false;
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;

private:
    std::shared_ptr<Kept> m_kept;
};

} // namespace

std::shared_ptr<QSqlQuery> KeptStatements::lendKept(const std::shared_ptr<Kept> &kept) {
    kept->used = ++m_clock;
    // The caller's pointer shares the lease's count and points at the statement.
    return std::shared_ptr<QSqlQuery>(std::make_shared<Lease<Kept>>(kept), &kept->query);
}

std::shared_ptr<QSqlQuery> KeptStatements::lend(const QString &sql) {
    const auto found = m_statements.constFind(sql);
    if (found == m_statements.cend() || found.value()->lent)
        return nullptr;
    return lendKept(found.value());
}

std::shared_ptr<QSqlQuery> KeptStatements::keep(const QString &sql, QSqlQuery &&query) {
    if (m_statements.contains(sql) || (m_statements.size() >= kLimit && !makeRoom()))
        return std::make_shared<QSqlQuery>(std::move(query));
    auto kept = std::make_shared<Kept>();
    kept->query = std::move(query);
    m_statements.insert(sql, kept);
    return lendKept(kept);
}

bool KeptStatements::makeRoom() {
    auto oldest = m_statements.end();
    for (auto it = m_statements.begin(); it != m_statements.end(); ++it)
        if (!it.value()->lent && (oldest == m_statements.end() || it.value()->used < oldest.value()->used))
            oldest = it;
    if (oldest == m_statements.end())
        return false;
    m_statements.erase(oldest);
    return true;
}

} // namespace kxserver::detail
