#!/usr/bin/env bash
# Configures and builds both targets: build/linux (native) and build/windows (MinGW-w64, i686),
# and build/linux-asan, the native build under AddressSanitizer and UndefinedBehaviorSanitizer.
# Options: --linux, --windows or --linux-asan builds that one only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=(linux windows linux-asan)
case "${1:-}" in
  --linux) targets=(linux) ;;
  --windows) targets=(windows) ;;
  --linux-asan) targets=(linux-asan) ;;
esac

for target in "${targets[@]}"; do
  if [ ! -f "build/$target/build.ninja" ]; then
    case "$target" in
      linux) cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ;;
      linux-asan) cmake -S . -B build/linux-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                    -DLAUNCHER_SANITIZE=ON >/dev/null ;;
      windows) cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null ;;
    esac
  fi
  ninja -C "build/$target" --quiet
done
