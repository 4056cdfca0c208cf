// What one PostgreSQL server carries: 32 clerks' programs (processes of this binary, the real main
// window each, as in Clerks) on the 10,000-article update, driven open-loop: the benchmark draws the
// clicks' start times at an offered rate (Poisson arrivals, dealt to the sessions in turn), and a
// click's latency counts from its scheduled time, so a server that falls behind shows as latency
// instead of slowing the load down. The sessions stay open over every rate; between two clicks a
// session turns its event loop (its timers and the colleagues' changes run) and picks its next
// article right after a click, as a clerk does while thinking. The server's processor time is its own
// accounting: utime + stime of every process of the throwaway cluster from /proc, the postmaster's
// reaped children included.

#include "Benchmarks.h"

#include "BenchEnv.h"
#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "app/controls/KxList.h"
#include "server/db/SqlConnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC: the same clock in every process

constexpr int kArticles = 10000;

long long nanosOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
Clock::time_point timeOf(long long nanos) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanos)));
}

// Turns the event loop until `t`; the last fraction of a millisecond, below the timers' grain, is slept.
void waitUntil(Clock::time_point t) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
        if (left < 1)
            break;
        QEventLoop loop;
        QTimer::singleShot(int(left), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
    std::this_thread::sleep_until(t);
}

// Fields of /proc/PID/stat: the parent, and the processor time in clock ticks of the process and of
// its children that it has waited for.
struct ProcStat {
    int ppid = 0;
    long long own = 0;
    long long children = 0;
};

std::optional<ProcStat> procStat(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line))
        return std::nullopt;
    const size_t name = line.rfind(')'); // the command in parentheses may hold spaces
    if (name == std::string::npos)
        return std::nullopt;
    std::istringstream in(line.substr(name + 1));
    std::string state, skip;
    ProcStat s;
    in >> state >> s.ppid;
    for (int field = 5; field <= 13; ++field)
        in >> skip;
    long long utime = 0, stime = 0, cutime = 0, cstime = 0;
    if (!(in >> utime >> stime >> cutime >> cstime))
        return std::nullopt;
    s.own = utime + stime;
    s.children = cutime + cstime;
    return s;
}

// Seconds of processor time the cluster has used so far: the postmaster, every live child (backends,
// writers, autovacuum) and the children it has reaped (backends that ended, autovacuum workers).
// `exclude` is the benchmark's own observing backend.
double serverSeconds(int postmaster, int exclude) {
    long long ticks = 0;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const int pid = entry.toInt(&number);
        if (!number || pid == exclude || pid == postmaster)
            continue;
        if (const auto s = procStat(pid); s && s->ppid == postmaster)
            ticks += s->own;
    }
    // Read last: a backend reaped while the others were read is then counted here rather than lost.
    if (const auto s = procStat(postmaster))
        ticks += s->own + s->children;
    return double(ticks) / double(::sysconf(_SC_CLK_TCK));
}

double secondsOfProcess(qint64 pid) {
    const auto s = procStat(int(pid));
    return s ? double(s->own) / double(::sysconf(_SC_CLK_TCK)) : 0.0;
}

double loadAverage() {
    std::ifstream file("/proc/loadavg");
    double one = 0;
    file >> one;
    return one;
}

// The open clerk sessions, kept from the first rate to the last.
struct Sessions {
    std::vector<std::unique_ptr<QProcess>> processes;
    std::vector<QByteArray> out;
};
std::unique_ptr<Sessions> &sessions() {
    static std::unique_ptr<Sessions> s;
    return s;
}

std::unique_ptr<Sessions> startSessions(const Database &db, int clerks) {
    auto s = std::make_unique<Sessions>();
    for (int c = 0; c < clerks; ++c) {
        auto &p = s->processes.emplace_back(std::make_unique<QProcess>());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--capacity-clerk"), db.server, db.port, QString::number(c + 1)});
    }
    s->out.resize(s->processes.size());
    for (size_t c = 0; c < s->processes.size(); ++c) {
        QProcess &p = *s->processes[c];
        while (!s->out[c].contains("ready\n") && p.waitForReadyRead(120000))
            s->out[c] += p.readAllStandardOutput();
        if (!s->out[c].contains("ready\n"))
            return nullptr; // Qt's process objects kill and reap the ones that came up
        s->out[c].clear();
    }
    return s;
}

// Ends the sessions: each ends its program on "end"; one that overstays is killed by its object.
void endSessions() {
    if (!sessions())
        return;
    for (auto &p : sessions()->processes) {
        p->write("end\n");
        p->waitForBytesWritten(5000);
    }
    for (auto &p : sessions()->processes)
        p->waitForFinished(30000);
    sessions().reset();
}

} // namespace

int capacityClerk(const QString &server, const QString &port, unsigned seed) {
    Database db;
    db.backend = Backend::Postgres;
    db.server = server;
    db.port = port;
    FMStart &window = program(db);
    loadBenchmarkUpdate(window);
    QCoreApplication::processEvents();
    if (window.liart->rowCount() == 0)
        return 1;
    std::mt19937 random(seed);
    std::vector<double> picks{clerkPick(window, random)};
    std::printf("ready\n");
    std::fflush(stdout);

    // One line per rate: "step END T1 T2 ..." (steady-clock nanoseconds): click at each Ti, stay until
    // END. "end" (or the benchmark gone) ends the session.
    std::string line;
    while (std::getline(std::cin, line) && line.rfind("step ", 0) == 0 && !cacheapi::ProgramEnded()) {
        std::istringstream in(line.substr(5));
        long long end = 0, at = 0;
        in >> end;
        std::vector<double> clicks;
        const int boxesBefore = desktop().boxes;
        const quint64 requestsBefore = kxserver::RoundTrips();
        Clock::time_point lastEnd = timeOf(end);
        while (in >> at && !cacheapi::ProgramEnded()) {
            const Clock::time_point scheduled = timeOf(at);
            waitUntil(scheduled);
            // An article without another supplier to tick: the clerk picks another one at once.
            for (int tries = 0; tries < 20 && clerkTick(window, random) < 0; ++tries)
                picks.push_back(clerkPick(window, random));
            lastEnd = Clock::now();
            clicks.push_back(double(std::chrono::duration_cast<std::chrono::microseconds>(lastEnd - scheduled).count()));
            picks.push_back(clerkPick(window, random));
        }
        waitUntil(timeOf(end));
        printLine("clicks_us", clicks);
        printLine("picks_us", picks);
        picks.clear();
        std::printf("last_end_ns %lld\nboxes %d\nrequests %llu\nstepdone\n", nanosOf(lastEnd),
                    desktop().boxes - boxesBefore, static_cast<unsigned long long>(kxserver::RoundTrips() - requestsBefore));
        std::fflush(stdout);
    }
    const bool ended = cacheapi::ProgramEnded();
    endProgram();
    return ended ? 3 : 0;
}

void Capacity(benchmark::State &state, int clerks, int rate, int seconds, bool last) {
    const Database &db = database(Backend::Postgres, kArticles);
    endProgram(); // the clerks' programs are the only ones on the server meanwhile
    if (!sessions())
        sessions() = startSessions(db, clerks);
    if (!sessions()) {
        state.SkipWithError("not every clerk's program came up");
        for (auto _ : state) {
        }
        return;
    }
    Sessions &s = *sessions();

    // The observer: finds the postmaster (its backend's parent) and samples who waits for a lock.
    QSqlQuery query(floorConnection(db));
    if (!query.exec(QStringLiteral("SELECT pg_backend_pid()")) || !query.next())
        state.SkipWithError("no backend of its own");
    const int observer = query.value(0).toInt();
    const int postmaster = procStat(observer) ? procStat(observer)->ppid : 0;
    query.prepare(QStringLiteral("SELECT count(*) FILTER (WHERE wait_event_type = 'Lock'),"
                                 " count(*) FILTER (WHERE state = 'active'),"
                                 " count(*) FILTER (WHERE state LIKE 'idle in transaction%')"
                                 " FROM pg_stat_activity WHERE datname = 'korvex' AND pid <> pg_backend_pid()"));

    std::vector<double> clicks, picks;
    double serverCpu = 0, clientCpu = 0, wall = 0, waiting = 0, active = 0, inTransaction = 0, boxes = 0;
    double requests = 0, unsaved = 0;
    int samples = 0;
    bool complete = true;
    for (auto _ : state) {
        // What the clerks changed and did not save so far: every look of the live view reads it whole.
        QSqlQuery count(floorConnection(db));
        if (count.exec(QStringLiteral("SELECT count(*) FROM liste_aend")) && count.next())
            unsaved = count.value(0).toDouble();
        // The schedule: Poisson arrivals at `rate` over `seconds`, dealt to the sessions in turn.
        std::mt19937_64 random(unsigned(rate) * 7919u + 1u);
        std::exponential_distribution<double> gap(rate > 0 ? double(rate) : 1.0);
        const Clock::time_point start = Clock::now() + std::chrono::milliseconds(300);
        const Clock::time_point end = start + std::chrono::seconds(seconds);
        std::vector<std::string> lines(s.processes.size(), "step " + std::to_string(nanosOf(end)));
        size_t next = 0;
        for (double t = rate > 0 ? gap(random) : seconds; t < seconds; t += gap(random), ++next)
            lines[next % lines.size()] +=
                ' ' + std::to_string(nanosOf(start + std::chrono::nanoseconds(static_cast<long long>(t * 1e9))));

        std::vector<double> clientBefore;
        for (auto &p : s.processes)
            clientBefore.push_back(secondsOfProcess(p->processId()));
        const double serverBefore = serverSeconds(postmaster, observer);
        for (size_t c = 0; c < s.processes.size(); ++c) {
            s.processes[c]->write(QByteArray::fromStdString(lines[c] + '\n'));
            s.processes[c]->waitForBytesWritten(5000);
        }
        // Every session says when it is done; meanwhile four looks a second at the server's sessions.
        const Clock::time_point deadline = end + std::chrono::seconds(3 * seconds + 60);
        size_t done = 0;
        while (done < s.processes.size() && Clock::now() < deadline) {
            QThread::msleep(250);
            QCoreApplication::processEvents();
            if (Clock::now() >= start && Clock::now() < end && query.exec() && query.next()) {
                waiting += query.value(0).toDouble();
                active += query.value(1).toDouble();
                inTransaction += query.value(2).toDouble();
                ++samples;
            }
            done = 0;
            for (size_t c = 0; c < s.processes.size(); ++c) {
                s.processes[c]->waitForReadyRead(0);
                s.out[c] += s.processes[c]->readAllStandardOutput();
                done += s.out[c].contains("stepdone\n") ? 1 : 0;
            }
        }
        const double serverAfter = serverSeconds(postmaster, observer);
        for (size_t c = 0; c < s.processes.size(); ++c)
            clientCpu += secondsOfProcess(s.processes[c]->processId()) - clientBefore[c];
        serverCpu += serverAfter - serverBefore;
        complete = complete && done == s.processes.size();

        Clock::time_point lastEnd = end;
        for (QByteArray &out : s.out) {
            const std::vector<double> c = numbersOf(out, "clicks_us"), k = numbersOf(out, "picks_us");
            clicks.insert(clicks.end(), c.begin(), c.end());
            picks.insert(picks.end(), k.begin(), k.end());
            for (double n : numbersOf(out, "last_end_ns"))
                lastEnd = std::max(lastEnd, timeOf(static_cast<long long>(n)));
            for (double b : numbersOf(out, "boxes"))
                boxes += b;
            for (double r : numbersOf(out, "requests"))
                requests += r;
            out.clear();
        }
        wall += std::chrono::duration<double>(lastEnd - start).count();
    }
    state.counters["offered_per_s"] = rate;
    state.counters["achieved_per_s"] = wall > 0 ? double(clicks.size()) / wall : 0;
    state.counters["clicks"] = double(clicks.size());
    state.counters["click_p50_ms"] = percentile(clicks, 0.50) / 1000.0;
    state.counters["click_p99_ms"] = percentile(clicks, 0.99) / 1000.0;
    state.counters["pick_p50_ms"] = percentile(picks, 0.50) / 1000.0;
    state.counters["pick_p99_ms"] = percentile(picks, 0.99) / 1000.0;
    const double perClick = clicks.empty() ? 0.0 : 1000.0 / double(clicks.size());
    state.counters["server_cpu_ms_per_click"] = serverCpu * perClick;
    state.counters["server_cores"] = wall > 0 ? serverCpu / wall : 0; // processor seconds per second
    state.counters["clients_cpu_ms_per_click"] = clientCpu * perClick;
    state.counters["clients_cores"] = wall > 0 ? clientCpu / wall : 0;
    state.counters["lock_waiting"] = samples > 0 ? waiting / samples : 0;
    state.counters["active"] = samples > 0 ? active / samples : 0;
    state.counters["idle_in_transaction"] = samples > 0 ? inTransaction / samples : 0;
    state.counters["requests_per_click"] = requests * perClick / 1000.0; // every session's, looks included
    state.counters["unsaved_rows_at_start"] = unsaved;
    state.counters["boxes"] = boxes;
    state.counters["load_1min"] = loadAverage();
    if (!complete) {
        state.SkipWithError("a clerk's session did not finish its clicks");
        sessions().reset(); // the next rate starts fresh ones
    } else if (last) {
        endSessions();
    }
}

} // namespace bench
