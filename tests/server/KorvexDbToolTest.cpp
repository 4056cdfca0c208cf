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
    EXPECT_TRUE(help.out.contains("DEMO")) << "the help names the demo login";
    // An empty or arbitrary port makes the program's connection fail, also for a database file.
    EXPECT_TRUE(help.out.contains("Der Port muss dort eine Zahl")) << help.out.toStdString();

    const QString file = korvextest::TempDir() + QStringLiteral("/tool-args.db");
    for (const QStringList &arguments :
         {QStringList{}, QStringList{"--demo"}, QStringList{"--frobnicate", file}, QStringList{"--articles", "0", file},
          QStringList{"--articles", "zehn", file}, QStringList{file, "--articles"}, QStringList{"--pg", "nohost"},
          QStringList{"--pg", "127.0.0.1:99999"}, QStringList{"--pg", "127.0.0.1:5432", file},
          QStringList{file, file + "2"}}) {
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
