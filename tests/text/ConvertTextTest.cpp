#include "text/TextHelpers.h"

#include <gtest/gtest.h>

using namespace cacheapi;

namespace {
const QStringList allModes{"RTF", "KORVEXSUCHE", "KORVEX", "KORVEXSZ", "GUIKORVEX"};
const QString serverLetters = QStringLiteral("{|}~[\\]õ");
const QString screenLetters = QStringLiteral("äöüßÄÖÜ§");
} // namespace

TEST(ConvertText, EmptyTextAndUnknownModes) {
    for (const QString &mode : allModes) {
        EXPECT_EQ(ConvertText(QString(), mode), "");
        EXPECT_EQ(ConvertText(QString(), mode, false), "");
    }
    // Mode names are compared exactly.
    for (const char *mode : {"rtf", "Korvex", "KORVEX ", "", "XYZ"}) {
        EXPECT_EQ(ConvertText("Müller {x}", mode, false), "Müller {x}") << mode;
        EXPECT_EQ(ConvertText("Müller {x}", mode), "MÜLLER {X}") << mode;
    }
}

TEST(ConvertText, KorvexFollowsTheTable) {
    EXPECT_EQ(ConvertText(serverLetters, "KORVEX", false), screenLetters);
    EXPECT_EQ(ConvertText("M{ller", "KORVEX", false), "Mäller");
    EXPECT_EQ(ConvertText("M}ller", "KORVEX", false), "Müller");
    // Upper-casing comes first and leaves { alone.
    EXPECT_EQ(ConvertText("M{ller", "KORVEX"), "MäLLER");
    EXPECT_EQ(ConvertText("Stra~e", "KORVEX"), "STRAßE");
    // Characters beyond Latin-1 pass unchanged, before and after a converted one.
    EXPECT_EQ(ConvertText("€ M{ller – }ber", "KORVEX", false), "€ Mäller – über");
    EXPECT_EQ(ConvertText("– €", "KORVEX", false), "– €");
}

TEST(ConvertText, KorvexSzKeepsBarAndBackslash) {
    EXPECT_EQ(ConvertText(serverLetters, "KORVEXSZ", false), QStringLiteral("ä|üßÄ\\Ü§"));
}

TEST(ConvertText, GuiKorvexIsTheReverse) {
    EXPECT_EQ(ConvertText(screenLetters, "GUIKORVEX", false), serverLetters);
    EXPECT_EQ(ConvertText("Müller", "GUIKORVEX", false), "M}ller");
    // ß survives the upper-casing, so it still becomes ~.
    EXPECT_EQ(ConvertText("Straße", "GUIKORVEX"), "STRA~E");
    EXPECT_EQ(ConvertText("äöü", "GUIKORVEX"), "[\\]");

    const QString plain = QStringLiteral("Grüße aus Köln: Ärger, Öl & Übel § 5 – ©");
    EXPECT_EQ(ConvertText(ConvertText(plain, "GUIKORVEX", false), "KORVEX", false), plain);
}

TEST(ConvertText, RtfEscapes) {
    EXPECT_EQ(ConvertText("äöüßÄÖÜ", "RTF", false), QStringLiteral("\\'e4\\'f6\\'fc\\'df\\'C4\\'d6\\'dc"));
    EXPECT_EQ(ConvertText("ä", "RTF"), QStringLiteral("\\'C4"));
    EXPECT_EQ(ConvertText("ß", "RTF"), QStringLiteral("\\'df"));
    // Backslash and braces already in the text stay as they are.
    EXPECT_EQ(ConvertText("{\\b}", "RTF", false), QStringLiteral("{\\b}"));
}

TEST(ConvertText, SearchKeys) {
    EXPECT_EQ(ConvertText("Straße", "KORVEXSUCHE"), "STRASSE");
    EXPECT_EQ(ConvertText("Müller", "KORVEXSUCHE"), "MUELLER");
    EXPECT_EQ(ConvertText("Öl Ärger", "KORVEXSUCHE"), "OEL AERGER");
    EXPECT_EQ(ConvertText("äöü", "KORVEXSUCHE", false), "äöü");
    EXPECT_EQ(ConvertText("Ärger", "KORVEXSUCHE", false), "AErger");
}
