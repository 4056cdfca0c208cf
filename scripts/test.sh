#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test. The checks that need
# builds of their own (the Debian package, the fuzz targets, the suite under the sanitizers) run
# first; the main test run comes last, so its summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."

# What each step took, printed as it ends and once more at the close.
started=$SECONDS
times=()
step() {
  local name=$1 begun=$SECONDS
  shift
  "$@"
  times+=("$(printf '%-34s %5d s' "$name" $((SECONDS - begun)))")
  echo "== $name: $((SECONDS - begun)) s"
}

step "packages" scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/ci}
step "configure" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVEX_WERROR=ON -DKORVEX_BUILD_TESTS=ON
step "build (Debug, tests)" cmake --build "$build" -j"$(nproc)"

# The Debian package as users get it: from a Release build of the two programs only (build/release),
# stripped, with its copyright file and documents; the script checks them.
package() {
  KORVEX_BUILD_DIR=build/release scripts/package.sh >"$build/package.log" 2>&1 || { cat "$build/package.log"; exit 1; }
  echo "Debian package: built and checked ($(tail -n 1 "$build/package.log"))"
}
step "package (Release)" package

# Bad input on purpose: each fuzz target for a bounded time (clang, libFuzzer, ASan, UBSan; build/fuzz).
step "fuzzing (build and run)" scripts/fuzz.sh 20
# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan).
step "sanitizers (build and suite)" scripts/sanitize.sh

# The tests wait on servers, displays and each other's processes more than they compute, and each
# takes its own port, display and files: they run side by side, one per core.
cd "$build"
step "suite" ctest --output-on-failure --timeout 900 -j"$(nproc)"
printf '%s\n' "${times[@]}"
echo "== all: $((SECONDS - started)) s"
