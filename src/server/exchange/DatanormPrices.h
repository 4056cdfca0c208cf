#pragma once

#include "server/exchange/DatanormReader.h"

#include <QHash>
#include <QString>

#include <optional>

// The price rules of a supplier's catalog: a list price less its discounts, the discount groups of
// the merchant's own table and of the delivery, and the price unit as the merchant's files write it.
namespace kxexchange::datanorm {

// A discount of a group: the type and value of a Discount (1 percent in hundredths, 2 a multiplier in
// thousandths).
using GroupDiscounts = QHash<QString, Discount>;

// The price after one discount of type 1, 2 or 3, in cents, rounded half up; empty when the discount
// makes no sense (more than 100 %, a negative multiplier, an unknown type).
std::optional<qint64> AfterDiscount(qint64 cents, const Discount &discount);

// The net purchase price of a list price: its record's own discounts in turn when it has any (a
// discount of type 0 names a group, looked up in `groups`), otherwise its discount group's discount.
// Empty when no discount is known (the record names none and its group is not in `groups`, or names
// a group that is not): a list price without a discount is not a purchase price.
std::optional<qint64> NetOfList(qint64 listCents, const std::array<Discount, 3> &discounts, const QString &group,
                                const GroupDiscounts &groups);

// The "per" text of a price unit: count and unit in the merchant's words: "1 m²", "100 Stk".
QString PerText(qint64 quantity, const QString &unit);

// The merchant's own discount table (CSV "Rabattgruppe;Rabatt", the discount in percent with a
// decimal comma: "001;30", "HB86;12,5"), read into `groups` as type 1 discounts. False with a German
// message naming file, line and column otherwise.
bool ReadDiscountTable(const QString &path, GroupDiscounts &groups, QString *error);

} // namespace kxexchange::datanorm
