#!/usr/bin/env bash
# Runs a Windows program under Wine in the test run's own prefix (created on first use).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/windows/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Wine's server and its background services outlive the program and keep every descriptor they
# inherit: start them here with none of ours, or a caller reading our output would wait for them.
mkdir -p "$WINEPREFIX"
wineserver -p 30 </dev/null >/dev/null 2>&1 || true
wine wineboot --init </dev/null >/dev/null 2>&1
[ "${1:-}" = wineboot ] && exit 0
exec wine "$@"
