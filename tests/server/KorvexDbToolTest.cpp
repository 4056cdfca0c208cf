// The admin tool korvex-db as an administrator runs it.

#include "PasswordHash.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace kxserver;

namespace {

struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun runTool(const QStringList &arguments, const QString &pgUser = QString()) {
    QProcess process;
    if (!pgUser.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PGUSER"), pgUser);
        process.setProcessEnvironment(environment);
    }
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

struct stat statOf(const QString &path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info;
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
    ASSERT_TRUE(CreateDemoDatabase(db).isEmpty());
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
    EXPECT_TRUE(content(out).contains("Artikel-Nr;Bezeichnung;Hauptlieferant-Nr\r\n"));
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
        ASSERT_TRUE(CreateDatabase({Backend::Sqlite, db, {}, 0}, {true, 0}, true).isEmpty());
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

namespace {

// Every row of every table as text, sorted, leaving out what an upgrade changes on purpose: the
// passwords (compared on their own) and the columns that came with the new version.
QStringList everyRow(QSqlDatabase db) {
    QStringList all;
    for (const QString &table : SchemaTables()) {
        if (table == QLatin1String("korvex_meta"))
            continue;
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(QStringLiteral("SELECT * FROM %1").arg(table))) << table.toStdString();
        QStringList rows;
        while (query.next()) {
            QStringList values;
            const QSqlRecord record = query.record();
            for (int i = 0; i < record.count(); ++i) {
                const QString name = record.fieldName(i);
                // What an upgrade adds: the flags before a saved change, the number of a change row.
                if (name != QLatin1String("passwort") && !name.endsWith(QLatin1String("_alt")) &&
                    name != QLatin1String("aend_nr"))
                    values << name + QLatin1Char('=') +
                                  (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
            }
            rows << table + QLatin1Char(' ') + values.join(QLatin1Char(' '));
        }
        EXPECT_FALSE(rows.isEmpty()) << table.toStdString() << " is empty in the fixture";
        all << rows;
    }
    all.sort();
    return all;
}

QHash<QString, QString> passwords(QSqlDatabase db) {
    QHash<QString, QString> found;
    QSqlQuery query(db);
    EXPECT_TRUE(query.exec(QStringLiteral("SELECT firma, code, passwort FROM pers_edv")));
    while (query.next())
        found.insert(query.value(0).toString() + QLatin1Char('|') + query.value(1).toString(),
                     query.value(2).toString());
    return found;
}

} // namespace

// The fixtures of every older version (tests/fixtures/make-fixtures.sh): refused with the
// upgrade named, upgraded with every row intact (version 1's passwords hashed, the change rows
// numbered with their list's version), and then the program's steps work on it.
TEST_P(ServerTest, OlderFixturesUpgradeWithEveryRowIntact) {
    for (const int from : {1, 2, 3}) {
        SCOPED_TRACE(from);
        const QString fixtures = qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/tests/fixtures/");
        const QString fixture = QStringLiteral("v%1").arg(from);
        const QString server = QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port());
        QStringList target;
        QSqlDatabase db;
        const QString name = QStringLiteral("upgrade-%1-%2").arg(sqlite() ? "sqlite" : "pg", fixture);
        if (sqlite()) {
            QFile::remove(m_file);
            ASSERT_TRUE(QFile::copy(fixtures + fixture + ".db", m_file));
            QFile::setPermissions(m_file, QFile::ReadOwner | QFile::WriteOwner);
            target << m_file;
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_file);
        } else {
            // Version 1: made by and owned by the shared login, tables in public. Version 2: the owner
            // role's schema korvex (its roles are the cluster's, made by the set-up before).
            for (const char *sql : {"DO $$BEGIN CREATE ROLE korvex LOGIN CREATEDB; EXCEPTION WHEN duplicate_object THEN"
                                    " NULL; END$$",
                                    "DROP DATABASE IF EXISTS korvex WITH (FORCE)",
                                    "CREATE DATABASE korvex OWNER korvex ENCODING 'UTF8' TEMPLATE template0"})
                ASSERT_TRUE(cluster().psql(QString::fromLatin1(sql), QStringLiteral("postgres")))
                    << cluster().error().toStdString();
            QProcess psql;
            psql.start(cluster().binDir() + "/psql",
                       {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", cluster().host(), "-p",
                        QString::number(cluster().port()), "-d", "korvex", "-f", fixtures + fixture + ".sql"});
            ASSERT_TRUE(psql.waitForFinished(120000));
            ASSERT_EQ(psql.exitCode(), 0) << psql.readAllStandardError().toStdString();
            // The database's own setting, which a dump of its contents does not carry.
            if (from > 1) {
                ASSERT_TRUE(
                    cluster().psql("ALTER DATABASE korvex SET search_path = korvex", QStringLiteral("postgres")))
                    << cluster().error().toStdString();
            }
            target << "--pg" << server;
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(cluster().host());
            db.setPort(cluster().port());
            db.setDatabaseName(QStringLiteral("korvex"));
        }
        ASSERT_TRUE(db.open());
        const QStringList rowsBefore = everyRow(db);
        const QHash<QString, QString> plain = passwords(db);
        ASSERT_EQ(from == 1 ? plain.value("1|IMPORT") : QString("Lager-7x"), "Lager-7x") << "the imported user";

        // The program and the tool name the version and the call that upgrades it.
        const QString upgradeCall = "korvex-db upgrade " + target.join(' ');
        const QString refused = ExpectServerError(kOtherVersion, [&] { MakeSqlFactory()->connectTo(connectString()); });
        EXPECT_TRUE(refused.contains(QStringLiteral("Version %1 ").arg(from)) && refused.contains(upgradeCall))
            << refused.toStdString();
        for (const QStringList &call : {QStringList{"export"} + target + QStringList{"protokoll"},
                                        QStringList{"--demo"} + target}) { // the refusal to overwrite, too
            const ToolRun run = runTool(call);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.err.contains(upgradeCall)) << run.err.toStdString();
        }

        db.close(); // reopened on the new schema: Qt's SQLite driver does not survive a change under it
        const ToolRun upgrade = runTool(QStringList{"upgrade"} + target);
        ASSERT_EQ(upgrade.exitCode, 0) << upgrade.err.toStdString();
        ASSERT_TRUE(db.open());
        EXPECT_TRUE(upgrade.out.contains(QStringLiteral("Version %1 (vorher %2)").arg(kSchemaVersion).arg(from)))
            << upgrade.out.toStdString();
        EXPECT_EQ(everyRow(db), rowsBefore);
        const QHash<QString, QString> hashed = passwords(db);
        ASSERT_EQ(hashed.keys().size(), plain.keys().size());
        for (auto it = plain.cbegin(); it != plain.cend(); ++it) {
            EXPECT_TRUE(IsPasswordHash(hashed.value(it.key()))) << it.key().toStdString();
            if (from == 1)
                EXPECT_TRUE(VerifyPassword(it.value(), hashed.value(it.key()))) << it.key().toStdString();
            else
                EXPECT_EQ(hashed.value(it.key()), it.value()) << "a hash stays as it is";
        }
        // The unsaved change rows count as written at their list's current version.
        QSqlQuery numbers(db);
        ASSERT_TRUE(
            numbers.exec(QStringLiteral("SELECT COUNT(*), SUM(CASE WHEN o.aend_nr = l.version THEN 1 ELSE 0 END)"
                                        " FROM liste_aend o JOIN artliste l ON l.id = o.liste")) &&
            numbers.next());
        EXPECT_GT(numbers.value(0).toInt(), 0);
        EXPECT_EQ(numbers.value(1).toInt(), numbers.value(0).toInt());
        numbers.finish();
        if (sqlite()) {
            // A number its writer sends is put right when it is not the list's version.
            ASSERT_TRUE(db.transaction());
            QSqlQuery stale(db);
            EXPECT_TRUE(stale.exec("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, aend_nr)"
                                   " VALUES (1, 116, 26, 'N', 99)"));
            EXPECT_TRUE(stale.exec("UPDATE liste_aend SET hlief = 'J', aend_nr = 99 WHERE liste = 1 AND artlief = 8"));
            EXPECT_TRUE(stale.exec("SELECT COUNT(*) FROM liste_aend o JOIN artliste l ON l.id = o.liste"
                                   " WHERE o.liste = 1 AND o.artlief IN (116, 8) AND o.aend_nr = l.version") &&
                        stale.next());
            EXPECT_EQ(stale.value(0).toInt(), 2);
            stale.finish();
            ASSERT_TRUE(db.rollback());
        }
        if (sqlite()) {
            const QString copy = upgrade.out.section("Die Datei wie vorher: ", 1).trimmed();
            ASSERT_TRUE(copy.startsWith(m_file + "." + fixture + "-")) << upgrade.out.toStdString();
            EXPECT_EQ(statOf(copy).st_mode & 0007, 0u) << "the copy holds the plain passwords";
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name + "-copy");
            old.setDatabaseName(copy);
            ASSERT_TRUE(old.open());
            EXPECT_EQ(KorvexSchemaVersion(old), from);
            EXPECT_EQ(everyRow(old), rowsBefore);
        }
        const ToolRun again = runTool(QStringList{"upgrade"} + target);
        EXPECT_EQ(again.exitCode, 0);
        EXPECT_TRUE(again.out.contains(QStringLiteral("schon Version %1").arg(kSchemaVersion)))
            << again.out.toStdString();

        // The imported and the demo users' passwords check on the server; the pending changes are
        // still in the list, and their save logs the flags before them beside the old rows.
        cacheapi::FactoryPtr factory = clerk();
        for (const auto &[id, password] :
             {std::pair{"1||IMPORT", "Lager-7x"}, {"1||DEMO", "demo"}, {"2||DEMO", "demo2"}}) {
            QVariantList typed{QString::fromLatin1(password)};
            EXPECT_EQ(factory->openId("KX.ParPersEdv", id)->call("PasswortPruefen", typed).toString(), "1") << id;
        }
        const QString key = listKey(*factory, "1");
        EXPECT_TRUE(article(*factory, key, "100003").value(3).toString().startsWith("70005 ")) << "the unsaved main";
        EXPECT_EQ(speichern(*factory, key), 3);
        const ToolRun log = runTool(QStringList{"export"} + target + QStringList{"protokoll"});
        ASSERT_EQ(log.exitCode, 0) << log.err.toStdString();
        for (const char *line :
             {"Aktiv alt;Aktiv neu;Hauptlieferant alt;Hauptlieferant neu",
              "KOLLEGE;KOLLEGE;2;100001;Portlandzement CEM I 42,5 R 25 kg Sack;70006;Ölmann Bauchemie GmbH;",
              from == 1 ? "GmbH;;J;;" : "GmbH;N;J;;", ";DEMO;DEMO;1;100003;", ";J;J;J;N\r\n", ";J;J;N;J\r\n",
              ";J;N;;\r\n"})
            EXPECT_TRUE(log.out.contains(QString::fromUtf8(line))) << line << "\n" << log.out.toStdString();

        if (!sqlite() && from == 1) {
            // The version-1 owner keeps at most a clerk's rights; an admin's own login that is no
            // superuser (CREATEDB, CREATEROLE, member of the owner role) creates anew and is warned of nothing.
            db.close();
            factory.reset();
            ASSERT_TRUE(cluster().psql("DO $$BEGIN CREATE ROLE kx_admin LOGIN CREATEDB CREATEROLE; EXCEPTION WHEN "
                                       "duplicate_object THEN NULL; END$$; GRANT korvex_owner TO kx_admin;"))
                << cluster().error().toStdString();
            QString owned;
            ASSERT_TRUE(cluster().psql("SELECT count(*) FROM pg_tables WHERE tableowner = 'korvex'",
                                       QStringLiteral("korvex"), &owned));
            EXPECT_EQ(owned.trimmed(), "0") << "the old shared login owns no table any more";
            const ToolRun create = runTool({"--demo", "--force", "--pg", server}, QStringLiteral("kx_admin"));
            EXPECT_EQ(create.exitCode, 0) << create.err.toStdString();
            EXPECT_FALSE(create.err.contains("superuser")) << create.err.toStdString();
        }
        db.close();
    }
}

// A step that fails half way leaves the database as it was, and no copy behind.
TEST(KorvexDbTool, AFailedUpgradeChangesNothing) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/failed-upgrade");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString file = dir + QStringLiteral("/korvex.db");
    ASSERT_TRUE(QFile::copy(qEnvironmentVariable("KORVEX_SOURCE_DIR") + "/tests/fixtures/v1.db", file));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    QStringList before;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("failed-upgrade"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        // The step's second column is there already: the step fails after its first change.
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("ALTER TABLE speicher_log ADD COLUMN hlief_alt TEXT")));
        before = everyRow(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("failed-upgrade"));
    // A link planted at the copy's name (which names the second it is made in: one link for each
    // second of the next minutes) is refused, and the file it points to never comes to be.
    const QString victim = dir + QStringLiteral("/victim");
    QStringList planted;
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = -5; second < 600; ++second) {
        planted << file + QStringLiteral(".v1-") + now.addSecs(second).toString(QStringLiteral("yyyyMMdd-HHmmss"));
        ASSERT_TRUE(QFile::link(victim, planted.last()));
    }
    const mode_t oldMask = ::umask(022);
    const ToolRun linked = runTool({"upgrade", file});
    ::umask(oldMask);
    EXPECT_EQ(linked.exitCode, 1);
    EXPECT_TRUE(linked.err.contains("sie gibt es schon")) << linked.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(victim));
    for (const QString &link : planted)
        QFile::remove(link);
    const ToolRun run = runTool({"upgrade", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("nichts wurde geändert")) << run.err.toStdString();
    EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{"korvex.db"}) << "no copy of an unchanged file";
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("failed-upgrade"));
    db.setDatabaseName(file);
    ASSERT_TRUE(db.open());
    EXPECT_EQ(KorvexSchemaVersion(db), 1);
    EXPECT_EQ(everyRow(db), before);
    QSqlQuery columns(db);
    ASSERT_TRUE(columns.exec(QStringLiteral("SELECT laktiv_alt FROM speicher_log")) == false);
    QSqlQuery plain(db);
    ASSERT_TRUE(plain.exec(QStringLiteral("SELECT passwort FROM pers_edv WHERE code = 'IMPORT'")) && plain.next());
    EXPECT_EQ(plain.value(0).toString(), "Lager-7x");
    db.close();
}
