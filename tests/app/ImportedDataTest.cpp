// A merchant's own data, brought in by the importer into an empty database, in the real main window.

#include "AppFixture.h"
#include "server/exchange/Importer.h"
#include "server/admin/KorvexDb.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"

#include <QLabel>

using namespace cacheapi;

class ImportedDataTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // The empty database "korvex-db DATEI" makes, then the example files in one call.
        kxserver::DbTarget empty;
        empty.path = dbPath;
        ASSERT_NO_THROW(kxserver::CreateDatabase(empty, {}, true));
        ASSERT_EQ(sql.value("SELECT COUNT(*) FROM upd_run").toInt(), 0);

        kxexchange::ImportRequest request;
        for (const char *kind : {"lieferanten", "artikel", "artlief", "personal", "update"})
            request.files.push_back({QString::fromLatin1(kind), qEnvironmentVariable("KORVEX_SOURCE_DIR") +
                                                                    QStringLiteral("/docs/examples/%1.csv").arg(kind)});
        request.runNr = 5;
        request.runBez = QStringLiteral("VELKA-Abgleich Frühjahr");
        request.runDatum = QDate(2025, 3, 3);
        kxserver::ConnectTarget target;
        target.path = dbPath;
        const kxexchange::ImportReport report = kxexchange::Import(target, request);
        ASSERT_TRUE(report.ok) << report.errors.join(QLatin1Char('\n')).toStdString();

        // The clerk logs in with an imported personnel record.
        SetProgramArguments({"1", "0", "EINKAUF1", "geheim", dbPath, "1972", "KORVEX"});
    }
};

TEST_F(ImportedDataTest, TheExampleFilesShowInTheMainWindowAsImported) {
    start();
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    ASSERT_FALSE(ProgramEnded());
    ASSERT_EQ(window->liupdate->rowCount(), 1);
    EXPECT_EQ(window->liupdate->rowText(0), QStringLiteral("5\nVELKA-Abgleich Frühjahr\n03.03.2025"));

    load(0);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    ASSERT_EQ(window->liart->rowCount(), 3);

    // Price with two decimals, the unit, the last purchase (none: empty); the imported Aktiv flag and
    // the article's main supplier as the check cells.
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100001  Portlandzement CEM I 42,5 R 25 kg Sack"));
    EXPECT_EQ(supplierRows(), (QStringList{"70001 Zementwerke Süd AG\n4,85 €\nSack\n12.02.2024|1|1",
                                           "70002 Kalksandsteinwerk Böhm KG\n5,35 €\nSack\n|0|0"}));

    clickArticle(2);
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100003  Dachlatte 30x50 mm imprägniert 4,0 m"));
    EXPECT_EQ(supplierRows(),
              QStringList{"70003 Holzhandel Weiß & Söhne; Niederlassung Ost\n0,89 €\nlfm\n15.04.2024|1|1"});

    clickArticle(1);
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100002  Kalksandstein KS L-R 2DF 240x115x113"));
    EXPECT_EQ(supplierRows(), (QStringList{"70001 Zementwerke Süd AG\n1.289,00 €\n1000 Stk\n|1|0",
                                           "70002 Kalksandsteinwerk Böhm KG\n1.234,50 €\n1000 Stk\n06.05.2024|1|1"}));
}
