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
void StartUp(benchmark::State &state, Backend backend);
void FormLoad(benchmark::State &state, Backend backend);
void PeakMemory(benchmark::State &state, Backend backend);
void TakeAllProposals(benchmark::State &state, Backend backend);
void TakeAllProposalsFloor(benchmark::State &state, Backend backend);
void FilterSwitch(benchmark::State &state, Backend backend);
void ImportArtlief(benchmark::State &state, Backend backend);
void ImportArtliefFloor(benchmark::State &state, Backend backend);

} // namespace bench
