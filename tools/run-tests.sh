#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine as far as needed, builds everything and runs the whole
# test suite with CTest.
#   tools/run-tests.sh              normal build in build/
#   tools/run-tests.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/
#   tools/run-tests.sh --clang-release   a Release build with clang in build-clang-release/
# Warnings are errors here (MIRELO_WERROR), unlike in a plain configure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DMIRELO_WERROR=ON)
case "${1:-}" in
  "") ;;
  --sanitize)
    build=build-sanitize
    options+=(-DMIRELO_SANITIZE=ON -DMIRELO_BENCH=OFF)
    ;;
  --clang-release)
    build=build-clang-release
    options+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DMIRELO_BENCH=OFF)
    ;;
  *)
    echo "usage: tools/run-tests.sh [--sanitize | --clang-release]" >&2
    exit 2
    ;;
esac

tools/install-deps.sh
cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/testing/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --timeout 900
