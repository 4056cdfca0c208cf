#include "app/review/PriceUnits.h"

#include <QStringList>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>
#include <limits>

namespace mainlogic {

namespace {

// The classes of the unit's pattern: ASCII only, as the list has always read them.
bool isDigit(QChar c) {
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}
bool isBlank(QChar c) {
    return c.unicode() == u' ' || (c.unicode() >= u'\t' && c.unicode() <= u'\r');
}
bool isWordChar(QChar c) {
    const char16_t u = c.unicode();
    return isDigit(c) || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || u == u'_';
}

// Digits with an optional decimal part after `point` (or `otherPoint`), no sign, no leading zero,
// at most 15 digits: the decimal value as the nearest double, which is what a correctly rounding
// reader gives too (the digits as a whole number are exact, and so is the division's rounding).
// Anything else is left to the caller's reader.
std::optional<double> plainDecimal(QStringView text, QChar point, QChar otherPoint) {
    constexpr int kMostDigits = 15;
    constexpr double kPowers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    qint64 whole = 0;
    int digits = 0;
    int decimals = -1; // -1: no point yet
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (isDigit(c)) {
            if (++digits > kMostDigits || (digits == 2 && decimals < 0 && whole == 0))
                return std::nullopt;
            whole = whole * 10 + (c.unicode() - u'0');
            if (decimals >= 0)
                ++decimals;
        } else if ((c == point || c == otherPoint) && decimals < 0 && digits > 0) {
            decimals = 0;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || decimals == 0)
        return std::nullopt;
    return double(whole) / kPowers[std::max(decimals, 0)];
}

// What the direct ways of reading and writing amounts need of a locale, asked once per list.
struct Digits {
    explicit Digits(const QLocale &of) : locale(of) {
        const QString decimalPoint = locale.decimalPoint();
        plain = decimalPoint.size() == 1 && !isDigit(decimalPoint[0]) && locale.zeroDigit() == QLatin1String("0");
        point = plain ? decimalPoint[0] : QChar();
    }
    const QLocale &locale;
    bool plain = false; // ASCII digits and a decimal point of one character
    QChar point;
};

void appendTwoDecimals(QString &text, double value, const Digits &digits) {
    // Rounded as Qt rounds: the double's exact value to the nearest cent, a tie upwards. Times 100
    // it is exact in a long double (53 bits and 7), and so is its fraction.
    static_assert(std::numeric_limits<long double>::digits >= 64, "the cents need an exact product");
    if (digits.plain && value >= 0 && value < 1000 && !std::signbit(value)) {
        const long double scaled = static_cast<long double>(value) * 100;
        const long double whole = std::floor(scaled);
        const int cents = int(whole) + (scaled - whole >= 0.5L ? 1 : 0);
        if (cents < 100000) { // below 1000 no locale groups digits
            char16_t written[8];
            int at = 0;
            for (int unit = 10000; unit >= 100; unit /= 10)
                if (cents >= unit || unit == 100)
                    written[at++] = char16_t(u'0' + cents / unit % 10);
            written[at++] = digits.point.unicode();
            written[at++] = char16_t(u'0' + cents / 10 % 10);
            written[at++] = char16_t(u'0' + cents % 10);
            text.append(QStringView(written, at));
            return;
        }
    }
    text += digits.locale.toString(value, 'f', 2);
}

std::optional<double> readPrice(QStringView price, const Digits &digits) {
    // "€" removed wherever it stands, without a copy of the text for the common case.
    QVarLengthArray<QChar, 32> kept;
    for (const QChar c : price)
        if (c != u'\u20ac')
            kept.append(c);
    const QStringView number = QStringView(kept.constData(), kept.size()).trimmed();
    std::optional<double> value;
    if (digits.plain)
        value = plainDecimal(number, digits.point, digits.point);
    if (!value) {
        bool ok = false;
        value = digits.locale.toDouble(number, &ok);
        if (!ok)
            return std::nullopt;
    }
    if (!std::isfinite(*value))
        return std::nullopt;
    return value;
}

struct UnitPrice {
    double perUnit = 0;
    QStringView base;
};

std::optional<UnitPrice> unitPrice(const Offer &offer, const Digits &digits) {
    const std::optional<PriceUnit> unit = ReadPriceUnit(offer.unit);
    if (!unit)
        return std::nullopt;
    double count = 1;
    if (!unit->count.isEmpty()) {
        std::optional<double> read = plainDecimal(unit->count, u'.', u',');
        if (!read) {
            bool ok = false;
            read = unit->count.toString().replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
            if (!ok)
                return std::nullopt;
        }
        count = *read;
        if (count <= 0)
            return std::nullopt;
    }
    const std::optional<double> price = readPrice(offer.price, digits);
    if (!price)
        return std::nullopt;
    return UnitPrice{*price / count, unit->base};
}

std::vector<bool> cheapest(const std::vector<Offer> &offers, const std::vector<std::optional<UnitPrice>> &prices) {
    struct Unit {
        QString base; // case folded
        double lowest;
        int offers;
    };
    std::vector<Unit> units; // a list has few
    std::vector<size_t> unitOf(offers.size());
    for (size_t i = 0; i < offers.size(); ++i) {
        if (!offers[i].active || !prices[i])
            continue;
        QString base = prices[i]->base.toString().toCaseFolded();
        size_t u = 0;
        while (u < units.size() && units[u].base != base)
            ++u;
        if (u == units.size())
            units.push_back({std::move(base), prices[i]->perUnit, 0});
        units[u].lowest = std::min(units[u].lowest, prices[i]->perUnit);
        ++units[u].offers;
        unitOf[i] = u;
    }
    std::vector<bool> bold(offers.size(), false);
    for (size_t i = 0; i < offers.size(); ++i) {
        if (!offers[i].active || !prices[i])
            continue;
        const Unit &unit = units[unitOf[i]];
        // Cent amounts divided by a count: equal prices may differ in the last bits.
        bold[i] = unit.offers >= 2 && prices[i]->perUnit <= unit.lowest + 1e-9;
    }
    return bold;
}

QString perUnitText(const std::optional<UnitPrice> &price, const Digits &digits) {
    if (!price)
        return QString();
    QString text;
    text.reserve(16 + price->base.size());
    appendTwoDecimals(text, price->perUnit, digits);
    text += QStringLiteral(" € je ");
    text += price->base;
    return text;
}

std::vector<std::optional<UnitPrice>> unitPrices(const std::vector<Offer> &offers, const Digits &digits) {
    std::vector<std::optional<UnitPrice>> prices;
    prices.reserve(offers.size());
    for (const Offer &offer : offers)
        prices.push_back(unitPrice(offer, digits));
    return prices;
}

} // namespace

std::optional<PriceUnit> ReadPriceUnit(QStringView s) {
    // Read by hand, in the order the pattern's matcher tries its choices, so that the first form
    // that fits is the one the pattern finds. Text that is no valid UTF-16 the matcher refuses.
    if (!s.isValidUtf16())
        return std::nullopt;
    const qsizetype n = s.size();
    qsizetype end = n; // one past the last non-blank: where the base unit ends
    while (end > 0 && isBlank(s[end - 1]))
        --end;
    // The base unit from `p` on: a non-digit, then up to the trailing blanks without a line feed,
    // and at least one letter, digit or "_" in it.
    const auto base = [&](qsizetype p) -> std::optional<QStringView> {
        if (p >= n || isDigit(s[p]))
            return std::nullopt;
        const qsizetype q = std::max(p + 1, end);
        const QStringView text = s.sliced(p, q - p);
        if (text.sliced(1).contains(u'\n'))
            return std::nullopt;
        return text;
    };
    const auto found = [](QStringView count, std::optional<QStringView> text) -> std::optional<PriceUnit> {
        if (!std::any_of(text->begin(), text->end(), isWordChar))
            return std::nullopt; // the base's content is checked only on the form found first
        return PriceUnit{count, *text};
    };
    qsizetype lead = 0;
    while (lead < n && isBlank(s[lead]))
        ++lead;
    if (lead < n && isDigit(s[lead])) {
        qsizetype digitsEnd = lead;
        while (digitsEnd < n && isDigit(s[digitsEnd]))
            ++digitsEnd;
        // The count ends after its decimal part, if it has one, else after its digits. Shorter counts
        // leave a digit where the base unit would have to start, and fit no better.
        qsizetype counts[2];
        int tries = 0;
        if (digitsEnd + 1 < n && (s[digitsEnd] == u'.' || s[digitsEnd] == u',') && isDigit(s[digitsEnd + 1])) {
            qsizetype decimalsEnd = digitsEnd + 1;
            while (decimalsEnd < n && isDigit(s[decimalsEnd]))
                ++decimalsEnd;
            counts[tries++] = decimalsEnd;
        }
        counts[tries++] = digitsEnd;
        for (int t = 0; t < tries; ++t) {
            const qsizetype f = counts[t];
            qsizetype g = f;
            while (g < n && isBlank(s[g]))
                ++g;
            for (qsizetype p = g; p >= f; --p)
                if (const std::optional<QStringView> text = base(p))
                    return found(s.sliced(lead, f - lead), text);
        }
    }
    // No count: the base unit starts after the leading blanks, or failing that at one of them.
    for (qsizetype p = lead; p >= 0; --p)
        if (const std::optional<QStringView> text = base(p))
            return found(QStringView(), text);
    return std::nullopt;
}

QString TwoDecimals(double value, const QLocale &locale) {
    QString text;
    appendTwoDecimals(text, value, Digits(locale));
    return text;
}

std::optional<double> ReadPrice(const QString &price, const QLocale &locale) {
    return readPrice(price, Digits(locale));
}

QString PerUnitText(const Offer &offer) {
    const QLocale locale;
    const Digits digits(locale);
    return perUnitText(unitPrice(offer, digits), digits);
}

std::vector<bool> CheapestPerUnit(const std::vector<Offer> &offers) {
    const QLocale locale;
    return cheapest(offers, unitPrices(offers, Digits(locale)));
}

QString PriceHistoryText(const Offer &now, const PriceHistory &history) {
    const QLocale locale;
    const Digits digits(locale);
    // A price of the history as the list writes one, with its unit when that is not the one shown.
    const auto price = [&](double euros, const QString &unit) {
        QString text;
        appendTwoDecimals(text, euros, digits);
        text += QStringLiteral(" €");
        if (unit.trimmed() != now.unit.trimmed() && !unit.trimmed().isEmpty())
            text += QStringLiteral(" je ") + unit.trimmed();
        return text;
    };
    QStringList lines;
    if (history.before) {
        QString line = QStringLiteral("Preis seit ") + history.changedOn + QStringLiteral(", vorher ") +
                       price(*history.before, history.beforeUnit);
        // Compared per base unit: the same unit compares the prices themselves.
        std::optional<double> ratio;
        if (now.unit.trimmed() == history.beforeUnit.trimmed()) {
            if (const std::optional<double> current = readPrice(now.price, digits); current && *history.before > 0)
                ratio = *current / *history.before;
        } else {
            // The price before as the list would have shown it, read the way the shown one is.
            QString earlier;
            appendTwoDecimals(earlier, *history.before, digits);
            const std::optional<UnitPrice> current = unitPrice(now, digits);
            const Offer then{earlier, history.beforeUnit, true}; // the unit price's base points into it
            const std::optional<UnitPrice> before = unitPrice(then, digits);
            if (current && before && before->perUnit > 0 &&
                current->base.toString().toCaseFolded() == before->base.toString().toCaseFolded())
                ratio = current->perUnit / before->perUnit;
        }
        if (ratio && std::isfinite(*ratio)) {
            const double percent = (*ratio - 1) * 100;
            const QString amount = locale.toString(std::abs(percent), 'f', 1);
            const QChar sign =
                amount == locale.toString(0.0, 'f', 1) ? QChar(u'\u00b1') : QChar(percent > 0 ? u'+' : u'-');
            line += QStringLiteral(" (") + sign + amount + QStringLiteral(" %)");
        }
        lines << line;
    }
    if (history.coming)
        lines << QStringLiteral("Ab ") + history.comingOn + QStringLiteral(": ") +
                     price(*history.coming, history.comingUnit);
    return lines.join(QLatin1Char('\n'));
}

PriceMarks MarkPrices(const std::vector<Offer> &offers) {
    const QLocale locale;
    const Digits digits(locale);
    const std::vector<std::optional<UnitPrice>> prices = unitPrices(offers, digits);
    PriceMarks marks{cheapest(offers, prices), {}};
    marks.perUnit.reserve(offers.size());
    for (const std::optional<UnitPrice> &price : prices)
        marks.perUnit.push_back(perUnitText(price, digits));
    return marks;
}

} // namespace mainlogic
