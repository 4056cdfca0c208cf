// Many clerks on one PostgreSQL server at once: each is a process of this binary running the real
// main window (the session values are one per program, so one program per process), walking the
// benchmark update at random: pick an article, think, tick "Hauptlieferant" of another active
// supplier or switch "Aktiv" of one that is not the main one, think. The figures are the latencies
// of the clicks over every clerk.

#include "Benchmarks.h"

#include "BenchEnv.h"
#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "app/controls/KxList.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr int kHauptlieferant = 6;
constexpr int kAktiv = 5;
constexpr int kArticles = 10000;

// A clerk looks at the screen between two actions; the program's timers and the other clerks'
// changes arriving on its connection run meanwhile, as they would.
void think(std::mt19937 &random) {
    TurnEventLoop(std::uniform_int_distribution<int>(100, 500)(random));
}

double microsecondsOf(const std::function<void()> &handler) {
    QElapsedTimer timer;
    timer.start();
    cacheapi::RunHandler(handler);
    return double(timer.nsecsElapsed()) / 1000.0;
}

} // namespace

void printLine(const char *name, const std::vector<double> &values) {
    std::printf("%s", name);
    for (double v : values)
        std::printf(" %.0f", v);
    std::printf("\n");
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// The numbers after `name ` on its line of `out`.
std::vector<double> numbersOf(const QByteArray &out, const QByteArray &name) {
    std::vector<double> values;
    for (const QByteArray &line : out.split('\n'))
        if (line.startsWith(name + ' '))
            for (const QByteArray &n : line.mid(name.size() + 1).split(' '))
                values.push_back(n.toDouble());
    return values;
}

double clerkPick(FMStart &window, std::mt19937 &random) {
    window.liart->setCurrentRow(std::uniform_int_distribution<int>(0, window.liart->rowCount() - 1)(random));
    return microsecondsOf([&window] { window.lief_such(); });
}

double clerkTick(FMStart &window, std::mt19937 &random) {
    KxList *list = window.lilief;
    std::vector<int> others, activeOthers;
    for (int i = 0; i < list->rowCount(); ++i)
        if (list->checkState(i, kHauptlieferant) == 0) {
            others.push_back(i);
            if (list->checkState(i, kAktiv) > 0)
                activeOthers.push_back(i);
        }
    if (others.empty())
        return -1;
    const bool mainChange = !activeOthers.empty() && random() % 2 == 0;
    const std::vector<int> &candidates = mainChange ? activeOthers : others;
    const int row = candidates[random() % candidates.size()];
    const int column = mainChange ? kHauptlieferant : kAktiv;
    const int state = mainChange || list->checkState(row, kAktiv) == 0 ? 1 : 0;
    list->setCheckState(row, column, state);
    return microsecondsOf([&window, row, column, state] { window.lilief_CheckCell(row, column, state); });
}

int clerkWorker(const QString &server, const QString &port, int seconds, unsigned seed) {
    Database db;
    db.backend = Backend::Postgres;
    db.server = server;
    db.port = port;
    FMStart &window = program(db);
    loadBenchmarkUpdate(window);
    QCoreApplication::processEvents();
    if (window.liart->rowCount() == 0)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    // Every clerk starts clicking at the same moment, on "go" from the benchmark; a signal that never
    // comes ends the clerk instead of leaving it waiting.
    pollfd in{STDIN_FILENO, POLLIN, 0};
    std::string go;
    if (::poll(&in, 1, 120000) != 1 || !std::getline(std::cin, go) || go != "go")
        return 2;

    std::mt19937 random(seed);
    std::vector<double> clicks, picks;
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < seconds * 1000 && !cacheapi::ProgramEnded()) {
        picks.push_back(clerkPick(window, random));
        think(random);
        const double click = clerkTick(window, random);
        if (click < 0)
            continue;
        clicks.push_back(click);
        think(random);
    }
    printLine("clicks_us", clicks);
    printLine("picks_us", picks);
    std::printf("boxes %d\nended %d\n", desktop().boxes, cacheapi::ProgramEnded() ? 1 : 0);
    std::fflush(stdout);
    const bool ended = cacheapi::ProgramEnded();
    endProgram();
    return ended ? 3 : 0;
}

void Clerks(benchmark::State &state, int clerks, int seconds) {
    const Database &db = database(Backend::Postgres, kArticles);
    endProgram(); // the clerks' programs are the only ones on the server meanwhile
    std::vector<double> clicks, picks;
    double boxes = 0, ended = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int c = 0; c < clerks; ++c) {
            auto &p = processes.emplace_back(std::make_unique<QProcess>());
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--clerk"), db.server, db.port, QString::number(seconds), QString::number(c + 1)});
        }
        bool ready = true;
        for (auto &p : processes) {
            QByteArray out;
            while (!out.contains("ready\n") && p->waitForReadyRead(120000))
                out += p->readAllStandardOutput();
            ready = ready && out.contains("ready\n");
        }
        for (auto &p : processes) { // sent now, not when the process is next waited for
            p->write("go\n");
            ready = p->waitForBytesWritten(5000) && ready;
        }
        for (auto &p : processes) {
            p->waitForFinished((seconds + 120) * 1000);
            const QByteArray out = p->readAllStandardOutput();
            const std::vector<double> c = numbersOf(out, "clicks_us"), k = numbersOf(out, "picks_us");
            clicks.insert(clicks.end(), c.begin(), c.end());
            picks.insert(picks.end(), k.begin(), k.end());
            const std::vector<double> b = numbersOf(out, "boxes");
            boxes += b.empty() ? 0 : b.front();
            ended += p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0 ? 1 : 0;
        }
        if (!ready)
            state.SkipWithError("not every clerk's program came up");
    }
    state.counters["clicks"] = double(clicks.size());
    state.counters["clicks_per_s"] = double(clicks.size()) / double(seconds);
    state.counters["click_p50_ms"] = percentile(clicks, 0.50) / 1000.0;
    state.counters["click_p99_ms"] = percentile(clicks, 0.99) / 1000.0;
    state.counters["pick_p50_ms"] = percentile(picks, 0.50) / 1000.0;
    state.counters["pick_p99_ms"] = percentile(picks, 0.99) / 1000.0;
    state.counters["boxes"] = boxes;
    state.counters["clerks_failed"] = ended;
}

} // namespace bench
