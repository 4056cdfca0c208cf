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
