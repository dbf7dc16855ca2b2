#!/usr/bin/env bash
# Sets up the machine, builds both targets and runs every test: unit and end-to-end tests of the
# native build, of the native build under the sanitizers, and of the Windows build under Wine (with
# a check of Launcher.exe's header, imports and resources); then each fuzzer briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh

export WINEPREFIX=$root/build/windows/wineprefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

status=0
for target in linux linux-asan windows; do
  echo "== tests: $target"
  ctest --test-dir "build/$target" -j2 --output-on-failure || status=1
done
echo "== fuzzing"
scripts/fuzz.sh || status=1
exit $status
