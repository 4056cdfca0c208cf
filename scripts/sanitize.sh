#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan) and runs the
# whole test suite once more. Any sanitizer report fails the test that caused it, and so the script.
# Usage: scripts/sanitize.sh [extra ctest arguments]   (KORVEX_ASAN_BUILD_DIR sets the folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh

build=${KORVEX_ASAN_BUILD_DIR:-build/asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVEX_WERROR=ON -DKORVEX_BUILD_TESTS=ON -DKORVEX_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# Leaks are looked for at the end of every test program. Qt's plugins and the system libraries
# under them keep a few allocations for the life of the process; scripts/lsan.supp names exactly
# those, by the libraries' own functions, and never a function of ours.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

cd "$build"
ctest --output-on-failure --timeout 1800 -j"$(nproc)" "$@"
