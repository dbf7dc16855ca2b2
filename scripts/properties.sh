#!/usr/bin/env bash
# Runs the property tests (tests/e2e/test_properties.py) with a longer, random budget than CI's
# fixed one, and shrinks a failing example to its smallest case: keep that case in FOUND there.
# Options: --examples N (default 200), --windows (Launcher.exe under Wine; else the native build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

examples=200 target=linux
while [ $# -gt 0 ]; do
  case "$1" in
    --examples) examples=$2; shift 2 ;;
    --windows) target=windows; shift ;;
    *) echo "usage: scripts/properties.sh [--examples N] [--windows]" >&2; exit 2 ;;
  esac
done

e2e_target=$target
if [ "$target" = windows ]; then
  # Where 32-bit programs cannot run, the x86_64 build stands in for Launcher.exe.
  . scripts/windows-build.sh
  target=$windows_build
fi
[ -f "build/$target/build.ninja" ] || scripts/build.sh "--$target"
ninja -C "build/$target" --quiet
export WINEPREFIX=$root/build/$target/wineprefix
if [ "$e2e_target" = windows ]; then
  scripts/wine-run.sh wineboot
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
fi
cd tests/e2e
E2E_TARGET=$e2e_target E2E_BIN=$root/build/$target/bin E2E_PROPERTY_LONG=1 E2E_PROPERTY_EXAMPLES=$examples \
  /usr/bin/python3 -m unittest -v test_properties
