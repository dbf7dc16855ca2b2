#!/usr/bin/env bash
# Sets up, builds and runs the Launcher for real on a demo install folder (build/demo/Client):
# the test Lobby as Lobby.exe, a server.dat and a pending update. Prints the Launcher's
# diagnostic lines, its exit code and what the Lobby received.
# Usage: scripts/demo.sh [--windows]   (--windows runs Launcher.exe under Wine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

target=linux
[ "${1:-}" = --windows ] && target=windows
launcher=launcher
[ "$target" = windows ] && launcher=Launcher.exe

scripts/setup.sh
if [ "$target" = windows ]; then
  . scripts/windows-build.sh
  if [ "$windows_build" != windows ]; then
    echo "demo: this machine cannot run 32-bit programs (Wine's 32-bit loader: Exec format error);" \
         "running build/win64, the same Launcher built for x86_64"
    target=$windows_build
  fi
fi
scripts/build.sh "--$target"

demo=$root/build/demo
client=$demo/Client
rm -rf "$demo"
mkdir -p "$client/resources" "$client/update_100/resources" "$client/update_100/plugins"
cp "build/$target/bin/$launcher" "build/$target/bin/Lobby.exe" "$client/"
printf 'Demo::site settings that the Launcher ignores\r\n' > "$client/server.dat"
echo "version 1" > "$client/version.txt"
echo "old archive" > "$client/resources/app.asar"
echo "version 2" > "$client/update_100/version.txt"
echo "new archive" > "$client/update_100/resources/app.asar_tmp"
echo "a plugin the update adds" > "$client/update_100/plugins/chat.dll"

echo "== install folder before the run"
(cd "$client" && find . -type f ! -name "$launcher" ! -name Lobby.exe ! -name lobby-runs.jsonl | sort)
echo "== running $client/$launcher (a pending update waits 5 s for running Lobbies to end)"
set +e
if [ "$launcher" = Launcher.exe ]; then
  export WINEPREFIX=$root/build/$target/wineprefix
  # Wine's server and services outlive the programs they ran: end what this demo started.
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  scripts/wine-run.sh wineboot
  (cd "$demo" && WINEDEBUG=-all wine "$client/$launcher")
else
  (cd "$demo" && "$client/$launcher")
fi
code=$?
set -e
echo "== exit code: $code"

for _ in $(seq 100); do [ -s "$client/lobby-runs.jsonl" ] && break; sleep 0.1; done
echo "== install folder after the run"
(cd "$client" && find . -type f ! -name "$launcher" ! -name Lobby.exe ! -name lobby-runs.jsonl | sort)
echo "== version.txt: $(cat "$client/version.txt"); resources/app.asar: $(cat "$client/resources/app.asar")"
echo "== timing log: $(cat "$demo/liveUpdateLog.log" 2>/dev/null || echo none)"
echo "== what the Lobby received"
if [ -s "$client/lobby-runs.jsonl" ]; then
  /usr/bin/python3 - "$client/lobby-runs.jsonl" <<'PY'
import json, sys
record = json.loads(open(sys.argv[1]).readline())
print("command line:", record["commandLine"])
for i, argument in enumerate(record["argv"]):
    print(f"argument {i}:", argument)
print("current directory:", record["cwd"])
PY
else
  echo "(the Lobby was not started)"
fi
