// The review aids on the benchmark update of 100,000 articles: all proposals taken at once beside
// the same rows written by bare SQL, and the switch of "Nur abweichende Artikel".

#include "Benchmarks.h"

#include "BenchEnv.h"
#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "server/admin/KorvexDb.h"
#include "app/controls/KxList.h"
#include "app/LiveView.h"
#include "server/db/SqlConnection.h"

#include <QAction>
#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <chrono>

namespace bench {

namespace {

constexpr int kDiffering = 20000;

// The run's list and the articles of update 99 whose proposal differs from their main supplier.
const char *const kDifferingSql = "SELECT u.artnr FROM upd_run r JOIN upd_artikel u ON u.run = r.id"
                                  " JOIN artikel a ON a.id = u.artikel WHERE r.firma = 1 AND r.nr = ?"
                                  " AND u.velka_lief IS NOT NULL AND u.velka_lief <> COALESCE(a.haupt_lief, -1)"
                                  " ORDER BY u.artnr";

bool exec(QSqlDatabase &sql, const QString &statement, const QVariantList &values = {}) {
    QSqlQuery query(sql);
    query.prepare(statement);
    for (const QVariant &v : values)
        query.addBindValue(v);
    if (!query.exec()) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(statement), qUtf8Printable(query.lastError().text()));
        return false;
    }
    return true;
}

// Leaves exactly kDiffering differing articles in update 99 (the others propose their own main
// supplier), so both backends and every run take the same amount. Returns how many differ.
int keepDiffering(QSqlDatabase &sql) {
    QSqlQuery query(sql);
    query.prepare(QString::fromLatin1(kDifferingSql));
    query.addBindValue(kxserver::kBenchmarkRun);
    query.exec();
    QStringList differing;
    while (query.next())
        differing << query.value(0).toString();
    sql.transaction();
    for (qsizetype i = kDiffering; i < differing.size(); ++i)
        exec(sql,
             QStringLiteral("UPDATE upd_artikel SET velka_lief = (SELECT haupt_lief FROM artikel a WHERE a.id ="
                            " upd_artikel.artikel) WHERE artnr = ? AND run = (SELECT id FROM upd_run WHERE firma = 1"
                            " AND nr = ?)"),
             {differing[i], kxserver::kBenchmarkRun});
    sql.commit();
    return int(std::min<qsizetype>(differing.size(), kDiffering));
}

// Drops every change of update 99's list, so the next round takes everything again.
void resetList(QSqlDatabase &sql) {
    const QString list = QStringLiteral("(SELECT l.id FROM artliste l JOIN upd_run r ON r.id = l.run"
                                        " WHERE r.firma = 1 AND r.nr = ?)");
    exec(sql, QStringLiteral("DELETE FROM liste_aend WHERE liste = ") + list, {kxserver::kBenchmarkRun});
    exec(sql, QStringLiteral("DELETE FROM liste_haupt WHERE liste = ") + list, {kxserver::kBenchmarkRun});
}

} // namespace

// "Alle Vorschläge übernehmen" as the clerk runs it: the question answered "Ja", every differing
// article's entries written in one unit, the article rows and the supplier list shown anew, the
// report box. Emptying the list and loading it again between rounds is not timed.
void TakeAllProposals(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const int differing = keepDiffering(sql);
    FMStart &window = program(db);
    for (auto _ : state) {
        resetList(sql);
        loadBenchmarkUpdate(window);
        QCoreApplication::processEvents();
        const int boxes = desktop().boxes;
        const auto start = std::chrono::steady_clock::now();
        cacheapi::RunHandler([&window] { window.AlleVorschlaege_Click(); });
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (desktop().boxes != boxes + 2 || cacheapi::ProgramEnded()) {
            state.SkipWithError("not the question and the report");
            break;
        }
    }
    state.counters["articles"] = differing;
    resetList(sql);
}

// The same rows by bare SQL in one transaction: every entry of the differing articles and their
// main supplier, one statement each.
void TakeAllProposalsFloor(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const int differing = keepDiffering(sql);
    const QString pick = QStringLiteral(
        " FROM artliste l JOIN upd_run r ON r.id = l.run JOIN upd_artikel u ON u.run = r.id"
        " JOIN artikel a ON a.id = u.artikel %1 WHERE r.firma = 1 AND r.nr = ? AND u.velka_lief IS NOT NULL"
        " AND u.velka_lief <> COALESCE(a.haupt_lief, -1)");
    for (auto _ : state) {
        resetList(sql);
        const auto start = std::chrono::steady_clock::now();
        sql.transaction();
        exec(sql,
             QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw) SELECT l.id, al.id,"
                            " al.artikel, CASE WHEN al.lieferant = u.velka_lief THEN 'J' ELSE 'N' END, 1") +
                 pick.arg(QLatin1String("JOIN artlief al ON al.artikel = a.id")) +
                 QStringLiteral(" ON CONFLICT (liste, artlief) DO UPDATE SET hlief = excluded.hlief, aendsw = 1"),
             {kxserver::kBenchmarkRun});
        exec(sql,
             QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief) SELECT l.id, a.id, u.velka_lief") +
                 pick.arg(QString()) +
                 QStringLiteral(" ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief"),
             {kxserver::kBenchmarkRun});
        sql.commit();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["articles"] = differing;
    resetList(sql);
}

namespace {

// Untimed set-up of a round: the list emptied and loaded, then all proposals taken as the clerk
// takes them. False (and the figure skipped) when that did not ask and report.
bool takeAllUntimed(benchmark::State &state, QSqlDatabase &sql, FMStart &window) {
    resetList(sql);
    loadBenchmarkUpdate(window);
    QCoreApplication::processEvents();
    const int boxes = desktop().boxes;
    cacheapi::RunHandler([&window] { window.AlleVorschlaege_Click(); });
    if (desktop().boxes != boxes + 2 || cacheapi::ProgramEnded() || window.undoDepth() != 1) {
        state.SkipWithError("not the question and the report");
        return false;
    }
    return true;
}

// The main suppliers of the differing articles as the master data hold them before a save, so
// that each round saves the same 20,000 changes again.
struct MainSuppliers {
    QVariantList ids, mains;
};

MainSuppliers readMainSuppliers(QSqlDatabase &sql) {
    QSqlQuery query(sql);
    query.prepare(QStringLiteral("SELECT a.id, a.haupt_lief FROM upd_run r JOIN upd_artikel u ON u.run = r.id"
                                 " JOIN artikel a ON a.id = u.artikel WHERE r.firma = 1 AND r.nr = ?"
                                 " AND u.velka_lief IS NOT NULL AND u.velka_lief <> COALESCE(a.haupt_lief, -1)"));
    query.addBindValue(kxserver::kBenchmarkRun);
    query.exec();
    MainSuppliers saved;
    while (query.next()) {
        saved.ids << query.value(0);
        saved.mains << query.value(1);
    }
    return saved;
}

void restoreMainSuppliers(QSqlDatabase &sql, const MainSuppliers &saved) {
    sql.transaction();
    QSqlQuery query(sql);
    query.prepare(QStringLiteral("UPDATE artikel SET haupt_lief = ? WHERE id = ?"));
    for (qsizetype i = 0; i < saved.ids.size(); ++i) {
        query.bindValue(0, saved.mains[i]);
        query.bindValue(1, saved.ids[i]);
        query.exec();
    }
    sql.commit();
}

} // namespace

// "Rückgängig" of the take-all: every entry of the 20,000 articles written back in one unit, after
// the check that no other workstation changed them since, and the article rows shown anew.
void UndoTakeAll(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const int differing = keepDiffering(sql);
    FMStart &window = program(db);
    for (auto _ : state) {
        if (!takeAllUntimed(state, sql, window))
            break;
        const int boxes = desktop().boxes;
        const auto start = std::chrono::steady_clock::now();
        cacheapi::RunHandler([&window] { window.Rueckgaengig_Click(); });
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (desktop().boxes != boxes || cacheapi::ProgramEnded() || window.undoDepth() != 0) {
            state.SkipWithError("Rückgängig did not take the step back");
            break;
        }
    }
    state.counters["articles"] = differing;
    resetList(sql);
}

// "Speichern" after the take-all: the 100,000 entries' changes applied to the master data with the
// save log. The master data's main suppliers are put back between rounds (not timed).
void Save(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const int differing = keepDiffering(sql);
    const MainSuppliers before = readMainSuppliers(sql);
    FMStart &window = program(db);
    quint64 statements = 0;
    for (auto _ : state) {
        if (!takeAllUntimed(state, sql, window))
            break;
        const int boxes = desktop().boxes;
        const quint64 trips = kxserver::RoundTrips();
        const auto start = std::chrono::steady_clock::now();
        cacheapi::RunHandler([&window] { window.BUSpeich_Click(); });
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        statements += kxserver::RoundTrips() - trips;
        const bool saved = desktop().boxes == boxes && !cacheapi::ProgramEnded() && window.undoDepth() == 0;
        restoreMainSuppliers(sql, before);
        if (!saved) {
            state.SkipWithError("Speichern did not save");
            break;
        }
    }
    state.counters["articles"] = differing;
    state.counters["round_trips"] = state.iterations() ? double(statements) / double(state.iterations()) : 0.0;
    resetList(sql);
}

// A watching clerk's look after a colleague took all 20,000 proposals: what his live view reads of
// the colleague's commit and the changed rows it shows anew. The colleague's take-all is the floor's
// bare SQL (the same rows) behind the writers' lock, with the commit's notification on PostgreSQL;
// not timed. A look that finds nothing yet (the notification still on its way) is not counted.
namespace {

// A colleague's take-all of the differing articles, committed as one unit: the list's version
// raised, a change row for every entry of those articles, and on PostgreSQL the notification.
void colleagueTakesAll(QSqlDatabase &sql, Backend backend) {
    const QString list = QStringLiteral("(SELECT l.id FROM artliste l JOIN upd_run r ON r.id = l.run"
                                        " WHERE r.firma = 1 AND r.nr = ?)");
    sql.transaction();
    exec(sql, QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = ") + list,
         {kxserver::kBenchmarkRun});
    exec(sql,
         QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw) SELECT l.id, al.id,"
                        " al.artikel, CASE WHEN al.lieferant = u.velka_lief THEN 'J' ELSE 'N' END, 1"
                        " FROM artliste l JOIN upd_run r ON r.id = l.run JOIN upd_artikel u ON u.run = r.id"
                        " JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                        " WHERE r.firma = 1 AND r.nr = ? AND u.velka_lief IS NOT NULL"
                        " AND u.velka_lief <> COALESCE(a.haupt_lief, -1)"),
         {kxserver::kBenchmarkRun});
    if (backend != Backend::Sqlite)
        exec(sql, QStringLiteral("SELECT pg_notify(?, CAST(%1 AS text))").arg(list),
             {QString::fromLatin1(kxserver::kListChannel), kxserver::kBenchmarkRun});
    sql.commit();
}

// The benchmark list's key and version.
std::pair<qint64, qint64> listVersion(QSqlDatabase &sql) {
    QSqlQuery query(sql);
    query.prepare(QStringLiteral("SELECT l.id, l.version FROM artliste l JOIN upd_run r ON r.id = l.run"
                                 " WHERE r.firma = 1 AND r.nr = ?"));
    query.addBindValue(kxserver::kBenchmarkRun);
    if (!query.exec() || !query.next())
        return {-1, -1};
    return {query.value(0).toLongLong(), query.value(1).toLongLong()};
}

} // namespace

void LiveLook(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    const int differing = keepDiffering(sql);
    FMStart &window = program(db);
    quint64 trips = 0, rows = 0;
    // Only the looks timed here: the live view's own timer would take the news first.
    QTimer *timer = window.findChild<QTimer *>(QStringLiteral("liveView"));
    if (timer)
        timer->stop();
    for (auto _ : state) {
        resetList(sql);
        loadBenchmarkUpdate(window); // the live view watches from here
        QCoreApplication::processEvents();
        colleagueTakesAll(sql, backend);
        for (int attempt = 0;; ++attempt) {
            const quint64 tripsBefore = kxserver::RoundTrips();
            const quint64 rowsBefore = kxserver::RowsRead();
            const auto start = std::chrono::steady_clock::now();
            window.liveView->look();
            const auto end = std::chrono::steady_clock::now();
            if (kxserver::RoundTrips() != tripsBefore) {
                state.SetIterationTime(std::chrono::duration<double>(end - start).count());
                trips += kxserver::RoundTrips() - tripsBefore;
                rows += kxserver::RowsRead() - rowsBefore;
                break;
            }
            if (attempt == 1000) {
                state.SkipWithError("the look never saw the colleague's commit");
                break;
            }
            QThread::msleep(2);
            QCoreApplication::processEvents();
        }
    }
    const double n = state.iterations() ? double(state.iterations()) : 1.0;
    state.counters["articles"] = differing;
    state.counters["round_trips"] = double(trips) / n;
    state.counters["rows_read"] = double(rows) / n;
    if (timer)
        timer->start();
    resetList(sql);
}

// The same news by bare SQL: the rows of the articles with change rows newer than the version seen,
// in one statement joined by hash, as the list shows them (no saves, no version, no order).
void LiveLookFloor(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    QSqlDatabase sql = floorConnection(db);
    keepDiffering(sql);
    qint64 rows = 0;
    for (auto _ : state) {
        resetList(sql);
        const auto [list, seen] = listVersion(sql);
        colleagueTakesAll(sql, backend);
        const auto start = std::chrono::steady_clock::now();
        QSqlQuery query(sql);
        query.setForwardOnly(true);
        query.exec(QStringLiteral("SELECT u.artnr, a.bez, h.liefnr, h.name, v.liefnr, v.name"
                                  " FROM (SELECT DISTINCT artikel FROM liste_aend WHERE liste = %1 AND aend_nr > %2) c"
                                  " JOIN artikel a ON a.id = c.artikel JOIN artliste l ON l.id = %1"
                                  " JOIN upd_artikel u ON u.run = l.run AND u.artnr = a.artnr"
                                  " LEFT JOIN liste_haupt o ON o.liste = l.id AND o.artikel = a.id"
                                  " LEFT JOIN lieferant h ON h.id = COALESCE(o.haupt_lief, a.haupt_lief)"
                                  " LEFT JOIN lieferant v ON v.id = u.velka_lief")
                       .arg(list)
                       .arg(seen));
        rows = 0;
        while (query.next()) {
            ++rows;
            for (int c = 0; c < 6; ++c)
                benchmark::DoNotOptimize(query.value(c).toString());
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (rows != kDiffering)
        state.SkipWithError("wrong number of rows");
    state.counters["rows"] = double(rows);
    resetList(sql);
}

// One switch of "Nur abweichende Artikel" on the loaded 100,000 articles, on and off in turn.
void FilterSwitch(benchmark::State &state, Backend backend) {
    const Database &db = database(backend, 100000);
    FMStart &window = program(db);
    if (window.liart->rowCount() == 0)
        loadBenchmarkUpdate(window);
    QCoreApplication::processEvents();
    for (auto _ : state) {
        window.mNurAbweichende->trigger();
        QCoreApplication::processEvents(); // the view lays out the rows it shows
    }
    if (window.mNurAbweichende->isChecked())
        window.mNurAbweichende->trigger();
    state.counters["rows"] = window.liart->rowCount();
}

} // namespace bench
