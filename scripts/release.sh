#!/usr/bin/env bash
# Builds the Launcher.exe that publishers ship, in a build folder of its own (build/release,
# made afresh each time), optionally signs it, and writes OUT_DIR/Launcher.exe and
# OUT_DIR/SHA256SUMS. Sets the machine up first, as the other scripts do.
#   scripts/release.sh [--sign PFX [--timestamp URL]] OUT_DIR
# --sign signs with Authenticode (SHA-256) through scripts/sign.sh; the PFX password comes from
# the environment variable LAUNCHER_SIGN_PASSWORD. --timestamp asks that time-stamp authority
# (RFC 3161) to countersign, so that the signature outlives the certificate.
#
# The same commit gives the same bytes, whatever the path of the checkout and the time of the
# build. To check it, build twice and compare:
#   git clone REPO /tmp/a && git clone REPO /tmp/b      (the same commit in both)
#   /tmp/a/scripts/release.sh /tmp/out-a && /tmp/b/scripts/release.sh /tmp/out-b
#   cmp /tmp/out-a/Launcher.exe /tmp/out-b/Launcher.exe
# A signed release differs from that build by its signature only: extract the signature from the
# shipped file and attach it to a build of your own, and the two must be identical:
#   osslsigncode extract-signature -in Launcher.exe -out launcher.sig
#   osslsigncode attach-signature -sigin launcher.sig -in /tmp/out-a/Launcher.exe -out rebuilt.exe
#   cmp Launcher.exe rebuilt.exe
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)

fail() { echo "release: $*" >&2; exit 1; }
usage() { fail "usage: scripts/release.sh [--sign PFX [--timestamp URL]] OUT_DIR"; }

pfx= timestamp=()
while [ $# -gt 1 ]; do
  case "$1" in
    --sign) pfx=$(realpath -m -- "$2"); shift 2 ;;
    --timestamp) timestamp=(--timestamp "$2"); shift 2 ;;
    *) usage ;;
  esac
done
[ $# -eq 1 ] && [ "${1#-}" = "$1" ] || usage
out=$(realpath -m -- "$1")
[ ${#timestamp[@]} -eq 0 ] || [ -n "$pfx" ] || fail "--timestamp needs --sign"
# Found before the set-up and the build rather than after them.
[ -z "$pfx" ] || [ -f "$pfx" ] || fail "no certificate file $pfx"

cd "$root"
scripts/setup.sh
[ -z "$pfx" ] || scripts/sign.sh "$pfx"

# For every tool that stamps the build with the time: the commit's time, not the clock's. From an
# archive without history, the newest file stands for the commit.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  source_name="commit $(git rev-parse --short HEAD)"
  [ -z "$(git status --porcelain --untracked-files=no)" ] || source_name+=" with uncommitted changes"
else
  SOURCE_DATE_EPOCH=$(find . -path ./build -prune -o -type f -printf '%T@\n' | sort -n | tail -n 1 | cut -d. -f1)
  source_name="sources without history"
fi
export SOURCE_DATE_EPOCH
echo "release: building Launcher.exe from $source_name (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"

build=build/release
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DLAUNCHER_TESTS=OFF >/dev/null
ninja -C "$build" --quiet launcher
/usr/bin/python3 scripts/check_pe.py "$build/bin/Launcher.exe" >"$build/check_pe.log" ||
  { cat "$build/check_pe.log" >&2; fail "the built Launcher.exe fails its PE check"; }

stage=$build/stage
mkdir -p "$stage"
if [ -n "$pfx" ]; then
  scripts/sign.sh "${timestamp[@]}" "$pfx" "$build/bin/Launcher.exe" "$stage/Launcher.exe"
else
  cp "$build/bin/Launcher.exe" "$stage/Launcher.exe"
fi
(cd "$stage" && sha256sum Launcher.exe > SHA256SUMS)

# Each file is renamed into place only when complete, so OUT_DIR never holds a half-written one.
mkdir -p "$out"
for file in Launcher.exe SHA256SUMS; do
  cp "$stage/$file" "$out/.$file.partial"
  mv -f "$out/.$file.partial" "$out/$file"
done
echo "release: $out/Launcher.exe${pfx:+ (signed)}"
echo "release: SHA-256 $(cut -d' ' -f1 "$out/SHA256SUMS")"
