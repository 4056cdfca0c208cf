#pragma once

#include "BenchEnv.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <random>
#include <vector>

namespace bench {

void ArticleList(benchmark::State &state, Backend backend, int articles);
void ArticleListFloor(benchmark::State &state, Backend backend, int articles);
void LiefSuch(benchmark::State &state, Backend backend, int suppliers);
void LiefSuchFloor(benchmark::State &state, Backend backend, int suppliers);
void MainSupplierChange(benchmark::State &state, Backend backend, int suppliers);
void MainSupplierChangeFloor(benchmark::State &state, Backend backend, int suppliers);
void AktivSwitch(benchmark::State &state, Backend backend, int suppliers);
// 32 clerks' programs (processes of this binary, see clerkWorker) clicking at once for `seconds`.
void Clerks(benchmark::State &state, int clerks, int seconds);
// The clerk behind Clerks: korvex_bench --clerk SERVER PORT SECONDS SEED
int clerkWorker(const QString &server, const QString &port, int seconds, unsigned seed);
// A clerk's two actions in that walk, for figures that drive clerks their own way: pick a random
// article of the loaded update (its supplier list read), and tick "Hauptlieferant" of another active
// supplier or switch "Aktiv" of one that is not the main one. Each returns its microseconds, the tick
// -1 when the article has no other supplier.
double clerkPick(FMStart &window, std::mt19937 &random);
double clerkTick(FMStart &window, std::mt19937 &random);

// What a clerk's child process prints and the benchmark reads back: a named line of numbers, and a
// percentile of them.
void printLine(const char *name, const std::vector<double> &values);
std::vector<double> numbersOf(const QByteArray &out, const QByteArray &name);
double percentile(std::vector<double> values, double p);

void StartUp(benchmark::State &state, Backend backend);
void FormLoad(benchmark::State &state, Backend backend);
void PeakMemory(benchmark::State &state, Backend backend);
void TakeAllProposals(benchmark::State &state, Backend backend);
void TakeAllProposalsFloor(benchmark::State &state, Backend backend);
void UndoTakeAll(benchmark::State &state, Backend backend);
void Save(benchmark::State &state, Backend backend);
void LiveLook(benchmark::State &state, Backend backend);
void LiveLookFloor(benchmark::State &state, Backend backend);
void FilterSwitch(benchmark::State &state, Backend backend);
void ImportArtlief(benchmark::State &state, Backend backend);
void ImportArtliefFloor(benchmark::State &state, Backend backend);
void ImportDatanorm(benchmark::State &state, Backend backend);
void ImportDatanormFloor(benchmark::State &state, Backend backend);
// `clerks` open sessions driven open-loop at `rate` clicks per second for `seconds`; the sessions stay
// open from one rate to the next and end after the one marked `last`.
void Capacity(benchmark::State &state, int clerks, int rate, int seconds, bool last);
// A session of Capacity: korvex_bench --capacity-clerk SERVER PORT SEED, clicking on a schedule it
// reads from stdin.
int capacityClerk(const QString &server, const QString &port, unsigned seed);

} // namespace bench
