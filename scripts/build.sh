#!/usr/bin/env bash
# Configures and builds both targets: build/linux (native) and build/windows (MinGW-w64, i686),
# and build/linux-asan, the native build under AddressSanitizer and UndefinedBehaviorSanitizer.
# Where this machine cannot run 32-bit programs (scripts/windows-build.sh), build/windows builds
# Launcher.exe only, and build/win64 builds the same code for x86_64 to run the Windows tests.
# Options: --linux, --windows, --linux-asan or --win64 builds that one only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

. scripts/windows-build.sh
targets=(linux windows linux-asan)
[ "$windows_build" = windows ] || targets+=(win64)
case "${1:-}" in
  --linux) targets=(linux) ;;
  --windows) targets=(windows) ;;
  --linux-asan) targets=(linux-asan) ;;
  --win64) targets=(win64) ;;
esac

for target in "${targets[@]}"; do
  if [ ! -f "build/$target/build.ninja" ]; then
    case "$target" in
      linux) cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ;;
      linux-asan) cmake -S . -B build/linux-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                    -DLAUNCHER_SANITIZE=ON >/dev/null ;;
      windows) cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null ;;
      win64) cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null ;;
    esac
  fi
  if [ "$target" = windows ] && [ "$windows_build" != windows ]; then
    ninja -C build/windows --quiet launcher
  else
    ninja -C "build/$target" --quiet
  fi
done
