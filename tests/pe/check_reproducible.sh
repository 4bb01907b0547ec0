#!/usr/bin/env bash
# Two builds of one commit give a byte-identical launcher.exe (and engine/test programs).
#
#   check_reproducible.sh SOURCE_DIR REFERENCE_WIN_BUILD_DIR
#
# Configures a second Windows build in a fresh folder under another path, builds launcher.exe
# there (liblzma included; the unpacked xz-utils source is copied from the reference build so
# that nothing is fetched again) and compares every bin/*.exe with the reference build's.
set -euo pipefail
src=$(cd "${1:?usage: check_reproducible.sh SOURCE_DIR REFERENCE_WIN_BUILD_DIR}" && pwd)
ref=$(cd "${2:?usage: check_reproducible.sh SOURCE_DIR REFERENCE_WIN_BUILD_DIR}" && pwd)
[ -f "$ref/bin/launcher.exe" ] || { echo "FAIL: no $ref/bin/launcher.exe"; exit 1; }

other=$(mktemp -d /tmp/ravelkit-repro.XXXXXX)
trap 'rm -rf "$other"' EXIT
mkdir -p "$other/elsewhere/win/liblzma"
if [ -f "$ref/liblzma/src/.unpacked" ]; then
  cp -a "$ref/liblzma/src" "$other/elsewhere/win/liblzma/src"
fi
cmake -S "$src" -B "$other/elsewhere/win" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" >"$other/log" 2>&1 \
  && cmake --build "$other/elsewhere/win" -j"$(nproc)" >>"$other/log" 2>&1 \
  || { tail -n 30 "$other/log"; echo "FAIL: the second build failed"; exit 1; }

status=0
count=0
for exe in "$ref"/bin/*.exe; do
  name=$(basename "$exe")
  count=$((count + 1))
  if ! cmp -s "$exe" "$other/elsewhere/win/bin/$name"; then
    echo "FAIL: $name differs between $ref and a second build"
    status=1
  fi
done
[ "$status" = 0 ] && echo "OK: $count programs byte-identical in two builds ($(stat -c %s "$ref/bin/launcher.exe") bytes launcher.exe)"
exit $status
