// Connecting: both backends, failures that must read as "not reachable", honest connected?,
// and reconnecting after the backend went away.

#include "server/admin/KorvexDb.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "server/db/BulkInsert.h"
#include "server/db/SqlConnection.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace kxserver;

namespace {

QByteArray fileContent(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes a file or folder read-only for this process, and undoes it: root writes whatever the mode
// bits say, so as root the file system's immutable flag stands in.
bool SetReadOnly(const QString &path, bool readOnly) {
    const QByteArray name = QFile::encodeName(path);
    if (::geteuid() != 0) {
        struct stat info {};
        if (::stat(name.constData(), &info) != 0)
            return false;
        const mode_t write = S_IWUSR | S_IWGRP | S_IWOTH;
        return ::chmod(name.constData(), readOnly ? info.st_mode & ~write : info.st_mode | S_IWUSR) == 0;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = readOnly ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// Overwrites pages of an SQLite file (from 1) with a pattern that is no b-tree page.
void DamagePages(const QString &path, int firstPage, int lastPage) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray header = file.read(100);
    const int size = (uchar(header.at(16)) << 8 | uchar(header.at(17))) == 1
                         ? 65536
                         : uchar(header.at(16)) << 8 | uchar(header.at(17));
    const qint64 pages = file.size() / size;
    for (qint64 page = firstPage; page <= std::min<qint64>(lastPage, pages); ++page) {
        file.seek((page - 1) * size);
        file.write(QByteArray(size, char(0x5a)));
    }
}

// Lets a paused server go on after `limit` unless the step ended before: a wait without bound then
// ends with the server's answer (and the step's expectation fails) instead of hanging the test.
class ResumeLater {
public:
    ResumeLater(korvextest::PgCluster &pg, std::chrono::seconds limit)
        : m_thread([this, &pg, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_wake.wait_for(lock, limit, [this] { return m_done; }))
                  pg.pauseServer(false);
          }) {}
    ~ResumeLater() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

TEST_P(ServerTest, ConnectDisconnectAndConnectedAnswerHonestly) {
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    EXPECT_FALSE(factory->connected());
    ExpectServerError(kNotConnected, [&] { factory->newInstance("KX.Windows"); });
    ASSERT_TRUE(factory->connectTo(connectString()));
    EXPECT_TRUE(factory->connected());
    // A second connect on the same factory replaces the connection.
    ASSERT_TRUE(factory->connectTo(connectString()));
    EXPECT_TRUE(factory->connected());
    cacheapi::QueryCursorPtr cursor = factory->openQuery("UpdateVelka.Hauptlief", "Updates");
    cacheapi::QueryCursorPtr reading = factory->openQuery("UpdateVelka.Hauptlief", "Updates");
    reading->execute({});
    ASSERT_TRUE(reading->next());
    cacheapi::ServerObjectPtr user = factory->openId("KX.ParPersEdv", "1||DEMO");
    factory->disconnect();
    EXPECT_FALSE(factory->connected());
    // Whatever outlived the connection fails cleanly.
    ExpectServerError(kNotConnected, [&] { cursor->execute({}); });
    ExpectServerError(kNotConnected, [&] { reading->next(); });
    ExpectServerError(kNotConnected, [&] { user->property("PNAME"); });
    EXPECT_EQ(user->call("SYS_Close").toInt(), 1) << "closing needs no connection";
    reading.reset();
    // Also when the factory itself is gone (the program replaces it on every connection attempt).
    cacheapi::FactoryPtr other = connect();
    cacheapi::QueryCursorPtr orphan = other->openQuery("UpdateVelka.Hauptlief", "Updates");
    orphan->execute({});
    other.reset();
    ExpectServerError(kNotConnected, [&] { orphan->next(); });
    orphan.reset();
    factory->disconnect(); // twice is harmless
    factory->rollbackUnit();
}

TEST_P(ServerTest, MalformedConnectStringsDoNotConnect) {
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    const QString file = sqlite() ? m_file : QStringLiteral("127.0.0.1");
    for (const QString &text :
         {QString(), QStringLiteral("cn_iptcp:[1972]:KORVEX"), QStringLiteral("cn_iptcp:%1[1972]").arg(file),
          QStringLiteral("cn_iptcp:%1[1972]:USER").arg(file), QStringLiteral("%1[1972]:KORVEX").arg(file),
          QStringLiteral("cn_iptcp:%1[x]:KORVEX").arg(file),
          QStringLiteral("cn_iptcp:127.0.0.1 dbname=postgres[5432]:KORVEX"),
          QStringLiteral("cn_iptcp:127.0.0.1[70000]:KORVEX")})
        EXPECT_FALSE(factory->connectTo(text)) << text.toStdString();
    EXPECT_FALSE(factory->connected());
}

TEST_P(ServerTest, BackendGoneMeansNotConnectedAndReconnectWorks) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "3");
    if (sqlite()) {
        // Removed: the open handle would still read the old data, but connected? says no.
        const QByteArray saved = fileContent(m_file);
        ASSERT_TRUE(QFile::remove(m_file));
        EXPECT_FALSE(factory->connected());
        EXPECT_FALSE(MakeSqlFactory()->connectTo(connectString()));
        EXPECT_FALSE(QFileInfo::exists(m_file)) << "a connect must never create the file";
        // Put back (a new file): a reconnect works and sees its data.
        QFile restored(m_file);
        ASSERT_TRUE(restored.open(QIODevice::WriteOnly));
        restored.write(saved);
        restored.close();
        EXPECT_FALSE(factory->connected());
        ASSERT_TRUE(factory->connectTo(connectString()));
        EXPECT_TRUE(factory->connected());
        EXPECT_EQ(rows(*factory, "Updates").size(), 5);

        // Replaced by another KORVEX database under the same name: the old connection is stale.
        const QString other = m_file + QStringLiteral(".other");
        ASSERT_NO_THROW(CreateDemoDatabase(other));
        ASSERT_TRUE(::rename(QFile::encodeName(other).constData(), QFile::encodeName(m_file).constData()) == 0);
        EXPECT_FALSE(factory->connected());
        ASSERT_TRUE(factory->connectTo(connectString()));
        EXPECT_TRUE(factory->connected());
    } else {
        korvextest::PgCluster &pg = cluster();
        // The connection keeps its statements prepared on the server; one that the server ended
        // takes them along, and the connection that replaces it prepares them afresh.
        const QList<QVariantList> before = suppliers(*factory, key, "100001");
        quint64 trips = kxserver::RoundTrips();
        ASSERT_EQ(suppliers(*factory, key, "100001"), before);
        const quint64 keptTrips = kxserver::RoundTrips() - trips;
        ASSERT_TRUE(pg.psql(QStringLiteral("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity"
                                           " WHERE application_name = 'korvex-hauptlief'")))
            << pg.error().toStdString();
        EXPECT_FALSE(factory->connected());
        ASSERT_TRUE(factory->connectTo(connectString()));
        trips = kxserver::RoundTrips();
        EXPECT_EQ(suppliers(*factory, key, "100001"), before);
        EXPECT_GT(kxserver::RoundTrips() - trips, keptTrips) << "prepared again on the new connection";
        EXPECT_EQ(suppliers(*factory, key, "100001"), before);
        // The throwaway cluster commits without waiting for its log (synchronous_commit off), so an
        // immediate stop could lose the list just made; the checkpoint writes it out first.
        ASSERT_TRUE(pg.psql(QStringLiteral("CHECKPOINT"))) << pg.error().toStdString();
        ASSERT_TRUE(pg.stopServer(true)) << pg.error().toStdString();
        EXPECT_FALSE(factory->connected());
        EXPECT_FALSE(MakeSqlFactory()->connectTo(connectString()));
        ASSERT_TRUE(pg.startServer()) << pg.error().toStdString();
        // The server is back, but this connection died with the old one: still not connected.
        EXPECT_FALSE(factory->connected());
        ASSERT_TRUE(factory->connectTo(connectString()));
        EXPECT_TRUE(factory->connected());
    }
    // Everything works again after the reconnect, with a fresh session.
    ExpectServerError(kNoSession, [&] { speichern(*factory, key); });
    session(*factory);
    EXPECT_EQ(listKey(*factory, "3"), key);
    EXPECT_EQ(suppliers(*factory, key, "100001").size(), 4);
    EXPECT_EQ(suppliers(*factory, key, "100001").size(), 4);
    EXPECT_EQ(speichern(*factory, key), 0);
}

TEST_P(ServerTest, MissingOrForeignSqliteFileIsNotReachableAndStaysUntouched) {
    if (!sqlite())
        GTEST_SKIP() << "SQLite files only";
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    const QString dir = korvextest::TempDir();

    const QString missing = dir + QStringLiteral("/missing/korvex.db");
    EXPECT_FALSE(factory->connectTo(SqliteConnectString(missing)));
    EXPECT_FALSE(factory->connectTo(SqliteConnectString(dir + QStringLiteral("/nope.db"))));
    EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("/nope.db")));
    EXPECT_FALSE(factory->connectTo(SqliteConnectString(dir))); // a directory

    const QString text = dir + QStringLiteral("/foreign.txt");
    {
        QFile file(text);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Dies ist keine Datenbank.\n");
    }
    const QString empty = dir + QStringLiteral("/empty.db");
    QFile(empty).open(QIODevice::WriteOnly);
    const QString other = dir + QStringLiteral("/other.db");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign-maker"));
        db.setDatabaseName(other);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QStringLiteral("CREATE TABLE kunden (id INTEGER PRIMARY KEY, name TEXT)"));
        QSqlQuery(db).exec(QStringLiteral("CREATE TABLE korvex_meta (key TEXT, value TEXT)"));
        QSqlQuery(db).exec(QStringLiteral("INSERT INTO korvex_meta VALUES ('schema', 'ANDERES')"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("foreign-maker"));
    for (const QString &path : {text, empty, other}) {
        const QByteArray before = fileContent(path);
        EXPECT_FALSE(factory->connectTo(SqliteConnectString(path))) << path.toStdString();
        EXPECT_FALSE(factory->connected());
        EXPECT_EQ(fileContent(path), before) << "a foreign file must stay as it was: " << path.toStdString();
        EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral("-wal")));
    }
    // A relative path with a slash works like an absolute one.
    const QString relative = QDir::current().relativeFilePath(m_file);
    EXPECT_TRUE(factory->connectTo(
        QStringLiteral("cn_iptcp:%1[1]:KORVEX").arg(relative.contains('/') ? relative : "./" + relative)));
}

TEST_P(ServerTest, UnusableSqliteFileIsReportedInGermanWithoutSql) {
    if (!sqlite())
        GTEST_SKIP() << "SQLite files only";
    // A file the program may not write, or a damaged one, is no server to work with: the connect
    // says why. A fault found later reads in German, the driver's detail on a line of its own.
    struct Case {
        const char *name;
        std::function<QString(const QString &file)> spoil; // returns what to make writable again
        int code;                                          // 0: the connect works
        const char *reason;
    };
    const auto rootPage = [](const QString &file, const QString &table) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("page-finder"));
        db.setDatabaseName(file);
        int page = 0;
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = '%1'").arg(table)) &&
                query.next())
                page = query.value(0).toInt();
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("page-finder"));
        return page;
    };
    const Case cases[] = {
        {"read-only file", [](const QString &file) { return SetReadOnly(file, true) ? file : QString(); },
         kUnusableDatabase, "schreibgeschützt"},
        {"read-only folder",
         [](const QString &file) {
             const QString dir = QFileInfo(file).absolutePath();
             return SetReadOnly(dir, true) ? dir : QString();
         },
         kUnusableDatabase, "schreibgeschützt"},
        {"damaged file",
         [](const QString &file) {
             DamagePages(file, 2, 1 << 20);
             return QString();
         },
         kUnusableDatabase, "beschädigt"},
        {"damaged table read later",
         [&](const QString &file) {
             const int page = rootPage(file, QStringLiteral("upd_artikel"));
             EXPECT_GT(page, 1);
             DamagePages(file, page, page);
             return QString();
         },
         kDatabase, "Die Datenbankdatei ist beschädigt.\n"},
    };
    int number = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString dir = korvextest::TempDir() + QStringLiteral("/unusable-%1").arg(++number);
        ASSERT_TRUE(QDir().mkpath(dir));
        const QString file = dir + QStringLiteral("/korvex.sqlite");
        ASSERT_NO_THROW(CreateDemoDatabase(file));
        const QByteArray before = fileContent(file);
        const QString undo = c.spoil(file);
        const std::shared_ptr<void> restore(nullptr, [&](void *) {
            if (!undo.isEmpty())
                SetReadOnly(undo, false);
        });
        cacheapi::FactoryPtr factory = MakeSqlFactory();
        QString description;
        if (c.code == kUnusableDatabase) {
            ASSERT_TRUE(!QByteArray(c.name).startsWith("read-only") || !undo.isEmpty()) << "cannot make it read-only";
            description = ExpectServerError(c.code, [&] { factory->connectTo(SqliteConnectString(file)); });
            EXPECT_TRUE(description.startsWith(QStringLiteral("Die Datenbankdatei %1 ist nicht verwendbar.").arg(file)))
                << description.toStdString();
            EXPECT_FALSE(factory->connected());
            if (!undo.isEmpty()) {
                EXPECT_EQ(fileContent(file), before) << "a read-only file stays as it was";
            }
        } else {
            ASSERT_TRUE(factory->connectTo(SqliteConnectString(file)));
            session(*factory);
            description = ExpectServerError(c.code, [&] { artListe(*factory, "3"); });
        }
        EXPECT_TRUE(description.contains(QString::fromUtf8(c.reason))) << description.toStdString();
        for (const char *sql : {"SELECT", "UPDATE", "INSERT", "upd_artikel", "artliste"})
            EXPECT_FALSE(description.contains(QLatin1String(sql))) << description.toStdString();
    }
}

TEST_P(ServerTest, UnreachablePostgresServerIsAFalseConnect) {
    if (sqlite())
        GTEST_SKIP() << "PostgreSQL only";
    // A port on loopback where nothing listens: refused at once.
    korvextest::PgCluster &pg = cluster();
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    EXPECT_FALSE(factory->connectTo(QStringLiteral("cn_iptcp:127.0.0.1[1]:KORVEX")));
    // A reachable server whose "korvex" database is not a KORVEX database.
    ASSERT_TRUE(pg.psql("DROP TABLE korvex_meta CASCADE"));
    EXPECT_FALSE(factory->connectTo(connectString()));
    EXPECT_FALSE(factory->connected());
}

TEST_P(ServerTest, PausedPostgresServerBecomesALostConnection) {
    if (sqlite())
        GTEST_SKIP() << "PostgreSQL only";
    korvextest::PgCluster &pg = cluster();
    // Statements get a short limit here (the program waits half a minute); "connected?" keeps its own.
    struct ShortLimits {
        AnswerLimits saved = CurrentAnswerLimits();
        ShortLimits() {
            AnswerLimits limits = saved;
            limits.statement = std::chrono::seconds(3);
            SetAnswerLimits(limits);
        }
        ~ShortLimits() { SetAnswerLimits(saved); }
    } shortLimits;
    cacheapi::FactoryPtr checked = clerk();
    cacheapi::FactoryPtr working = clerk();
    const QString key = listKey(*working, "3");
    const QString entry = entryId(*working, key, "100001", 70006);
    working->beginUnit();
    writeEntry(*working, entry, {{"laktiv", "J"}, {"aendsw", 1}});
    ASSERT_TRUE(checked->connected());
    cacheapi::FactoryPtr neverChecked = MakeSqlFactory(); // its check is not prepared yet
    ASSERT_TRUE(neverChecked->connectTo(connectString()));

    ASSERT_TRUE(pg.pauseServer(true)) << pg.error().toStdString();
    const std::shared_ptr<void> unpause(nullptr, [&](void *) { pg.pauseServer(false); }); // also on failure
    {
        ResumeLater rescue(pg, std::chrono::seconds(20));
        EXPECT_FALSE(checked->connected()) << "a paused server is no connection";
    }
    {
        ResumeLater rescue(pg, std::chrono::seconds(20));
        EXPECT_FALSE(neverChecked->connected()) << "preparing the check waits no longer than the check";
    }
    {
        ResumeLater rescue(pg, std::chrono::seconds(20));
        ExpectServerError(kNotConnected, [&] { suppliers(*working, key, "100002"); });
    }
    EXPECT_FALSE(working->connected());
    ExpectServerError(kNotConnected, [&] { working->commitUnit(); });
    {
        ResumeLater rescue(pg, std::chrono::seconds(20));
        EXPECT_FALSE(MakeSqlFactory()->connectTo(connectString())) << "a paused server takes no connection";
    }
    ASSERT_TRUE(pg.pauseServer(false)) << pg.error().toStdString();

    // The cut connections stay cut; new ones work, and the unit cut off was not stored.
    EXPECT_FALSE(checked->connected());
    ASSERT_TRUE(checked->connectTo(connectString()));
    EXPECT_TRUE(checked->connected());
    session(*checked);
    EXPECT_EQ(suppliers(*checked, key, "100001").size(), 4);
    EXPECT_EQ(rawSql(QStringLiteral("SELECT COUNT(*) FROM liste_aend")), QStringLiteral("0"));
}

TEST_P(ServerTest, EachFactoryHasItsOwnConnectionAndCleansUp) {
    const QStringList before = QSqlDatabase::connectionNames();
    {
        cacheapi::FactoryPtr first = connect();
        cacheapi::FactoryPtr second = connect();
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + 2);
        if (!sqlite()) {
            // The administrator sees the program's connections by name.
            QString count;
            ASSERT_TRUE(
                cluster().psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'korvex-hauptlief'",
                               "postgres", &count));
            EXPECT_EQ(count.trimmed(), "2");
        }
        first->disconnect();
        EXPECT_TRUE(second->connected());
        EXPECT_EQ(rows(*second, "Updates").size(), 5);
    }
    EXPECT_EQ(QSqlDatabase::connectionNames(), before);
}

TEST_P(ServerTest, TextIsQuotedForTheSettingsTheSessionHasNotForThoseAtTheConnect) {
    if (sqlite())
        GTEST_SKIP() << "PostgreSQL only";
    const std::optional<ConnectTarget> target = ParseConnectString(connectString());
    ASSERT_TRUE(target);
    std::shared_ptr<SqlConnection> connection = SqlConnection::open(*target);
    ASSERT_TRUE(connection);
    // Switched after the connect, as a function or trigger run in the session can switch it.
    connection->run(QStringLiteral("SET standard_conforming_strings = off"));
    // Another way in: a plain connection of the tool's kind, for its bulk inserts.
    QSqlDatabase plain = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("quote-probe"));
    const std::shared_ptr<void> removePlain(
        nullptr, [](void *) { QSqlDatabase::removeDatabase(QStringLiteral("quote-probe")); });
    plain.setHostName(cluster().host());
    plain.setPort(cluster().port());
    plain.setDatabaseName(QStringLiteral("korvex"));
    ASSERT_TRUE(plain.open()) << plain.lastError().text().toStdString();
    ASSERT_TRUE(QSqlQuery(plain).exec(QStringLiteral("SET standard_conforming_strings = off")));

    const QString text = QStringLiteral("O'Brien\\'); DELETE FROM korvex_meta; --\\ \\\\ '' \\n Ä");
    const QString insert = QStringLiteral("INSERT INTO korvex_meta (key, value) VALUES (?, ?)");
    const std::function<void(const QString &)> ways[] = {
        [&](const QString &key) {
            connection->run(insert, {key, text});
        },
        [&](const QString &key) {
            connection->runScript({{insert, {key, text}}});
        },
        [&](const QString &key) {
            QSqlQuery prepared = connection->prepare(insert);
            connection->execute(prepared, {key, text});
        },
        [&](const QString &key) {
            BulkInsert batch(plain, QStringLiteral("korvex_meta"), {QStringLiteral("key"), QStringLiteral("value")});
            batch.text(key).text(text).endRow();
            batch.finish();
        },
    };
    int way = 0;
    for (const auto &write : ways) {
        const QString key = QStringLiteral("quote-%1").arg(++way);
        EXPECT_NO_THROW(write(key)) << way;
        EXPECT_EQ(rawSql(QStringLiteral("SELECT value FROM korvex_meta WHERE key = '%1'").arg(key)), text) << way;
    }
    EXPECT_EQ(rawSql(QStringLiteral("SELECT count(*) FROM korvex_meta WHERE key = 'schema'")), "1");
}
