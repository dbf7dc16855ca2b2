#!/usr/bin/env bash
# Sets up the machine, builds both targets and runs every test: unit and end-to-end tests of the
# native build, of the native build under the sanitizers, and of the Windows build under Wine (with
# a check of Launcher.exe's header, imports and resources); then each fuzzer briefly.
# Where this machine cannot run 32-bit programs, the Windows tests run the x86_64 build of the same
# code (build/win64) under Wine's 64-bit loader, and Launcher.exe gets its header check only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh

. scripts/windows-build.sh
windows=$windows_build
[ "$windows" = windows ] || echo "test: this machine cannot run 32-bit programs (Wine's 32-bit loader:" \
  "Exec format error); the Windows tests run build/win64, the same code built for x86_64"
export WINEPREFIX=$root/build/$windows/wineprefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

status=0
rm -f build/*/properties-report.txt
for target in linux linux-asan "$windows"; do
  echo "== tests: $target"
  ctest --test-dir "build/$target" -j2 --output-on-failure || status=1
done
if [ "$windows" = win64 ]; then
  echo "== tests: windows (Launcher.exe's header, imports and resources)"
  ctest --test-dir build/windows -R '^launcher_pe$' --output-on-failure || status=1
fi
for report in build/*/properties-report.txt; do
  [ -f "$report" ] && echo "== $report" && cat "$report"
done
echo "== fuzzing"
scripts/fuzz.sh || status=1
exit $status
