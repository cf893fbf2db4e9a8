#!/usr/bin/env bash
# The main job, end to end on this machine: builds the helpers and shows the update helper
# guarding a work directory with its instance lock.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
helper=build/bin/mirelo-update-helper

work=$(mktemp -d /tmp/mirelo-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
jobs="$work/jobs/prepare-1"
mkdir -p "$jobs"

status() { set +e; "$@"; local code=$?; set -e; echo "$code"; }

echo "== work directory: $jobs"
echo "-- --probe on an idle directory (1 = free): exit $(status "$helper" --probe "$jobs")"
ls -l "$jobs"
echo "-- while another process holds active.lock:"
exec 9>"$jobs/active.lock"
flock -n 9
echo "   --probe   (0 = busy):         exit $(status "$helper" --probe "$jobs")"
echo "   --prepare (3 = busy):         exit $(status "$helper" --prepare "$jobs")"
echo "   --run     (2 = refused):      exit $(status "$helper" --run "$jobs")"
exec 9>&-
echo "-- lock released; --probe again: exit $(status "$helper" --probe "$jobs")"
echo "-- bad command line (2):         exit $(status "$helper" --probe)"
