#!/usr/bin/env bash
# Cross-compiles a static, decoder-only liblzma (raw LZMA1 only) for i686-w64-mingw32 from
# Debian's xz-utils source package, once per build folder.
#
#   scripts/build-liblzma.sh WORK_DIR [HOST]
#
# WORK_DIR (inside the build folder, never the source tree) receives the source package, the
# build tree and the install prefix WORK_DIR/prefix with lib/liblzma.a and include/lzma.h.
# A second run finds WORK_DIR/prefix/.built and does nothing. LIBLZMA_CFLAGS overrides the
# optimisation flags (default -O2; "-Os" with LIBLZMA_SMALL=1 adds --enable-small).
set -euo pipefail

work=${1:?usage: build-liblzma.sh WORK_DIR [HOST]}
host=${2:-i686-w64-mingw32}
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix
stamp=$prefix/.built

# The flags and this script decide the library; the stamp records them, so that a change of
# either rebuilds it and nothing else does.
if [ "${LIBLZMA_SMALL:-0}" = 1 ]; then
  opt=${LIBLZMA_CFLAGS:--Os}
  small=(--enable-small)
else
  opt=${LIBLZMA_CFLAGS:--O2}
  small=()
fi
config="$opt ${small[*]:-} | ${LIBLZMA_ARCH_FLAGS:-} | $(sha256sum <"${BASH_SOURCE[0]}" | cut -c1-16)"
if [ -f "$stamp" ] && [ -f "$prefix/lib/liblzma.a" ] && [ -f "$prefix/include/lzma.h" ] &&
   [ "$(cat "$stamp")" = "$config" ]; then
  exit 0
fi

start=$(date +%s)

# 1. The source package: apt-get source fetches .dsc, orig and debian tarballs; unpacking
#    with dpkg-source applies Debian's patches. --download-only first, because apt-get source
#    runs as root unsandboxed and its unpack step is what needs dpkg-dev.
src=$work/src
if [ ! -f "$src/.unpacked" ]; then
  rm -rf "$src" "$work/download"
  mkdir -p "$work/download"
  if ! (cd "$work/download" && apt-get source --download-only -q xz-utils >apt.log 2>&1); then
    cat "$work/download/apt.log" >&2
    echo "build-liblzma: apt-get source xz-utils failed (a deb-src entry is needed: scripts/install-deps.sh adds it)" >&2
    exit 1
  fi
  dsc=$(ls "$work"/download/xz-utils_*.dsc | head -n 1)
  dpkg-source --no-check -x "$dsc" "$src" >/dev/null
  touch "$src/.unpacked"
fi

# 2. Configure and build out of tree. NDEBUG: liblzma's assert() would pull in the C
#    run-time's _assert and bake source paths into the launcher. -fno-asynchronous-unwind-tables
#    and the per-function sections let --gc-sections drop every unused routine.
cflags="$opt ${LIBLZMA_ARCH_FLAGS:-} -DNDEBUG -fno-asynchronous-unwind-tables -fno-unwind-tables \
-ffunction-sections -fdata-sections -fno-stack-protector -fno-ident -ffile-prefix-map=$work=."

# Run from inside a make of CMake: its jobserver is not ours.
unset MAKEFLAGS MFLAGS MAKELEVEL
obj=$work/obj
rm -rf "$obj" "$prefix"
mkdir -p "$obj"
cd "$obj"
log=$work/build.log
{
  "$src/configure" --host="$host" --prefix="$prefix" \
    --disable-shared --enable-static \
    --disable-encoders --enable-decoders=lzma1 \
    --disable-threads --disable-microlzma --disable-lzip-decoder \
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
    --disable-scripts --disable-doc --disable-nls \
    "${small[@]}" \
    CFLAGS="$cflags" ARFLAGS=cr &&
  make -j"$(nproc)" -C src/liblzma &&
  make -C src/liblzma install
} >"$log" 2>&1 || {
  tail -n 40 "$log" >&2
  echo "build-liblzma: the cross build of liblzma failed (whole log: $log)" >&2
  exit 1
}

printf '%s\n' "$config" >"$stamp"
echo "build-liblzma: $prefix/lib/liblzma.a built in $(( $(date +%s) - start )) s ($opt${small:+ --enable-small})"
