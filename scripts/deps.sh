#!/usr/bin/env bash
# Installs the Debian packages that are missing.
# Usage: scripts/deps.sh [--run] [extra package ...]
#   --run   only what building and running the program needs (scripts/run.sh, scripts/package.sh);
#           without it also the tests, benchmarks, whole-program test, fuzz targets and sanitizers.
set -euo pipefail

run_set=(
  cmake g++ make pkg-config ccache
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6sql6-sqlite libqt6sql6-psql libpq-dev libsqlite3-dev libcrypt-dev libgl-dev
  qt6-translations-l10n libxlsxwriter-dev libzip-dev
  fonts-dejavu-core xdg-utils
)
test_set=(
  libgtest-dev libgmock-dev libbenchmark-dev lld
  postgresql sqlite3 poppler-utils dpkg-dev file openssl
  xvfb xdotool imagemagick x11-utils
  clang libclang-rt-14-dev
  libreoffice-calc-nogui
)

packages=("${run_set[@]}")
if [ "${1:-}" = "--run" ]; then
  shift
else
  packages+=("${test_set[@]}")
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
else
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
