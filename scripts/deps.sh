#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, where they are missing.
# Usage: scripts/deps.sh [extra package ...]
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libpq-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  postgresql sqlite3 poppler-utils fonts-dejavu-core xdg-utils dpkg-dev file
  xvfb xdotool imagemagick x11-utils
  clang libclang-rt-14-dev
  "$@"
)

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
