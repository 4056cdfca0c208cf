// Import and export of a merchant's own data (korvex_exchange), on both backends.

#include "server/exchange/DatanormImport.h"
#include "server/exchange/Exporter.h"
#include "server/exchange/Importer.h"
#include "server/db/PasswordHash.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QUuid>

#include <xlsxwriter.h>

#include <functional>

#include "session/ServerError.h"

using namespace kxexchange;

namespace {

QString writeFile(const QString &name, const QByteArray &content) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/csv-") + QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    return file.fileName();
}

QString example(const QString &kind) {
    return qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/docs/examples/%1.csv").arg(kind);
}

ImportRequest examples(const QStringList &kinds) {
    ImportRequest request;
    for (const QString &kind : kinds)
        request.files.push_back({kind, example(kind)});
    if (kinds.contains(QStringLiteral("update"))) {
        request.runNr = 1;
        request.runBez = QStringLiteral("Frühjahrsabgleich");
        request.runDatum = QDate(2025, 3, 4);
    }
    return request;
}

const QStringList kAllKinds{QStringLiteral("lieferanten"), QStringLiteral("artikel"), QStringLiteral("artlief"),
                            QStringLiteral("personal"), QStringLiteral("update")};

QString reportText(const ImportReport &report) {
    return report.errors.join(QLatin1Char('\n'));
}

} // namespace

class ExchangeTest : public ServerTest {
protected:
    kxserver::ConnectTarget target() const { return *kxserver::ParseConnectString(connectString()); }
    ImportReport import(const ImportRequest &request) const { return Import(target(), request); }
    QByteArray exportUpdate(qint64 nr) const {
        const auto connection = kxserver::SqlConnection::open(target());
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        const auto sink = MakeCsvSink(buffer);
        ExportUpdate(*connection, 1, nr, *sink);
        EXPECT_TRUE(sink->finish().isEmpty());
        return buffer.data();
    }
    // One kind of master data exported to a file of its own, as CSV or as a workbook.
    QString exportMaster(const QString &kind, const QString &extension) const {
        const auto connection = kxserver::SqlConnection::open(target());
        const QString path = writeFile(kind + extension, QByteArray());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        const auto sink =
            extension == QLatin1String(".xlsx") ? MakeXlsxSink(path, MasterDataSheet(kind)) : MakeCsvSink(file);
        ExportMasterData(*connection, 1, kind, *sink);
        EXPECT_TRUE(sink->finish().isEmpty());
        return path;
    }
    ImportReport importFile(const QString &kind, const QByteArray &content, bool dryRun = false) const {
        ImportRequest request;
        request.dryRun = dryRun;
        request.files.push_back({kind, writeFile(kind + QStringLiteral(".csv"), content)});
        return import(request);
    }
    // Replaces the demo database of the test by an empty one, as "korvex-db DATEI" makes it.
    void makeEmpty() const {
        kxserver::DbTarget empty;
        if (sqlite()) {
            empty.path = m_file;
        } else {
            empty.backend = kxserver::Backend::Postgres;
            empty.host = cluster().host();
            empty.port = cluster().port();
        }
        ASSERT_NO_THROW(kxserver::CreateDatabase(empty, {}, true));
    }
    // Every stored value an import may touch, row for row.
    QString snapshot() const {
        QStringList parts;
        for (const char *sql :
             {"SELECT id || ' ' || liefnr || ' ' || name FROM lieferant ORDER BY id",
              "SELECT id || ' ' || artnr || ' ' || bez || ' ' || COALESCE(haupt_lief, 0) || COALESCE(ean, '-')"
              " FROM artikel ORDER BY id",
              "SELECT id || ' ' || ek_cent || ' ' || pe || ' ' || COALESCE(le_einkauf, '-') || aktiv ||"
              " COALESCE(lief_artnr, '-') FROM artlief ORDER BY id",
              "SELECT code || passwort || aktiv || pname || abtnr || dw || bergrp || pnr FROM pers_edv ORDER BY code",
              "SELECT abtnr || abtbez FROM pers_abt ORDER BY abtnr",
              "SELECT pnr || fax || email FROM pers_basis ORDER BY pnr",
              "SELECT id || bez || datum FROM upd_run ORDER BY id",
              "SELECT run || artnr || COALESCE(velka_lief, 0) FROM upd_artikel ORDER BY run, artnr"})
            parts << rawSql(QString::fromLatin1(sql));
        return parts.join(QStringLiteral("\n--\n"));
    }
};

TEST_P(ExchangeTest, ExampleFilesImportIntoAnEmptyDatabaseAndTheListShowsThem) {
    makeEmpty();
    const ImportReport report = import(examples(kAllKinds));
    ASSERT_TRUE(report.ok) << reportText(report).toStdString();
    EXPECT_TRUE(report.notes.isEmpty());

    const cacheapi::FactoryPtr factory = clerk(QStringLiteral("EINKAUF1"));
    const QString key = listKey(*factory, QStringLiteral("1"));
    EXPECT_EQ(article(*factory, key, QStringLiteral("100001")).mid(1),
              (QVariantList{"100001", "Portlandzement CEM I 42,5 R 25 kg Sack", "70001 Zementwerke S}d AG",
                            "70002 Kalksandsteinwerk B|hm KG"}));
    QList<QVariantList> list = suppliers(*factory, key, QStringLiteral("100002"));
    for (QVariantList &row : list)
        row.removeFirst();
    EXPECT_EQ(list, (QList<QVariantList>{{"70001 Zementwerke S}d AG", 1289.0, "1000 Stk", "00:00:00", "J"},
                                         {"70002 Kalksandsteinwerk B|hm KG", 1234.5, "1000 Stk", "06.05.2024", "J"}}));
    // The example delivery of supplier 70001 goes in as docs/SERVER.md tells.
    DatanormRequest delivery;
    delivery.supplier = 70001;
    delivery.today = QDate(2026, 12, 10);
    const QString examples = qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/docs/examples/datanorm/");
    delivery.discountFile = examples + QStringLiteral("rabatte.csv");
    for (const char *name : {"DATPREIS.001", "DATANORM.001", "DATANORM.RAB"})
        delivery.files << examples + QLatin1String(name);
    const DatanormReport delivered = ImportDatanorm(target(), delivery);
    ASSERT_TRUE(delivered.ok) << delivered.errors.join('\n').toStdString();
    EXPECT_EQ(std::vector<qint64>({delivered.lowered, delivered.coming, delivered.numbersLearned, delivered.unmatched}),
              std::vector<qint64>({2, 2, 1, 1}));

    // The login reads the imported personnel.
    EXPECT_EQ(rawSql(QStringLiteral("SELECT pname || '/' || abtbez FROM pers_edv e JOIN pers_abt a ON a.firma = "
                                    "e.firma AND a.abtnr = e.abtnr WHERE code = 'EINKAUF2'")),
              QStringLiteral("Sabine Wei~/Einkauf Hochbau"));
    // Only hashes are stored, checked by the server's personnel object; a person without the optional
    // columns gets empty values.
    EXPECT_TRUE(
        kxserver::IsPasswordHash(rawSql(QStringLiteral("SELECT passwort FROM pers_edv WHERE code = 'EINKAUF1'"))));
    ImportRequest bare;
    bare.files.push_back(
        {QStringLiteral("personal"),
         writeFile(QStringLiteral("personal.csv"), "Personalcode;Passwort;Aktiv;Name\nNEU;Neu-1;J;Neu\n")});
    const ImportReport added = import(bare);
    ASSERT_TRUE(added.ok) << reportText(added).toStdString();
    for (const auto &[code, password] : {std::pair{"EINKAUF1", "geheim"}, {"NEU", "Neu-1"}}) {
        QVariantList typed{QString::fromLatin1(password)};
        EXPECT_EQ(
            factory->openId("KX.ParPersEdv", QStringLiteral("1||") + code)->call("PasswortPruefen", typed).toString(),
            "1");
    }
}

TEST_P(ExchangeTest, ImportExportImportChangesNothing) {
    makeEmpty();
    ASSERT_TRUE(import(examples(kAllKinds)).ok);
    const QByteArray exported = exportUpdate(1);
    ASSERT_TRUE(exported.startsWith("\xEF\xBB\xBF"
                                    "Artikel-Nr;Bezeichnung;"))
        << exported.constData();
    const QString before = snapshot();

    ImportRequest again = examples(kAllKinds.mid(0, 4));
    again.dryRun = false;
    const ImportReport report = import(again);
    ASSERT_TRUE(report.ok) << reportText(report).toStdString();
    for (const KindCount &count : report.counts)
        EXPECT_EQ(count.added + count.changed, 0) << count.kind.toStdString();
    EXPECT_EQ(snapshot(), before);

    // The exported list brought in as a new run gives the same list.
    ImportRequest run;
    run.files.push_back({QStringLiteral("update"), writeFile(QStringLiteral("update1.csv"), exported)});
    run.runNr = 2;
    run.runBez = QStringLiteral("Zweiter Lauf");
    run.runDatum = QDate(2025, 3, 5);
    const ImportReport second = import(run);
    ASSERT_TRUE(second.ok) << reportText(second).toStdString();
    EXPECT_EQ(exportUpdate(2), exported);
}

TEST_P(ExchangeTest, AbweichendIsJExactlyWhereTheWindowCountsTheArticleAsDiffering) {
    // A proposal that is given and names another supplier than the main one (or the article has
    // none); an article without a proposal never differs.
    int withoutProposal = 0;
    const QList<QByteArray> lines = exportUpdate(3).split('\n');
    for (const QByteArray &line : lines.mid(1)) {
        const QList<QByteArray> field = line.trimmed().split(';');
        if (field.size() < 7)
            continue;
        const bool proposed = !field[4].isEmpty();
        withoutProposal += proposed ? 0 : 1;
        EXPECT_EQ(field[6], proposed && field[2] != field[4] ? "J" : "N") << line.constData();
    }
    EXPECT_GT(withoutProposal, 0) << "update 3 has articles without a proposal";
}

// Each kind of bad file is refused with a message naming file, line and column, and the database
// stays row for row as it was.
TEST_P(ExchangeTest, BadFilesAreRefusedAndChangeNothing) {
    struct Case {
        const char *kind;
        QByteArray content;
        const char *message;
    };
    const QByteArray al = "Artikel-Nr;Lieferant-Nr;EK-Netto;per;Aktiv\n";
    const QByteArray pers = "Personalcode;Passwort;Aktiv;Name\n";
    const Case cases[] = {
        {"artlief", "Artikel-Nr;Lieferant-Nr;EK-Netto;Einheit\n100001;70001;1;Sack\n",
         "artlief.csv, Zeile 1: die Spalte \"per\" fehlt"},
        {"artlief", al + "100001;70001;12,3,4;Sack;J\n",
         "artlief.csv, Zeile 2, Spalte \"EK-Netto\": \"12,3,4\" ist keine Zahl"},
        {"artlief", al + "100001;79999;1;Sack;J\n",
         "Zeile 2, Spalte \"Lieferant-Nr\": der Lieferant 79999 ist unbekannt"},
        {"artlief", al + "100001;70001;-1,00;Sack;J\n", "\"-1,00\" ist negativ"},
        {"artlief", al + "100001;70001;1;Sack;vielleicht\n", "Spalte \"Aktiv\": \"vielleicht\" ist weder J noch N"},
        {"artlief", al + "100001;70001;1;Sack;J\n100001;70001;2;Sack;J\n",
         "Zeile 3, Spalte \"Lieferant-Nr\": der "
         "Lieferant 70001 zum Artikel 100001 steht "
         "schon in Zeile 2"},
        {"artlief", al + "100001;70001;4,85;Sack;N\n",
         "artlief.csv, Zeile 2: der Hauptlieferant 70001 des Artikels "
         "100001 wäre danach keiner seiner aktiven Lieferanten"},
        {"artlief", al + "100001;70012;1;Sack;N\n",
         "der Artikel 100001 hätte danach in der Artikelliste des Updates 2 (mit ihren noch nicht gespeicherten "
         "Änderungen) einen inaktiven Hauptlieferanten"},
        {"artlief", al + "100003;70003;1;lfm;N\n100003;70005;1;lfm;N\n",
         "der Artikel 100003 hätte danach keinen aktiven Lieferanten"},
        {"artlief", al + "100001;70001;1;S{ck;J\n", "Spalte \"per\": \"S{ck\" enthält an Stelle 2 das Zeichen \"{\""},
        {"artlief", "Artikel-Nr;Lieferant-Nr;EK-Netto;per;Letzter Einkauf\n100001;70001;1;Sack;31.02.2024\n",
         "Spalte \"Letzter Einkauf\": \"31.02.2024\" ist kein Datum, das es gibt"},
        {"artikel", "Artikel-Nr;Bezeichnung;Hauptlieferant-Nr\n100001;Zement;79998\n",
         "Spalte \"Hauptlieferant-Nr\": der Lieferant 79998 ist unbekannt"},
        {"update", "Artikel-Nr\n999999\n",
         "update.csv, Zeile 2, Spalte \"Artikel-Nr\": der Artikel \"999999\" ist "
         "unbekannt"},
        {"lieferanten", "Lieferant-Nr;Name\n70100;\"Zwei\nZeilen\"\n",
         "Spalte \"Name\": \"Zwei\\nZeilen\" enthält an "
         "Stelle 5 ein Steuerzeichen"},
        {"personal", pers + "ABCDEFGHIJKLMNOPQRSTU;x;J;Name\n",
         "Spalte \"Personalcode\": \"ABCDEFGHIJKLMNOPQRSTU\" ist "
         "21 Zeichen lang (erlaubt: höchstens 20)"},
        // The password is never quoted back.
        {"personal", pers + "NEU;123456789012345678901;J;Name\n",
         "Spalte \"Passwort\": das Passwort ist 21 Zeichen lang (erlaubt: höchstens 20)"},
        {"personal", pers + "NEU;\"ge\nheim\";J;Name\n", "Spalte \"Passwort\": das Passwort enthält ein Steuerzeichen"},
        {"lieferanten", QByteArray("Lieferant-Nr;Name\n70100;A\0B\n", 28), "lieferanten.csv: ist keine Textdatei"},
    };
    // A clerk's unsaved choice in update 2: supplier 70012 main supplier of article 100001.
    {
        const cacheapi::FactoryPtr factory = clerk();
        makeMain(*factory, listKey(*factory, QStringLiteral("2")), QStringLiteral("100001"), 70012);
    }
    const QString before = snapshot();
    for (const Case &c : cases) {
        const QString kind = QString::fromLatin1(c.kind);
        ImportRequest request;
        request.files.push_back({kind, writeFile(kind + QStringLiteral(".csv"), c.content)});
        if (kind == QLatin1String("update")) {
            request.runNr = 7;
            request.runBez = QStringLiteral("Neu");
            request.runDatum = QDate(2025, 1, 1);
        }
        // The check before the writing finds what the stored state would; a dry run says the same.
        for (const bool dryRun : {false, true}) {
            request.dryRun = dryRun;
            const ImportReport report = import(request);
            EXPECT_FALSE(report.ok) << c.message;
            EXPECT_TRUE(reportText(report).contains(QString::fromUtf8(c.message)))
                << "expected: " << c.message << "\ngot: " << reportText(report).toStdString() << " dry run " << dryRun;
        }
    }
    // An existing run is never changed; more than 20 errors list 20 and count all.
    ImportRequest existing = examples({QStringLiteral("update")});
    EXPECT_TRUE(reportText(import(existing)).contains(QStringLiteral("das Update 1 der Firma 1 gibt es schon")));
    QByteArray many = al;
    for (int i = 0; i < 25; ++i)
        many += "100001;70001;x;Sack;J\n";
    ImportRequest bulk;
    bulk.files.push_back({QStringLiteral("artlief"), writeFile(QStringLiteral("artlief.csv"), many)});
    const ImportReport report = import(bulk);
    EXPECT_EQ(report.errors.size(), kMaxListedErrors);
    EXPECT_EQ(report.errorCount, 25);
    EXPECT_EQ(snapshot(), before);
}

// New pairs are sent several hundred to a statement: every one arrives, with its own values, also
// past the first full statement and in the last partial one.
TEST_P(ExchangeTest, ManyNewPairsArriveWhole) {
    QByteArray articles = "Artikel-Nr;Bezeichnung\n";
    QByteArray pairs = "Artikel-Nr;Lieferant-Nr;EK-Netto;per\n";
    for (int i = 0; i < 241; ++i) {
        articles += QByteArray::number(700000 + i) + ";Neu " + QByteArray::number(i) + "\n";
        for (const char *supplier : {"70001", "70002", "70003", "70004", "70005"})
            pairs += QByteArray::number(700000 + i) + ";" + supplier + ";" + QByteArray::number(i) + ",05;Stk\n";
    }
    ImportRequest request;
    request.files = {{QStringLiteral("artikel"), writeFile(QStringLiteral("artikel.csv"), articles)},
                     {QStringLiteral("artlief"), writeFile(QStringLiteral("artlief.csv"), pairs)}};
    const ImportReport report = import(request);
    ASSERT_TRUE(report.ok) << reportText(report).toStdString();
    EXPECT_EQ(report.counts.at(1).added, 1205);
    EXPECT_EQ(rawSql(QStringLiteral("SELECT COUNT(*) || ' ' || SUM(ek_cent) FROM artlief al JOIN artikel a ON a.id ="
                                    " al.artikel WHERE a.artnr >= '700000'")),
              QStringLiteral("1205 %1").arg(5 * (241 * 240 / 2 * 100 + 241 * 5)));
}

TEST_P(ExchangeTest, SpreadsheetDialects) {
    // Windows-1252 umlauts; a UTF-8 byte-order mark with ',' as separator; quoted fields holding
    // ';', quotes and a line break (in a column the import does not read), the line count staying right.
    ImportRequest request;
    request.files.push_back({QStringLiteral("lieferanten"),
                             writeFile(QStringLiteral("l.csv"), "Lieferant-Nr;Name;Bemerkung\r\n"
                                                                "70101;\"M\xFCller; S\xF6hne\";\"zwei\r\nZeilen\"\r\n"
                                                                "70102;\"Gro\xDF \"\"Nord\"\"\";x\r\n")});
    ImportReport report = import(request);
    ASSERT_TRUE(report.ok) << reportText(report).toStdString();
    EXPECT_EQ(report.notes, QStringList{"l.csv: die Spalte \"Bemerkung\" wird nicht gelesen."});
    EXPECT_EQ(rawSql(QStringLiteral("SELECT name FROM lieferant WHERE firma = 1 AND liefnr > 70100 ORDER BY liefnr")),
              QStringLiteral("M}ller; S|hne\nGro~ \"Nord\""));

    request.files = {{QStringLiteral("lieferanten"),
                      writeFile(QStringLiteral("l.csv"), "\xEF\xBB\xBFlieferant-nr: ,Name\n70103,B\xC3\xB6hm\n")}};
    ASSERT_TRUE(import(request).ok);
    EXPECT_EQ(rawSql(QStringLiteral("SELECT name FROM lieferant WHERE liefnr = 70103")), QStringLiteral("B|hm"));

    // --encoding decides instead of the detection.
    request.encoding = Encoding::Utf8;
    request.files = {{QStringLiteral("lieferanten"), writeFile(QStringLiteral("l.csv"), "Lieferant-Nr;Name\n70105;S\xFC"
                                                                                        "d\n")}};
    EXPECT_TRUE(
        reportText(import(request)).startsWith(QStringLiteral("l.csv: Zeile 2: ist nicht in UTF-8 geschrieben")))
        << reportText(import(request)).toStdString();
    request.encoding = Encoding::Windows1252;
    request.files = {
        {QStringLiteral("lieferanten"), writeFile(QStringLiteral("l.csv"), "Lieferant-Nr;Name\n70105;S\xC3\xBC"
                                                                           "d\n")}};
    ASSERT_TRUE(import(request).ok);
    EXPECT_EQ(rawSql(QStringLiteral("SELECT name FROM lieferant WHERE liefnr = 70105")),
              QString::fromUtf8("S\xC3\x83\xC2\xBC"
                                "d"));
    request.encoding = Encoding::Detect;

    request.dryRun = true;
    request.files = {
        {QStringLiteral("lieferanten"),
         writeFile(QStringLiteral("l.csv"), "Lieferant-Nr;Name;Bemerkung\n70104;A;\"eins\nzwei\"\n0;B;\n")}};
    EXPECT_EQ(
        reportText(import(request)),
        QStringLiteral("l.csv, Zeile 4, Spalte \"Lieferant-Nr\": \"0\" ist keine ganze Zahl von 1 bis 999999999"));
}

// What LibreOffice and Excel write when a merchant saves a file: two-digit years, prices without
// thousands points or with them, and Excel's "sep=" line.
TEST_P(ExchangeTest, DialectsReadAsSpreadsheetsWriteThem) {
    struct Case {
        QByteArray content;
        const char *stored; // ek_cent and le_einkauf of 100001/70001, or the error's words
    };
    const QByteArray header = "Artikel-Nr;Lieferant-Nr;EK-Netto;per;Letzter Einkauf\r\n";
    const Case cases[] = {
        {header + "100001;70001;1234,5;Sack;12.02.24\r\n", "123450 2024-02-12"},
        {header + "100001;70001;1.234,50;Sack;1.1.30\r\n", "123450 1930-01-01"},
        {header + "100001;70001;1234.5;Sack;31.12.29\r\n", "123450 2029-12-31"},
        {header + "100001;70001;4,85;Sack;29.02.00\r\n", "485 2000-02-29"},
        {"sep=,\r\nArtikel-Nr,Lieferant-Nr,EK-Netto,per,Letzter Einkauf\r\n100001,70001,\"4,85\",Sack,2024-02-12\r\n",
         "485 2024-02-12"},
        {"sep=;\n" + header + "100001;70001;1;Sack;30.02.24\n",
         "artlief.csv, Zeile 3, Spalte \"Letzter Einkauf\": \"30.02.24\" ist kein Datum, das es gibt"},
    };
    for (const Case &c : cases) {
        const ImportReport report = importFile(QStringLiteral("artlief"), c.content);
        const QString got =
            report.ok ? rawSql(QStringLiteral("SELECT al.ek_cent || ' ' || al.le_einkauf FROM artlief al JOIN artikel a"
                                              " ON a.id = al.artikel JOIN lieferant f ON f.id = al.lieferant"
                                              " WHERE a.artnr = '100001' AND f.liefnr = 70001 AND a.firma = 1"))
                      : reportText(report);
        EXPECT_EQ(got, QString::fromUtf8(c.stored)) << c.content.constData();
    }
}

// Every kind of master data, exported as CSV and as a workbook and imported again, changes nothing:
// names a spreadsheet would take for formulas, an article number with leading zeros, the passwords
// (which the export leaves out) included.
TEST_P(ExchangeTest, MasterDataExportedImportsAgainUnchanged) {
    ASSERT_TRUE(importFile(QStringLiteral("lieferanten"),
                           "Lieferant-Nr;Name\n70201;=1+1\n70202;+49 Zentrale\n70203;-Rest-\n70204;@Rechnung\n"
                           "70205;\"=HYPERLINK(\"\"http://x.example\"\";\"\"Rechnung\"\")\"\n")
                    .ok);
    ImportRequest article;
    article.files = {
        {QStringLiteral("artikel"),
         writeFile(QStringLiteral("a.csv"), "Artikel-Nr;Bezeichnung;Hauptlieferant-Nr;EAN\n007;=A1*2;70201;04006381333931\n")},
        {QStringLiteral("artlief"),
         writeFile(QStringLiteral("al.csv"),
                   "Artikel-Nr;Lieferant-Nr;EK-Netto;per;Lieferanten-Artikel-Nr\n007;70201;1234,5;Stk;007-X/1\n")}};
    ASSERT_TRUE(import(article).ok) << reportText(import(article)).toStdString();
    const QString before = snapshot();
    for (const QString &kind : MasterDataKinds()) {
        for (const QString &extension : {QStringLiteral(".csv"), QStringLiteral(".xlsx")}) {
            SCOPED_TRACE((kind + extension).toStdString());
            const QString path = exportMaster(kind, extension);
            ImportRequest request;
            request.files.push_back({kind, path});
            const ImportReport report = import(request);
            ASSERT_TRUE(report.ok) << reportText(report).toStdString();
            EXPECT_TRUE(report.notes.isEmpty()) << report.notes.join(' ').toStdString();
            ASSERT_EQ(report.counts.size(), 1u);
            EXPECT_EQ(report.counts.front().added + report.counts.front().changed, 0);
            EXPECT_GT(report.counts.front().unchanged, 0);
            if (kind == QLatin1String("lieferanten") && extension == QLatin1String(".csv")) {
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::ReadOnly));
                const QByteArray csv = file.readAll();
                EXPECT_TRUE(csv.contains("\n70201;\"\t=1+1\"\r\n")) << "no cell starts with '='";
                EXPECT_TRUE(csv.contains("\n70204;\"\t@Rechnung\"\r\n"));
            }
        }
    }
    EXPECT_EQ(snapshot(), before);
}

// A workbook's cells are read by their type: a date cell in any display format is a date, a number
// cell a number whatever format shows it, a text cell text even when it reads like a number; its
// messages name the sheet's row and the column's heading.
TEST_P(ExchangeTest, WorkbookCellsAreReadByTheirType) {
    const auto book = [](const QString &name, const std::function<void(lxw_workbook *, lxw_worksheet *)> &fill) {
        const QString path = writeFile(name, QByteArray());
        lxw_workbook *workbook = workbook_new(QFile::encodeName(path).constData());
        fill(workbook, workbook_add_worksheet(workbook, nullptr));
        EXPECT_EQ(workbook_close(workbook), LXW_NO_ERROR);
        return path;
    };
    const auto header = [](lxw_worksheet *sheet, lxw_row_t row, const std::vector<const char *> &names) {
        for (size_t i = 0; i < names.size(); ++i)
            worksheet_write_string(sheet, row, lxw_col_t(i), names[i], nullptr);
    };
    const QString articles = book(QStringLiteral("artikel.xlsx"), [&](lxw_workbook *, lxw_worksheet *sheet) {
        header(sheet, 0, {"Artikel-Nr", "Bezeichnung", "Hauptlieferant-Nr"});
        worksheet_write_string(sheet, 1, 0, "007", nullptr);
        worksheet_write_number(sheet, 2, 0, 8, nullptr);
        for (lxw_row_t row : {1, 2}) {
            worksheet_write_string(sheet, row, 1, "Neu", nullptr);
            worksheet_write_number(sheet, row, 2, 70001, nullptr);
        }
    });
    const QString pairs = book(QStringLiteral("artlief.xlsx"), [&](lxw_workbook *workbook, lxw_worksheet *sheet) {
        lxw_format *euro = workbook_add_format(workbook);
        format_set_num_format(euro, "#,##0.00 [$€-407]");
        lxw_format *longDate = workbook_add_format(workbook);
        format_set_num_format(longDate, "d. mmmm yyyy");
        lxw_format *stamp = workbook_add_format(workbook);
        format_set_num_format(stamp, "yyyy-mm-dd hh:mm");
        header(sheet, 2, {"Artikel-Nr", "Lieferant-Nr", "EK-Netto", "per", "Letzter Einkauf"}); // rows 1, 2 empty
        lxw_datetime day{2024, 2, 12, 0, 0, 0};
        lxw_datetime evening{2023, 11, 20, 18, 30, 0};
        worksheet_write_string(sheet, 3, 0, "007", nullptr);
        worksheet_write_number(sheet, 3, 1, 70001, nullptr);
        worksheet_write_number(sheet, 3, 2, 1234.5, euro);
        worksheet_write_string(sheet, 3, 3, "Sack", nullptr);
        worksheet_write_datetime(sheet, 3, 4, &day, longDate);
        worksheet_write_string(sheet, 4, 0, "8", nullptr);
        worksheet_write_number(sheet, 4, 1, 70001, nullptr);
        worksheet_write_string(sheet, 4, 2, "4,85", nullptr);
        worksheet_write_string(sheet, 4, 3, "Stk", nullptr);
        worksheet_write_datetime(sheet, 4, 4, &evening, stamp);
    });
    ImportRequest request;
    request.files = {{QStringLiteral("artikel"), articles}, {QStringLiteral("artlief"), pairs}};
    const ImportReport report = import(request);
    ASSERT_TRUE(report.ok) << reportText(report).toStdString();
    EXPECT_EQ(rawSql(QStringLiteral("SELECT a.artnr || ' ' || al.ek_cent || ' ' || al.le_einkauf FROM artlief al JOIN"
                                    " artikel a ON a.id = al.artikel WHERE a.artnr IN ('007', '8') ORDER BY a.artnr")),
              QStringLiteral("007 123450 2024-02-12\n8 485 2023-11-20"));

    const QString bad = book(QStringLiteral("bad.xlsx"), [&](lxw_workbook *, lxw_worksheet *sheet) {
        header(sheet, 0, {"Lieferant-Nr", "Name"});
        worksheet_write_number(sheet, 1, 0, 70401, nullptr);
        worksheet_write_string(sheet, 1, 1, "Gut", nullptr);
        worksheet_write_number(sheet, 5, 0, 70402.5, nullptr);
        worksheet_write_string(sheet, 5, 1, "Halb", nullptr);
    });
    request.files = {{QStringLiteral("lieferanten"), bad}};
    EXPECT_EQ(reportText(import(request)),
              QStringLiteral("bad.xlsx, Zeile 6, Spalte \"Lieferant-Nr\": \"70402.5\" ist keine ganze Zahl von 1 bis "
                             "999999999"));
}

// An import reads and checks its files before it takes any lock, and a dry run takes none at all:
// a clerk's unit holding the write lock (and the lists' locks) does not stop it.
TEST_P(ExchangeTest, ADryRunTakesNoLock) {
    if (!sqlite())
        exportUpdate(1); // a list of the run to hold, made as a clerk's first look makes it
    const auto clerk = kxserver::SqlConnection::open(target());
    clerk->beginUnit();
    clerk->write([&] {
        if (!sqlite())
            clerk->run(QStringLiteral("SELECT l.id FROM artliste l ORDER BY l.id FOR UPDATE"));
        clerk->run(QStringLiteral("UPDATE lieferant SET name = name WHERE liefnr = 70001"));
    });
    const ImportReport report =
        importFile(QStringLiteral("artlief"), "Artikel-Nr;Lieferant-Nr;EK-Netto;per\n100001;70001;9,99;Sack\n", true);
    EXPECT_TRUE(report.ok) << reportText(report).toStdString();
    ASSERT_EQ(report.counts.size(), 1u);
    EXPECT_EQ(report.counts.front().changed, 1);
    if (!sqlite()) {
        // The import proper waits for the lists' locks, then names a list held and writes nothing.
        const QString before = snapshot();
        const ImportReport held =
            importFile(QStringLiteral("artlief"), "Artikel-Nr;Lieferant-Nr;EK-Netto;per\n100001;70001;9,99;Sack\n");
        EXPECT_FALSE(held.ok);
        EXPECT_TRUE(reportText(held).contains(QRegularExpression(
            QStringLiteral("^Datenbank: Die Artikelliste des Updates \\d+ \\(Liste \\d+\\) der Firma 1 ist gerade "
                           "gesperrt \\(ein Sachbearbeiter speichert oder ändert sie\\); nichts wurde importiert\\. "
                           "Später erneut versuchen\\.$"))))
            << reportText(held).toStdString();
        EXPECT_EQ(snapshot(), before);
    }
    clerk->rollbackUnit();
}

// A COMMIT that PostgreSQL answers with ROLLBACK (an earlier error the program did not see had
// aborted the transaction) is a failure, not a success.
TEST_P(ExchangeTest, ACommitThatRolledBackIsAFailure) {
    if (sqlite())
        GTEST_SKIP() << "SQLite reports every error where it happens";
    const QStringList before = QSqlDatabase::connectionNames();
    const auto connection = kxserver::SqlConnection::open(target());
    QString name;
    for (const QString &candidate : QSqlDatabase::connectionNames())
        if (!before.contains(candidate))
            name = candidate;
    ASSERT_FALSE(name.isEmpty());
    connection->beginUnit();
    connection->write([&] { connection->run(QStringLiteral("UPDATE lieferant SET name = 'X' WHERE liefnr = 70001")); });
    QSqlQuery behind(QSqlDatabase::database(name, false));
    EXPECT_FALSE(behind.exec(QStringLiteral("SELECT 1 / 0")));
    EXPECT_THROW(connection->commitUnit(), cacheapi::ServerError);
    EXPECT_NE(rawSql(QStringLiteral("SELECT name FROM lieferant WHERE liefnr = 70001")), QStringLiteral("X"));
}

INSTANTIATE_TEST_SUITE_P(Backends, ExchangeTest,
                         ::testing::Values(kxserver::Backend::Sqlite, kxserver::Backend::Postgres),
                         [](const ::testing::TestParamInfo<kxserver::Backend> &info) {
                             return info.param == kxserver::Backend::Sqlite ? std::string("SQLite")
                                                                            : std::string("PostgreSQL");
                         });

// Every change of a pair's price or unit by an import is kept with the values before and after, the
// day, "Import" as its source and who recorded it; an unchanged row, a new pair or a changed flag
// adds nothing. The export of the history shows it, and a bad EAN is refused naming its place.
TEST_P(ExchangeTest, PriceChangesOfAnImportKeepTheirHistory) {
    const QString pair = QStringLiteral("(SELECT al.id FROM artlief al JOIN artikel a ON a.id = al.artikel JOIN"
                                        " lieferant f ON f.id = al.lieferant WHERE a.artnr = '100002' AND f.liefnr = 70012)");
    const QString before = rawSql("SELECT ek_cent || ' ' || pe FROM artlief WHERE id = " + pair);
    const QByteArray header = "Artikel-Nr;Lieferant-Nr;EK-Netto;per;Aktiv\n";
    ASSERT_TRUE(importFile(QStringLiteral("artlief"), header + "100002;70012;9,99;Sack;N\n").ok);
    ASSERT_TRUE(importFile(QStringLiteral("artlief"), header + "100002;70012;9,99;Sack;J\n").ok) << "flag only";
    ASSERT_TRUE(importFile(QStringLiteral("artlief"), header + "100002;70012;9,99;Sack;J\n").ok) << "unchanged";
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    EXPECT_EQ(rawSql("SELECT ek_alt || ' ' || pe_alt || '|' || ek_neu || ' ' || pe_neu || '|' || gueltig_ab || '|' ||"
                     " offen || quelle || '|' || CASE WHEN erf_pers <> '' AND erf_zeit LIKE '" + today +
                     "T%' THEN 'ok' ELSE erf_zeit END FROM preis_hist WHERE artlief = " + pair),
              before.section(' ', 0, 0) + ' ' + before.section(' ', 1) + "|999 Sack|" + today + "|0Import|ok");
    EXPECT_EQ(rawSql("SELECT COUNT(*) FROM preis_hist"), QStringLiteral("1"));

    const auto connection = kxserver::SqlConnection::open(target());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const auto sink = MakeCsvSink(buffer);
    ExportPreise(*connection, 1, QDate::currentDate(), *sink);
    EXPECT_TRUE(sink->finish().isEmpty());
    EXPECT_TRUE(buffer.data().contains(";9,99;Sack;" + QDate::currentDate().toString("dd.MM.yyyy").toUtf8() +
                                       ";N;Import;"))
        << buffer.data().constData();

    const ImportReport bad =
        importFile(QStringLiteral("artikel"), "Artikel-Nr;Bezeichnung;EAN\n100001;Zement;40063813339X\n");
    ASSERT_FALSE(bad.ok);
    EXPECT_TRUE(reportText(bad).contains("Zeile 2") && reportText(bad).contains("EAN") &&
                reportText(bad).contains("8 bis 14 Ziffern"))
        << reportText(bad).toStdString();
}

