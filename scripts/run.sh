#!/usr/bin/env bash
# Installs what is missing, builds the program, creates the embedded demo database in the user's
# data folder if it is not there yet, and starts the program on it with the demo login.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target korvex-hauptlief korvex-db

data="${XDG_DATA_HOME:-$HOME/.local/share}/KORVEX"
db="$data/korvex-demo.sqlite"
mkdir -p "$data"
if [ ! -f "$db" ]; then
  "$build/src/server/korvex-db" --demo "$db"
fi

# Company 1, branch 0, the demo clerk; the server address is the database file, so nothing is dialled.
exec "$build/src/app/korvex-hauptlief" 1 0 DEMO demo "$db" 1972 KORVEX "$@"
