#pragma once

#include "BenchEnv.h"

#include <benchmark/benchmark.h>

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
void StartUp(benchmark::State &state, Backend backend);
void FormLoad(benchmark::State &state, Backend backend);
void PeakMemory(benchmark::State &state, Backend backend);
void TakeAllProposals(benchmark::State &state, Backend backend);
void TakeAllProposalsFloor(benchmark::State &state, Backend backend);
void UndoTakeAll(benchmark::State &state, Backend backend);
void Save(benchmark::State &state, Backend backend);
void FilterSwitch(benchmark::State &state, Backend backend);
void ImportArtlief(benchmark::State &state, Backend backend);
void ImportArtliefFloor(benchmark::State &state, Backend backend);

} // namespace bench
