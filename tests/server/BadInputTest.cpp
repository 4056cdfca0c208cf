// Inputs the fuzz targets turned up, kept as plain tests next to the server's other checks.

#include "ServerFixture.h"
#include "server/db/SqlConnection.h"

#include "session/CacheApi.h"
#include "server/exchange/CsvReader.h"
#include "server/exchange/Exporter.h"
#include "server/exchange/Importer.h"
#include "server/admin/KorvexDb.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <zip.h>

using namespace kxserver;

TEST(BadInput, AServerWithANulCharacterIsNoConnectionTarget) {
    // Qt's file functions answer such a name with an empty path, which would have reached SQLite.
    const QString server = QStringLiteral("/tmp/korvex") + QChar(QChar::Null) + QStringLiteral("x.sqlite");
    EXPECT_FALSE(ParseConnectString(cacheapi::BuildConnectString(server, QStringLiteral("1972"))));
    EXPECT_FALSE(ParseConnectString(cacheapi::BuildConnectString(QString(QChar(QChar::Null)), QStringLiteral("5432"))));
    EXPECT_TRUE(ParseConnectString(cacheapi::BuildConnectString(QStringLiteral("/tmp/korvex.sqlite"), "1972")));
}

TEST_P(ServerTest, XecuteTakesCompanyAndBranchWithTheSignTheSessionSends) {
    // The session passes "+5" on as a whole number; the server reads it as 5, not as a foreign command.
    cacheapi::FactoryPtr factory = connect();
    cacheapi::ServerObjectPtr windows = factory->newInstance("KX.Windows");
    QVariantList args{cacheapi::SessionCommand(QStringLiteral("+2"), QStringLiteral("+0"), QStringLiteral("DEMO"))};
    EXPECT_NO_THROW(windows->call("Xecute", args));
    ASSERT_EQ(rows(*factory, "Updates").size(), 1) << "company 2's runs only";
    // The window then names the company as it was given.
    EXPECT_EQ(artListe(*factory, "1", "+2"), artListe(*factory, "1", "2"));
    EXPECT_EQ(artListe(*factory, "+1", "2"), artListe(*factory, "1", "2"));
    for (const char *bad : {"S FIRMA=+-2,FIL=0,PERSONAL=\"DEMO\"", "S FIRMA=++2,FIL=0,PERSONAL=\"DEMO\"",
                            "S FIRMA=+,FIL=0,PERSONAL=\"DEMO\"", "S FIRMA=1,FIL=0,PERSONAL=\"DEMO\"\n"}) {
        QVariantList command{QString::fromLatin1(bad)};
        ExpectServerError(kBadCommand, [&] { windows->call("Xecute", command); });
    }
}

// Hostile files: each is refused with its line and what is wrong, in a message without a control
// character, after work linear in the file and with memory bounded by the longest accepted row,
// both as the reader counts them (characters looked at, characters held at once); a FIFO, a device
// or a folder is refused before anything reads from it.
TEST(BadInput, HostileFilesAreRefusedWithBoundedWork) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/hostile");
    QDir().mkpath(dir);
    const QString db = dir + QStringLiteral("/korvex.sqlite");
    ASSERT_NO_THROW(CreateDemoDatabase(db));
    const auto write = [&](const QString &name, const QByteArray &content) {
        QFile file(dir + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return file.fileName();
    };
    const QString fifo = dir + QStringLiteral("/fifo.csv");
    QFile::remove(fifo);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray header = "Lieferant-Nr;Name\n";
    QByteArray workbook;
    {
        const QString path = dir + QStringLiteral("/whole.xlsx");
        const auto sink = kxexchange::MakeXlsxSink(path, QStringLiteral("Lieferanten"));
        sink->begin({{QStringLiteral("Lieferant-Nr"), kxexchange::CellType::Number}});
        for (int i = 0; i < 2000; ++i)
            sink->row({70000 + i});
        ASSERT_TRUE(sink->finish().isEmpty());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        workbook = file.readAll();
    }
    struct Case {
        const char *name;
        QString path;
        const char *message;
    };
    const Case cases[] = {
        {"header without a line break", write("a.csv", header.chopped(1) + QByteArray(8 << 20, 'x')),
         "a.csv: Zeile 1: die Zeile ist länger als 65536 Zeichen"},
        {"a row of separators", write("b.csv", header + QByteArray(8 << 20, ';')),
         "b.csv: Zeile 2: die Zeile hat mehr als 256 Felder"},
        {"a name of a mebibyte", write("c.csv", header + "70301;\"" + QByteArray(1 << 20, 'a') + "\"\n"),
         "c.csv: Zeile 2: die Zeile ist länger als 65536 Zeichen"},
        {"a name longer than its column", write("d.csv", header + "70301;" + QByteArray(201, 'a') + "\n"),
         "d.csv, Zeile 2, Spalte \"Name\": \"aaaa"},
        {"control characters", write("e.csv", header + "70301;A\x1b[31mB\x07\n"),
         "Spalte \"Name\": \"A\\x1b[31mB\\x07\" enthält an Stelle 2 ein Steuerzeichen"},
        {"an overlong UTF-8 form", write("f.csv", header + "70301;M\xC3\xBCller\n70302;M\xE0\x80\xAFller\n"),
         "f.csv: Zeile 3: ist nicht in UTF-8 geschrieben"},
        {"a UTF-8 surrogate", write("g.csv", header + "70301;\xC3\xBC\n\n70302;\xED\xA0\x80\n"),
         "g.csv: Zeile 4: ist nicht in UTF-8 geschrieben"},
        {"a CSV named as a workbook", write("h.xlsx", header + "70301;A\n"), "h.xlsx: ist keine Arbeitsmappe"},
        {"a CSV named as a spreadsheet", write("h.ods", header + "70301;A\n"), "h.ods: ist keine Arbeitsmappe"},
        {"a workbook cut short", write("i.xlsx", workbook.left(workbook.size() / 2)), "i.xlsx: ist keine Arbeitsmappe"},
        {"a FIFO without a writer", fifo, "fifo.csv: ist keine gewöhnliche Datei"},
        {"a device", QStringLiteral("/dev/zero"), "zero: ist keine gewöhnliche Datei"},
        {"a folder", dir, "hostile: ist ein Ordner"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxexchange::ImportRequest request;
        request.files.push_back({QStringLiteral("lieferanten"), c.path});
        const kxexchange::ImportReport report = kxexchange::Import({Backend::Sqlite, db, {}, 0}, request);
        ASSERT_FALSE(report.ok);
        const QString text = report.errors.join(QLatin1Char('\n'));
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.message))) << text.left(300).toStdString();
        EXPECT_FALSE(std::any_of(text.begin(), text.end(), [](QChar ch) { return ch.unicode() < 0x20 && ch != '\n'; }));
        EXPECT_LE(text.size(), 2000);

        kxexchange::CsvReader reader;
        if (reader.open(c.path, kxexchange::Encoding::Detect, {}))
            while (reader.next()) {
            }
        const qint64 size = QFileInfo(c.path).isFile() ? QFileInfo(c.path).size() : 0;
        EXPECT_LE(reader.work(), 2 * size + 1024);
        EXPECT_LE(reader.peakHeld(), 3 * kxexchange::CsvReader::kMaxRecord);
    }
    // A file cut short while it is read (between the check of its bytes and the reading of its rows)
    // is not taken as ended where it was cut.
    QByteArray many = header;
    for (int i = 0; i < 20000; ++i)
        many += QByteArray::number(700000 + i) + ";Lieferant " + QByteArray::number(i) + "\n";
    const QString cut = write("cut.csv", many);
    kxexchange::ImportRequest request;
    request.files.push_back({QStringLiteral("lieferanten"), cut});
    request.progress = [&](const QString &, qint64, qint64, qint64) { QFile::resize(cut, 100000); };
    const kxexchange::ImportReport report = kxexchange::Import({Backend::Sqlite, db, {}, 0}, request);
    EXPECT_FALSE(report.ok);
    EXPECT_TRUE(report.errors.join(' ').contains("die Datei wurde beim Lesen verändert"))
        << report.errors.join(' ').toStdString();
}

namespace {

// A container of the given parts, packed (or, where `stored`, kept as they are) by libzip.
QString container(const QString &path, const std::vector<std::pair<const char *, QByteArray>> &parts,
                  bool stored = false) {
    QFile::remove(path);
    int code = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    EXPECT_NE(archive, nullptr);
    for (const auto &[name, content] : parts) {
        zip_source_t *source = zip_source_buffer(archive, content.constData(), zip_uint64_t(content.size()), 0);
        const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_OVERWRITE);
        EXPECT_GE(index, 0);
        zip_set_file_compression(archive, zip_uint64_t(index), stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 9);
    }
    EXPECT_EQ(zip_close(archive), 0);
    return path;
}

// An .xlsx of the first sheet `sheet`, with `strings` as its shared strings when given.
std::vector<std::pair<const char *, QByteArray>> workbookParts(const QByteArray &sheet, const QByteArray &strings) {
    std::vector<std::pair<const char *, QByteArray>> parts{
        {"xl/workbook.xml",
         "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" xmlns:r=\"http://"
         "schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets><sheet name=\"S\" sheetId=\"1\" "
         "r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
         "Id=\"rId1\" Type=\"worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>"},
        {"xl/worksheets/sheet1.xml", "<worksheet><sheetData>" + sheet + "</sheetData></worksheet>"}};
    if (!strings.isNull())
        parts.push_back({"xl/sharedStrings.xml", "<sst>" + strings + "</sst>"});
    return parts;
}

// An .ods whose first table holds the supplier header and then `rows`.
std::vector<std::pair<const char *, QByteArray>> spreadsheetParts(const QByteArray &rows) {
    const QByteArray text = "<table:table-cell office:value-type=\"string\"><text:p>";
    return {{"content.xml",
             "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
             "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
             "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body><office:spreadsheet>"
             "<table:table table:name=\"S\"><table:table-row>" +
                 text + "Lieferant-Nr</text:p></table:table-cell>" + text +
                 "Name</text:p></table:table-cell><table:table-cell table:number-columns-repeated=\"1024\"/>"
                 "</table:table-row>" +
                 rows + "</table:table></office:spreadsheet></office:body></office:document-content>"}};
}

} // namespace

// Workbooks of a few kilobytes that unpack to gigabytes, or repeat what they hold millions of times,
// are refused with the part and what is too large, before they take the memory; the empty runs
// LibreOffice ends every sheet with still import.
TEST(BadInput, WorkbookBombsAreRefusedBeforeTheyGrow) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/bombs");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString db = dir + QStringLiteral("/korvex.sqlite");
    ASSERT_NO_THROW(CreateDemoDatabase(db));
    const QByteArray supplier =
        "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"70901\"/>"
        "<table:table-cell office:value-type=\"string\"><text:p>Neu";
    const QByteArray endRow = "</text:p></table:table-cell></table:table-row>";
    QByteArray blanks;
    for (int i = 0; i < 10000; ++i)
        blanks += "<text:s text:c=\"65536\"/>";
    QByteArray repeated;
    for (int i = 0; i < 10; ++i)
        repeated += "<table:table-row table:number-rows-repeated=\"1048576\"><table:table-cell office:value-type="
                    "\"float\" office:value=\"" +
                    QByteArray::number(70910 + i) + "\"/></table:table-row>";
    QByteArray emptyStrings;
    for (int i = 0; i <= 1 << 22; ++i) // one more than the import reads
        emptyStrings += "<si/>";
    struct Case {
        const char *name;
        QString path;
        const char *message; // empty: imports
    };
    const Case cases[] = {
        {"whitespace in a sheet", container(dir + "/space.xlsx", workbookParts(QByteArray(16 << 20, ' '), {})),
         "space.xlsx: ist keine Arbeitsmappe, die gelesen wird (xl/worksheets/sheet1.xml ist entpackt mehr als "
         "200-mal so groß wie gepackt)"},
        {"whitespace in a sheet, stored",
         container(dir + "/stretch.xlsx", workbookParts(QByteArray(9 << 20, ' '), {}), true),
         "stretch.xlsx: ist keine Arbeitsmappe, die gelesen wird (xl/worksheets/sheet1.xml enthält mehr als 8 MB am "
         "Stück ohne ein Element)"},
        {"empty shared strings, packed", container(dir + "/packed.xlsx", workbookParts({}, emptyStrings)),
         "packed.xlsx: ist keine Arbeitsmappe, die gelesen wird (xl/sharedStrings.xml ist entpackt mehr als"},
        {"empty shared strings, stored", container(dir + "/stored.xlsx", workbookParts({}, emptyStrings), true),
         "stored.xlsx: enthält mehr als 4194304 Texte"},
        {"runs of blanks in a cell", container(dir + "/blanks.ods", spreadsheetParts(supplier + blanks + endRow)),
         "blanks.ods: Zeile 2: eine Zelle wäre mit ihren Leerzeichen (text:s) länger als 65536 Zeichen"},
        {"rows with data repeated", container(dir + "/rows.ods", spreadsheetParts(repeated)),
         "rows.ods: Zeile 2: die Zeile wird 1048576-mal wiederholt, öfter als der Import liest (Zeilen mit Inhalt "
         "bis Zeile 1048576, insgesamt höchstens 16777216 wiederholte Zellen)"},
        {"wide rows with data repeated",
         container(dir + "/wide.ods",
                   spreadsheetParts("<table:table-row table:number-rows-repeated=\"70000\"><table:table-cell "
                                    "table:number-columns-repeated=\"256\" office:value-type=\"float\" "
                                    "office:value=\"1\"/></table:table-row>")),
         "wide.ods: Zeile 2: die Zeile wird 70000-mal wiederholt, öfter als der Import liest"},
        {"the empty runs a sheet ends with",
         container(dir + "/tail.ods",
                   spreadsheetParts(supplier + endRow +
                                    "<table:table-row table:number-rows-repeated=\"1048000\"><table:table-cell "
                                    "table:number-columns-repeated=\"1024\"/></table:table-row>")),
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxexchange::ImportRequest request;
        request.files.push_back({QStringLiteral("lieferanten"), c.path});
        const kxexchange::ImportReport report = kxexchange::Import({Backend::Sqlite, db, {}, 0}, request);
        const QString text = report.errors.join(QLatin1Char('\n'));
        EXPECT_EQ(report.ok, !*c.message) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.message))) << text.left(300).toStdString();
    }
}
