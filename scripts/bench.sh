#!/usr/bin/env bash
# Times the native Launcher against the least its jobs need (scripts/bench/ says how it is timed,
# each figure's module in scripts/bench/figures what it compares) and prints ratios and a summary
# with each figure's goal; a few minutes on two cores.
# Scratch trees go below $BENCH_DIR (default build/bench) and are removed at the end; it should be
# a disk file system, the one the main update figure is about. The tmpfs figures use /dev/shm.
# Other options go to scripts/bench, e.g. --only launch or --launch-runs 50 (--help lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Only what is timed gets built, so that work in progress elsewhere in the tree cannot stop it.
[ -f build/linux/build.ninja ] || scripts/build.sh --linux
ninja -C build/linux --quiet launcher test_lobby minimal_start minimal_copier
# Launcher.exe only for its count of file opens under Wine, where the Windows build is set up
# (its x86_64 stand-in where this machine cannot run 32-bit programs).
. scripts/windows-build.sh
windows=()
if [ -f "build/$windows_build/build.ninja" ] && ninja -C "build/$windows_build" --quiet launcher test_lobby; then
  windows=(--windows-bin "$root/build/$windows_build/bin")
fi
if [ ! -x /usr/bin/time ]; then
  echo "bench: /usr/bin/time is missing (Debian package time); the memory figure is skipped" >&2
fi
exec /usr/bin/python3 "$root/scripts/bench" --bin "$root/build/linux/bin" "${windows[@]}" \
  --work "${BENCH_DIR:-$root/build/bench}" "$@"
