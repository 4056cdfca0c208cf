// A supplier's DATANORM delivery into the prices of the merchant's pairs, on both backends.

#include "server/exchange/DatanormImport.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"
#include "ToolRun.h"

#include <QDir>
#include <QFile>
#include <QUuid>

using namespace kxexchange;

namespace {

struct DeliveryFile {
    const char *name;
    QByteArray bytes;
};

// The pairs of supplier 70001 carry "Z-" and the article number as the supplier's number, but
// 100005's, which the supplier knows by its EAN only.
const char *const kNumbers =
    "UPDATE artlief SET lief_artnr = 'Z-' || (SELECT artnr FROM artikel WHERE id = artlief.artikel)"
    " WHERE lieferant = (SELECT id FROM lieferant WHERE liefnr = 70001)";
const char *const kEan = "UPDATE artikel SET ean = '4000000000017' WHERE artnr = '100005'";
const char *const kNoNumber = "UPDATE artlief SET lief_artnr = NULL WHERE artikel = (SELECT id FROM artikel WHERE"
                              " artnr = '100005') AND lieferant = (SELECT id FROM lieferant WHERE liefnr = 70001)";

// A version 4 header: 128 characters, its date at 3-8, "04" and the currency at the end.
QByteArray Header4(const char *ddmmyy) {
    QByteArray line = QByteArray("V ") + ddmmyy + "Baustoffe Sued";
    line = line.leftJustified(123, ' ') + "04EUR";
    return line + "\r\n";
}

QString Day(int daysFromToday) {
    return QDate::currentDate().addDays(daysFromToday).toString(QStringLiteral("yyyyMMdd"));
}

} // namespace

class DatanormTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        for (const char *sql : {kNumbers, kEan, kNoNumber})
            rawSql(QString::fromLatin1(sql));
    }
    QString write(const char *name, const QByteArray &bytes) const {
        const QString dir = korvextest::TempDir() + "/dn-" + QUuid::createUuid().toString(QUuid::Id128);
        QDir().mkpath(dir);
        QFile file(dir + '/' + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }
    DatanormReport deliver(const std::vector<DeliveryFile> &files, const QByteArray &table = {}, bool dryRun = false) {
        DatanormRequest request;
        request.supplier = 70001;
        request.dryRun = dryRun;
        for (const DeliveryFile &file : files)
            request.files << write(file.name, file.bytes);
        if (!table.isEmpty())
            request.discountFile = write("rabatte.csv", table);
        return ImportDatanorm(*kxserver::ParseConnectString(connectString()), request);
    }
    // The price and unit of the pair of 70001 and the article, "cents unit".
    QString price(const char *article) const {
        return rawSql(QStringLiteral("SELECT al.ek_cent || ' ' || al.pe FROM artlief al JOIN artikel a ON a.id ="
                                     " al.artikel JOIN lieferant f ON f.id = al.lieferant WHERE f.liefnr = 70001"
                                     " AND a.artnr = '%1'")
                          .arg(QLatin1String(article)));
    }
    QString everything() const {
        return rawSql("SELECT COUNT(*) || '/' || COALESCE(SUM(ek_cent), 0) || '/' || COALESCE(SUM(LENGTH(pe)), 0) ||"
                      " '/' || COUNT(lief_artnr) FROM artlief") +
               rawSql("SELECT '|' || COUNT(*) FROM preis_hist") + rawSql("SELECT '|' || SUM(version) FROM artliste");
    }
};

// What a delivery does to the pairs: each row a delivery and the prices after it.
TEST_P(DatanormTest, DeliveriesSetThePairsNetPrices) {
    const QString future = Day(30);
    struct Case {
        const char *what;
        std::vector<DeliveryFile> files;
        QByteArray table;
        std::vector<std::pair<const char *, QString>> prices; // article -> "cents unit" after
    };
    const std::vector<Case> cases{
        {"version 5: a net price by number, a list price less its group's discount (the merchant's table "
         "over the delivery's R), by EAN; the discount file last",
         {{"DATANORM.001", "V;050;A;20261201;EUR;Baustoffe;\r\n"
                           "A;N;Z-100001;Zement;25 kg;MTK;2;1;520;;;;;;;;;;;\r\n"
                           "A;A;UNBEKANNT;x;;STK;2;1;100;\r\n"
                           "A;N;EANONLY;Kalk;;PCE;1;100;10000;G1;;;;;;;;;4000000000017;\r\n"
                           "T;N;Z-100001;Langtext;\r\n\x1a"},
          {"DATANORM.RAB", "V;050;A;20261201;EUR;x;\r\nR;;G1;1;2000;Gruppe 1;\r\n"}},
         "Rabattgruppe;Rabatt\nG1;12,5\n",
         {{"100001", "520 1 m²"}, {"100005", "8750 100 Stk"}}},
        {"version 4 in CP850, LF: a list price less its record's own discounts, the EAN from its B record, "
         "a P line of three blocks (a net price holds over a list price), prices valid from the C date",
         {{"DATPREIS.001", Header4("011226") + "C;;TERMIN;01122026;\n"
                                               "P;A;Z-100006;1;1000;1;1000;2;900;;;Z-100007;2;777;;;;;;;"
                                               "Z-100008;1;2000;1;5000;;;;\n"},
          {"DATANORM.001", Header4("011226") + "A;N;Z-100006;00;K\x84lk;;1;2;STK;5000;R9;;\n"
                                               "A;N;Z-100007;00;x;;1;0;MTR;900;R9;;\n"
                                               "A;N;KALK-1;00;x;;2;0;KGM;4242;;;\n"
                                               "B;N;KALK-1;MATCH;;;;;;4000000000017;\n"}},
         {},
         {{"100006", "810 100 Stk"}, {"100007", "777 1 m"}, {"100008", "1000 Sack"}, {"100005", "4242 1 kg"}}},
        {"a price valid from a later day waits as the coming price; an article deleted keeps its price; "
         "a renumbered article is found by its new number",
         {{"DATANORM.001", "V;050;A;20261201;EUR;x;\r\n"
                           "A;L;Z-100001;weg;;STK;2;1;1;\r\n"
                           "B;A;Z-100006;Z-NEU-6;\r\n"},
          {"DATPREIS.001", "V;050;A;20261201;EUR;x;\r\nP;A;Z-NEU-6;2;1;333;;;;;;;;" + future.toLatin1() + "\r\n"}},
         {},
         {{"100006", "511 Sack"}, {"100001", "485 Sack"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const DatanormReport report = deliver(c.files, c.table);
        ASSERT_TRUE(report.ok) << report.errors.join('\n').toStdString();
        for (const auto &[article, expected] : c.prices)
            EXPECT_EQ(price(article), expected) << article;
    }
    // The last delivery: the coming price, the deletion, the renumbering, in the report and the data.
    const QString coming = rawSql("SELECT ek_neu || ' ' || pe_neu || ' ' || gueltig_ab || ' ' || offen || ' ' ||"
                                  " COALESCE(ek_alt, -1) FROM preis_hist");
    EXPECT_EQ(coming, "333 Sack " + QDate::currentDate().addDays(30).toString(Qt::ISODate) + " 1 -1");
    EXPECT_EQ(rawSql("SELECT COUNT(*) FROM artlief WHERE lief_artnr = 'Z-NEU-6'"), QStringLiteral("1"));
}

// The report names what it left alone and why; a dry run reports the same and writes nothing.
TEST_P(DatanormTest, TheReportSaysWhatChangedAndWhatNot) {
    const std::vector<DeliveryFile> files{
        {"DATANORM.001", "V;050;A;20261201;EUR;x;\r\n"
                         "A;N;Z-100001;a;;STK;2;1;9999;\r\n"  // raised
                         "A;N;Z-100006;a;;SAK;2;1;100;\r\n"   // lowered
                         "A;N;Z-100007;a;;STK;1;1;100;XX;\r\n" // a list price without a discount
                         "A;N;Z-100008;a;;STK;9;1;;\r\n"      // price on request
                         "A;N;NIX;a;;STK;2;1;1;\r\nS;;1;Gruppe;\r\nZ;x;\r\n"}};
    const QString before = everything();
    for (const bool dry : {true, false}) {
        SCOPED_TRACE(dry);
        const DatanormReport report = deliver(files, {}, dry);
        ASSERT_TRUE(report.ok) << report.errors.join('\n').toStdString();
        EXPECT_EQ(report.raised, 1);
        EXPECT_EQ(report.lowered, 1);
        EXPECT_EQ(report.withoutDiscount, 1);
        EXPECT_EQ(report.onRequest, 1);
        EXPECT_EQ(report.unmatched, 1);
        EXPECT_EQ(report.unmatchedListed, QStringList{"DATANORM.001, Zeile 6: NIX"});
        EXPECT_EQ(report.skipped, (std::map<QString, qint64>{{"S", 1}, {"Z", 1}}));
        ASSERT_EQ(report.largestRises.size(), 1u);
        EXPECT_EQ(report.largestRises[0].article, "100001");
        if (dry) {
            EXPECT_EQ(everything(), before);
        }
    }
    EXPECT_NE(everything(), before);
}

// A refused delivery names file, line and field, and changes nothing; so does a wrong supplier or a
// bad discount table.
TEST_P(DatanormTest, RefusedDeliveriesChangeNothing) {
    const QByteArray good = "V;050;A;20261201;EUR;x;\r\nA;N;Z-100001;a;;STK;2;1;9999;\r\n";
    struct Case {
        QByteArray second;
        QByteArray table;
        const char *message;
    };
    const std::vector<Case> cases{
        {QByteArray("V 010190Alt").leftJustified(123, ' ') + "03DEM\r\n", {}, "Version 03"},
        {"A;N;Z-100006;a;;STK;2;1;1;\r\n", {}, "Vorlaufsatz"},
        {"V;050;A;20261201;EUR;x;\r\nA;N;Z-100006;a;;STK;2;1;12,50;\r\n", {}, "Zeile 2, Feld „Preis“"},
        {"V;050;A;20261201;EUR;x;\r\nA;N;Z-100006;a;;STK;2\r\n", {}, "Zeile 2"},
        {"V;050;A;20261201;EUR;x;\r\nA;N;" + QByteArray(41, 'N') + ";a;;STK;2;1;1;\r\n", {}, "Artikelnummer"},
        {good, "Rabattgruppe;Rabatt\nG1;120\n", "rabatte.csv, Zeile 2, Spalte \"Rabatt\""},
    };
    const QString before = everything();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const DatanormReport report = deliver({{"DATANORM.001", good}, {"DATANORM.002", c.second}}, c.table);
        ASSERT_FALSE(report.ok);
        EXPECT_TRUE(report.errors.join('\n').contains(QString::fromUtf8(c.message)))
            << report.errors.join('\n').toStdString();
        EXPECT_EQ(everything(), before);
    }
    DatanormRequest stranger;
    stranger.supplier = 99999;
    stranger.files << write("DATANORM.001", good);
    const DatanormReport unknown = ImportDatanorm(*kxserver::ParseConnectString(connectString()), stranger);
    EXPECT_TRUE(!unknown.ok && unknown.errors.join('\n').contains("Lieferant 99999"))
        << unknown.errors.join('\n').toStdString();
    EXPECT_EQ(everything(), before);
}

// A coming price becomes the pair's price on its day: the daily run takes it, keeping the price it
// replaced; the tool reports the delivery in German.
TEST_P(DatanormTest, ComingPricesFallDue) {
    QStringList database = sqlite() ? QStringList{m_file}
                                    : QStringList{"--pg", QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port())};
    const QString file = write("DATPREIS.001", "V;050;A;20261201;EUR;x;\r\nP;A;Z-100001;2;1;611;;;;;;;;" +
                                                   Day(2).toLatin1() + "\r\n");
    const ToolRun run = runTool(QStringList{"datanorm"} + database + QStringList{"--lieferant", "70001", file});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("Kommende Preise (gültig ab einem späteren Tag): 1")) << run.out.toStdString();
    EXPECT_EQ(price("100001"), "485 Sack");
    rawSql("UPDATE preis_hist SET gueltig_ab = '" + QDate::currentDate().toString(Qt::ISODate) + "'");
    const ToolRun due = runTool(QStringList{"preise-faellig"} + database);
    ASSERT_EQ(due.exitCode, 0) << due.err.toStdString();
    EXPECT_TRUE(due.out.contains("Fällige Preise übernommen: 1.")) << due.out.toStdString();
    EXPECT_EQ(price("100001"), "611 Sack");
    EXPECT_EQ(rawSql("SELECT ek_alt || ' ' || pe_alt || ' ' || offen FROM preis_hist"), "485 Sack 0");
}

INSTANTIATE_TEST_SUITE_P(Backends, DatanormTest,
                         ::testing::Values(kxserver::Backend::Sqlite, kxserver::Backend::Postgres),
                         [](const ::testing::TestParamInfo<kxserver::Backend> &info) {
                             return info.param == kxserver::Backend::Sqlite ? std::string("SQLite")
                                                                            : std::string("PostgreSQL");
                         });
