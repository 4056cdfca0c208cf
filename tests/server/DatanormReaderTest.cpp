// The DATANORM reader: catalogs of versions 4 and 5 as suppliers send them, in their character sets
// and line ends, and every refusal with file, line and field.

#include "server/exchange/DatanormReader.h"
#include "TestEnv.h"
#include "server/exchange/DatanormCharset.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <random>
#include <vector>

#include <sys/stat.h>

using namespace kxexchange::datanorm;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

namespace {

// A version 4 header: "V", a blank, the date, texts up to column 123, "04" and the currency.
QByteArray V4(const QByteArray &date = "010325", const QByteArray &version = "04", const QByteArray &currency = "EUR") {
    return (QByteArray("V ") + date + " Musterlieferant GmbH Preisliste").leftJustified(123, ' ') + version + currency;
}
const QByteArray kV5 = "V;050;Musterlieferant GmbH;20250301;EUR;";

QString Describe(const Record &r) {
    static const char *kinds[] = {"A", "B", "P", "R", "X", "L", "C"};
    QStringList parts{QString::fromLatin1(kinds[int(r.kind)])};
    if (!r.flag.isNull())
        parts << QString(r.flag);
    if (!r.number.isEmpty())
        parts << r.number;
    if (!r.oldNumber.isEmpty())
        parts << QStringLiteral("alt=") + r.oldNumber;
    if (!r.text1.isEmpty() || !r.text2.isEmpty())
        parts << QStringLiteral("«%1|%2»").arg(r.text1, r.text2);
    if (!r.unit.isEmpty())
        parts << QStringLiteral("me=") + r.unit;
    if (r.kind == Record::Kind::Article || r.kind == Record::Kind::Price)
        parts << QStringLiteral("pk=%1 pe=%2 ct=%3").arg(int(r.priceType)).arg(r.priceUnit).arg(r.cents);
    if (!r.group.isEmpty())
        parts << QStringLiteral("rg=") + r.group;
    if (!r.ean.isEmpty())
        parts << QStringLiteral("ean=") + r.ean;
    for (int i = 0; i < 3; ++i) {
        const Discount &d = r.discounts.at(i);
        if (d.type != 0 || !d.group.isEmpty())
            parts << QStringLiteral("r%1=%2:%3")
                         .arg(i + 1)
                         .arg(d.type)
                         .arg(d.type == 0 ? d.group : QString::number(d.value));
    }
    if (r.validFrom.isValid())
        parts << QStringLiteral("ab=") + r.validFrom.toString(Qt::ISODate);
    return parts.join(QLatin1Char(' '));
}

struct Reading {
    bool opened = false;
    QStringList records; // Describe of each
    std::vector<qint64> lines;
    QString error;
};

Reading ReadAll(Reader &reader, bool opened) {
    Reading reading;
    reading.opened = opened;
    Record record;
    if (opened)
        while (reader.next(record)) {
            reading.records << Describe(record);
            reading.lines.push_back(record.line);
        }
    reading.error = reader.error();
    return reading;
}

Reading Read(const QByteArray &bytes, Charset charset = Charset::Detect) {
    Reader reader;
    const bool opened = reader.openBytes(bytes, QStringLiteral("DATANORM.001"), charset);
    return ReadAll(reader, opened);
}

QString TempPath(const QString &name) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/datanorm");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name;
}

// The process's resident memory in KiB ("VmRSS"), or its peak since the last ResetPeakMemory
// ("VmHWM"); -1 where the system does not tell.
qint64 MemoryKiB(const char *key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool ResetPeakMemory() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

QString WriteFile(const QString &name, const QByteArray &bytes) {
    QFile file(TempPath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    return file.fileName();
}

} // namespace

TEST(DatanormReader, HeadersGiveVersionDateAndCurrency) {
    struct Case {
        QByteArray header;
        int version;
        QDate date;
        const char *currency;
    };
    const Case cases[] = {
        {V4(), 4, QDate(2025, 3, 1), "EUR"},
        {V4("311299"), 4, QDate(1999, 12, 31), "EUR"},
        {V4("010179"), 4, QDate(2079, 1, 1), "EUR"},
        {V4("010180", "04", "").trimmed(), 4, QDate(1980, 1, 1), ""}, // trailing blanks cut by an editor
        {V4("150625", "04", "chf"), 4, QDate(2025, 6, 15), "CHF"},
        {kV5, 5, QDate(2025, 3, 1), "EUR"},
        {"V;05;Lieferant;99999999;20241231;;", 5, QDate(2024, 12, 31), ""},
        {"\xEF\xBB\xBF\r\n  \r\nV;050;20250229;20250228;EUR", 5, QDate(2025, 2, 28), "EUR"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.header.toStdString());
        Reader reader;
        ASSERT_TRUE(reader.openBytes(c.header + "\r\n", QStringLiteral("DATANORM.001"), Charset::Detect))
            << reader.error().toStdString();
        EXPECT_EQ(reader.version(), c.version);
        EXPECT_EQ(reader.date(), c.date);
        EXPECT_EQ(reader.currency(), QString::fromLatin1(c.currency));
        Record record;
        EXPECT_FALSE(reader.next(record));
        EXPECT_TRUE(reader.error().isEmpty());
    }
}

TEST(DatanormReader, RecordsOfBothVersions) {
    struct Case {
        QByteArray header;
        QByteArray line;
        QStringList records;
    };
    const QByteArray h4 = V4();
    const Case cases[] = {
        {h4,
         "A;N;4711;00;Kupferrohr 15 mm;Stange 5 m;1;2;m;12345;KU01;100;;",
         {"A N 4711 «Kupferrohr 15 mm|Stange 5 m» me=m pk=1 pe=100 ct=12345 rg=KU01"}},
        {h4, " A ; a ; 4712 ;;  Muffe ; ;2;;Stk;99", {"A A 4712 «Muffe|» me=Stk pk=2 pe=1 ct=99"}},
        {h4, "A;N;4713;;Auf Anfrage;;9;3;Stk;;", {"A N 4713 «Auf Anfrage|» me=Stk pk=9 pe=1000 ct=0"}},
        {h4, "A;N;4717;00;Rohr;;01;1;m;0000012345", {"A N 4717 «Rohr|» me=m pk=1 pe=10 ct=12345"}},
        {h4, "A;L;4714", {"A L 4714 pk=1 pe=1 ct=0"}},
        {h4, "A;N;4718;;Rohr\t15\tmm;;1;0;m;1", {"A N 4718 «Rohr 15 mm|» me=m pk=1 pe=1 ct=1"}}, // tabs as blanks
        {h4, "A;X;4715;4716;", {"X X 4716 alt=4715"}},
        {h4, "B;N;4711;KUPFERROHR;K-15;S. 12;;;;4006381333931;", {"B N 4711 ean=4006381333931"}},
        {h4, "B;A;4711;KUPFERROHR", {"B A 4711"}},
        {h4,
         "P;A;4711;1;12345;1;5500;2;950;3;200;4712;2;990;0;KU01;;;;;4713;9;;;;;;;;",
         {"P A 4711 pk=1 pe=0 ct=12345 r1=1:5500 r2=2:950 r3=3:200", "P A 4712 pk=2 pe=0 ct=990 r1=0:KU01",
          "P A 4713 pk=9 pe=0 ct=0"}},
        {h4,
         "P;A;4711;1;100" + QByteArray(16, ';') + "4713;2;300",
         {"P A 4711 pk=1 pe=0 ct=100", "P A 4713 pk=2 pe=0 ct=300"}},
        {h4, "P;A;;;;;;;;;;", {}},
        {h4, "C;;TERMIN;01042025;", {"C ab=2025-04-01"}},
        {h4, "C;;Termin ab;010425", {"C ab=2025-04-01"}},
        {h4, "C;;Hinweis;01042025", {}},
        {h4, "R;;KU01;1;4000;Kupfer;", {"R «Kupfer|» rg=KU01 r1=1:4000"}},
        {h4, "R;L;KU01", {"R L rg=KU01"}},
        {h4, "T;N;4711;1;Langtext", {}},
        {kV5,
         "A;N;4711;Kupferrohr 15 mm;Stange 5 m;m;2;100;12345;KU01;HG;PG;;;;;;;4006381333931;",
         {"A N 4711 «Kupferrohr 15 mm|Stange 5 m» me=m pk=2 pe=100 ct=12345 rg=KU01 ean=4006381333931"}},
        {kV5, "A;N;4712;Muffe;;Stk;1;;250", {"A N 4712 «Muffe|» me=Stk pk=1 pe=1 ct=250"}},
        {kV5, "A;L;4712;;;;;;", {"A L 4712 pk=1 pe=1 ct=0"}},
        {kV5, "B;A;4711;4711-NEU", {"X A 4711-NEU alt=4711"}},
        {kV5, "B;L;4712", {"L L 4712"}},
        {kV5,
         "P;N;4711;1;10;12345;KU01;1;1000;;;;;20250401",
         {"P N 4711 pk=1 pe=10 ct=12345 rg=KU01 r1=1:1000 ab=2025-04-01"}},
        {kV5, "P;A;4712;2;;500;;0;KU02;;;;;;", {"P A 4712 pk=2 pe=1 ct=500 r1=0:KU02"}},
        {kV5, "C;;TERMIN;01042025", {}},
        {kV5, "R;N;KU01;2;850;Kupfer", {"R N «Kupfer|» rg=KU01 r1=2:850"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        const Reading reading = Read(c.header + "\r\n" + c.line + "\r\n");
        EXPECT_TRUE(reading.error.isEmpty()) << reading.error.toStdString();
        EXPECT_EQ(reading.records, c.records);
        for (const qint64 line : reading.lines)
            EXPECT_EQ(line, 2);
    }
}

TEST(DatanormReader, UnusedRecordsAreSkippedAndCounted) {
    Reader reader;
    ASSERT_TRUE(reader.openBytes(V4() + "\nT;N;1;Text\nS;x\nZ;1\nK;;\nD\nE;1\nG;1\nJ;1\nt;2\nC;;Hinweis\n"
                                        "A;N;1;;Rohr;;1;0;m;100\n",
                                 QStringLiteral("DATANORM.001"), Charset::Detect));
    Record record;
    ASSERT_TRUE(reader.next(record));
    EXPECT_EQ(record.number, QStringLiteral("1"));
    EXPECT_EQ(record.line, 12);
    EXPECT_FALSE(reader.next(record));
    EXPECT_TRUE(reader.error().isEmpty());
    const std::map<QString, qint64> expected{{"C", 1}, {"D", 1}, {"E", 1}, {"G", 1}, {"J", 1},
                                             {"K", 1}, {"S", 1}, {"T", 2}, {"Z", 1}};
    EXPECT_EQ(reader.skipped(), expected);
}

TEST(DatanormReader, CharsetsAreDetectedOrGiven) {
    const QString text = QStringLiteral("Müller Größe ÄÖÜ");
    const QByteArray cp850 = "M\x81ller Gr\x94\xE1"
                             "e \x8E\x99\x9A";
    struct Case {
        QByteArray bytes;
        Charset given;
        Charset expected;
        QString text;
    };
    const Case cases[] = {
        {cp850, Charset::Detect, Charset::Cp850, text},
        {text.toLatin1(), Charset::Detect, Charset::Windows1252, text},
        {text.toUtf8(), Charset::Detect, Charset::Utf8, text},
        {"Rohr", Charset::Detect, Charset::Utf8, QStringLiteral("Rohr")},
        {cp850, Charset::Cp850, Charset::Cp850, text},
        {text.toLatin1(), Charset::Latin1, Charset::Latin1, text},
        {"M\xE4rz \x80", Charset::Windows1252, Charset::Windows1252, QStringLiteral("März €")},
        {"M\xE4rz", Charset::Cp850, Charset::Cp850, QStringLiteral("Mõrz")}, // given overrides the bytes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        Reader reader;
        ASSERT_TRUE(reader.openBytes(V4() + "\r\nA;N;1;;" + c.bytes + ";;1;0;m;1\r\n", "DATANORM.001", c.given));
        EXPECT_EQ(reader.charset(), c.expected);
        Record record;
        ASSERT_TRUE(reader.next(record)) << reader.error().toStdString();
        EXPECT_EQ(record.text1, c.text);
    }
    // More Windows-1252 umlauts than CP850 ones decide for Windows-1252; a tie, for the format's own.
    EXPECT_EQ(DetectCharset("\xE4\xF6\x84"), Charset::Windows1252);
    EXPECT_EQ(DetectCharset("\xE4\x84"), Charset::Cp850);
    EXPECT_EQ(DetectCharset("\xC3\xA4\xFF"), Charset::Cp850); // UTF-8 broken by one byte is no UTF-8
    for (const Charset charset : {Charset::Cp850, Charset::Windows1252, Charset::Latin1, Charset::Utf8})
        EXPECT_EQ(CharsetByName(CharsetName(charset).toLower()), charset);
    EXPECT_EQ(CharsetByName(QStringLiteral(" IBM850 ")), Charset::Cp850);
    EXPECT_FALSE(CharsetByName(QStringLiteral("cp437")).has_value());
    // Code page 850's upper half: 128 different printable characters.
    QByteArray high;
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        high += char(byte);
    const QString decoded = Decode(high, Charset::Cp850);
    EXPECT_EQ(QSet<QChar>(decoded.begin(), decoded.end()).size(), 128);
    EXPECT_TRUE(std::all_of(decoded.begin(), decoded.end(), [](QChar c) { return c.unicode() >= 0xA0; }));
}

TEST(DatanormReader, LineEndsBlankLinesAndTheEndMark) {
    const QByteArray a = "A;N;1;;Rohr;;1;0;m;100;KU01";
    const QByteArray b = "A;N;2;;Muffe;;1;0;m;200;KU01";
    struct Case {
        const char *name;
        QByteArray rest;
        std::vector<qint64> lines;
    };
    const Case cases[] = {
        {"CR LF", "\r\n" + a + "\r\n" + b + "\r\n", {2, 3}},
        {"LF", "\n" + a + "\n" + b + "\n", {2, 3}},
        {"no last line end", "\n" + a + "\n" + b, {2, 3}},
        {"blank lines", "\r\n\r\n" + a + "\r\n  \t \r\n\n" + b + "\r\n\r\n", {3, 6}},
        {"end mark", "\r\n" + a + "\r\n" + b + "\r\n\x1A", {2, 3}},
        {"end mark on the last line", "\r\n" + a + "\r\n" + b + "\x1A", {2, 3}},
        {"end mark and padding", "\r\n" + a + "\r\n" + b + "\r\n\x1A\x1A\r\n" + QByteArray(300, '\0'), {2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Reading reading = Read(V4() + c.rest);
        EXPECT_TRUE(reading.error.isEmpty()) << reading.error.toStdString();
        EXPECT_EQ(reading.lines, c.lines);
        ASSERT_EQ(reading.records.size(), 2);
        EXPECT_TRUE(reading.records.at(1).endsWith(QStringLiteral("ct=200 rg=KU01")));
    }
}

// Every refusal names the file (not its folder), the line and the field.
TEST(DatanormReader, RefusalsNameFileLineAndField) {
    const QByteArray h4 = V4() + "\r\n";
    const QByteArray h5 = kV5 + "\r\n";
    struct Case {
        QByteArray bytes;
        const char *message;
        Charset charset = Charset::Detect;
    };
    const Case cases[] = {
        {"", "DATANORM.001, Zeile 1: kein Vorlaufsatz „V“ – keine DATANORM-Datei"},
        {"\r\n\r\nA;N;1;;Rohr;;1;0;m;100\r\n", "DATANORM.001, Zeile 3: kein Vorlaufsatz „V“ – keine DATANORM-Datei"},
        {"VX;050;20250101\r\n", "DATANORM.001, Zeile 1: kein Vorlaufsatz „V“ – keine DATANORM-Datei"},
        {V4("010325", "03"), "DATANORM.001, Zeile 1: DATANORM-Version 03 wird nicht gelesen (nur 4 und 5)"},
        {"V;040;Lieferant;20250101;EUR",
         "DATANORM.001, Zeile 1: DATANORM-Version 040 wird nicht gelesen (nur 4 und 5)"},
        {"V 010325 Lieferant",
         "DATANORM.001, Zeile 1: der Vorlaufsatz „V“ nennt keine DATANORM-Version (gelesen werden "
         "4 und 5)"},
        {"V;05\t0;20250101", "DATANORM.001, Zeile 1: DATANORM-Version 05 0 wird nicht gelesen"},
        {V4("320125"), "DATANORM.001, Zeile 1, Feld „Datum“: „320125“ ist kein gültiges Datum"},
        {"V;050;Lieferant;EUR", "DATANORM.001, Zeile 1, Feld „Datum“: der Vorlaufsatz nennt kein Datum (JJJJMMTT)"},
        {"V;050;20250101;EURO", "DATANORM.001, Zeile 1, Feld „Währung“: „EURO“ ist keine Währung"},
        {h4 + "A;N;4711;00;Rohr;;1;0;m;12,50;",
         "DATANORM.001, Zeile 2, Feld „Preis“: „12,50“ ist keine Zahl (ganze Cent, ohne Komma)"},
        {h4 + "A;N;4711;00;Rohr;;1;0;m;-100", "DATANORM.001, Zeile 2, Feld „Preis“: „-100“ ist keine Zahl"},
        {h4 + "A;N;4711;00;Rohr;;1;0;m;1234567890123456", "Feld „Preis“: „1234567890123456“ ist zu groß"},
        {h4 + "A;N;4711;00;Rohr;;1;0;m;;", "DATANORM.001, Zeile 2, Feld „Preis“: ist leer – keine Zahl"},
        {h4 + "A;N;4711;00;Rohr;;1;0;m", "DATANORM.001, Zeile 2, Feld „Preis“: fehlt (die Zeile endet nach Feld 9)"},
        {h4 + "A;N;4711;00;Rohr;;5;0;m;100", "Zeile 2, Feld „Preiskennzeichen“: „5“ ist keines von 1, 2, 3, 9"},
        {h4 + "A;N;4711;00;Rohr;;1;4;m;100",
         "Zeile 2, Feld „Preiseinheit“: „4“ ist keine von 0, 1, 2, 3 (je 1, 10, 100, 1000)"},
        {h5 + "A;N;4711;Rohr;;m;1;0;100", "Zeile 2, Feld „Preiseinheit“: „0“ ist keine Menge (eine ganze Zahl ab 1)"},
        {h4 + "A;N;" + QByteArray(41, '7') + ";;Rohr;;1;0;m;100",
         "Zeile 2, Feld „Artikelnummer“: „7777777777777777777777777777777777777777…“ ist länger als 40 Zeichen"},
        {h4 + "A;N; ;;Rohr;;1;0;m;100", "Zeile 2, Feld „Artikelnummer“: ist leer"},
        {h4 + "A;X;4711;;", "Zeile 2, Feld „neue Artikelnummer“: ist leer"},
        {h4 + "A;N;4711;;Rohr;;1;0;" + QByteArray(21, 'm') + ";100", "Feld „Mengeneinheit“: „mmmmmmmmmmmmmmmmmmmmm“ "
                                                                     "ist länger als 20 Zeichen"},
        {h4 + "A;N;4711;;Rohr;;1;0;m;100;" + QByteArray(21, 'G'), "Feld „Rabattgruppe“: „GGGGGGGGGGGGGGGGGGGGG“"},
        {h5 + "A;N;4711;Rohr;;m;1;;100;;;;;;;;;;40063813339X1",
         "Zeile 2, Feld „EAN“: „40063813339X1“ ist keine EAN (nur Ziffern, höchstens 14)"},
        {h4 + "B;N;4711;;;;;;;123456789012345", "Zeile 2, Feld „EAN“: „123456789012345“ ist keine EAN"},
        {h4 + "A;Q;4711;;Rohr;;1;0;m;100", "Zeile 2, Feld „Verarbeitungskennzeichen“: „Q“ ist keines von N, A, L, X"},
        {h5 + "B;N;4711;4712", "Zeile 2, Feld „Verarbeitungskennzeichen“: „N“ ist keines von A, L"},
        {h5 + "P;N;4711;1;1;100;;;;;;;;20251301", "Zeile 2, Feld „Gültig ab“: „20251301“ ist kein gültiges Datum"},
        {h4 + "C;;TERMIN;31022025", "Zeile 2, Feld „Datum“: „31022025“ ist kein gültiges Datum"},
        {h4 + "C;;TERMIN", "Zeile 2, Feld „Datum“: fehlt (die Zeile endet nach Feld 3)"},
        {h4 + "P;A;4711;1;100;;;;;;;4712;1;x",
         "DATANORM.001, Zeile 2, Feld „Preis“ im 2. Preisblock: „x“ ist keine Zahl"},
        {h4 + "P;A;4711;1;1000;;;;;;;4712;1",
         "DATANORM.001, Zeile 2, Feld „Preis“ im 2. Preisblock: fehlt (die Zeile endet nach Feld 13)"},
        {h4 + "P;A;4711;1;1000;;500",
         "Zeile 2, Feld „Rabattart 1“ im 1. Preisblock: fehlt (der Wert „500“ steht ohne Rabattart)"},
        {h4 + "P;A;4711;1;1000;1;5;7;5", "Feld „Rabattart 2“ im 1. Preisblock: „7“ ist keine von 0, 1, 2, 3"},
        {h4 + "P;A;4711;1;1000;1;12000",
         "Feld „Rabattwert 1“ im 1. Preisblock: „12000“ ist mehr als 100 % (Hundertstel Prozent)"},
        {h4 + "R;;KU01;1", "Zeile 2, Feld „Rabattwert 1“: fehlt (die Zeile endet nach Feld 4)"},
        {h4 + "R;;;1;100", "Zeile 2, Feld „Rabattgruppe“: ist leer"},
        {h4 + "AB;N;4711", "Zeile 2, Feld „Satzart“: „AB“ ist keine Satzart"},
        {h4 + "\r\n" + kV5, "DATANORM.001, Zeile 3: ein zweiter Vorlaufsatz „V“"},
        {h4 + "T;" + QByteArray(kMaxLine - 1, 'x'), "DATANORM.001, Zeile 2: die Zeile ist länger als 4096 Bytes"},
        {h4 + "T" + QByteArray(kMaxFields, ';'), "DATANORM.001, Zeile 2: die Zeile hat mehr als 128 Felder"},
        {h4 + QByteArrayLiteral("A;N;47\0"
                                "11;;Rohr;;1;0;m;100"),
         "DATANORM.001, Zeile 2: enthält ein Steuerzeichen (0x00) – keine Textdatei"},
        {h4 + "T;\x1B[31m", "Zeile 2: enthält ein Steuerzeichen (0x1B)"},
        {h5 + "T;\xC2\x85", "Zeile 2: enthält ein Steuerzeichen (U+0085)"},
        {h4 + "A;N;4711;;M\xFCller;;1;0;m;100", "Zeile 2: ist nicht in UTF-8 geschrieben", Charset::Utf8},
        {h4 + "A;N;4711;;M\x81ller;;1;0;m;100", "Zeile 2: das Byte 0x81 ist in Windows-1252 kein Zeichen",
         Charset::Windows1252},
        {h4 + "T;\x85", "Zeile 2: das Byte 0x85 ist in ISO-8859-1 kein Zeichen", Charset::Latin1},
        {h4 + "\x1A\r\n\r\nA;N;4711;;Rohr;;1;0;m;100",
         "DATANORM.001, Zeile 4: nach dem Dateiende-Zeichen (0x1A) folgen noch Daten"},
        {h4 + "A;N;4711;;Rohr;;1;0;m;100\x1A;", "Zeile 2: nach dem Dateiende-Zeichen (0x1A) folgen noch Daten"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const Reading reading = Read(c.bytes, c.charset);
        EXPECT_TRUE(reading.error.contains(QString::fromUtf8(c.message))) << reading.error.toStdString();
        EXPECT_TRUE(reading.error.startsWith(QStringLiteral("DATANORM.001, Zeile ")));
    }
    // A line of exactly the longest length is read, its CR LF not counted.
    const Reading longest = Read(V4() + "\r\nT;" + QByteArray(kMaxLine - 2, 'x') + "\r\nA;N;1;;R;;1;0;m;1\r\n");
    EXPECT_TRUE(longest.error.isEmpty()) << longest.error.toStdString();
    EXPECT_EQ(longest.records.size(), 1);
}

// A file is read a piece at a time: what it gives does not depend on where the pieces end, and a
// file gives what the same bytes in memory give.
TEST(DatanormReader, AFileReadInPiecesGivesEveryRecord) {
    QByteArray bytes = V4() + "\r\n";
    const int count = 30000;
    for (int i = 1; i <= count; ++i)
        bytes += "A;N;" + QByteArray::number(i) +
                 ";;Gr\x94\xE1"
                 "e " +
                 QByteArray::number(i) + ";;1;0;Stk;" + QByteArray::number(i * 7) + ";KU01\r\n";
    bytes += "\x1A";
    const QString path = WriteFile(QStringLiteral("DATANORM.002"), bytes);
    Reader fromFile;
    Reader fromMemory;
    ASSERT_TRUE(fromFile.open(path, Charset::Detect)) << fromFile.error().toStdString();
    ASSERT_TRUE(fromMemory.openBytes(bytes, QStringLiteral("DATANORM.002"), Charset::Detect));
    EXPECT_EQ(fromFile.charset(), Charset::Cp850);
    EXPECT_EQ(fromFile.fileName(), QStringLiteral("DATANORM.002"));
    Record a;
    Record b;
    int read = 0;
    while (fromFile.next(a)) {
        ++read;
        ASSERT_TRUE(fromMemory.next(b));
        ASSERT_EQ(Describe(a), Describe(b));
        ASSERT_EQ(a.line, read + 1);
        ASSERT_EQ(a.text1, QStringLiteral("Größe %1").arg(read));
        ASSERT_EQ(a.cents, read * 7);
    }
    EXPECT_EQ(read, count);
    EXPECT_FALSE(fromMemory.next(b));
    EXPECT_TRUE(fromFile.error().isEmpty() && fromMemory.error().isEmpty()) << fromFile.error().toStdString();
}

// Hostile files are refused quickly, with memory bounded by a line: a line of 100 MB, a million
// fields, binary noise; a FIFO, a device or a folder before anything reads from it.
TEST(DatanormReader, HostileFilesAreRefused) {
    const QString huge = TempPath(QStringLiteral("huge.001"));
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(V4() + "\r\nA;N;");
        const QByteArray piece(1 << 20, 'x');
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(file.write(piece), piece.size());
    }
    std::mt19937 random(1);
    QByteArray noise = V4() + "\r\n";
    for (int i = 0; i < (1 << 20); ++i)
        noise += char(random() & 0xFF);
    const QString fifo = TempPath(QStringLiteral("fifo.001"));
    QFile::remove(fifo);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Case {
        QString path;
        const char *message;
    };
    const Case cases[] = {
        {huge, "huge.001, Zeile 2: die Zeile ist länger als 4096 Bytes"},
        {WriteFile(QStringLiteral("fields.001"), V4() + "\nT" + QByteArray(1000000, ';')),
         "fields.001, Zeile 2: die Zeile ist länger als 4096 Bytes"},
        {WriteFile(QStringLiteral("noise.001"), noise), "noise.001, Zeile "},
        {WriteFile(QStringLiteral("zeros.001"), QByteArray(1 << 20, '\0')), "zeros.001, Zeile 1: die Zeile ist länger"},
        {fifo, "fifo.001: ist keine gewöhnliche Datei"},
        {QStringLiteral("/dev/zero"), "zero: ist keine gewöhnliche Datei"},
        {korvextest::TempDir() + QStringLiteral("/datanorm"), "datanorm: ist ein Ordner"},
        {TempPath(QStringLiteral("missing.001")), "missing.001: kann nicht gelesen werden"},
    };
    // The line of 100 MB is refused after a few pieces of it: the reader's memory stays far below it.
    // Not under AddressSanitizer, whose quarantine keeps every freed piece resident.
    if (!kAddressSanitizer && ResetPeakMemory()) {
        const qint64 before = MemoryKiB("VmRSS:");
        Reader reader;
        EXPECT_TRUE(reader.open(huge, Charset::Detect));
        Record record;
        EXPECT_FALSE(reader.next(record));
        EXPECT_LT(MemoryKiB("VmHWM:") - before, 16 * 1024);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        for (const Charset charset : {Charset::Detect, Charset::Cp850}) {
            Reader reader;
            const Reading reading = ReadAll(reader, reader.open(c.path, charset));
            EXPECT_TRUE(reading.error.startsWith(QString::fromUtf8(c.message))) << reading.error.toStdString();
            EXPECT_FALSE(
                std::any_of(reading.error.begin(), reading.error.end(), [](QChar ch) { return ch.unicode() < 0x20; }));
            EXPECT_LE(reading.error.size(), 300);
        }
    }
    QFile::remove(huge);
}
