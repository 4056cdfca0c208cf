// korvex_bench: the program's speed on the embedded database and on PostgreSQL (127.0.0.1), each
// figure beside its floor. A benchmark reports; it never fails the run for being slow.
//   korvex_bench [Google Benchmark options]        e.g. --benchmark_filter=SQLite
//   korvex_bench --memory-probe SERVER PORT          (the child behind the peak-memory figure)
//   korvex_bench --clerk SERVER PORT SECONDS SEED    (one clerk of the many-clerks figure)

#include "BenchEnv.h"
#include "Benchmarks.h"
#include "CacheApi.h"

#include <QApplication>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace bench;

namespace {

// The offscreen platform says on every shown window that it cannot pass size hints on; that is noise
// between the figures. Everything else goes out as Qt would print it.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, message)));
}

void registerAll() {
    // Registered in this order on purpose: PostgreSQL holds one size at a time, so its 10,000-article
    // figures come before everything that needs 100,000.
    for (Backend b : {Backend::Sqlite, Backend::Postgres}) {
        const std::string n = backendName(b);
        for (int articles : {10000, 100000}) {
            const std::string size = std::to_string(articles);
            const int iterations = articles >= 100000 ? 3 : 10;
            benchmark::RegisterBenchmark((n + "/ArticleList/" + size).c_str(), ArticleList, b, articles)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(iterations);
            benchmark::RegisterBenchmark((n + "/ArticleList/" + size + "/floor").c_str(), ArticleListFloor, b, articles)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(iterations);
        }
        for (int suppliers : {8, 50}) {
            const std::string count = std::to_string(suppliers);
            benchmark::RegisterBenchmark((n + "/lief_such/" + count).c_str(), LiefSuch, b, suppliers)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark((n + "/lief_such/" + count + "/floor").c_str(), LiefSuchFloor, b, suppliers)
                ->Unit(benchmark::kMicrosecond);
        }
        for (int suppliers : {8, 50}) {
            const std::string count = std::to_string(suppliers);
            benchmark::RegisterBenchmark((n + "/MainSupplierChange/" + count).c_str(), MainSupplierChange, b, suppliers)
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime()
                ->Iterations(100);
            benchmark::RegisterBenchmark((n + "/MainSupplierChange/" + count + "/floor").c_str(),
                                         MainSupplierChangeFloor, b, suppliers)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(100);
        }
        benchmark::RegisterBenchmark((n + "/FilterSwitch/100000").c_str(), FilterSwitch, b)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(10);
        benchmark::RegisterBenchmark((n + "/TakeAllProposals/100000").c_str(), TakeAllProposals, b)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(3);
        benchmark::RegisterBenchmark((n + "/TakeAllProposals/100000/floor").c_str(), TakeAllProposalsFloor, b)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(3);
        benchmark::RegisterBenchmark((n + "/FormLoad").c_str(), FormLoad, b)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(10);
        benchmark::RegisterBenchmark((n + "/StartUp").c_str(), StartUp, b)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(5);
        benchmark::RegisterBenchmark((n + "/PeakMemory/100000").c_str(), PeakMemory, b)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    }
    // Last: they replace the databases the figures above ran on.
    for (Backend b : {Backend::Sqlite, Backend::Postgres}) {
        const std::string n = backendName(b);
        benchmark::RegisterBenchmark((n + "/ImportArtlief/1000000").c_str(), ImportArtlief, b)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
        benchmark::RegisterBenchmark((n + "/ImportArtlief/1000000/floor").c_str(), ImportArtliefFloor, b)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }

    // The clicks across a network of 1 ms per round trip, and 32 clerks on one server. After the
    // imports: the first of them builds the benchmark database again.
    for (Backend b : {Backend::Sqlite, Backend::Postgres, Backend::PostgresDelayed})
        benchmark::RegisterBenchmark((std::string(backendName(b)) + "/AktivSwitch/8").c_str(), AktivSwitch, b, 8)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(100);
    const std::string delayed = backendName(Backend::PostgresDelayed);
    for (int suppliers : {8, 50}) {
        const std::string count = std::to_string(suppliers);
        benchmark::RegisterBenchmark((delayed + "/lief_such/" + count).c_str(), LiefSuch, Backend::PostgresDelayed,
                                     suppliers)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((delayed + "/lief_such/" + count + "/floor").c_str(), LiefSuchFloor,
                                     Backend::PostgresDelayed, suppliers)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((delayed + "/MainSupplierChange/" + count).c_str(), MainSupplierChange,
                                     Backend::PostgresDelayed, suppliers)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(100);
        benchmark::RegisterBenchmark((delayed + "/MainSupplierChange/" + count + "/floor").c_str(),
                                     MainSupplierChangeFloor, Backend::PostgresDelayed, suppliers)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(100);
    }
    benchmark::RegisterBenchmark("PostgreSQL/Clerks/32", Clerks, 32, 30)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
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

    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    endProgram();
    benchmark::Shutdown();
    return 0;
}
