#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine as far as needed, builds everything and runs the whole
# test suite with CTest.
#   tools/run-tests.sh              normal build in build/
#   tools/run-tests.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options+=(-DMIRELO_SANITIZE=ON -DMIRELO_BENCH=OFF)
fi

tools/install-deps.sh
cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --timeout 900
