#!/usr/bin/env bash
# The main job, end to end on this machine: builds the helpers, makes a signed sample
# application and a signed update archive, and lets the update helper prepare the update in
# the background, exactly as the desktop application would, then throw it away again.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target mirelo-update-helper mirelo-codesign mirelo-sample-app
bin=$PWD/build/bin

root=$(mktemp -d /tmp/mirelo-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
apps="$root/Applications"
work="$root/jobs/prepare-1"
mkdir -p "$apps" "$work" "$root/downloads" "$root/build-2.0.0"

status() { set +e; "$@"; local code=$?; set -e; echo "$code"; }

echo "== A developer key, the installed application (1.0.0) and its signed update (2.0.0)"
"$bin/mirelo-codesign" keygen "$root/developer.pem"
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 1.0.0 \
  --files 400 --bytes 20000000 --key "$root/developer.pem" "$apps" >/dev/null
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 2.0.0 \
  --files 400 --bytes 20000000 --key "$root/developer.pem" "$root/build-2.0.0" >/dev/null
"$bin/mirelo-sample-app" archive "$root/build-2.0.0/Mirelo.app" "$root/downloads/Mirelo-2.0.0.zip" >/dev/null
"$bin/mirelo-codesign" show "$apps/Mirelo.app"
ls -l "$root/downloads"

echo
echo "== request.json, as the desktop application writes it"
cat > "$work/request.json" <<JSON
{"archive":"$root/downloads/Mirelo-2.0.0.zip","executable":"$apps/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","tag":"stable-2.0.0"}
JSON
cat "$work/request.json"

echo
echo "== --probe on the idle work directory (1 = free): exit $(status "$bin/mirelo-update-helper" --probe "$work")"
echo "== --prepare"
start=$(date +%s%N)
code=$(status "$bin/mirelo-update-helper" --prepare "$work")
end=$(date +%s%N)
echo "exit $code after $(( (end - start) / 1000000 )) ms"
echo "-- the work directory:"
ls -l "$work"
if [ -f "$work/prepared.json" ]; then
  echo "-- prepared.json:"
  cat "$work/prepared.json"; echo
fi
if [ -f "$work/failure.json" ]; then
  echo "-- failure.json:"
  cat "$work/failure.json"; echo
fi
echo "-- the parked candidate beside the installed application:"
ls -la "$apps"
for staging in "$apps"/.mirelo-update-*; do
  [ -d "$staging" ] || continue
  ls -la "$staging"
  "$bin/mirelo-codesign" show "$staging/prepared"
done

echo
echo "== --discard: exit $(status "$bin/mirelo-update-helper" --discard "$work")"
ls -l "$work"
ls -la "$apps"
[ "$code" = 0 ]
