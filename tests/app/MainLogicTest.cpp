// The main window's texts and row builders, without a window.

#include "app/review/MainLogic.h"
#include "QtPrinters.h"
#include "text/TextHelpers.h"

#include <QLocale>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

using namespace mainlogic;

namespace {

const QString LF = QStringLiteral("\n");

QVariant nullOf(QMetaType type) {
    return QVariant(type);
}

// Switches the default locale for one test and back to the German one of the test main.
class LocaleSwitch {
public:
    explicit LocaleSwitch(const QLocale &locale) { QLocale::setDefault(locale); }
    ~LocaleSwitch() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
};

} // namespace

TEST(MainLogic, PricePatternInTheUsersLocale) {
    EXPECT_EQ(FormatPrice(1234.5), QStringLiteral("1.234,50 €"));
    EXPECT_EQ(FormatPrice(0.0), QStringLiteral("0,00 €"));
    EXPECT_EQ(FormatPrice(0.5), QStringLiteral("0,50 €"));
    EXPECT_EQ(FormatPrice(4.789), QStringLiteral("4,79 €"));
    EXPECT_EQ(FormatPrice(1234567.891), QStringLiteral("1.234.567,89 €"));
    EXPECT_EQ(FormatPrice(-1234.5), QStringLiteral("-1.234,50 €"));
    EXPECT_EQ(FormatPrice(qlonglong(12)), QStringLiteral("12,00 €"));

    // A price that arrives as text is read with "." as decimal point, whatever the locale.
    EXPECT_EQ(FormatPrice(QStringLiteral("1234.5")), QStringLiteral("1.234,50 €"));
    EXPECT_EQ(FormatPrice(QStringLiteral(" 7.25 ")), QStringLiteral("7,25 €"));
    EXPECT_EQ(FormatPrice(QStringLiteral("-3.5")), QStringLiteral("-3,50 €"));
    // Text that is no number under that rule shows as it came.
    EXPECT_EQ(FormatPrice(QStringLiteral("auf Anfrage")), QStringLiteral("auf Anfrage"));
    EXPECT_EQ(FormatPrice(QStringLiteral("12,50")), QStringLiteral("12,50"));
    EXPECT_EQ(FormatPrice(QString()), QString());
    // A missing value is an empty cell, never an error or "0,00 €".
    EXPECT_EQ(FormatPrice(QVariant()), QString());
    EXPECT_EQ(FormatPrice(nullOf(QMetaType::fromType<double>())), QString());
    EXPECT_EQ(FormatPrice(nullOf(QMetaType::fromType<QString>())), QString());

    LocaleSwitch english(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(FormatPrice(1234.5), QStringLiteral("1,234.50 €"));
    EXPECT_EQ(FormatPrice(QStringLiteral("1234.5")), QStringLiteral("1,234.50 €"));
}

TEST(MainLogic, DatesHaveFourDigitYearsAndABrokenDateNumberIsEmpty) {
    EXPECT_EQ(ShortDate(QDate(2005, 3, 12)), QStringLiteral("12.03.2005"));
    EXPECT_EQ(UpdateDate(1240304), QStringLiteral("04.03.2024"));
    EXPECT_EQ(UpdateDate(QStringLiteral("1050312")), QStringLiteral("12.03.2005"));
    EXPECT_EQ(UpdateDate(50101), QStringLiteral("01.01.1905"));
    for (const QVariant &broken : {QVariant(1241399), QVariant(1240230), QVariant(0), QVariant(QStringLiteral("abc")),
                                   QVariant(qlonglong(99999999999)), QVariant(-5), QVariant()})
        EXPECT_EQ(UpdateDate(broken), QString()) << broken.toString().toStdString();
    EXPECT_EQ(UpdateRow(4, QStringLiteral("Leeres Update"), 1241399), QStringLiteral("4\nLeeres Update\n"));

    LocaleSwitch english(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(ShortDate(QDate(2005, 3, 12)), QStringLiteral("3/12/2005"));
}

TEST(MainLogic, CaptionAndPrintTitleKeepTheirBlanks) {
    EXPECT_EQ(MainCaption("1", "0", QStringLiteral("Jürgen Müller")),
              QStringLiteral("KORVEX Update Hauptlieferanten") + QString(14, u' ') + QStringLiteral("Firma: 1") +
                  QString(5, u' ') + QStringLiteral("Filiale: 0") + QString(5, u' ') +
                  QStringLiteral("Benutzer: Jürgen Müller"));
    EXPECT_TRUE(MainCaption("1", "0", QString()).endsWith(QStringLiteral("0     Benutzer: ")));

    EXPECT_EQ(PrintTitle("2", QDate(2025, 4, 3), QTime(9, 5, 7)),
              QStringLiteral("KORVEX Update Hauptlieferanten") + QString(7, u' ') + QStringLiteral("Update: 2") +
                  QString(4, u' ') + QStringLiteral("Datum: 03.04.2025 09:05:07"));
    EXPECT_EQ(PrintTitle(QString(), QDate(2025, 4, 3), QTime(23, 0, 0)),
              QStringLiteral("KORVEX Update Hauptlieferanten       Update:     Datum: 03.04.2025 23:00:00"));
}

TEST(MainLogic, RowsTakeScreenTextAndNullColumnsAreEmpty) {
    const QVariant nullText = nullOf(QMetaType::fromType<QString>());
    EXPECT_EQ(UpdateRow(2, QStringLiteral("Abgleich M|rtel"), 1240617),
              QStringLiteral("2\nAbgleich Mörtel\n17.06.2024"));
    EXPECT_EQ(UpdateRow(nullOf(QMetaType::fromType<int>()), nullText, nullText), QStringLiteral("\n\n"));
    EXPECT_EQ(ArticleRow("100003", QStringLiteral("Dachlatte impr{gniert"), nullText, QVariant()),
              QStringLiteral("100003\nDachlatte imprägniert\n\n"));
    // A whole list's rows, each supplier converted once, are the same texts as ArticleRow's.
    ArticleRows rows;
    const QVariant sued = QStringLiteral("70001 Zementwerke S}d AG");
    const QVariant nord = QStringLiteral("70002 Nordkies");
    // Each row's filter mark, known from its parts, is what ProposalDiffers reads from the row, also
    // where a part holds a line feed and the row's fields shift.
    std::vector<bool> differs;
    const QVariant twoLines = QStringLiteral("70003 Zwei\nZeilen");
    for (const auto &[main, proposed] : std::vector<std::pair<QVariant, QVariant>>{
             {sued, nord}, {nord, sued}, {sued, nullText}, {QVariant(), sued}, {sued, sued}, {" ", nord},
             {twoLines, sued}, {sued, twoLines}, {QStringLiteral("70001 Andere"), sued}}) {
        const QString built = rows("100004", "D{mmung", main, proposed);
        EXPECT_EQ(built, ArticleRow("100004", "D{mmung", main, proposed));
        differs.push_back(ProposalDiffers(built));
    }
    differs.push_back(ProposalDiffers(rows("1", "Zwei\nZeilen", sued, nord)));
    EXPECT_EQ(rows.takeDiffers(), differs);
    EXPECT_EQ(rows(1, "x", sued, nord), QStringLiteral("1\nx\n70001 Zementwerke Süd AG\n70002 Nordkies"));
    EXPECT_EQ(SupplierRow(QStringLiteral("70001 Zementwerke S}d AG"), 4.85, "Sack", "12.02.2024"),
              QStringLiteral("70001 Zementwerke Süd AG\n4,85 €\nSack\n12.02.2024"));
    // "00:00:00" exactly is no purchase; anything else shows as it came.
    EXPECT_EQ(SupplierRow("1 A", 1.0, "Stk", "00:00:00"), QStringLiteral("1 A\n1,00 €\nStk\n"));
    EXPECT_EQ(SupplierRow("1 A", 1.0, "Stk", "00:00:00 "), QStringLiteral("1 A\n1,00 €\nStk\n00:00:00 "));
    EXPECT_EQ(SupplierRow(nullText, QVariant(), nullText, nullText), QStringLiteral("\n\n\n"));
    // The offer read back from a row: its price and unit; a short row has none.
    const Offer offer = OfferOfRow(SupplierRow("1 A", 95.0, "100 lfm", "00:00:00"), true);
    EXPECT_EQ(offer.price, QStringLiteral("95,00 €"));
    EXPECT_EQ(offer.unit, QStringLiteral("100 lfm"));
    EXPECT_TRUE(offer.active);
    EXPECT_TRUE(OfferOfRow(QStringLiteral("1 A"), false).price.isEmpty());
}

TEST(MainLogic, SupplierHeadingAndTheRewrittenArticleRow) {
    EXPECT_EQ(SupplierHeading("100001" + LF + "Zement" + LF + "70001 A" + LF + "70015 B"),
              QStringLiteral("100001  Zement"));
    EXPECT_EQ(SupplierHeading("100001" + LF + LF + "70001 A"), QStringLiteral("100001  "));
    EXPECT_EQ(SupplierHeading("100001"), QStringLiteral("100001  "));
    EXPECT_EQ(SupplierHeading(QString()), QStringLiteral("  "));

    // Exactly four fields: further fields are dropped, empty ones stay empty.
    EXPECT_EQ(ArticleRowWithMainSupplier("1" + LF + "2" + LF + "3" + LF + "4" + LF + "5" + LF + "6", "S"),
              "1" + LF + "2" + LF + "S" + LF + "4");
    EXPECT_EQ(ArticleRowWithMainSupplier(LF + LF + "alt" + LF, "S"), LF + LF + "S" + LF);
    EXPECT_EQ(ArticleRowWithMainSupplier("100001", "70015 X"), "100001" + LF + LF + "70015 X" + LF);
    EXPECT_EQ(ArticleRowWithMainSupplier("1" + LF + "2" + LF + "3" + LF + "4", QString()),
              "1" + LF + "2" + LF + LF + "4");
    // A taken proposal is the main supplier given by the row's own fourth field, in the same four fields.
    for (const QString &row : {"1" + LF + "2" + LF + "3" + LF + "4" + LF + "5", LF + LF + "alt" + LF,
                               QStringLiteral("100001"), "1" + LF + "Zement" + LF + LF + "70015 B", QString()})
        EXPECT_EQ(ArticleRowWithProposalTaken(row), ArticleRowWithMainSupplier(row, cacheapi::Piece(row, LF, 4)))
            << row.toStdString();
}

TEST(MainLogic, MainSupplierByLeadingNumber) {
    EXPECT_TRUE(IsMainSupplier("70001 Zementwerke Süd AG", "70001 Zementwerke S}d AG"));
    EXPECT_FALSE(IsMainSupplier("70001 Zementwerke", "70015 Baustoff-Union"));
    // Blanks, tabs and line feeds are skipped wherever they stand.
    EXPECT_TRUE(IsMainSupplier("12 34 Firma", "1234 Firma"));
    EXPECT_TRUE(IsMainSupplier(" \t7000\n1 A", "70001B"));
    // "." is the decimal point whatever the locale; "," ends the number.
    EXPECT_TRUE(IsMainSupplier("70001.50 A", "70001.5 B"));
    EXPECT_TRUE(IsMainSupplier("7000,1 A", "7000 B"));
    // No number reads as 0: an empty field matches every supplier without a number, and only those.
    EXPECT_TRUE(IsMainSupplier(QString(), "Ohne Nummer GmbH"));
    EXPECT_TRUE(IsMainSupplier("ohne", "0 Null"));
    EXPECT_FALSE(IsMainSupplier(QString(), "70001 A"));
}

TEST(MainLogic, PricesAreComparedPerBaseUnit) {
    // Per-unit texts: an optional count and a base unit; what cannot be read gives no text.
    const struct {
        const char *price;
        const char *unit;
        const char *text;
    } perUnit[] = {
        {"95,00 €", "100 lfm", "0,95 € je lfm"},
        {"0,89 €", "lfm", "0,89 € je lfm"},
        {"1.234,50 €", "1000 Stk", "1,23 € je Stk"},
        {"4,85 €", " Sack ", "4,85 € je Sack"},
        {"12,00 €", "2,5 kg", "4,80 € je kg"},
        {"12,00 €", "100", ""},
        {"12,00 €", "", ""},
        {"12,00 €", "0 Stk", ""},
        {"kein Preis", "Stk", ""},
    };
    for (const auto &c : perUnit)
        EXPECT_EQ(PerUnitText({c.price, c.unit, true}), QString::fromUtf8(c.text)) << c.price << " per " << c.unit;

    // Cheapest active offer per base unit, among at least two of that unit; ties each bold.
    const struct {
        const char *name;
        std::vector<Offer> offers;
        std::vector<bool> bold;
    } cheapest[] = {
        {"per lfm", {{"0,89 €", "lfm", true}, {"95,00 €", "100 lfm", true}}, {true, false}},
        {"an inactive cheaper one does not count",
         {{"0,50 €", "lfm", false}, {"0,89 €", "lfm", true}, {"95,00 €", "100 lfm", true}},
         {false, true, false}},
        {"units apart",
         {{"4,85 €", "Sack", true}, {"190,00 €", "Pal", true}, {"5,10 €", "Sack", true}},
         {true, false, false}},
        {"alone in its unit", {{"4,85 €", "Sack", true}, {"190,00 €", "Pal", true}}, {false, false}},
        {"ties and letter case", {{"1,00 €", "Stk", true}, {"100,00 €", "100 stk", true}}, {true, true}},
        {"unreadable units are left out",
         {{"1,00 €", "", true}, {"2,00 €", "Stk", true}, {"3,00 €", "Stk", true}},
         {false, true, false}},
    };
    for (const auto &c : cheapest)
        EXPECT_EQ(CheapestPerUnit(c.offers), c.bold) << c.name;
}

TEST(MainLogic, ThePriceTooltipTellsTheLastChangeAndTheComingPrice) {
    // The price shown now, then the history: price before, its unit, the change's day; coming price,
    // its unit, its day.
    const struct {
        const char *name;
        Offer now;
        PriceHistory history;
        const char *text;
    } cases[] = {
        {"no history", {"12,99 €", "Sack"}, {}, ""},
        {"a rise",
         {"12,99 €", "Sack"},
         {12.34, "Sack", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 12,34 € (+5,3 %)"},
        {"a fall, the unit's blanks aside",
         {"9,00 €", " Sack"},
         {10.0, "Sack ", "02.01.2027"},
         "Preis seit 02.01.2027, vorher 10,00 € (-10,0 %)"},
        {"another unit of the same base compares per base unit",
         {"1,00 €", "lfm"},
         {95.0, "100 lfm", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 95,00 € je 100 lfm (+5,3 %)"},
        {"the same per base unit",
         {"1,00 €", "Stk"},
         {10.0, "10 Stk", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 10,00 € je 10 Stk (\u00b10,0 %)"},
        {"another base: no percent",
         {"190,00 €", "Pal"},
         {4.85, "Sack", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 4,85 € je Sack"},
        {"nothing before: no percent",
         {"1,00 €", "Stk"},
         {0.0, "Stk", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 0,00 €"},
        {"a price shown that cannot be read",
         {"auf Anfrage", "Stk"},
         {1.0, "Stk", "01.03.2027"},
         "Preis seit 01.03.2027, vorher 1,00 €"},
        {"coming only", {"12,99 €", "Sack"}, {{}, {}, {}, 13.0, "Sack", "01.04.2027"}, "Ab 01.04.2027: 13,00 €"},
        {"both, the coming one for another unit",
         {"12,99 €", "Sack"},
         {12.34, "Sack", "01.03.2027", 1234.5, "100 Sack", "01.04.2027"},
         "Preis seit 01.03.2027, vorher 12,34 € (+5,3 %)\nAb 01.04.2027: 1.234,50 € je 100 Sack"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PriceHistoryText(c.now, c.history), QString::fromUtf8(c.text)) << c.name;
}

// The price unit and the price used to be read by a pattern and QLocale; the list's own readers must
// read every text as those did, the pattern's odd corners included.
TEST(MainLogic, PriceUnitsAndPricesAreReadAsBefore) {
    const QRegularExpression pattern(QStringLiteral("^\\s*(?:(\\d+(?:[.,]\\d+)?)\\s*)?(\\D.*?)\\s*$"));
    const QRegularExpression letterOrDigit(QStringLiteral("\\w"));
    int wrong = 0;
    const auto sameUnit = [&](const QString &unit) {
        const QRegularExpressionMatch match = pattern.match(unit);
        const bool readable = match.hasMatch() && match.captured(2).contains(letterOrDigit);
        const std::optional<PriceUnit> read = ReadPriceUnit(unit);
        if (read.has_value() == readable &&
            (!readable || (read->count == match.captured(1) && read->base == match.captured(2))))
            return;
        if (++wrong <= 10)
            ADD_FAILURE() << "unit \"" << unit.toStdString() << "\": pattern " << readable << " \""
                          << match.captured(1).toStdString() << "\" \"" << match.captured(2).toStdString()
                          << "\", read " << read.has_value() << " \""
                          << (read ? read->count.toString() : QString()).toStdString() << "\" \""
                          << (read ? read->base.toString() : QString()).toStdString() << "\"";
    };
    for (const char16_t *unit :
         {u"100 lfm", u"2,5 kg", u" Sack ", u"100", u" 100", u"1.5", u"1.55", u"100 5kg", u"100 ", u"10.5.3 m",
          u"1,kg", u"1.", u"12 \n kg", u"12\n", u"kg\n", u"\n1", u"  ", u"", u"Stk.", u"0 Stk", u"1.000 Stk",
          u"\u20ac", u"\u0661\u0662 kg", u"5\u00a0kg", u"12 _", u"3 \u00e4", u"1 \U0001F600", u"12kg  \n",
          u"12 k\ng", u"\t7\r\vm\f", u"0012,50 Sack", u"99999999999999999999 Stk"})
        sameUnit(QString::fromUtf16(unit));
    // Every text of up to four characters from those that the pattern tells apart, surrogates too.
    const QString alphabet = QString::fromUtf16(u"10., \t\nk_\u00e4\u00a0\u0663\u20ac") + QChar(0xD83D) + QChar(0xDE00);
    std::vector<QString> texts{QString()};
    for (int length = 1; length <= 4; ++length) {
        std::vector<QString> longer;
        for (const QString &text : texts)
            if (text.size() == length - 1)
                for (QChar c : alphabet)
                    longer.push_back(text + c);
        texts.insert(texts.end(), longer.begin(), longer.end());
    }
    for (const QString &text : texts)
        sameUnit(text);

    // Prices: as each locale reads them, the list's own forms and others.
    for (const char *name : {"de_DE", "en_US", "C", "fr_FR", "de_CH", "hi_IN", "ar_EG"}) {
        const QLocale locale(QString::fromLatin1(name));
        std::vector<QString> prices;
        for (qint64 cents = 0; cents < 3000000; cents += 997)
            prices.push_back(locale.toString(double(cents) / 100, 'f', 2) + QStringLiteral(" €"));
        for (const char16_t *price :
             {u"95,00 \u20ac", u"1234,50", u"1.234,50", u"007,50", u"0,5", u",5", u"5,", u"1,2,3", u"12.34", u"0",
              u"00", u" 1,5 ", u"-1,5", u"+1,5", u"1e3", u"99999999999999,9", u"9999999999999999", u"0,0000001",
              u"123456789012,345", u"\u20ac", u"", u"12\u00a0\u20ac", u"\u0661\u066b\u0665"})
            prices.push_back(QString::fromUtf16(price));
        for (const QString &price : prices) {
            bool ok = false;
            const double value = locale.toDouble(QString(price).remove(QStringLiteral("€")).trimmed(), &ok);
            const std::optional<double> read = ReadPrice(price, locale);
            if (read.has_value() == (ok && std::isfinite(value)) && (!read || *read == value))
                continue;
            if (++wrong <= 10)
                ADD_FAILURE() << name << " price \"" << price.toStdString() << "\": " << ok << " " << value
                              << ", read " << read.value_or(-1);
        }
    }
    // Amounts with two decimals, as each locale writes them: cents, ties, neighbours, odd values.
    std::vector<double> amounts{-0.0, -1.5, 0.005, 0.015, 2.675, 999.994999, 999.995, 1000, 1e300,
                                std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
    for (qint64 cents = 0; cents < 120000; cents += 7)
        amounts.push_back(double(cents) / 100);
    for (int eighths = 0; eighths < 8100; eighths += 3) {
        const double tie = eighths / 8.0;
        amounts.insert(amounts.end(), {tie, std::nextafter(tie, 0.0), std::nextafter(tie, 2000.0), tie / 3});
    }
    for (const char *name : {"de_DE", "en_US", "C", "fr_FR", "de_CH", "hi_IN", "ar_EG"}) {
        const QLocale locale(QString::fromLatin1(name));
        for (const double amount : amounts)
            if (TwoDecimals(amount, locale) != locale.toString(amount, 'f', 2) && ++wrong <= 10)
                ADD_FAILURE() << name << " amount " << amount << ": " << TwoDecimals(amount, locale).toStdString()
                              << " against " << locale.toString(amount, 'f', 2).toStdString();
    }
    EXPECT_EQ(wrong, 0);
}
