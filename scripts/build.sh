#!/usr/bin/env bash
# Builds everything and gathers the programs in dist/:
#   build/win   the Windows build (cross, MinGW-w64): launcher.exe and the Windows programs of
#               the tests and benchmarks; liblzma is cross-compiled into it once
#   build/host  the host build: the launcher over the simulated Windows, ravelpack, the tests
#   dist/       launcher.exe, pefix, ravelpack and the Windows test programs
#
# The Windows build must succeed. The host build is built as far as it goes (make -k); when it
# fails, everything that did build is still copied and the script exits 1 at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/install-deps.sh

echo "== Windows build (build/win)"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build build/win -j"$jobs" -- --no-print-directory

mkdir -p dist
cp build/win/bin/*.exe dist/
echo "launcher.exe: $(stat -c %s dist/launcher.exe) bytes"

echo "== host build (build/host)"
host_ok=1
if cmake -S . -B build/host -DRAVELKIT_WIN_DIR="$root/build/win"; then
  cmake --build build/host -j"$jobs" -- -k --no-print-directory || host_ok=0
else
  host_ok=0
fi

# pefix: the host build's own when it has one, else the one the Windows build compiled.
pefix=$(find build/host -type f -name pefix -perm -u+x 2>/dev/null | head -n 1)
cp "${pefix:-build/win/host/pefix}" dist/pefix
ravelpack=$(find build/host -type f -name ravelpack -perm -u+x 2>/dev/null | head -n 1)
if [ -n "$ravelpack" ]; then
  cp "$ravelpack" dist/ravelpack
fi

echo "dist/: $(cd dist && ls | tr '\n' ' ')"
if [ "$host_ok" = 0 ]; then
  echo "build.sh: the host build failed (see above); the Windows build is complete in dist/" >&2
  exit 1
fi
