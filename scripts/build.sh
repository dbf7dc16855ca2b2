#!/usr/bin/env bash
# Configures and builds both targets: build/linux (native) and build/windows (MinGW-w64, i686).
# Options: --linux or --windows builds one target only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=(linux windows)
case "${1:-}" in
  --linux) targets=(linux) ;;
  --windows) targets=(windows) ;;
esac

for target in "${targets[@]}"; do
  if [ ! -f "build/$target/build.ninja" ]; then
    case "$target" in
      linux) cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ;;
      windows) cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null ;;
    esac
  fi
  ninja -C "build/$target" --quiet
done
