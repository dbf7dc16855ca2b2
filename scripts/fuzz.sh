#!/usr/bin/env bash
# Fuzzes the readers of outside input (server.dat, update folder names, the command line, the
# lobby's command line, rollback paths, installation records) with libFuzzer, AddressSanitizer
# and UBSan. Needs clang and libclang-rt-14-dev; builds in build/fuzz.
#
#   scripts/fuzz.sh
#       Configures and builds build/fuzz, then runs every fuzzer for 20 s from its committed
#       corpus in tests/fuzz/corpus/<target> (ctest; any finding fails the test).
#   scripts/fuzz.sh --long SECONDS [TARGET]
#       Runs TARGET, or each target in turn, for SECONDS against build/fuzz/corpus-work/<target>,
#       seeded from the committed corpus. The work corpus grows and is kept between runs.
#
# Targets: site_settings update_folders flags command_line rollback_store installation_record.
# A finding is written to build/fuzz/artifacts/<target>/ and replays with
#   build/fuzz/bin/<target>_fuzz build/fuzz/artifacts/<target>/crash-...
# Worth keeping as a seed: copy it into tests/fuzz/corpus/<target>/ once the bug is fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=(site_settings update_folders flags command_line rollback_store installation_record)
long_seconds=
case "${1:-}" in
  "") ;;
  --long)
    long_seconds=${2:?"--long needs a number of seconds"}
    if [ -n "${3:-}" ]; then
      if [ ! -d "tests/fuzz/corpus/$3" ]; then
        echo "unknown fuzz target: $3 (one of: ${targets[*]})" >&2
        exit 2
      fi
      targets=("$3")
    fi
    ;;
  *)
    echo "usage: scripts/fuzz.sh [--long SECONDS [TARGET]]" >&2
    exit 2
    ;;
esac

if [ ! -f build/fuzz/build.ninja ]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAUNCHER_FUZZ=ON >/dev/null
fi
cmake --build build/fuzz -- --quiet

if [ -z "$long_seconds" ]; then
  exec ctest --test-dir build/fuzz -j2 --output-on-failure
fi

status=0
for target in "${targets[@]}"; do
  work=build/fuzz/corpus-work/$target
  artifacts=build/fuzz/artifacts/$target
  mkdir -p "$work" "$artifacts"
  command=(build/fuzz/bin/${target}_fuzz "$work" "tests/fuzz/corpus/$target"
           -max_total_time="$long_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  echo "== $target: ${command[*]}"
  "${command[@]}" || { status=1; echo "== $target: finding kept in $artifacts/"; }
done
exit $status
