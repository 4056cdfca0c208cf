#include "text/TextHelpers.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <stdexcept>

using namespace cacheapi;

namespace {
const QString bar = QStringLiteral("|");
const QString x = QStringLiteral("x");
} // namespace

TEST(Piece, FieldsOfARecord) {
    EXPECT_EQ(Piece("A|B|C", bar, 1, x), "A");
    EXPECT_EQ(Piece("A|B|C", bar, 2, x), "B");
    EXPECT_EQ(Piece("A|B|C", bar, 3, x), "C");
    EXPECT_EQ(Piece("A|B|C", bar, 4, x), "x");
    EXPECT_EQ(Piece("A||C", bar, 2, x), "x");
    EXPECT_EQ(Piece("|B", bar, 1, x), "x");
    EXPECT_EQ(Piece("|B", bar, 2, x), "B");
    EXPECT_EQ(Piece("A|B|", bar, 3, x), "x");
    // No delimiter in the text: the whole text is field 1.
    EXPECT_EQ(Piece("ABC", bar, 1, x), "ABC");
    EXPECT_EQ(Piece("ABC", bar, 2, x), "x");
    // Exact comparison: no case folding.
    EXPECT_EQ(Piece("AxBXC", x, 2), "BXC");
    // Default not given: empty for an empty or missing field.
    EXPECT_TRUE(Piece("A||C", bar, 2).isEmpty());
    EXPECT_TRUE(Piece("A", bar, 5).isEmpty());
}

TEST(Piece, EmptyTextAndOddIndexesGiveDefault) {
    for (int index : {INT_MIN, -1, 0, 1, 2, 255, 256, 32767, INT_MAX}) {
        EXPECT_EQ(Piece(QString(), bar, index, x), "x") << index;
        EXPECT_EQ(Piece("A|B", bar, index, x), index == 1 ? "A" : index == 2 ? "B" : "x") << index;
    }
}

TEST(Piece, BlankDelimiterKeepsEmptyFields) {
    const QString blank = QStringLiteral(" ");
    EXPECT_EQ(Piece("a  b", blank, 1, x), "a");
    EXPECT_EQ(Piece("a  b", blank, 2, x), "x");
    EXPECT_EQ(Piece("a  b", blank, 3, x), "b");
}

TEST(Piece, DelimiterOfOtherLengthNeverMatches) {
    for (const QString &delimiter : {QString(), QStringLiteral("||"), QStringLiteral("ab")}) {
        EXPECT_EQ(Piece("A||B", delimiter, 1, x), "A||B");
        EXPECT_EQ(Piece("A||B", delimiter, 2, x), "x");
        EXPECT_EQ(Piece(QString(), delimiter, 1, x), "x");
    }
}

TEST(Piece, LongTextsAndManyFields) {
    // Beyond the 255-field and 32,767-character limits of the old platform.
    QStringList fields;
    for (int i = 1; i <= 70000; ++i)
        fields << QString::number(i);
    const QString text = fields.join(bar);
    ASSERT_GT(text.size(), 32767);
    EXPECT_EQ(Piece(text, bar, 255, x), "255");
    EXPECT_EQ(Piece(text, bar, 256, x), "256");
    EXPECT_EQ(Piece(text, bar, 32767, x), "32767");
    EXPECT_EQ(Piece(text, bar, 70000, x), "70000");
    EXPECT_EQ(Piece(text, bar, 70001, x), "x");
    EXPECT_EQ(Piece(text, bar, 0, x), "x");
    EXPECT_EQ(Piece(text, bar, INT_MAX, x), "x");
}

TEST(ReplaceText, SingleCharacterUnlessWholeStrings) {
    // Only the first character of Find and Replacement counts.
    EXPECT_EQ(ReplaceText("abcab", "ab", "xy"), "xbcxb");
    EXPECT_EQ(ReplaceText("abcab", "ab", "xy", true), "xycxy");
    EXPECT_EQ(ReplaceText("aaa", "aa", "b", true), "ba");
    EXPECT_EQ(ReplaceText("aaaa", "aa", "b", true), "bb");
    // Replaced text is not scanned again.
    EXPECT_EQ(ReplaceText("aXa", "a", "aa", true), "aaXaa");
    EXPECT_EQ(ReplaceText("a-b-", "-", QString()), "ab");
    EXPECT_EQ(ReplaceText("ab", "abc", "x", true), "ab");
    EXPECT_EQ(ReplaceText(QString(), "a", "b"), "");
    // Exact comparison.
    EXPECT_EQ(ReplaceText("aAa", "a", "b"), "bAb");
}

TEST(ReplaceText, EmptyFindLeavesTextAlone) {
    EXPECT_EQ(ReplaceText("abc", QString(), "x"), "abc");
    EXPECT_EQ(ReplaceText("abc", QString(), "x", true), "abc");
}

TEST(ReplaceText, TextOfAnyLength) {
    const QString text = QString(100000, QLatin1Char('{'));
    const QString result = ReplaceText(text, "{", "ä");
    EXPECT_EQ(result, QString(100000, QChar(u'ä')));
}

TEST(LeadingNumber, ReadsLikeTheServerNumbers) {
    EXPECT_EQ(LeadingNumber("1234"), 1234.0);
    // Blanks, tabs and line feeds are skipped wherever they stand.
    EXPECT_EQ(LeadingNumber("12 34 Baustoffe"), 1234.0);
    EXPECT_EQ(LeadingNumber("70012 Baustoffe"), 70012.0);
    EXPECT_EQ(LeadingNumber("70012 .5"), 70012.5);
    EXPECT_EQ(LeadingNumber("00042\nx"), 42.0);
    EXPECT_EQ(LeadingNumber("12345678901234 x"), 12345678901234.0);
    EXPECT_EQ(LeadingNumber("1234567890123456789"), 1234567890123456789.0);
    EXPECT_EQ(LeadingNumber("\n\t 4\t2"), 42.0);
    EXPECT_EQ(LeadingNumber("- 1.5x"), -1.5);
    EXPECT_EQ(LeadingNumber("+7"), 7.0);
    EXPECT_EQ(LeadingNumber(".5"), 0.5);
    EXPECT_EQ(LeadingNumber("1.2.3"), 1.2);
    // "." is the decimal point even with the German locale pinned; the comma ends the number.
    EXPECT_EQ(LeadingNumber("1,5"), 1.0);
    EXPECT_EQ(LeadingNumber("1e3"), 1.0);
    EXPECT_EQ(LeadingNumber("\r5"), 0.0);
    for (const char *none : {"", " ", "abc", ".", "-", "+-1", "--1", "x12"})
        EXPECT_EQ(LeadingNumber(none), 0.0) << none;
    EXPECT_TRUE(std::isinf(LeadingNumber(QString(400, QLatin1Char('9')))));
    EXPECT_EQ(LeadingNumber(QStringLiteral("0.") + QString(400, QLatin1Char('0')) + QStringLiteral("1")), 0.0);
}

TEST(NumberToDate, ServerDateNumbers) {
    EXPECT_EQ(NumberToDate("1050312"), QDate(2005, 3, 12));
    EXPECT_EQ(NumberToDate("1000101"), QDate(2000, 1, 1));
    EXPECT_EQ(NumberToDate("991231"), QDate(1999, 12, 31));
    EXPECT_EQ(NumberToDate("101"), QDate(1900, 1, 1));
    EXPECT_EQ(NumberToDate(" 105 03 12\n"), QDate(2005, 3, 12));
    EXPECT_EQ(NumberToDate("1050312|Update"), QDate(2005, 3, 12));
    EXPECT_EQ(NumberToDate("1050312.4"), QDate(2005, 3, 12));
    EXPECT_EQ(NumberToDate("1050312.6"), QDate(2005, 3, 13));
    EXPECT_EQ(NumberToDate("1240229"), QDate(2024, 2, 29));
}

TEST(NumberToDate, InvalidDatesThrow) {
    for (const char *bad : {"", "0", "abc", "1050230", "1230229", "1051301", "1050012", "1050300", "-1050312",
                            "81000101", "99999999999", "1e7"}) {
        EXPECT_THROW(NumberToDate(bad), std::invalid_argument) << bad;
    }
}

TEST(UpperCase, SharpSStaysAndUmlautsRise) {
    EXPECT_EQ(UpperCase("Straße"), "STRAßE");
    EXPECT_EQ(UpperCase("äöü m{ller"), "ÄÖÜ M{LLER");
    EXPECT_EQ(UpperCase(QString()), "");
    // Characters outside the 16-bit range keep their pairs.
    EXPECT_EQ(UpperCase(QString::fromUcs4(U"\U00010428a")), QString::fromUcs4(U"\U00010400A"));
}
