// The text helpers with any text: no crash, no hang, and each keeps the promise its header makes.

#include "FuzzSupport.h"
#include "text/TextHelpers.h"

#include <QDate>
#include <QStringList>

#include <cmath>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace cacheapi;

namespace {

void piece(FuzzedDataProvider &in) {
    const QString delimiter = fuzzsupport::takeText(in, 3);
    const int index = in.ConsumeIntegral<int>();
    const QString fallback = fuzzsupport::takeText(in, 8);
    const QString text = fuzzsupport::restText(in);
    const QString result = Piece(text, delimiter, index, fallback);

    // The same field found the slow, obvious way.
    QString expected = fallback;
    if (delimiter.size() == 1) {
        const QStringList fields = text.split(delimiter.at(0));
        if (index >= 1 && index <= fields.size() && !fields.at(index - 1).isEmpty())
            expected = fields.at(index - 1);
    } else if (index == 1 && !text.isEmpty()) {
        expected = text;
    }
    FUZZ_CHECK(result == expected,
               QStringLiteral("Piece(%1, %2, %3) = %4").arg(text, delimiter).arg(index).arg(result));
}

void replaceText(FuzzedDataProvider &in) {
    const bool whole = in.ConsumeBool();
    const QString find = fuzzsupport::takeText(in, 6);
    const QString replacement = fuzzsupport::takeText(in, 6);
    const QString text = fuzzsupport::restText(in);
    const QString result = ReplaceText(text, find, replacement, whole);

    const QString f = whole ? find : find.left(1);
    const QString r = whole ? replacement : replacement.left(1);
    const QString expected = f.isEmpty() ? text : QString(text).replace(f, r, Qt::CaseSensitive);
    FUZZ_CHECK(result == expected, QStringLiteral("ReplaceText(%1, %2, %3) = %4").arg(text, find, replacement, result));
}

void numberToDate(FuzzedDataProvider &in) {
    const QString text = fuzzsupport::restText(in);
    const double number = LeadingNumber(text);
    FUZZ_CHECK(!std::isnan(number), text);
    QDate date;
    try {
        date = NumberToDate(text);
    } catch (const std::invalid_argument &) {
        return; // not a date: the documented answer
    }
    FUZZ_CHECK(date.isValid(), text);
    const double back = (date.year() - 1900) * 10000.0 + date.month() * 100.0 + date.day();
    FUZZ_CHECK(back == std::nearbyint(number), QStringLiteral("%1 -> %2").arg(text, date.toString(Qt::ISODate)));
}

// The 7-bit letter modes the slow way, one ReplaceText per rule, as ConvertText did before it took
// one pass over the text: both must agree on every text.
QString convertByRules(const QString &text, const QString &mode) {
    using Rules = std::vector<std::pair<const char16_t *, const char16_t *>>;
    static const Rules korvex{{u"{", u"ä"}, {u"|", u"ö"},  {u"}", u"ü"}, {u"~", u"ß"},
                              {u"[", u"Ä"}, {u"\\", u"Ö"}, {u"]", u"Ü"}, {u"õ", u"§"}};
    static const Rules korvexSz{{u"{", u"ä"}, {u"}", u"ü"}, {u"~", u"ß"}, {u"[", u"Ä"}, {u"]", u"Ü"}, {u"õ", u"§"}};
    static const Rules gui{{u"ä", u"{"}, {u"ö", u"|"},  {u"ü", u"}"}, {u"ß", u"~"},
                           {u"Ä", u"["}, {u"Ö", u"\\"}, {u"Ü", u"]"}, {u"§", u"õ"}};
    const Rules &rules = mode == QLatin1String("KORVEX") ? korvex : mode == QLatin1String("KORVEXSZ") ? korvexSz : gui;
    QString result = text;
    for (const auto &[find, replacement] : rules)
        result = ReplaceText(result, QString::fromUtf16(find), QString::fromUtf16(replacement));
    return result;
}

void convertText(FuzzedDataProvider &in) {
    static const char *const modes[] = {"RTF", "KORVEXSUCHE", "KORVEX", "KORVEXSZ", "GUIKORVEX", "korvex", ""};
    const QString mode = QString::fromLatin1(modes[in.ConsumeIntegralInRange<size_t>(0, std::size(modes) - 1)]);
    const bool upper = in.ConsumeBool();
    const QString text = fuzzsupport::restText(in);
    const QString result = ConvertText(text, mode, upper);

    // Upper case and the 7-bit letters replace one character by one character.
    const QString upperText = UpperCase(text);
    FUZZ_CHECK(upperText.size() == text.size(), text);
    if (mode == QLatin1String("KORVEX") || mode == QLatin1String("KORVEXSZ") || mode == QLatin1String("GUIKORVEX") ||
        mode == QLatin1String("korvex") || mode.isEmpty())
        FUZZ_CHECK(result.size() == text.size(), QStringLiteral("%1: %2 -> %3").arg(mode, text, result));
    if (mode == QLatin1String("KORVEX") || mode == QLatin1String("KORVEXSZ") || mode == QLatin1String("GUIKORVEX"))
        FUZZ_CHECK(result == convertByRules(upper ? upperText : text, mode),
                   QStringLiteral("%1: %2 -> %3").arg(mode, text, result));
    if (mode == QLatin1String("korvex") || mode.isEmpty())
        FUZZ_CHECK(result == (upper ? upperText : text), text); // an unknown mode converts nothing
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        piece(in);
        break;
    case 1:
        replaceText(in);
        break;
    case 2:
        numberToDate(in);
        break;
    default:
        convertText(in);
        break;
    }
    return 0;
}
