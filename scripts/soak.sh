#!/usr/bin/env bash
# The soak under faults for longer or wider runs than CI's minute: several clerks' programs on one
# throwaway PostgreSQL cluster (restarted in the middle, one clerk killed and started again) and on
# one SQLite file (one clerk fewer, 5/8 of the time), then the checks of tests/soak/SoakTest.cpp.
# Usage: scripts/soak.sh [--seconds N] [--clerks N]   (defaults 40 and 4, as in CI; KORVEX_BUILD_DIR
# sets the build folder, build/ci by default)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=40
clerks=4
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --clerks) clerks=${2:?--clerks needs a number}; shift 2 ;;
    *) echo "usage: scripts/soak.sh [--seconds N] [--clerks N]" >&2; exit 2 ;;
  esac
done
case "$seconds$clerks" in *[!0-9]*) echo "soak.sh: --seconds and --clerks take whole numbers" >&2; exit 2 ;; esac
if [ "$seconds" -lt 4 ] || [ "$clerks" -lt 2 ] || [ "$clerks" -gt 40 ]; then
  echo "soak.sh: at least 4 seconds, 2 to 40 clerks" >&2
  exit 2
fi

scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/ci}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVEX_WERROR=ON -DKORVEX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target test_soak korvex_soak_clerk

# The test program itself rather than ctest, whose time limit for it is CI's.
export QT_QPA_PLATFORM=offscreen LANG=de_DE.UTF-8 LC_ALL= KORVEX_SOAK_SECONDS=$seconds KORVEX_SOAK_CLERKS=$clerks
exec "$build/tests/soak/test_soak"
