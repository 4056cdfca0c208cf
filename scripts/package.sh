#!/usr/bin/env bash
# Builds the Debian package from a Release build (build/release, shared with scripts/run.sh) and
# checks what it holds: stripped programs, the copyright file, and every document the installed
# README and its neighbours link to.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --run dpkg-dev file

build=${KORVEX_BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target korvex-hauptlief korvex-db
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/*.deb)

contents=$(mktemp -d)
trap 'rm -rf "$contents"' EXIT
dpkg-deb -x "$deb" "$contents"
fail() { echo "package.sh: $deb: $*" >&2; exit 1; }
for program in korvex-hauptlief korvex-db; do
  info=$(file -b "$contents/usr/bin/$program") || fail "usr/bin/$program is missing"
  case "$info" in
    *"not stripped"*) fail "usr/bin/$program is not stripped" ;;
    *stripped*) ;;
    *) fail "usr/bin/$program: $info" ;;
  esac
done
doc="$contents/usr/share/doc/korvex-hauptlief"
[ -s "$doc/copyright" ] || fail "usr/share/doc/korvex-hauptlief/copyright is missing"
while IFS= read -r page; do
  # Relative links only; addresses and anchors within a page need no file.
  for link in $(grep -o '](\([^)#:]*\)[)#]' "$page" | sed 's/^](//; s/.$//' || true); do
    [ -e "$(dirname "$page")/$link" ] || fail "${page#"$contents"} links to $link, which is not installed"
  done
done < <(find "$doc" -name '*.md')
echo "$deb"
