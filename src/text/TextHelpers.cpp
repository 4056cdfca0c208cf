#include "text/TextHelpers.h"

#include <QMetaObject>
#include <QMetaProperty>
#include <QObject>
#include <QVariant>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cacheapi {

QString Piece(const QString &Text, const QString &Delimiter, int Index, const QString &Default) {
    if (Index < 1)
        return Default;
    // Only a single character can equal the delimiter: with any other delimiter the text is one field.
    if (Delimiter.size() != 1)
        return Index == 1 && !Text.isEmpty() ? Text : Default;

    const QChar delimiter = Delimiter.at(0);
    qsizetype start = 0;
    for (int field = 1; field < Index; ++field) {
        const qsizetype next = Text.indexOf(delimiter, start);
        if (next < 0)
            return Default;
        start = next + 1;
    }
    qsizetype end = Text.indexOf(delimiter, start);
    if (end < 0)
        end = Text.size();
    return end > start ? Text.mid(start, end - start) : Default;
}

QString ReplaceText(const QString &Text, const QString &Find, const QString &Replacement, bool WholeStrings) {
    const QString find = WholeStrings ? Find : Find.left(1);
    const QString replacement = WholeStrings ? Replacement : Replacement.left(1);
    // Nothing to look for: there is no occurrence to replace.
    if (find.isEmpty())
        return Text;

    QString result;
    result.reserve(Text.size());
    qsizetype pos = 0;
    for (;;) {
        const qsizetype hit = Text.indexOf(find, pos);
        if (hit < 0)
            break;
        result += QStringView(Text).mid(pos, hit - pos);
        result += replacement;
        pos = hit + find.size();
    }
    result += QStringView(Text).mid(pos);
    return result;
}

double LeadingNumber(const QString &Text) {
    return LeadingNumber(QStringView(Text));
}

double LeadingNumber(QStringView Text) {
    // The common case read at once ("70012 Baustoffe M{ller"): fewer than 15 digits (exact in a
    // double), then, past any blanks, a character that cannot continue the number.
    const auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    qsizetype at = 0;
    qint64 whole = 0;
    while (at < Text.size() && at < 15 && isDigit(Text[at]))
        whole = whole * 10 + (Text[at++].unicode() - u'0');
    if (at > 0 && at < 15) {
        while (at < Text.size() && (Text[at] == u' ' || Text[at] == u'\t' || Text[at] == u'\n'))
            ++at;
        if (at == Text.size() || !(isDigit(Text[at]) || Text[at] == u'.'))
            return double(whole);
    }
    std::string number;
    bool seenDigit = false;
    bool seenPoint = false;
    for (const QChar ch : Text) {
        const char16_t c = ch.unicode();
        if (c == u' ' || c == u'\t' || c == u'\n')
            continue;
        if (c >= u'0' && c <= u'9') {
            number += char(c);
            seenDigit = true;
        } else if (c == u'.' && !seenPoint) {
            number += '.';
            seenPoint = true;
        } else if ((c == u'+' || c == u'-') && number.empty()) {
            number += char(c);
        } else {
            break;
        }
    }
    if (!seenDigit)
        return 0.0;

    const bool negative = number.front() == '-';
    const char *first = number.data() + ((number.front() == '-' || number.front() == '+') ? 1 : 0);
    const char *last = number.data() + number.size();
    double value = 0.0;
    if (std::from_chars(first, last, value).ec == std::errc::result_out_of_range) {
        // Beyond what a double holds: huge when a digit other than 0 stands before the point, else tiny.
        const std::string_view whole(first, std::find(first, last, '.'));
        value = whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

QDate NumberToDate(const QString &Text) {
    const double number = std::nearbyint(LeadingNumber(Text));
    if (!(number >= std::numeric_limits<qint32>::min() && number <= std::numeric_limits<qint32>::max()))
        throw std::invalid_argument("date number out of range: " + Text.toStdString());
    const qint32 n = qint32(number);
    const int day = n % 100;
    const int month = (n / 100) % 100;
    const int year = n / 10000 + 1900;
    // Four-digit years only, like every date the server and the screen can show.
    const QDate date = year <= 9999 ? QDate(year, month, day) : QDate();
    if (!date.isValid())
        throw std::invalid_argument("not a date: " + Text.toStdString());
    return date;
}

QString UpperCase(const QString &Text) {
    // Letter by letter, one character to one character: QString::toUpper would turn ß into SS.
    QString result = Text;
    for (qsizetype i = 0; i < result.size(); ++i) {
        const QChar c = result.at(i);
        if (c.isHighSurrogate() && i + 1 < result.size() && result.at(i + 1).isLowSurrogate()) {
            const char32_t upper = QChar::toUpper(QChar::surrogateToUcs4(c, result.at(i + 1)));
            result[i] = QChar(QChar::highSurrogate(upper));
            result[i + 1] = QChar(QChar::lowSurrogate(upper));
            ++i;
        } else if (c.unicode() != u'ß') {
            result[i] = c.toUpper();
        }
    }
    return result;
}

namespace {

using Rule = std::pair<const char16_t *, const char16_t *>;

struct Mode {
    QStringView name; // its length known at compile time: every conversion looks the mode up
    bool wholeStrings;
    std::vector<Rule> rules;
};

const std::array<Mode, 5> &modes() {
    static const std::array<Mode, 5> table{{
        {u"RTF",
         true,
         {{u"ä", u"\\'e4"},
          {u"ö", u"\\'f6"},
          {u"ü", u"\\'fc"},
          {u"ß", u"\\'df"},
          {u"Ä", u"\\'C4"},
          {u"Ö", u"\\'d6"},
          {u"Ü", u"\\'dc"}}},
        {u"KORVEXSUCHE", true, {{u"ß", u"SS"}, {u"Ä", u"AE"}, {u"Ö", u"OE"}, {u"Ü", u"UE"}}},
        {u"KORVEX",
         false,
         {{u"{", u"ä"},
          {u"|", u"ö"},
          {u"}", u"ü"},
          {u"~", u"ß"},
          {u"[", u"Ä"},
          {u"\\", u"Ö"},
          {u"]", u"Ü"},
          {u"õ", u"§"}}},
        {u"KORVEXSZ", false, {{u"{", u"ä"}, {u"}", u"ü"}, {u"~", u"ß"}, {u"[", u"Ä"}, {u"]", u"Ü"}, {u"õ", u"§"}}},
        {u"GUIKORVEX",
         false,
         {{u"ä", u"{"},
          {u"ö", u"|"},
          {u"ü", u"}"},
          {u"ß", u"~"},
          {u"Ä", u"["},
          {u"Ö", u"\\"},
          {u"Ü", u"]"},
          {u"§", u"õ"}}},
    }};
    return table;
}

// What the single-character rules of a mode make of one character: running it through the rules in
// order, as replacing one character after the other, rule by rule, would. -1: a rule removes it.
int convertCharacter(char16_t c, const std::vector<Rule> &rules) {
    for (const auto &[find, replacement] : rules) {
        if (find[0] == 0 || c != find[0])
            continue;
        if (replacement[0] == 0)
            return -1;
        c = replacement[0];
    }
    return c;
}

// A mode's single-character rules for the first 256 characters, looked up instead of run: a list of
// 100,000 articles converts three texts per row.
struct CharacterTable {
    std::array<int, 256> of{};
    bool wideRules = false; // a rule looks for a character above 255: those are run through the rules
};

CharacterTable makeTable(const Mode &mode) {
    CharacterTable table;
    for (int c = 0; c < 256; ++c)
        table.of[size_t(c)] = convertCharacter(char16_t(c), mode.rules);
    for (const auto &rule : mode.rules)
        table.wideRules = table.wideRules || rule.first[0] > 255;
    return table;
}

const CharacterTable &characterTable(const Mode &mode) {
    static const auto tables = [] {
        std::array<CharacterTable, std::tuple_size_v<std::decay_t<decltype(modes())>>> all;
        for (size_t m = 0; m < all.size(); ++m)
            all[m] = makeTable(modes()[m]);
        return all;
    }();
    return tables[size_t(&mode - modes().data())];
}

// The rules of a mode that replace single characters, in one pass over the text; the text comes back
// shared when nothing changes.
QString replaceCharacters(const QString &text, const Mode &mode) {
    const CharacterTable &table = characterTable(mode);
    const char16_t *const begin = reinterpret_cast<const char16_t *>(text.constData());
    const char16_t *const end = begin + text.size();
    const auto convert = [&table, &mode](char16_t c) -> int {
        if (c < 256)
            return table.of[c];
        return table.wideRules ? convertCharacter(c, mode.rules) : int(c);
    };
    const char16_t *p = begin;
    if (table.wideRules) {
        while (p != end && convert(*p) == int(*p))
            ++p;
    } else {
        while (p != end && (*p >= 256 || table.of[*p] == int(*p)))
            ++p;
    }
    if (p == end)
        return text;
    QString result(text.size(), Qt::Uninitialized);
    char16_t *out = std::copy(begin, p, reinterpret_cast<char16_t *>(result.data()));
    for (; p != end; ++p)
        if (const int c = convert(*p); c >= 0)
            *out++ = char16_t(c);
    result.truncate(out - reinterpret_cast<const char16_t *>(result.constData()));
    return result;
}

} // namespace

QString ConvertText(const QString &Text, const QString &Mode, bool Upper) {
    QString result = Upper ? UpperCase(Text) : Text;
    for (const auto &mode : modes()) {
        if (Mode != mode.name)
            continue;
        if (!mode.wholeStrings)
            return replaceCharacters(result, mode);
        for (const auto &[find, replacement] : mode.rules)
            result = ReplaceText(result, QString::fromUtf16(find), QString::fromUtf16(replacement), true);
        break;
    }
    return result;
}

void SelectAllText(QObject *Control, bool SelectOnly) {
    if (!Control)
        throw std::invalid_argument("SelectAllText: no control");
    const QMetaObject *meta = Control->metaObject();

    // Line edits carry "text", the multi-line editors "plainText".
    const char *textProperty = nullptr;
    for (const char *name : {"text", "plainText"}) {
        const int index = meta->indexOfProperty(name);
        if (index >= 0 && meta->property(index).metaType().id() == QMetaType::QString) {
            textProperty = name;
            break;
        }
    }
    const bool hasSetSelection = meta->indexOfMethod("setSelection(int,int)") >= 0;
    const bool hasSelectAll = meta->indexOfMethod("selectAll()") >= 0;
    const bool hasSetFocus = meta->indexOfMethod("setFocus()") >= 0;
    // Everything is checked before anything is changed, so a wrong control is left as it was.
    if (!textProperty || !(hasSetSelection || hasSelectAll) || (!SelectOnly && !hasSetFocus))
        throw std::invalid_argument(std::string("SelectAllText: ") + meta->className() +
                                    " has no text with a selection");

    const int length = int(Control->property(textProperty).toString().size());
    if (hasSetSelection)
        QMetaObject::invokeMethod(Control, "setSelection", Qt::DirectConnection, Q_ARG(int, 0), Q_ARG(int, length));
    else
        QMetaObject::invokeMethod(Control, "selectAll", Qt::DirectConnection);
    if (!SelectOnly)
        QMetaObject::invokeMethod(Control, "setFocus", Qt::DirectConnection);
}

} // namespace cacheapi
