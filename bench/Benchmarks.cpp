// The figures of the program that a clerk feels, each beside its floor: the same rows read (or
// written) by a bare SQL query on a connection of its own, in the same run.

#include "Benchmarks.h"

#include "BenchEnv.h"
#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "server/admin/KorvexDb.h"
#include "app/controls/KxList.h"
#include "server/db/SqlConnection.h"
#include "text/TextHelpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlQuery>
#include <QVariant>

#include <chrono>
#include <cstdio>

namespace bench {

namespace {

constexpr int kHauptlieferant = 6;
constexpr int kAktiv = 5;

void check(benchmark::State &state, bool ok, const char *what) {
    if (!ok)
        state.SkipWithError(what);
}

// One bare read for a floor: the query with its one parameter, every value of every row as text.
// Prepared once, outside the timed loop, as a hand-written client would: each read is then one
// request (Qt's PostgreSQL driver would otherwise send PREPARE and DEALLOCATE around every one).
class FloorRead {
public:
    FloorRead(QSqlDatabase &sql, const QString &statement, int columns) : m_query(sql), m_columns(columns) {
        m_query.setForwardOnly(true);
        m_query.prepare(statement);
    }
    qint64 operator()(const QVariant &parameter) {
        m_query.bindValue(0, parameter);
        m_query.exec();
        qint64 rows = 0;
        while (m_query.next()) {
            ++rows;
            for (int c = 0; c < m_columns; ++c)
                benchmark::DoNotOptimize(m_query.value(c).toString());
        }
        return rows;
    }

private:
    QSqlQuery m_query;
    int m_columns;
};

// The floor's supplier list of an article (by its number): the rows lief_such shows.
const QString kSupplierRows =
    QStringLiteral("SELECT al.id, f.liefnr, f.name, al.ek_cent, al.pe, al.le_einkauf, al.aktiv"
                   " FROM artikel a JOIN artlief al ON al.artikel = a.id"
                   " JOIN lieferant f ON f.id = al.lieferant"
                   " WHERE a.firma = 1 AND a.artnr = ? ORDER BY f.liefnr");
constexpr int kSupplierColumns = 7;

// The row of the article with `suppliers` suppliers in the benchmark update, loaded once per window.
int loadedArticleRow(FMStart &window, const Database &db, int suppliers) {
    if (window.liart->rowCount() == 0)
        loadBenchmarkUpdate(window);
    return articleRow(window, articleWithSuppliers(db, suppliers));
}

// The requests to the server per iteration since `since`, printed beside the figure.
void roundTrips(benchmark::State &state, quint64 since) {
    state.counters["round_trips"] =
        state.iterations() ? double(kxserver::RoundTrips() - since) / double(state.iterations()) : 0.0;
}

} // namespace

// ---- Article list ---------------------------------------------------------------------------

void ArticleList(benchmark::State &state, Backend backend, int articles) {
    const Database &db = database(backend, articles);
    FMStart &window = program(db);
    const quint64 trips = kxserver::RoundTrips();
    for (auto _ : state) {
        loadBenchmarkUpdate(window);
        // The rows reach the view on the next turn of the event loop; that belongs to the load.
        QCoreApplication::processEvents();
    }
    roundTrips(state, trips);
    check(state, window.liart->rowCount() == articles, "wrong number of articles");
    state.counters["rows"] = window.liart->rowCount();
}

void ArticleListFloor(benchmark::State &state, Backend backend, int articles) {
    const Database &db = database(backend, articles);
    QSqlDatabase sql = floorConnection(db);
    qint64 rows = 0;
    const QString statement = QStringLiteral("SELECT u.artnr, a.bez, h.liefnr, h.name, v.liefnr, v.name"
                                             " FROM upd_run r JOIN upd_artikel u ON u.run = r.id"
                                             " JOIN artikel a ON a.id = u.artikel"
                                             " LEFT JOIN lieferant h ON h.id = a.haupt_lief"
                                             " LEFT JOIN lieferant v ON v.id = u.velka_lief"
                                             " WHERE r.firma = 1 AND r.nr = ? ORDER BY u.artnr");
    FloorRead read(sql, statement, 6);
    for (auto _ : state)
        rows = read(kxserver::kBenchmarkRun);
    check(state, rows == articles, "wrong number of rows");
    state.counters["rows"] = double(rows);
}

// ---- Supplier list of an article ------------------------------------------------------------

void LiefSuch(benchmark::State &state, Backend backend, int suppliers) {
    const Database &db = database(backend, 100000);
    FMStart &window = program(db);
    window.liart->setCurrentRow(loadedArticleRow(window, db, suppliers));
    const quint64 trips = kxserver::RoundTrips();
    for (auto _ : state)
        cacheapi::RunHandler([&window] { window.lief_such(); });
    roundTrips(state, trips);
    check(state, window.lilief->rowCount() == suppliers, "wrong number of suppliers");
}

void LiefSuchFloor(benchmark::State &state, Backend backend, int suppliers) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const QString artnr = articleWithSuppliers(db, suppliers);
    qint64 rows = 0;
    FloorRead read(sql, kSupplierRows, kSupplierColumns);
    for (auto _ : state)
        rows = read(artnr);
    check(state, rows == suppliers, "wrong number of rows");
}

// ---- Main-supplier change -------------------------------------------------------------------

// The clerk ticks "Hauptlieferant" of another active supplier: every entry of the article is written
// in one unit, then the list moves on to the next article (part of the handler, so part of the
// figure). Moving back to the article between two changes is not timed.
void MainSupplierChange(benchmark::State &state, Backend backend, int suppliers) {
    const Database &db = database(backend, 100000);
    FMStart &window = program(db);
    const int article = loadedArticleRow(window, db, suppliers);
    const int boxesBefore = desktop().boxes;
    quint64 clickTrips = 0;
    for (auto _ : state) {
        window.liart->setCurrentRow(article);
        cacheapi::RunHandler([&window] { window.lief_such(); });
        KxList *list = window.lilief;
        int target = -1;
        for (int i = 0; i < list->rowCount() && target < 0; ++i)
            if (list->checkState(i, kHauptlieferant) == 0 && list->checkState(i, kAktiv) == 1)
                target = i;
        if (target < 0) {
            state.SkipWithError("no active supplier to make the main one");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        const quint64 trips = kxserver::RoundTrips();
        list->setCheckState(target, kHauptlieferant, 1); // the click's new state, then its handler
        cacheapi::RunHandler([&window, target] { window.lilief_CheckCell(target, kHauptlieferant, 1); });
        clickTrips += kxserver::RoundTrips() - trips;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    // The click and the supplier list of the next article it moves on to, connection checks included.
    state.counters["round_trips"] = state.iterations() ? double(clickTrips) / double(state.iterations()) : 0.0;
    check(state, desktop().boxes == boxesBefore, "the change was refused");
    check(state, !cacheapi::ProgramEnded(), "the program ended");
}

// The clerk switches "Aktiv" of a supplier that is not the main one, off and on in turn: one entry
// written in the click's unit; the list stays on the article.
void AktivSwitch(benchmark::State &state, Backend backend, int suppliers) {
    const Database &db = database(backend, 100000);
    FMStart &window = program(db);
    window.liart->setCurrentRow(loadedArticleRow(window, db, suppliers));
    cacheapi::RunHandler([&window] { window.lief_such(); });
    KxList *list = window.lilief;
    int target = -1;
    for (int i = 0; i < list->rowCount() && target < 0; ++i)
        if (list->checkState(i, kHauptlieferant) == 0)
            target = i;
    if (target < 0) {
        state.SkipWithError("the article has no supplier besides the main one");
        return;
    }
    const int boxesBefore = desktop().boxes;
    const quint64 trips = kxserver::RoundTrips();
    for (auto _ : state) {
        const int switched = list->checkState(target, kAktiv) > 0 ? 0 : 1;
        list->setCheckState(target, kAktiv, switched);
        cacheapi::RunHandler([&window, target, switched] { window.lilief_CheckCell(target, kAktiv, switched); });
    }
    roundTrips(state, trips);
    check(state, desktop().boxes == boxesBefore, "the change was refused");
    check(state, !cacheapi::ProgramEnded(), "the program ended");
}

void MainSupplierChangeFloor(benchmark::State &state, Backend backend, int suppliers) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const QString artnr = articleWithSuppliers(db, suppliers);
    QSqlQuery find(sql);
    find.prepare(QStringLiteral("SELECT l.id, a.id, al.id, al.lieferant FROM artliste l"
                                " JOIN upd_run r ON r.id = l.run JOIN upd_artikel u ON u.run = r.id AND u.artnr = ?"
                                " JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                                " WHERE r.firma = 1 AND r.nr = ? ORDER BY al.id"));
    find.addBindValue(artnr);
    find.addBindValue(kxserver::kBenchmarkRun);
    find.exec();
    struct Entry {
        qint64 list, article, pair, supplier;
    };
    std::vector<Entry> entries;
    while (find.next())
        entries.push_back({find.value(0).toLongLong(), find.value(1).toLongLong(), find.value(2).toLongLong(),
                           find.value(3).toLongLong()});
    if (entries.empty()) {
        state.SkipWithError("the article list of update 99 was not prepared");
        return;
    }
    // The click moves on to the next article of the list and reads its suppliers: so does the floor.
    QSqlQuery following(sql);
    following.prepare(QStringLiteral("SELECT u.artnr FROM upd_artikel u JOIN upd_run r ON r.id = u.run"
                                     " WHERE r.firma = 1 AND r.nr = ? AND u.artnr > ? ORDER BY u.artnr LIMIT 1"));
    following.addBindValue(kxserver::kBenchmarkRun);
    following.addBindValue(artnr);
    if (!following.exec() || !following.next()) {
        state.SkipWithError("the article has no next one in update 99");
        return;
    }
    const QString next = following.value(0).toString();
    FloorRead readNext(sql, kSupplierRows, kSupplierColumns);
    // The same rows the change writes: one entry per supplier and the article's main supplier.
    QSqlQuery write(sql);
    write.prepare(QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw)"
                                 " VALUES (?, ?, ?, ?, 1) ON CONFLICT (liste, artlief)"
                                 " DO UPDATE SET hlief = excluded.hlief, aendsw = 1"));
    QSqlQuery haupt(sql);
    haupt.prepare(QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (?, ?, ?)"
                                 " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief"));
    size_t main = 0;
    qint64 nextRows = 0;
    for (auto _ : state) {
        main = (main + 1) % entries.size();
        sql.transaction();
        for (size_t i = 0; i < entries.size(); ++i) {
            write.bindValue(0, entries[i].list);
            write.bindValue(1, entries[i].pair);
            write.bindValue(2, entries[i].article);
            write.bindValue(3, i == main ? QStringLiteral("J") : QStringLiteral("N"));
            write.exec();
        }
        haupt.bindValue(0, entries[main].list);
        haupt.bindValue(1, entries[main].article);
        haupt.bindValue(2, entries[main].supplier);
        haupt.exec();
        sql.commit();
        nextRows = readNext(next);
    }
    check(state, nextRows > 0, "the next article has no suppliers");
}

// ---- Start-up and memory --------------------------------------------------------------------

// The real program from its start to the shown main window (it reports that on stdout and closes).
void StartUp(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    endProgram(); // the figure is a second program's; this one keeps no connection meanwhile
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KORVEX_AUTOTEST_QUIT_AFTER_SHOW"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), tempDir() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), tempDir() + QStringLiteral("/data"));
    for (auto _ : state) {
        QProcess process;
        process.setProcessEnvironment(env);
        const auto start = std::chrono::steady_clock::now();
        process.start(QStringLiteral(KORVEX_HAUPTLIEF_EXE), programArguments(db));
        QByteArray out;
        while (!out.contains("FMStart shown") && process.waitForReadyRead(20000))
            out += process.readAllStandardOutput();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        process.waitForFinished(20000);
        if (!out.contains("FMStart shown")) {
            state.SkipWithError("the main window did not come up");
            break;
        }
    }
}

// The in-process part of the start-up: login, caption, update combo, shown.
void FormLoad(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    for (auto _ : state) {
        endProgram();
        program(db);
    }
}

// Peak memory of a program that loaded update 99 with 100,000 articles: a child process of its own,
// so that nothing else of this run counts.
void PeakMemory(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    endProgram();
    double kb = 0;
    for (auto _ : state) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--memory-probe"), db.server, db.port});
        process.waitForFinished(120000);
        const QByteArray out = process.readAllStandardOutput();
        const qsizetype at = out.indexOf("maxrss_kb ");
        if (process.exitCode() != 0 || at < 0) {
            state.SkipWithError("the memory probe failed");
            std::fprintf(stderr, "%s%s\n", out.constData(), process.readAllStandardError().constData());
            break;
        }
        kb = out.mid(at + 10).trimmed().toDouble();
        if (kb <= 0) {
            state.SkipWithError("the memory probe could not read its peak");
            break;
        }
    }
    state.counters["max_rss_MB"] = kb / 1024.0;
}

} // namespace bench
