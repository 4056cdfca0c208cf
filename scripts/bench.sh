#!/usr/bin/env bash
# Builds the benchmarks in Release (build/bench) and runs them: the embedded database and a throwaway
# PostgreSQL cluster on 127.0.0.1, each figure beside its floor. Reports only; slow is no failure.
# Usage: scripts/bench.sh [Google Benchmark options], e.g. --benchmark_filter=SQLite
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=${KORVEX_BENCH_BUILD_DIR:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvex_bench korvex-hauptlief
exec "$build/bench/korvex_bench" "$@"
