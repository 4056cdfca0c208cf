// The admin tool korvex-db as an administrator runs it.

#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"
#include "ToolRun.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerErrorCodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace kxserver;

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
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--entfernen", "--firma", "1"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--firma", "1", "--personal", "DEMO",
                      "--verbindungen", "0"},
          QStringList{"zugang", "--pg", "127.0.0.1:5432", "anna", "--entfernen", "--verbindungen", "3"}}) {
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
    if (sqlite()) {
        // It holds the personnel data: only its owner reads it, or the clerks' group of its folder.
        EXPECT_EQ(statOf(target.at(0)).st_mode & 0777, 0600u);
        const QString shared = korvextest::TempDir() + QStringLiteral("/clerks");
        QDir().mkpath(shared);
        const group *clerks = ::getgrnam("users");
        if (clerks && ::chown(QFile::encodeName(shared).constData(), static_cast<uid_t>(-1), clerks->gr_gid) == 0) {
            ASSERT_EQ(runTool({"--force", shared + "/korvex.db"}).exitCode, 0);
            const struct stat info = statOf(shared + "/korvex.db");
            EXPECT_EQ(info.st_mode & 0777, clerks->gr_gid == ::getegid() ? 0600u : 0660u);
            EXPECT_EQ(info.st_gid, clerks->gr_gid);
        }
    }
    const ToolRun again = runTool(target + QStringList{"--demo"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.err.contains("--force")) << again.err.toStdString();
    // The tool shows the refusal as the call throws it, without an error number.
    const DbTarget direct = sqlite() ? DbTarget{Backend::Sqlite, target.at(0), {}, 0}
                                     : DbTarget{Backend::Postgres, {}, cluster().host(), cluster().port()};
    const QString refusal = ExpectServerError(kDatabase, [&] { CreateDatabase(direct, {true, 0}, false); });
    EXPECT_EQ(again.err, QStringLiteral("korvex-db: ") + refusal + QLatin1Char('\n'));

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
    ASSERT_NO_THROW(CreateDatabase({Backend::Sqlite, db, {}, 0}, {}, true));
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

    // The save log's texts are the clerks' programs': each goes out as text, the save time too where
    // it is no time, and only a real time of the day or later counts for --seit.
    {
        QSqlDatabase log = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tool-log"));
        log.setDatabaseName(db);
        ASSERT_TRUE(log.open());
        for (const char *row : {"'2025-03-01T08:00:00', 'DEMO', 'DEMO'", "'2025-02-28T23:59:59', 'DEMO', 'DEMO'",
                                "'=HYPERLINK(\"http://x.example\";\"R\")', '+1+1', '@SUM(A1)'", "'x', '-2', 'DEMO'",
                                "'9999', 'DEMO', 'DEMO'"}) {
            QSqlQuery insert(log);
            EXPECT_TRUE(insert.exec(QStringLiteral("INSERT INTO speicher_log (liste, artlief, laktiv, hlief, gesp_zeit,"
                                                   " gesp_pers, aend_pers) SELECT (SELECT MIN(id) FROM artliste),"
                                                   " MIN(id), 'J', 'N', %1 FROM artlief")
                                        .arg(QLatin1String(row))))
                << insert.lastError().text().toStdString();
        }
        log.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tool-log"));
    const ToolRun saved = runTool({"export", db, "protokoll"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err.toStdString();
    for (const char *cell : {"\r\n\"\t=HYPERLINK(\"\"http", ";\"\t+1+1\";\"\t@SUM(A1)\";", "\r\nx;\"\t-2\";",
                             "\r\n9999;DEMO;", "\r\n28.02.2025 23:59:59;"})
        EXPECT_TRUE(saved.out.contains(QString::fromUtf8(cell))) << cell << "\n" << saved.out.toStdString();
    const ToolRun since = runTool({"export", db, "protokoll", "--seit", "01.03.2025"});
    ASSERT_EQ(since.exitCode, 0) << since.err.toStdString();
    EXPECT_EQ(since.out.count(QStringLiteral("\r\n")), 2) << since.out.toStdString();
    EXPECT_TRUE(since.out.contains(QStringLiteral("\r\n01.03.2025 08:00:00;DEMO;DEMO;1;"))) << since.out.toStdString();
}

// -o never writes through a link planted beside the target, keeps the old file until the new one
// is whole, gives a new file to its owner alone and an existing one its mode; master data go out
// with the import's columns.
TEST(KorvexDbTool, ExportWritesItsFileSafely) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/tool-output");
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString db = dir + QStringLiteral("/korvex.sqlite");
    ASSERT_NO_THROW(CreateDemoDatabase(db));
    const QString out = dir + QStringLiteral("/lief.csv");
    const QString victim = dir + QStringLiteral("/victim");
    {
        QFile file(victim);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("victim");
    }
    ASSERT_TRUE(QFile::link(victim, out + QStringLiteral(".neu")));
    const auto mode = [](const QString &path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    const auto content = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    ASSERT_EQ(runTool({"export", db, "lieferanten", "-o", out}).exitCode, 0);
    EXPECT_TRUE(content(out).startsWith("\xEF\xBB\xBFLieferant-Nr;Name\r\n70001;")) << content(out).constData();
    EXPECT_EQ(content(victim), "victim");
    EXPECT_EQ(mode(out), 0600u);

    ASSERT_EQ(::chmod(QFile::encodeName(out).constData(), 0640), 0);
    const unsigned long long before = inode(out);
    ASSERT_EQ(runTool({"export", db, "artikel", "-o", out}).exitCode, 0);
    EXPECT_TRUE(content(out).contains("Artikel-Nr;Bezeichnung;Hauptlieferant-Nr;EAN\r\n"));
    EXPECT_EQ(mode(out), 0640u);
    EXPECT_NE(inode(out), before) << "renamed over, not rewritten in place";

    const QByteArray kept = content(out);
    EXPECT_EQ(runTool({"export", db, "update", "9", "-o", out}).exitCode, 1);
    EXPECT_EQ(content(out), kept) << "a failed export leaves the old file";
    const QString workbook = dir + QStringLiteral("/personal.xlsx");
    ASSERT_EQ(runTool({"export", db, "personal", "-o", workbook}).exitCode, 0);
    EXPECT_TRUE(content(workbook).startsWith("PK"));
    EXPECT_EQ(mode(workbook), 0600u);
    // A link planted at the target: replaced by a file of the owner's alone, its target untouched.
    const QString planted = dir + QStringLiteral("/planted.csv");
    ASSERT_EQ(::chmod(QFile::encodeName(victim).constData(), 0644), 0);
    ASSERT_TRUE(QFile::link(victim, planted));
    ASSERT_EQ(runTool({"export", db, "lieferanten", "-o", planted}).exitCode, 0);
    EXPECT_FALSE(QFileInfo(planted).isSymLink());
    EXPECT_EQ(mode(planted), 0600u);
    EXPECT_EQ(content(victim), "victim");
    EXPECT_EQ(mode(victim), 0644u);
    EXPECT_EQ(QDir(dir)
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                  .filter(QRegularExpression(QStringLiteral("^(?!korvex\\.sqlite)"))),
              (QStringList{"lief.csv", "lief.csv.neu", "personal.xlsx", "planted.csv", "victim"}))
        << "no temporary file stays behind";
}

namespace {
bool immutable(const QString &path, bool on) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}
} // namespace

// A damaged or read-only database file ends import and export with the program's own message and status 1,
// never with an abort.
TEST(KorvexDbTool, ADamagedDatabaseEndsWithAMessage) {
    const QString examples = qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/docs/examples/");
    struct Case {
        const char *name;
        qint64 from; // bytes from here on are overwritten, or the file is cut here when `cut`
        bool cut;
    };
    const Case cases[] = {{"cut after the first pages", 3 * 4096, true},
                          {"pages overwritten", 4096, false},
                          {"header overwritten", 16, false},
                          {"read-only", -1, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString db = korvextest::TempDir() + QStringLiteral("/damaged.sqlite");
        QFile::remove(db + "-wal");
        QFile::remove(db + "-shm");
        ASSERT_NO_THROW(CreateDatabase({Backend::Sqlite, db, {}, 0}, {true, 0}, true));
        QFile file(db);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        // Root writes whatever the mode says, so as root the immutable flag makes the file read-only.
        std::shared_ptr<void> writable;
        if (c.from < 0) {
            file.close();
            const bool set =
                ::geteuid() == 0 ? immutable(db, true) : ::chmod(QFile::encodeName(db).constData(), 0444) == 0;
            if (!set)
                continue; // a file system without the flag
            writable.reset(static_cast<void *>(nullptr), [&](void *) {
                if (::geteuid() == 0)
                    immutable(db, false);
            });
        } else if (c.cut) {
            file.resize(c.from);
        } else {
            file.seek(c.from);
            file.write(QByteArray(int(file.size() - c.from), '\x55'));
        }
        file.close();
        for (const QStringList &arguments :
             {QStringList{"import", db, "lieferanten=" + examples + "lieferanten.csv"},
              QStringList{"export", db, "artlief"}, QStringList{"export", db, "protokoll"}}) {
            const ToolRun run = runTool(arguments);
            EXPECT_EQ(run.exitCode, 1) << arguments.join(' ').toStdString() << run.err.toStdString();
            EXPECT_TRUE(run.err.startsWith("korvex-db: ")) << run.err.toStdString();
            EXPECT_TRUE(run.err.contains("Die Datenbankdatei") || run.err.contains("nicht erreichbar") ||
                        run.err.contains("beschädigt"))
                << run.err.toStdString();
        }
    }
}
