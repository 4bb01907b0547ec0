#!/usr/bin/env bash
# Builds the benchmark's Windows programs into build/bench/bin with the cross compiler, against
# the static decoder-only liblzma of the Windows build (build/win/liblzma, made by
# scripts/build.sh):
#   runner.exe    runs a command line in a job object, prints time to first child and peak memory
#   baseline.exe  liblzma alone: the same payload decoded into one buffer, written, started
#   realloc.exe   how the system heap grows one large block
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=build/bench/bin
lzma=build/win/liblzma/prefix
if [ ! -f "$lzma/lib/liblzma.a" ]; then
  echo "bench/build.sh: $lzma/lib/liblzma.a is missing; run scripts/build.sh first" >&2
  exit 1
fi
mkdir -p "$out"
cc=i686-w64-mingw32-gcc
cxx=i686-w64-mingw32-g++
flags=(-O2 -Wall -Wextra -Wno-cast-function-type)

$cc "${flags[@]}" -o "$out/runner.exe" bench/runner/runner.c -lpsapi
$cc "${flags[@]}" -o "$out/realloc.exe" bench/realloc/realloc.c -lpsapi
# C++ only for the package records of package/StubTypes.h; linked by the C driver, so no C++
# run-time library comes in.
$cxx "${flags[@]}" -fno-exceptions -fno-rtti -DLZMA_API_STATIC -I"$root" -I"$lzma/include" \
  -c -o "$out/baseline.o" bench/baseline/baseline.cpp
$cc -o "$out/baseline.exe" "$out/baseline.o" "$lzma/lib/liblzma.a" -luser32 -ladvapi32 -lshell32
rm -f "$out/baseline.o"
