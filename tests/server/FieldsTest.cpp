// The values of the merchants' files: the usual forms and the ones around them read the same, or
// are refused with the same words, whichever way a form is read.

#include "server/exchange/Fields.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace kxexchange;

namespace {

struct Case {
    const char *text;
    const char *read; // the value as text, or the start of the refusal after the quoted input
};

// A read value as the cases write it.
template <typename T> QString asText(const T &value) {
    if constexpr (std::is_integral_v<T>)
        return QString::number(value);
    else if constexpr (std::is_same_v<T, QDate>)
        return value.toString(Qt::ISODate);
    else
        return value;
}

template <typename Parse> void expectAll(const char *what, const std::vector<Case> &cases, Parse parse) {
    for (const Case &c : cases) {
        QString expected;
        const auto value = parse(QString::fromUtf8(c.text), &expected);
        const QString got = value ? asText(*value) : expected.mid(expected.indexOf(QLatin1String("\" ")) + 2);
        EXPECT_TRUE(got.startsWith(QString::fromUtf8(c.read)))
            << what << " \"" << c.text << "\": " << got.toStdString();
    }
}

} // namespace

TEST(Fields, UsualFormsAndTheirNeighbours) {
    expectAll("cents",
              {{"1234,50", "123450"},
               {"1234,5", "123450"},
               {"12", "1200"},
               {"0,07", "7"},
               {"007,05", "705"},
               {"1.234,50", "123450"},
               {"1234.50", "123450"},
               {" 12,50 ", "1250"},
               {"999999999999999", "99999999999999900"},
               {"1234567890123456", "ist keine Zahl"},
               {"12,", "ist keine Zahl"},
               {",5", "ist keine Zahl"},
               {"12,345", "hat mehr als zwei"},
               {"-1,00", "ist negativ"},
               {"1,2,3", "ist keine Zahl"},
               {"", "ist keine"}},
              ParseCents);
    expectAll("number",
              {{"70001", "70001"},
               {"000000001", "1"},
               {"999999999", "999999999"},
               {"1.234", "1234"},
               {" 7 ", "7"},
               {"0", "ist keine ganze Zahl"},
               {"1234567890", "ist keine ganze Zahl"},
               {"-5", "ist keine ganze Zahl"},
               {"12a", "ist keine ganze Zahl"}},
              ParseWholeNumber);
    expectAll("date",
              {{"01.02.2024", "2024-02-01"},
               {"1.2.2024", "2024-02-01"},
               {"29.02.2024", "2024-02-29"},
               {"01.02.24", "2024-02-01"},
               {"01.02.30", "1930-02-01"},
               {"2024-02-01", "2024-02-01"},
               {" 01.02.2024", "2024-02-01"},
               {"29.02.2023", "ist kein Datum, das es gibt"},
               {"00.02.2024", "ist kein Datum, das es gibt"},
               {"01.13.2024", "ist kein Datum, das es gibt"},
               {"01.02.1899", "ist kein Datum, das es gibt"},
               {"01-02-2024", "ist kein Datum (erwartet"},
               {"0a.02.2024", "ist kein Datum (erwartet"}},
              ParseDate);
    expectAll("flag",
              {{"J", "J"},
               {"N", "N"},
               {"j", "J"},
               {" ja ", "J"},
               {"1", "J"},
               {"NEIN", "N"},
               {"0", "N"},
               {"x", "ist weder J noch N"},
               {"JJ", "ist weder J noch N"}},
              ParseFlag);
}
