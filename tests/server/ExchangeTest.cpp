// Import and export of a merchant's own data (korvex_exchange), on both backends.

#include "Exporter.h"
#include "Importer.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QUuid>

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
        ASSERT_TRUE(kxserver::CreateDatabase(empty, {}, true).isEmpty());
    }
    // Every stored value an import may touch, row for row.
    QString snapshot() const {
        QStringList parts;
        for (const char *sql :
             {"SELECT id || ' ' || liefnr || ' ' || name FROM lieferant ORDER BY id",
              "SELECT id || ' ' || artnr || ' ' || bez || ' ' || COALESCE(haupt_lief, 0) FROM artikel ORDER BY id",
              "SELECT id || ' ' || ek_cent || ' ' || pe || ' ' || COALESCE(le_einkauf, '-') || aktiv FROM artlief"
              " ORDER BY id",
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
    // The login reads the imported personnel.
    EXPECT_EQ(rawSql(QStringLiteral("SELECT pname || '/' || abtbez FROM pers_edv e JOIN pers_abt a ON a.firma = "
                                    "e.firma AND a.abtnr = e.abtnr WHERE code = 'EINKAUF2'")),
              QStringLiteral("Sabine Wei~/Einkauf Hochbau"));
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
         "Spalte \"Name\": \"Zwei Zeilen\" enthält an "
         "Stelle 5 ein Steuerzeichen"},
        {"personal", pers + "ABCDEFGHIJKLMNOPQRSTU;x;J;Name\n",
         "Spalte \"Personalcode\": \"ABCDEFGHIJKLMNOPQRSTU\" ist "
         "21 Zeichen lang (erlaubt: höchstens 20)"},
        {"personal", pers + "NEU;123456789012345678901;J;Name\n", "Spalte \"Passwort\""},
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
        const ImportReport report = import(request);
        EXPECT_FALSE(report.ok) << c.message;
        EXPECT_TRUE(reportText(report).contains(QString::fromUtf8(c.message)))
            << "expected: " << c.message << "\ngot: " << reportText(report).toStdString();
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
    EXPECT_TRUE(reportText(import(request)).startsWith(QStringLiteral("l.csv: ist nicht in UTF-8 geschrieben")))
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

INSTANTIATE_TEST_SUITE_P(Backends, ExchangeTest,
                         ::testing::Values(kxserver::Backend::Sqlite, kxserver::Backend::Postgres),
                         [](const ::testing::TestParamInfo<kxserver::Backend> &info) {
                             return info.param == kxserver::Backend::Sqlite ? std::string("SQLite")
                                                                            : std::string("PostgreSQL");
                         });
