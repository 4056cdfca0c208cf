// The admin tool korvex-db as an administrator runs it.

#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

using namespace kxserver;

namespace {

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun runTool(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral(KORVEX_DB_TOOL), arguments);
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

unsigned long long inode(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

TEST(KorvexDbTool, HelpAndWrongArguments) {
    const ToolRun help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--pg HOST:PORT")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("korvex-db zugang --pg HOST:PORT LOGIN --entfernen")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("DEMO")) << "the help names the demo login";
    // An empty or arbitrary port makes the program's connection fail, also for a database file.
    EXPECT_TRUE(help.out.contains("Der Port muss dort eine Zahl")) << help.out.toStdString();

    const QString file = korvextest::TempDir() + QStringLiteral("/tool-args.db");
    for (const QStringList &arguments :
         {QStringList{}, QStringList{"--demo"}, QStringList{"--frobnicate", file}, QStringList{"--articles", "0", file},
          QStringList{"--articles", "zehn", file}, QStringList{file, "--articles"}, QStringList{"--pg", "nohost"},
          QStringList{"--pg", "127.0.0.1:99999"}, QStringList{"--pg", "127.0.0.1:5432", file},
          QStringList{file, file + "2"}, QStringList{"zugang", "anna", "--firma", "1", "--personal", "DEMO"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "--firma", "1", "--personal", "DEMO"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--firma", "1"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--firma", "null", "--personal", "DEMO"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--entfernen", "--firma", "1"}}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.err.startsWith("korvex-db: ")) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("--help")) << run.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(file)) << "a wrong call creates nothing";
}

TEST_P(ServerTest, KorvexDbCreatesAndRefusesToOverwriteWithoutForce) {
    QStringList target;
    if (sqlite()) {
        target << korvextest::TempDir() + QStringLiteral("/tool.db");
        QFile::remove(target.at(0));
        EXPECT_EQ(runTool({"--demo", korvextest::TempDir() + "/no/such/dir/x.db"}).exitCode, 1);
    } else {
        target << "--pg" << QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port());
    }

    const ToolRun empty = runTool(target + QStringList{"--force"});
    ASSERT_EQ(empty.exitCode, 0) << empty.err.toStdString();
    const ToolRun again = runTool(target + QStringList{"--demo"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.err.contains("--force")) << again.err.toStdString();

    const QString connect = sqlite() ? SqliteConnectString(target.at(0)) : connectString();
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    ASSERT_TRUE(factory->connectTo(connect));
    EXPECT_TRUE(rows(*factory, "Updates").isEmpty()) << "the refused call left the empty database alone";
    factory->disconnect();

    const unsigned long long before = sqlite() ? inode(target.at(0)) : 0;
    const ToolRun demo = runTool(target + QStringList{"--demo", "--force", "--articles", "120"});
    ASSERT_EQ(demo.exitCode, 0) << demo.err.toStdString();
    if (sqlite()) {
        EXPECT_NE(inode(target.at(0)), before) << "replaced by a new file, so open connections notice";
    }
    ASSERT_TRUE(factory->connectTo(connect));
    session(*factory);
    EXPECT_EQ(rows(*factory, "Updates").size(), 5);
    const QString key = listKey(*factory, QString::number(kBenchmarkRun));
    EXPECT_EQ(rows(*factory, "Artikel", {key}).size(), 120);
    EXPECT_EQ(suppliers(*factory, key, kBenchmarkFirstArticle).size(), 50);
}

TEST(KorvexDbTool, ImportAndExportCallForms) {
    const QString db = korvextest::TempDir() + QStringLiteral("/tool-exchange.db");
    ASSERT_TRUE(CreateDatabase({Backend::Sqlite, db, {}, 0}, {}, true).isEmpty());
    const QString examples = qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/docs/examples/");
    const QString lief = "lieferanten=" + examples + "lieferanten.csv";
    for (const QStringList &arguments :
         {QStringList{"import"}, QStringList{"import", db}, QStringList{"import", db, "frob=x.csv"},
          QStringList{"import", db, "update=x.csv"}, QStringList{"import", db, lief, lief},
          QStringList{"import", db, "--nr", "3", lief}, QStringList{"import", db, "--encoding", "ebcdic", lief},
          QStringList{"export", db}, QStringList{"export", db, "update"}, QStringList{"export", db, "update", "x"},
          QStringList{"export", db, "protokoll", "--seit", "31.02.2024"}}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString() << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("--help")) << run.err.toStdString();
    }

    const ToolRun refused = runTool({"import", db, "artlief=" + examples + "artlief.csv"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("Import abgelehnt, nichts wurde geändert")) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("artlief.csv, Zeile 2, Spalte \"Artikel-Nr\"")) << refused.err.toStdString();

    QStringList all{"import", db, "--nr", "1", "--bez", "Erstes Update", "--datum", "01.03.2025"};
    for (const char *kind : {"update", "personal", "artlief", "artikel", "lieferanten"})
        all << QStringLiteral("%1=%2%1.csv").arg(QLatin1String(kind), examples);
    const ToolRun imported = runTool(all);
    ASSERT_EQ(imported.exitCode, 0) << imported.err.toStdString();
    EXPECT_TRUE(imported.out.contains("artlief: 5 neu, 0 geändert, 0 unverändert")) << imported.out.toStdString();
    EXPECT_TRUE(imported.err.isEmpty()) << "no progress line where standard error is no terminal";

    const QString workbook = korvextest::TempDir() + QStringLiteral("/tool-export.xlsx");
    ASSERT_EQ(runTool({"export", db, "update", "1", "-o", workbook}).exitCode, 0);
    QFile file(workbook);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.read(2) == "PK") << "a zip container, as every workbook";
    const ToolRun csv = runTool({"export", db, "update", "1"});
    EXPECT_EQ(csv.exitCode, 0);
    EXPECT_TRUE(csv.out.contains(QStringLiteral("Artikel-Nr;Bezeichnung;"))) << csv.out.toStdString();
    EXPECT_TRUE(csv.out.contains("100002;Kalksandstein KS L-R 2DF 240x115x113;70002;Kalksandsteinwerk Böhm KG;70002;"))
        << csv.out.toStdString();
    const ToolRun unknown = runTool({"export", db, "update", "9"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains("existiert nicht")) << unknown.err.toStdString();
}
