#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/ci}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVEX_WERROR=ON -DKORVEX_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --timeout 900
