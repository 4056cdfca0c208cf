#!/usr/bin/env bash
# Builds the Debian package from a Release build (build/release, shared with scripts/run.sh) and
# checks what it holds: stripped programs built with the distribution's hardening (PIE, full RELRO,
# stack protector, FORTIFY), the copyright file, and every document the installed README and its
# neighbours link to.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --run dpkg-dev file binutils

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
# What packaging/Hardening.cmake puts into a Release build, read back from the binary itself.
# FORTIFY shows as the checked forms (__X_chk) of libc's functions, which the compiler uses where it
# knows a buffer's size; memcpy, memmove and memset with sizes known only at run time stay plain.
# So, as Debian's hardening-check counts it, a program is fortified when it calls a checked form or
# calls no other fortifiable function than those three; and the package as a whole must call one.
fortified=0
hardening() {
  local bin=$1 name=${1#"$contents"/} header dynamic segments symbols libc fortifiable plain
  header=$(readelf -hW "$bin") dynamic=$(readelf -dW "$bin") segments=$(readelf -lW "$bin")
  symbols=$(readelf --dyn-syms -W "$bin")
  grep -Eq 'Type:[[:space:]]+DYN' <<<"$header" && grep -Eq '\(FLAGS_1\).*PIE' <<<"$dynamic" ||
    fail "$name is not a position-independent executable"
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no RELRO segment"
  grep -Eq '\(BIND_NOW\)|\(FLAGS_1\).*NOW' <<<"$dynamic" || fail "$name has only partial RELRO (no BIND_NOW)"
  grep -Eq ' UND __stack_chk_fail(@|$)' <<<"$symbols" || fail "$name is not built with the stack protector"
  if grep -Eq ' UND __[A-Za-z0-9_]+_chk(@|$)' <<<"$symbols"; then
    fortified=$((fortified + 1))
    return
  fi
  libc=$(ldd "$bin" | awk '$1 == "libc.so.6" {print $3}')
  [ -n "$libc" ] || fail "$name: libc.so.6 not found"
  fortifiable=$(readelf --dyn-syms -W "$libc" | awk '{sub(/@.*/, "", $8); print $8}' |
    sed -n 's/^__\(.*\)_chk$/\1/p' | grep -vxE 'stack|memcpy|memmove|memset' | sort -u)
  plain=$(awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}' <<<"$symbols" | sort -u | grep -xF "$fortifiable" || true)
  [ -z "$plain" ] || fail "$name is not built with FORTIFY (unchecked: $(echo $plain))"
}
for program in korvex-hauptlief korvex-db; do
  info=$(file -b "$contents/usr/bin/$program") || fail "usr/bin/$program is missing"
  case "$info" in
    *"not stripped"*) fail "usr/bin/$program is not stripped" ;;
    *stripped*) ;;
    *) fail "usr/bin/$program: $info" ;;
  esac
  hardening "$contents/usr/bin/$program"
done
[ "$fortified" -gt 0 ] || fail "no program calls a checked libc function: not built with FORTIFY"
doc="$contents/usr/share/doc/korvex-hauptlief"
[ -s "$doc/copyright" ] || fail "usr/share/doc/korvex-hauptlief/copyright is missing"
while IFS= read -r page; do
  # Relative links only; addresses and anchors within a page need no file.
  for link in $(grep -o '](\([^)#:]*\)[)#]' "$page" | sed 's/^](//; s/.$//' || true); do
    [ -e "$(dirname "$page")/$link" ] || fail "${page#"$contents"} links to $link, which is not installed"
  done
done < <(find "$doc" -name '*.md')
echo "$deb"
