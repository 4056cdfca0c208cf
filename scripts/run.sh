#!/usr/bin/env bash
# Installs what building and running need where it is missing, builds the program, creates the
# embedded demo database in the user's data folder if it is not there yet, and starts the program on
# it with the demo login. Arguments go after the seven login fields, where the program ignores them
# and only Qt's own options count (for example -platform offscreen).
set -euo pipefail
cd "$(dirname "$0")/.."

# The program is a desktop window: without a display Qt can only give up.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "scripts/run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty). Start it in a desktop" >&2
  echo "session, or on a virtual X server: xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

scripts/deps.sh --run

build=${KORVEX_BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target korvex-hauptlief korvex-db

data="${XDG_DATA_HOME:-$HOME/.local/share}/KORVEX"
db="$data/korvex-demo.sqlite"
mkdir -p "$data"
if [ ! -f "$db" ]; then
  "$build/src/server/korvex-db" --demo "$db"
else
  # A demo database of an earlier version comes along with every row (a current one is left alone).
  "$build/src/server/korvex-db" upgrade "$db" >/dev/null
fi

# Company 1, branch 0, the demo clerk; the server address is the database file, so nothing is
# dialled. With every field given, the login dialog is skipped and the main window comes at once.
exec "$build/src/app/korvex-hauptlief" 1 0 DEMO demo "$db" 1972 KORVEX "$@"
