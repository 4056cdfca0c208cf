// korvex_bench: the program's speed on the embedded database and on PostgreSQL (127.0.0.1), each
// figure beside its floor. A benchmark reports; it never fails the run for being slow.
//   korvex_bench [Google Benchmark options]        e.g. --benchmark_filter=SQLite
//   korvex_bench --memory-probe SERVER PORT          (the child behind the peak-memory figure)
//   korvex_bench --clerk SERVER PORT SECONDS SEED    (one clerk of the many-clerks figure)
//   korvex_bench --capacity-clerk SERVER PORT SEED   (one session of the capacity figure)

#include "BenchEnv.h"
#include "Benchmarks.h"
#include "session/CacheApi.h"

#include <QApplication>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

namespace {

// The offscreen platform says on every shown window that it cannot pass size hints on; that is noise
// between the figures. Everything else goes out as Qt would print it.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, message)));
}

enum class Timing { Cpu, Manual, Real };

// Registers one figure: `fn` with its arguments under `name`, in `unit`, `iterations` times (0: as
// often as Google Benchmark wants), timed by the processor clock, by the benchmark itself or by the
// wall clock.
template <typename Fn, typename... Args>
void add(const std::string &name, benchmark::TimeUnit unit, int iterations, Timing timing, Fn &fn, Args... args) {
    benchmark::internal::Benchmark *b = benchmark::RegisterBenchmark(name.c_str(), fn, args...)->Unit(unit);
    if (iterations > 0)
        b->Iterations(iterations);
    if (timing == Timing::Manual)
        b->UseManualTime();
    else if (timing == Timing::Real)
        b->UseRealTime();
}

// lief_such and the main-supplier change, for 8 and for 50 suppliers, each beside its floor.
void addClicks(Backend b, benchmark::TimeUnit liefSuchUnit) {
    const std::string n = backendName(b);
    for (int suppliers : {8, 50}) {
        const std::string count = std::to_string(suppliers);
        add(n + "/lief_such/" + count, liefSuchUnit, 0, Timing::Cpu, LiefSuch, b, suppliers);
        add(n + "/lief_such/" + count + "/floor", liefSuchUnit, 0, Timing::Cpu, LiefSuchFloor, b, suppliers);
    }
    for (int suppliers : {8, 50}) {
        const std::string count = std::to_string(suppliers);
        add(n + "/MainSupplierChange/" + count, benchmark::kMillisecond, 100, Timing::Manual, MainSupplierChange, b,
            suppliers);
        add(n + "/MainSupplierChange/" + count + "/floor", benchmark::kMillisecond, 100, Timing::Cpu,
            MainSupplierChangeFloor, b, suppliers);
    }
}

// One server's capacity: the same 32 sessions at rising offered rates, idle (0) first.
void addCapacity() {
    const std::vector<int> rates{0, 2, 5, 10, 20, 40, 80, 160};
    for (int rate : rates)
        add("PostgreSQL/Capacity/" + std::to_string(rate), benchmark::kMillisecond, 1, Timing::Real, Capacity, 32,
            rate, rate == 0 ? 10 : 20, rate == rates.back());
}

void registerAll() {
    constexpr auto ms = benchmark::kMillisecond;
    // Registered in this order on purpose: PostgreSQL holds one size at a time, so its 10,000-article
    // figures come before everything that needs 100,000.
    for (Backend b : {Backend::Sqlite, Backend::Postgres}) {
        const std::string n = backendName(b);
        for (int articles : {10000, 100000}) {
            const std::string size = std::to_string(articles);
            const int iterations = articles >= 100000 ? 3 : 10;
            add(n + "/ArticleList/" + size, ms, iterations, Timing::Cpu, ArticleList, b, articles);
            add(n + "/ArticleList/" + size + "/floor", ms, iterations, Timing::Cpu, ArticleListFloor, b, articles);
        }
        addClicks(b, benchmark::kMicrosecond);
        add(n + "/FilterSwitch/100000", ms, 10, Timing::Cpu, FilterSwitch, b);
        add(n + "/TakeAllProposals/100000", ms, 3, Timing::Manual, TakeAllProposals, b);
        add(n + "/TakeAllProposals/100000/floor", ms, 3, Timing::Manual, TakeAllProposalsFloor, b);
        add(n + "/UndoTakeAll/100000", ms, 3, Timing::Manual, UndoTakeAll, b);
        add(n + "/Save/100000", ms, 3, Timing::Manual, Save, b);
        add(n + "/LiveLook/20000", ms, 3, Timing::Manual, LiveLook, b);
        add(n + "/LiveLook/20000/floor", ms, 3, Timing::Manual, LiveLookFloor, b);
        add(n + "/FormLoad", ms, 10, Timing::Cpu, FormLoad, b);
        add(n + "/StartUp", ms, 5, Timing::Manual, StartUp, b);
        add(n + "/PeakMemory/100000", ms, 1, Timing::Cpu, PeakMemory, b);
    }
    // Last: they replace the databases the figures above ran on.
    for (Backend b : {Backend::Sqlite, Backend::Postgres}) {
        const std::string n = backendName(b);
        add(n + "/ImportArtlief/1000000", ms, 1, Timing::Real, ImportArtlief, b);
        add(n + "/ImportArtlief/1000000/floor", ms, 1, Timing::Real, ImportArtliefFloor, b);
        add(n + "/ImportDatanorm/1000000", ms, 1, Timing::Real, ImportDatanorm, b);
        add(n + "/ImportDatanorm/1000000/floor", ms, 1, Timing::Real, ImportDatanormFloor, b);
    }

    // The clicks across a network of 1 ms per round trip, and 32 clerks on one server. After the
    // imports: the first of them builds the benchmark database again.
    for (Backend b : {Backend::Sqlite, Backend::Postgres, Backend::PostgresDelayed})
        add(std::string(backendName(b)) + "/AktivSwitch/8", ms, 100, Timing::Cpu, AktivSwitch, b, 8);
    addClicks(Backend::PostgresDelayed, ms);
    add("PostgreSQL/Clerks/32", ms, 1, Timing::Real, Clerks, 32, 30);
    addCapacity();
}

} // namespace

int main(int argc, char **argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // Nothing here may find or change the user's own settings.
    cacheapi::SetSettingsFile(tempDir() + QStringLiteral("/Cache Login.ini"));
    cacheapi::gDesktop = &desktop();

    if (argc == 4 && std::strcmp(argv[1], "--memory-probe") == 0)
        return memoryProbe(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc == 6 && std::strcmp(argv[1], "--clerk") == 0)
        return clerkWorker(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]),
                           unsigned(std::atoi(argv[5])));
    if (argc == 5 && std::strcmp(argv[1], "--capacity-clerk") == 0)
        return capacityClerk(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                             unsigned(std::atoi(argv[4])));

    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    endProgram();
    benchmark::Shutdown();
    return 0;
}
