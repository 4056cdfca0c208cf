#pragma once
// What the files of the update lists' server side share beyond UpdateLists.h.

#include "server/db/SqlConnection.h"
#include "server/db/TypedNulls.h"
#include "server/lists/UnitBook.h"

#include <QVariant>

#include <optional>
#include <type_traits>
#include <vector>

namespace kxserver::lists {

// An optional value bound as itself, or as the typed NULL of its column.
template <typename T> QVariant orNull(const std::optional<T> &value) {
    if (!value)
        return std::is_same_v<T, QString> ? NullText() : NullNumber();
    return QVariant::fromValue(*value);
}

// A whole number written as text or passed as a number; empty for anything else. A plus sign is
// allowed, because the session passes a company the clerk gave as "+1" on as a whole number.
std::optional<qint64> WholeNumber(const QVariant &value);

// The rules' state of an article from its entries (in supplier-number order).
SupplierRules RulesOf(const std::vector<UnitBook::RuleEntry> &entries, const QString &articleNumber);

} // namespace kxserver::lists

namespace kxserver {

// Checks the supplier rules of every article written in the current transaction against what its
// pending writes make of the state read under the lock, and returns the statements that store the
// writes and the main supplier the list's changes give. Throws kRejected when a write broke a rule
// that held before it.
std::vector<SqlConnection::Statement> CheckTouchedArticles(SqlConnection &connection);

} // namespace kxserver
