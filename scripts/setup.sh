#!/usr/bin/env bash
# Installs everything a build and a test run need on Debian 12, as root. Idempotent: when
# everything is already in place it only checks and returns within seconds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
boost_src=${BOOST_SRC_DIR:-/opt/boost1.81-src}

packages=(
  build-essential cmake ninja-build pkg-config git xz-utils dpkg-dev python3 python3-pefile
  clang libclang-rt-14-dev llvm
  libboost1.81-dev libboost-filesystem1.81-dev googletest
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64
  e2fsprogs time strace
)

missing() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

# Boost.Filesystem is not packaged for MinGW: its sources come from Debian's source package.
sources=/etc/apt/sources.list.d/debian.sources
if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
  sed -e 's/^Types: deb$/Types: deb-src/' "$sources" > /etc/apt/sources.list.d/debian-src.sources
  need_update=1
fi

todo=$(missing)
if [ -n "$todo" ] || [ -n "${need_update:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  todo=$(missing)
  # shellcheck disable=SC2086
  [ -z "$todo" ] || apt-get install -y -qq --no-install-recommends $todo >/dev/null
fi

if [ ! -f "$boost_src/libs/filesystem/src/operations.cpp" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source --download-only boost1.81 >/dev/null 2>&1 || \
     { apt-get update -qq && apt-get source --download-only boost1.81 >/dev/null; })
  mkdir -p "$boost_src"
  tar -xJf "$tmp"/boost1.81_1.81.0.orig.tar.xz -C "$boost_src" --strip-components=1 \
      boost/libs/filesystem/src 2>/dev/null || \
  tar -xJf "$tmp"/boost1.81_1.81.0.orig.tar.xz -C "$boost_src" --strip-components=1 \
      --wildcards '*/libs/filesystem/src'
  rm -rf "$tmp"
fi
echo "setup: ready (Boost.Filesystem sources in $boost_src)"
