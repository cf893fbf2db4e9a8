#!/usr/bin/env bash
# The main job, end to end on this machine: builds the helpers, makes a signed sample
# application (1.0.0) and a signed update archive (2.0.0), and updates the application in
# place exactly as the desktop application drives the update helper: a background
# preparation, then a foreground session that swaps the new version in, relaunches it, and
# removes the previous version once the new one has confirmed its start.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target mirelo-update-helper mirelo-open mirelo-codesign mirelo-sample-app
bin=$PWD/build/bin

root=$(mktemp -d /tmp/mirelo-demo-XXXXXX)
app_pid=
trap '[ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null; rm -rf "$root"' EXIT
apps="$root/Applications"
jobs="$root/jobs"
prepare="$jobs/prepare-1"
session="$jobs/session-1"
mkdir -p "$apps" "$prepare" "$session" "$root/downloads" "$root/build-2.0.0"

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
cat > "$prepare/request.json" <<JSON
{"archive":"$root/downloads/Mirelo-2.0.0.zip","executable":"$apps/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","tag":"stable-2.0.0"}
JSON
echo "request.json: $(cat "$prepare/request.json")"
echo "--probe (1 = free): exit $(status "$bin/mirelo-update-helper" --probe "$prepare")"
start=$(date +%s%N)
code=$(status "$bin/mirelo-update-helper" --prepare "$prepare")
echo "--prepare: exit $code after $(ms "$start") ms"
[ -f "$prepare/failure.json" ] && echo "failure.json: $(cat "$prepare/failure.json")"
[ "$code" = 0 ]
echo "prepared.json: $(cat "$prepare/prepared.json")"
echo "beside the installed application:"
ls -a "$apps"

echo
echo "== 2. The desktop application (a running process) hands over to a foreground session"
sleep 600 &
app_pid=$!
cat > "$session/native-install.json" <<JSON
{"archive":"$root/downloads/Mirelo-2.0.0.zip","executable":"$apps/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","pid":$app_pid,"prepared":"$prepare"}
JSON
echo "native-install.json: $(cat "$session/native-install.json")"
start=$(date +%s%N)
# The relaunched application confirms its start by writing "complete" into the session's
# phase file; the sample application does that when it finds the session in its environment.
MIRELO_SAMPLE_CONFIRM="$session" MIRELO_SAMPLE_STARTED="$root/started.log" \
  "$bin/mirelo-update-helper" --run "$session" &
helper_pid=$!
while [ ! -f "$session/ready" ]; do
  kill -0 "$helper_pid" 2>/dev/null || break
  sleep 0.01
done
echo "ready after $(ms "$start") ms: $(cat "$session/ready" 2>/dev/null)"
echo "adopted.json moved into the session: $( [ -f "$session/adopted.json" ] && echo yes || echo no)"

echo
echo "== 3. The application announces \"installing\" and quits"
printf installing > "$session/.phase.new" && mv -f "$session/.phase.new" "$session/phase"
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=
start=$(date +%s%N)
set +e; wait "$helper_pid"; code=$?; set -e
echo "--run: exit $code, $(ms "$start") ms after the application quit"

echo
echo "== 4. What is left"
echo "relaunched versions: $(tr '\n' ' ' < "$root/started.log" 2>/dev/null)"
echo "phase: $(cat "$session/phase")"
echo "installed version: $(installed_version)"
"$bin/mirelo-codesign" verify --strict --nested "$apps/Mirelo.app" && echo "installed bundle verifies strictly"
echo "beside the installed application (the previous version is gone):"
ls -a "$apps"
echo "session directory: $(ls "$session" | tr '\n' ' ')"
if [ -f "$jobs/launcher-events.jsonl" ]; then
  echo "launcher-events.jsonl:"; cat "$jobs/launcher-events.jsonl"
else
  echo "launcher-events.jsonl: none (nothing fell back, failed or expired)"
fi
echo "--probe on the session directory (1 = free): exit $(status "$bin/mirelo-update-helper" --probe "$session")"
[ "$code" = 0 ] && [ "$(installed_version)" = 2.0.0 ]
