#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test. The checks that need
# builds of their own (the Debian package, the fuzz targets, the suite under the sanitizers) run
# first; the main test run comes last, so its summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/ci}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVEX_WERROR=ON -DKORVEX_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"

# The Debian package as users get it: from a Release build of the two programs only (build/release),
# stripped, with its copyright file and documents; the script checks them.
KORVEX_BUILD_DIR=build/release scripts/package.sh >"$build/package.log" 2>&1 || { cat "$build/package.log"; exit 1; }
echo "Debian package: built and checked ($(tail -n 1 "$build/package.log"))"

# Bad input on purpose: each fuzz target for a bounded time (clang, libFuzzer, ASan, UBSan; build/fuzz).
scripts/fuzz.sh 20
# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan).
scripts/sanitize.sh

cd "$build"
ctest --output-on-failure --timeout 900
