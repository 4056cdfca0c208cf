// Importing a merchant's article-supplier pairs: 1,000,000 generated "artlief" rows through the real
// korvex-db (a child process, so that its peak memory is its own), beside the fastest bare path of
// each backend for the same rows: one prepared multi-row insert on SQLite, COPY on PostgreSQL. And
// one supplier's DATANORM delivery of 1,000,000 article records, every one matching a pair, beside
// the same prices written by the backend's fastest bare path.

#include "Benchmarks.h"

#include "server/db/BulkInsert.h"
#include "server/admin/KorvexDb.h"
#include "PgCluster.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <functional>

namespace bench {

namespace {

constexpr int kSuppliers = 20;
constexpr int kArticles = 200000;
constexpr int kPairsPerArticle = 5; // 1,000,000 pairs

// Article a (0-based) with supplier s (1-based): the values of the generated row.
qint64 cents(int a, int s) {
    return 100 + (a * 7919 + s * 104729) % 99900;
}

// The generated files, written once per run; the pairs are streamed out, never held.
struct Files {
    QString artlief;
};
const Files &files() {
    static Files f = [] {
        Files out;
        const QString dir = tempDir();
        out.artlief = dir + QStringLiteral("/bench-artlief.csv");
        QFile al(out.artlief);
        al.open(QIODevice::WriteOnly);
        al.write("Artikel-Nr;Lieferant-Nr;EK-Netto;per;Letzter Einkauf;Aktiv\r\n");
        for (int i = 0; i < kArticles; ++i) {
            QByteArray rows;
            for (int s = 1; s <= kPairsPerArticle; ++s) {
                const qint64 c = cents(i, s);
                rows += QStringLiteral("%1;%2;%3,%4;Sack;01.02.2024;J\r\n")
                            .arg(1000000 + i)
                            .arg(70000 + s)
                            .arg(c / 100)
                            .arg(c % 100, 2, 10, QLatin1Char('0'))
                            .toUtf8();
            }
            al.write(rows);
        }
        return out;
    }();
    return f;
}

// An empty database holding the suppliers and articles, imported by the tool itself.
QStringList target(Backend backend) {
    if (backend == Backend::Sqlite)
        return {tempDir() + QStringLiteral("/bench-import.sqlite")};
    return {QStringLiteral("--pg"), QStringLiteral("127.0.0.1:%1").arg(pgCluster().port())};
}

// The largest peak resident memory of the importing tool's own processes so far: VmHWM of each
// import's /proc status, read while it runs (its memory is gone once it has exited). wait4's
// ru_maxrss would not do: Linux carries the peak of the spawning benchmark's memory over the exec.
long gImportMaxRssKb = 0;

long peakKbOf(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

bool runTool(const QStringList &arguments, QString *error, bool isImport = false) {
    const QByteArray program = QByteArrayLiteral(KORVEX_DB_EXE);
    std::vector<QByteArray> texts{program};
    for (const QString &argument : arguments)
        texts.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    const QByteArray errors = (tempDir() + QStringLiteral("/import-stderr.txt")).toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error =
            QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(program), QString::fromLocal8Bit(strerror(spawned)));
        return false;
    }
    int status = 0;
    long peakKb = 0;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, isImport ? WNOHANG : 0);
        if (ended == pid || (ended < 0 && errno != EINTR))
            break;
        if (ended == 0) { // still running: its peak so far, then a short wait
            peakKb = std::max(peakKb, peakKbOf(pid));
            usleep(5000);
        }
    }
    if (isImport)
        gImportMaxRssKb = std::max(gImportMaxRssKb, peakKb);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        QFile file(QString::fromLocal8Bit(errors));
        file.open(QIODevice::ReadOnly);
        *error = QString::fromLocal8Bit(file.readAll());
        return false;
    }
    return true;
}

QSqlDatabase open(Backend backend);

// The benchmark database replaced by an empty one, as the tool makes it, and opened in `db`.
bool emptyDatabase(Backend backend, QSqlDatabase *db, QString *error) {
    endProgram(); // the database is replaced below
    if (backend != Backend::Sqlite)
        postgresReplaced();
    if (!runTool(target(backend) + QStringList{QStringLiteral("--force")}, error))
        return false;
    *db = open(backend);
    return true;
}

// An empty database with the suppliers and articles the pairs name (ids from 1 in number order),
// put in by bare SQL: only the pairs are timed.
bool prepare(Backend backend, QString *error) {
    (void)files();
    QSqlDatabase db;
    if (!emptyDatabase(backend, &db, error))
        return false;
    try {
        QSqlQuery(db).exec(QStringLiteral("BEGIN"));
        kxserver::BulkInsert suppliers(db, QStringLiteral("lieferant"), {"id", "firma", "liefnr", "name"});
        for (int s = 1; s <= kSuppliers; ++s)
            suppliers.number(s).number(1).number(70000 + s).text(QStringLiteral("Gro~handel %1 GmbH").arg(s)).endRow();
        suppliers.finish();
        kxserver::BulkInsert articles(db, QStringLiteral("artikel"), {"id", "firma", "artnr", "bez"});
        for (int i = 0; i < kArticles; ++i)
            articles.number(i + 1)
                .number(1)
                .text(QString::number(1000000 + i))
                .text(QStringLiteral("Artikel %1 Zement 25 kg Sack").arg(i))
                .endRow();
        articles.finish();
        QSqlQuery(db).exec(QStringLiteral("COMMIT"));
    } catch (const std::exception &e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

QSqlDatabase open(Backend backend) {
    const QString name = QStringLiteral("bench-import-%1").arg(backendName(backend));
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
    QSqlDatabase db;
    if (backend == Backend::Sqlite) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(target(backend).front());
    } else {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(pgCluster().port());
        db.setDatabaseName(QStringLiteral("korvex"));
    }
    db.open();
    return db;
}

// The bare path: ids as the import gives them (suppliers and articles numbered from 1 in file order).
QString floorInsert(Backend backend) {
    QSqlDatabase db = open(backend);
    if (!db.isOpen())
        return db.lastError().text();
    QSqlQuery(db).exec(QStringLiteral("BEGIN"));
    if (backend == Backend::Sqlite) {
        try {
            kxserver::BulkInsert insert(db, QStringLiteral("artlief"),
                                        {"id", "artikel", "lieferant", "ek_cent", "pe", "le_einkauf", "aktiv"});
            qint64 id = 1;
            for (int i = 0; i < kArticles; ++i)
                for (int s = 1; s <= kPairsPerArticle; ++s)
                    insert.number(id++)
                        .number(i + 1)
                        .number(s)
                        .number(cents(i, s))
                        .text(QStringLiteral("Sack"))
                        .text(QStringLiteral("2024-02-01"))
                        .text(QStringLiteral("J"))
                        .endRow();
            insert.finish();
        } catch (const std::exception &e) {
            return QString::fromUtf8(e.what());
        }
    } else {
        const QVariant handle = db.driver()->handle();
        PGconn *pg = handle.isValid() ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
        PGresult *start =
            PQexec(pg, "COPY artlief (id, artikel, lieferant, ek_cent, pe, le_einkauf, aktiv) FROM STDIN");
        const bool copying = PQresultStatus(start) == PGRES_COPY_IN;
        PQclear(start);
        if (!copying)
            return QString::fromUtf8(PQerrorMessage(pg));
        QByteArray chunk;
        qint64 id = 1;
        for (int i = 0; i < kArticles; ++i) {
            for (int s = 1; s <= kPairsPerArticle; ++s)
                chunk += QByteArray::number(id++) + '\t' + QByteArray::number(i + 1) + '\t' + QByteArray::number(s) +
                         '\t' + QByteArray::number(cents(i, s)) + "\tSack\t2024-02-01\tJ\n";
            if (chunk.size() > (1 << 20) || i + 1 == kArticles) {
                PQputCopyData(pg, chunk.constData(), int(chunk.size()));
                chunk.clear();
            }
        }
        PQputCopyEnd(pg, nullptr);
        PGresult *end = PQgetResult(pg);
        const bool ok = PQresultStatus(end) == PGRES_COMMAND_OK;
        PQclear(end);
        while (PGresult *rest = PQgetResult(pg))
            PQclear(rest);
        if (!ok)
            return QString::fromUtf8(PQerrorMessage(pg));
    }
    if (!QSqlQuery(db).exec(QStringLiteral("COMMIT")))
        return db.lastError().text();
    return QString();
}

// Times `import` per iteration on a database prepared afresh beforehand; false after an error
// (prepare's or the import's), which ends the figure.
bool timeImports(benchmark::State &state, Backend backend, const std::function<bool(QString *error)> &import) {
    QString error;
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = prepare(backend, &error);
        if (ok) {
            state.ResumeTiming();
            ok = import(&error);
        }
        if (!ok) {
            state.SkipWithError(error.toUtf8().constData());
            return false;
        }
    }
    return true;
}

// The delivery: 1,000,000 "A" records of supplier 70001, each the supplier's number of one pair;
// every other one a net price, the others list prices of discount group G1 (20 % in DATANORM.RAB).
constexpr int kCatalogPairs = 1000000;

qint64 newCents(int i) {
    return 150 + (qint64(i) * 7919) % 99900;
}
qint64 netCents(int i) {
    return i % 2 == 0 ? newCents(i) : (newCents(i) * 8000 + 5000) / 10000;
}

struct Delivery {
    QString articles;
    QString discounts;
};
const Delivery &delivery() {
    static Delivery d = [] {
        Delivery out;
        out.articles = tempDir() + QStringLiteral("/DATANORM.001");
        out.discounts = tempDir() + QStringLiteral("/DATANORM.RAB");
        QFile rab(out.discounts);
        rab.open(QIODevice::WriteOnly);
        rab.write("V;050;A;20240201;EUR;Bench;\r\nR;;G1;1;2000;Gruppe 1;\r\n");
        std::string text = "V;050;A;20240201;EUR;Bench;\r\n";
        char line[128];
        for (int i = 0; i < kCatalogPairs; ++i) {
            const int length =
                i % 2 == 0 ? std::snprintf(line, sizeof line, "A;A;D%d;Artikel %d;;STK;2;1;%lld;;;;;;;;;;;\r\n", i, i,
                                           static_cast<long long>(newCents(i)))
                           : std::snprintf(line, sizeof line, "A;A;D%d;Artikel %d;;STK;1;1;%lld;G1;;;;;;;;;;\r\n", i,
                                           i, static_cast<long long>(newCents(i)));
            text.append(line, size_t(length));
        }
        text += '\x1a';
        QFile file(out.articles);
        file.open(QIODevice::WriteOnly);
        file.write(text.data(), qint64(text.size()));
        return out;
    }();
    return d;
}

// An empty database with supplier 70001 and its 1,000,000 pairs, each with its catalog number, by
// bare SQL; only the delivery is timed.
bool prepareCatalog(Backend backend, QString *error) {
    (void)delivery();
    QSqlDatabase db;
    if (!emptyDatabase(backend, &db, error))
        return false;
    try {
        QSqlQuery(db).exec(QStringLiteral("BEGIN"));
        kxserver::BulkInsert supplier(db, QStringLiteral("lieferant"), {"id", "firma", "liefnr", "name"});
        supplier.number(1).number(1).number(70001).text(QStringLiteral("Katalog GmbH")).endRow();
        supplier.finish();
        kxserver::BulkInsert articles(db, QStringLiteral("artikel"), {"id", "firma", "artnr", "bez"});
        for (int i = 0; i < kCatalogPairs; ++i)
            articles.number(i + 1).number(1).text(QString::number(1000000 + i)).text(QStringLiteral("Artikel")).endRow();
        articles.finish();
        kxserver::BulkInsert pairs(db, QStringLiteral("artlief"),
                                   {"id", "artikel", "lieferant", "ek_cent", "pe", "aktiv", "lief_artnr"});
        for (int i = 0; i < kCatalogPairs; ++i)
            pairs.number(i + 1).number(i + 1).number(1).number(100).text(QStringLiteral("Sack")).text(QStringLiteral("J"))
                .text(QStringLiteral("D%1").arg(i)).endRow();
        pairs.finish();
        QSqlQuery(db).exec(QStringLiteral("COMMIT"));
        if (backend != Backend::Sqlite)
            QSqlQuery(db).exec(QStringLiteral("ANALYZE"));
    } catch (const std::exception &e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

// The bare path of the same prices: SQLite's own prepared UPDATE by key, bound and stepped per row;
// on PostgreSQL COPY into a temporary table and one UPDATE joined to it.
QString floorPrices(Backend backend) {
    QSqlDatabase db = open(backend);
    if (!db.isOpen())
        return db.lastError().text();
    const QVariant handle = db.driver()->handle();
    if (backend == Backend::Sqlite) {
        sqlite3 *lite = handle.isValid() ? *static_cast<sqlite3 *const *>(handle.constData()) : nullptr;
        sqlite3_exec(lite, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt *update = nullptr;
        sqlite3_prepare_v2(lite, "UPDATE artlief SET ek_cent = ?, pe = ? WHERE id = ?", -1, &update, nullptr);
        for (int i = 0; i < kCatalogPairs; ++i) {
            sqlite3_bind_int64(update, 1, netCents(i));
            sqlite3_bind_text(update, 2, "1 Stk", -1, SQLITE_STATIC);
            sqlite3_bind_int64(update, 3, i + 1);
            if (sqlite3_step(update) != SQLITE_DONE)
                return QString::fromUtf8(sqlite3_errmsg(lite));
            sqlite3_reset(update);
        }
        sqlite3_finalize(update);
        sqlite3_exec(lite, "COMMIT", nullptr, nullptr, nullptr);
        return QString();
    }
    PGconn *pg = handle.isValid() ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
    PQclear(PQexec(pg, "BEGIN"));
    PQclear(PQexec(pg, "CREATE TEMP TABLE n (id bigint, ek bigint, pe text) ON COMMIT DROP"));
    PGresult *start = PQexec(pg, "COPY n FROM STDIN");
    const bool copying = PQresultStatus(start) == PGRES_COPY_IN;
    PQclear(start);
    if (!copying)
        return QString::fromUtf8(PQerrorMessage(pg));
    QByteArray chunk;
    for (int i = 0; i < kCatalogPairs; ++i) {
        chunk += QByteArray::number(i + 1) + '\t' + QByteArray::number(netCents(i)) + "\t1 Stk\n";
        if (chunk.size() > (1 << 20) || i + 1 == kCatalogPairs) {
            PQputCopyData(pg, chunk.constData(), int(chunk.size()));
            chunk.clear();
        }
    }
    PQputCopyEnd(pg, nullptr);
    while (PGresult *rest = PQgetResult(pg))
        PQclear(rest);
    PGresult *update = PQexec(pg, "UPDATE artlief al SET ek_cent = n.ek, pe = n.pe FROM n WHERE al.id = n.id");
    const bool ok = PQresultStatus(update) == PGRES_COMMAND_OK;
    PQclear(update);
    if (!ok)
        return QString::fromUtf8(PQerrorMessage(pg));
    PQclear(PQexec(pg, "COMMIT"));
    return QString();
}

} // namespace

void ImportDatanorm(benchmark::State &state, Backend backend) {
    for (auto _ : state) {
        state.PauseTiming();
        QString error;
        bool ok = prepareCatalog(backend, &error);
        state.ResumeTiming();
        ok = ok && runTool(QStringList{QStringLiteral("datanorm")} + target(backend) +
                               QStringList{QStringLiteral("--lieferant"), QStringLiteral("70001"),
                                           delivery().articles, delivery().discounts},
                           &error, true);
        if (!ok) {
            state.SkipWithError(error.toUtf8().constData());
            return;
        }
    }
    state.counters["records_per_s"] =
        benchmark::Counter(double(kCatalogPairs) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["max_rss_MB"] = double(gImportMaxRssKb) / 1024.0;
}

void ImportDatanormFloor(benchmark::State &state, Backend backend) {
    for (auto _ : state) {
        state.PauseTiming();
        QString error;
        bool ok = prepareCatalog(backend, &error);
        state.ResumeTiming();
        if (ok)
            error = floorPrices(backend);
        if (!ok || !error.isEmpty()) {
            state.SkipWithError(error.toUtf8().constData());
            return;
        }
    }
}

void ImportArtlief(benchmark::State &state, Backend backend) {
    const bool imported = timeImports(state, backend, [backend](QString *error) {
        return runTool(QStringList{QStringLiteral("import")} + target(backend) +
                           QStringList{QStringLiteral("artlief=") + files().artlief},
                       error, true);
    });
    if (!imported)
        return;
    state.counters["rows_per_s"] =
        benchmark::Counter(double(kArticles) * kPairsPerArticle * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["max_rss_MB"] = double(gImportMaxRssKb) / 1024.0;
}

void ImportArtliefFloor(benchmark::State &state, Backend backend) {
    timeImports(state, backend, [backend](QString *error) {
        *error = floorInsert(backend);
        return error->isEmpty();
    });
}

} // namespace bench
