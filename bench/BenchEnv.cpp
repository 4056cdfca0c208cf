#include "BenchEnv.h"

#include "session/CacheApi.h"
#include "DelayProxy.h"
#include "app/FMStart.h"
#include "FakeLoginForms.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerError.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "PgCluster.h"
#include "server/classes/SqlFactory.h"
#include "text/TextHelpers.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>


#include <cstdio>
#include <map>
#include <stdexcept>

namespace bench {

namespace {

QTemporaryDir &temp() {
    static QTemporaryDir dir;
    return dir;
}

[[noreturn]] void fail(const QString &what) {
    std::fprintf(stderr, "benchmark set-up failed: %s\n", qUtf8Printable(what));
    std::exit(2);
}

korvextest::PgCluster &cluster() {
    static korvextest::PgCluster *instance = [] {
        auto *c = new korvextest::PgCluster;
        if (!c->start())
            fail(QStringLiteral("PostgreSQL: ") + c->error());
        c->setClientEnvironment();
        std::atexit([] { delete instance; }); // stops the cluster at the end of the run
        return c;
    }();
    return *instance;
}

struct Program {
    const Database *db = nullptr;
    std::unique_ptr<FakeLoginForms> forms;
    std::unique_ptr<FMStart> window;
};
Program &current() {
    static Program p;
    return p;
}

} // namespace

const char *backendName(Backend backend) {
    switch (backend) {
    case Backend::Sqlite:
        return "SQLite";
    case Backend::Postgres:
        return "PostgreSQL";
    case Backend::PostgresDelayed:
        return "PostgreSQL_1ms";
    }
    return "";
}

QString tempDir() {
    return temp().path();
}

korvextest::PgCluster &pgCluster() {
    return cluster();
}

namespace {
Database &postgresDatabase() {
    static Database postgres;
    return postgres;
}
} // namespace

void postgresReplaced() {
    postgresDatabase().articles = 0;
}

const Database &database(Backend backend, int articles) {
    static std::map<int, Database> files;
    Database &postgres = postgresDatabase();
    if (backend == Backend::PostgresDelayed) {
        const Database &direct = database(Backend::Postgres, articles);
        // Half a millisecond each way: 1 ms per round trip.
        static DelayProxy proxy(direct.pgPort, std::chrono::microseconds(500));
        static Database delayed;
        delayed = direct;
        delayed.backend = backend;
        delayed.port = QString::number(proxy.port());
        delayed.pgPort = proxy.port();
        return delayed;
    }
    if (backend == Backend::Sqlite) {
        Database &db = files[articles];
        if (db.articles == 0) {
            db.backend = backend;
            db.articles = articles;
            db.path = QDir(tempDir()).filePath(QStringLiteral("bench-%1.sqlite").arg(articles));
            db.server = db.path;
            db.port = QStringLiteral("1972");
            try {
                kxserver::CreateDemoDatabase(db.path, articles);
            } catch (const cacheapi::ServerError &e) {
                fail(e.description());
            }
        }
        return db;
    }
    if (postgres.articles != articles) {
        if (current().db && current().db->backend != Backend::Sqlite)
            endProgram();
        korvextest::PgCluster &pg = cluster();
        kxserver::DbTarget target;
        target.backend = kxserver::Backend::Postgres;
        target.host = pg.host();
        target.port = pg.port();
        kxserver::DbContent content;
        content.demo = true;
        content.benchmarkArticles = articles;
        try {
            kxserver::CreateDatabase(target, content, true);
        } catch (const cacheapi::ServerError &e) {
            fail(e.description());
        }
        pg.psql(QStringLiteral("VACUUM ANALYZE"));
        postgres.backend = backend;
        postgres.articles = articles;
        postgres.server = pg.host();
        postgres.port = QString::number(pg.port());
        postgres.pgPort = pg.port();
    }
    return postgres;
}

QSqlDatabase floorConnection(const Database &db) {
    const QString name = QStringLiteral("bench-floor-%1-%2").arg(backendName(db.backend)).arg(db.articles);
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase existing = QSqlDatabase::database(name);
        if (existing.isOpen())
            return existing;
        QSqlDatabase::removeDatabase(name);
    }
    QSqlDatabase sql;
    if (db.backend == Backend::Sqlite) {
        sql = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        sql.setDatabaseName(db.path);
    } else {
        sql = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        sql.setHostName(db.server);
        sql.setPort(db.pgPort);
        sql.setDatabaseName(QStringLiteral("korvex"));
        sql.setUserName(QStringLiteral("postgres"));
    }
    if (!sql.open())
        fail(sql.lastError().text());
    return sql;
}

FMStart &program(const Database &db) {
    Program &p = current();
    if (p.window && p.db == &db)
        return *p.window;
    endProgram();
    cacheapi::ResetSession();
    cacheapi::gDesktop = &desktop();
    p.forms = std::make_unique<FakeLoginForms>();
    cacheapi::gForms = p.forms.get();
    cacheapi::gFactoryMaker = MakeSqlFactory;
    cacheapi::SetProgramArguments(programArguments(db));
    p.window = std::make_unique<FMStart>();
    p.db = &db;
    cacheapi::RunHandler([&p] { p.window->Form_Load(); });
    if (!p.window->isVisible())
        fail(QStringLiteral("the main window did not come up"));
    QCoreApplication::processEvents();
    return *p.window;
}

void endProgram() {
    Program &p = current();
    if (!p.window)
        return;
    p.window.reset();
    if (!cacheapi::ProgramEnded())
        cacheapi::Disconnect();
    cacheapi::ResetSession();
    cacheapi::gForms = nullptr;
    p.forms.reset();
    p.db = nullptr;
}

void loadBenchmarkUpdate(FMStart &window) {
    KxCombo *combo = window.liupdate;
    for (int row = 0; row < combo->rowCount(); ++row) {
        if (cacheapi::Piece(combo->rowText(row), QStringLiteral("\n"), 1) == QString::number(kxserver::kBenchmarkRun)) {
            combo->setCurrentRow(row);
            cacheapi::RunHandler([&window] { window.Timer1_Timer(); });
            return;
        }
    }
    fail(QStringLiteral("update 99 is not in the combo"));
}

int articleRow(FMStart &window, const QString &artnr) {
    for (int row = 0; row < window.liart->rowCount(); ++row)
        if (cacheapi::Piece(window.liart->rowText(row), QStringLiteral("\n"), 1) == artnr)
            return row;
    return -1;
}

QString articleWithSuppliers(const Database &db, int suppliers) {
    QSqlQuery query(floorConnection(db));
    query.prepare(QStringLiteral("SELECT u.artnr FROM upd_artikel u JOIN upd_run r ON r.id = u.run"
                                 " JOIN artlief al ON al.artikel = u.artikel WHERE r.firma = 1 AND r.nr = ?"
                                 " GROUP BY u.artnr HAVING COUNT(*) = ? ORDER BY u.artnr"));
    query.addBindValue(kxserver::kBenchmarkRun);
    query.addBindValue(suppliers);
    if (!query.exec() || !query.next())
        fail(QStringLiteral("no article with %1 suppliers").arg(suppliers));
    return query.value(0).toString();
}

cacheapi::Desktop::Answer BenchDesktop::messageBox(const QString &title, const QString &text, Buttons buttons, Icon) {
    ++boxes;
    std::fprintf(stderr, "message box during a benchmark: %s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
    return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
}

BenchDesktop &desktop() {
    static BenchDesktop d;
    return d;
}

QStringList programArguments(const Database &db) {
    return {QStringLiteral("1"),     QStringLiteral("0"), QStringLiteral("DEMO"),
            QStringLiteral("demo"),  db.server,           db.port,
            QStringLiteral("KORVEX")};
}

namespace {

// This process's own peak resident memory since its program started. getrusage's ru_maxrss is not:
// Linux carries the peak of the forked copy of the parent over the exec, so a probe started by a
// benchmark that had grown to 200 MB reported 200 MB whatever it used itself.
long ownPeakKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int memoryProbe(const QString &server, const QString &port) {
    Database db;
    db.server = server;
    db.port = port;
    FMStart &window = program(db);
    loadBenchmarkUpdate(window);
    QCoreApplication::processEvents();
    window.repaint();
    if (window.liart->rowCount() == 0)
        return 1;
    std::printf("articles %d\nmaxrss_kb %ld\n", window.liart->rowCount(), ownPeakKb());
    std::fflush(stdout);
    endProgram();
    return 0;
}

} // namespace bench
