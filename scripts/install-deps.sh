#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

need=(cmake make g++ pkg-config liblzma-dev libgtest-dev libgmock-dev zlib1g-dev
      g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 dpkg-dev
      osslsigncode openssl xz-utils python3 clang-14 libclang-rt-14-dev
      wine wine32:i386 wine64 xvfb)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  fresh_index=1
fi

# apt-get source needs deb-src entries; add them once for the same suites.
if ! grep -rqsE '^Types:.*deb-src|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  cat >/etc/apt/sources.list.d/ravelkit-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fresh_index=1
fi

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ -n "${fresh_index:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
fi
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
