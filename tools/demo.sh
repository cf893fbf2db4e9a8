#!/usr/bin/env bash
# The main job, end to end on this machine: builds the helpers, makes a signed sample
# application (1.0.0) and a signed update archive (2.0.0), and updates the application in
# place exactly as the desktop application drives the update helper: a background
# preparation, then a foreground session that swaps the new version in, relaunches it, and
# removes the previous version once the new one has confirmed its start. The desktop
# application's side is mirelo-update-client, the command over the client library.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target mirelo-update-helper mirelo-open mirelo-update-client mirelo-codesign mirelo-sample-app
bin=$PWD/build/bin

root=$(mktemp -d /tmp/mirelo-demo-XXXXXX)
app_pid=
trap '[ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null; rm -rf "$root"' EXIT
apps="$root/Applications"
jobs="$root/jobs"
mkdir -p "$apps" "$root/downloads" "$root/build-2.0.0"
client() { "$bin/mirelo-update-client" --parent "$jobs" "$@"; }
executable="$apps/Mirelo.app/Contents/MacOS/Mirelo"
archive="$root/downloads/Mirelo-2.0.0.zip"

status() { set +e; "$@"; local code=$?; set -e; echo "$code"; }
installed_version() {
  sed -n 's:.*<string>\([0-9][0-9.]*\)</string>.*:\1:p' "$apps/Mirelo.app/Contents/Info.plist" | head -1
}
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

echo "== A developer key, the installed application (1.0.0) and its signed update (2.0.0)"
"$bin/mirelo-codesign" keygen "$root/developer.pem"
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 1.0.0 \
  --files 400 --bytes 20000000 --key "$root/developer.pem" "$apps" >/dev/null
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 2.0.0 \
  --files 400 --bytes 20000000 --key "$root/developer.pem" "$root/build-2.0.0" >/dev/null
"$bin/mirelo-sample-app" archive "$root/build-2.0.0/Mirelo.app" "$root/downloads/Mirelo-2.0.0.zip" >/dev/null
"$bin/mirelo-codesign" show "$apps/Mirelo.app"
echo "installed version: $(installed_version)"

echo
echo "== 1. Background preparation, while the application keeps running"
client setup --executable "$executable"
prepare=$(client new-job prepare)
echo "work folder $jobs, preparation directory $(basename "$prepare")"
echo "probe: $(client probe "$prepare")"
start=$(date +%s%N)
set +e
client --json prepare "$prepare" --archive "$archive" --executable "$executable" \
  --version 2.0.0 --tag stable-2.0.0 >"$root/prepare.json"
code=$?
set -e
echo "prepare: exit $code after $(ms "$start") ms: $(cat "$root/prepare.json")"
[ "$code" = 0 ]
echo "request.json, as the client wrote it: $(cat "$prepare/request.json")"
echo "beside the installed application:"
ls -a "$apps"

echo
echo "== 2. The desktop application (a running process) hands over to a foreground session"
sleep 600 &
app_pid=$!
session=$(client new-job install)
start=$(date +%s%N)
# The relaunched application notes its start; it is the one that confirms below.
MIRELO_SAMPLE_STARTED="$root/started.log" client --json install "$session" --archive "$archive" \
  --executable "$executable" --version 2.0.0 --pid "$app_pid" --prepared "$prepare"
echo "ready after $(ms "$start") ms"
echo "native-install.json, as the client wrote it: $(cat "$session/native-install.json")"
echo "adopted.json moved into the session: $( [ -f "$session/adopted.json" ] && echo yes || echo no)"
second=$(client new-job install)
set +e
client install "$second" --archive "$archive" --executable "$executable" --version 2.0.0 --pid "$app_pid"
echo "a second application instance asking to install: exit $? (3 = busy, no second session)"
set -e
rmdir "$second"  # untouched: the client wrote nothing into it

echo
echo "== 3. The application announces \"installing\" and quits"
client phase "$session" installing
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
start=$(date +%s%N)
while ! grep -qx 2.0.0 "$root/started.log" 2>/dev/null; do sleep 0.01; done
echo "2.0.0 relaunched $(ms "$start") ms after the application quit"

echo
echo "== 4. The relaunched application confirms the session waiting for it"
client confirm --executable "$executable" --version 2.0.0
set +e; while [ "$(client probe "$session")" = busy ]; do sleep 0.01; done; set -e
echo "the session ended $(ms "$start") ms after the application quit"
code=0
echo
echo "== 5. What is left"
echo "relaunched versions: $(tr '\n' ' ' < "$root/started.log" 2>/dev/null)"
echo "phase: $(cat "$session/phase")"
echo "installed version: $(installed_version)"
"$bin/mirelo-codesign" verify --strict --nested "$apps/Mirelo.app" && echo "installed bundle verifies strictly"
echo "beside the installed application (the previous version is gone):"
ls -a "$apps"
echo "session directory: $(ls "$session" | tr '\n' ' ')"
events=$(client events)
echo "launcher events: ${events:-none (nothing fell back, failed or expired)}"
echo "probe on the session directory: $(client probe "$session")"
echo
echo "== 6. Housekeeping: the finished work directories go"
client clean
ls -a "$jobs"
[ "$code" = 0 ] && [ "$(installed_version)" = 2.0.0 ]
