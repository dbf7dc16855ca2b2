#!/usr/bin/env bash
# Installs everything a build and a test run need on Debian 12, as root. Idempotent: when
# everything is already in place it only checks and returns within seconds. Each step prints one
# line; apt's own output is shown only when a step fails.
set -euo pipefail

boost_src=${BOOST_SRC_DIR:-/opt/boost1.81-src}

packages=(
  build-essential cmake ninja-build pkg-config git xz-utils dpkg-dev python3 python3-pefile
  clang libclang-rt-14-dev llvm
  libboost1.81-dev libboost-filesystem1.81-dev googletest
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64
  osslsigncode openssl
  e2fsprogs time strace gcc-multilib python3-hypothesis
  ntfs-3g exfat-fuse exfatprogs xfsprogs btrfs-progs
)

say() { echo "setup: $*"; }

# Runs a command with its output set aside, and shows that output only if the command fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    say "failed ($status): $*" >&2
  fi
  rm -f "$log"
  return "$status"
}

missing() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

# Boost.Filesystem's sources come from Debian's source package, which apt finds only through
# deb-src entries. Either form of apt sources gets the deb-src twin of its Debian entries.
add_source_entries() {
  local oneline=/etc/apt/sources.list deb822=/etc/apt/sources.list.d/debian.sources
  if grep -qsE '^[[:space:]]*deb-src[[:space:]]' "$oneline" /etc/apt/sources.list.d/*.list ||
     grep -qsE '^Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources; then
    return
  fi
  if grep -qsE '^Types:.*\bdeb\b' "$deb822"; then
    say "adding deb-src entries for Debian's sources: /etc/apt/sources.list.d/debian-src.sources"
    sed -e 's/^Types:.*$/Types: deb-src/' "$deb822" > /etc/apt/sources.list.d/debian-src.sources
  elif grep -qsE '^[[:space:]]*deb[[:space:]]' "$oneline"; then
    say "adding deb-src entries for Debian's sources: /etc/apt/sources.list.d/debian-src.list"
    sed -n -e 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$oneline" > /etc/apt/sources.list.d/debian-src.list
  else
    say "no Debian entry in $oneline or $deb822 to add a deb-src entry for" >&2
    exit 1
  fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture (32-bit Wine runs the 32-bit Launcher.exe)"
  dpkg --add-architecture i386
  need_update=1
fi

if [ ! -f "$boost_src/libs/filesystem/src/operations.cpp" ]; then
  add_source_entries
  need_boost=1 need_update=1
fi

export DEBIAN_FRONTEND=noninteractive
todo=$(missing)
# A mirror caught in the middle of a sync serves a list that does not match its index for a while:
# try again, and go on with the lists that did come, since the packages may not need the others.
update_lists() {
  local attempt
  for attempt in 1 2 3; do
    quietly apt-get update && return
    sleep $((attempt * 10))
  done
  say "some of apt's package lists could not be updated; going on with the others" >&2
}

if [ -n "$todo" ] || [ -n "${need_update:-}" ]; then
  say "updating apt's package lists"
  update_lists
  todo=$(missing)
fi
if [ -n "$todo" ]; then
  # shellcheck disable=SC2086
  total=$(apt-get install -s --no-install-recommends $todo | grep -c '^Inst ' || true)
  say "installing $(wc -w <<<"$todo") packages, $total with their dependencies (minutes on a new machine):" $todo
  # shellcheck disable=SC2086
  quietly apt-get install -y --no-install-recommends $todo
fi

if [ -n "${need_boost:-}" ]; then
  say "fetching Boost 1.81's sources (Debian's source package boost1.81, about 74 MB) into $boost_src"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && quietly apt-get source --download-only boost1.81)
  mkdir -p "$boost_src"
  tar -xJf "$tmp"/boost1.81_1.81.0.orig.tar.xz -C "$boost_src" --strip-components=1 \
      --wildcards '*/libs/filesystem/src'
fi
say "ready"
