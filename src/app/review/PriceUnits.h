#pragma once

// The supplier list's comparison of offers per base unit: reading a price unit and a price text,
// the per-unit tooltip and the cheapest offers drawn in bold.

#include <QLocale>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

namespace mainlogic {

// A supplier's offer as the supplier list shows it: price text ("95,00 €"), price unit ("100 lfm").
struct Offer {
    QString price;
    QString unit;
    bool active = false;
};
// The price per base unit, "0,95 € je lfm" for 95,00 € per "100 lfm"; empty when the price or the
// unit cannot be read (a unit is an optional count, 1 when left out, and a base unit).
QString PerUnitText(const Offer &offer);
// Per offer, whether it is the cheapest active one per base unit among at least two active offers
// of that base unit (ties: each of them). Offers that cannot be read are not compared.
std::vector<bool> CheapestPerUnit(const std::vector<Offer> &offers);

// Both of the above for one list, each offer read once.
struct PriceMarks {
    std::vector<bool> bold;
    std::vector<QString> perUnit;
};
PriceMarks MarkPrices(const std::vector<Offer> &offers);

// What the price cell's tooltip tells of a pair's price history besides its per-unit price: the
// latest change since the last purchase (any, when there was none) as the price and unit before it
// and the day of the change, and the earliest coming price with its unit and the day it holds from.
// Days as the list shows them ("01.03.2027").
struct PriceHistory {
    std::optional<double> before = {}; // euros; empty: no change since the last purchase
    QString beforeUnit = {};
    QString changedOn = {};
    std::optional<double> coming = {}; // euros; empty: none coming
    QString comingUnit = {};
    QString comingOn = {};
};
// The tooltip's lines for `history` of the offer shown now, one for each of its parts, empty when it
// has none:
//   "Preis seit 01.03.2027, vorher 12,34 € (+5,2 %)"
//   "Ab 01.04.2027: 13,00 €"
// The day of the first line is the change's own: from it the price shown holds. A price given for
// another unit than the one shown names it ("vorher 95,00 € je 100 lfm"); the change in percent is
// per base unit then, and left out when the two cannot be compared (unreadable, another base unit,
// a price of nothing before).
QString PriceHistoryText(const Offer &now, const PriceHistory &history);

// A price unit read into its count and its base unit, both parts of the text given. The forms are
// those of the pattern ^\s*(?:(\d+(?:[.,]\d+)?)\s*)?(\D.*?)\s*$ (ASCII classes, "." stops at a
// line feed) with a base holding an ASCII letter, digit or "_", and its captures exactly, odd
// corners included: "100 5kg" counts 100 of " 5kg", " 100" is one " 100", "100" nothing.
struct PriceUnit {
    QStringView count; // empty: 1
    QStringView base;
};
std::optional<PriceUnit> ReadPriceUnit(QStringView unit);

// locale.toString(value, 'f', 2), amounts below 1000 written directly (the same text).
QString TwoDecimals(double value, const QLocale &locale);

// A price text as the list reads it: "€" removed, then the number as `locale` reads it (finite).
std::optional<double> ReadPrice(const QString &price, const QLocale &locale);

} // namespace mainlogic
