#!/usr/bin/env bash
# Builds the Debian package in build/package.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

build=${KORVEX_BUILD_DIR:-build/package}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target korvex-hauptlief korvex-db
(cd "$build" && cpack -G DEB)
ls "$build"/*.deb
