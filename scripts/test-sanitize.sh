#!/usr/bin/env bash
# Builds Fonwerk with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole test suite there. Any sanitizer report fails
# the run: the programs abort on the first one (also the fonwerk and
# fonwerkctl processes the end-to-end tests start, which inherit the options).
# The suite's PostgreSQL server gets its own folder and port, so this can run
# beside the normal build's tests.
#
#   scripts/test-sanitize.sh [BUILD_DIR]     (default: build-asan)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=${1:-build-asan}
case $build in
  /*) ;;
  *) build=$PWD/$build ;;
esac

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DFONWERK_SANITIZE=ON \
  -DFONWERK_BUILD_TESTS=ON -DFONWERK_BUILD_BENCH=OFF \
  -DFONWERK_TEST_PG_PORT=54339 -DFONWERK_TEST_PG_DIR="$build/pgtest"
cmake --build "$build" -j2

# halt_on_error and abort_on_error stop at the first report with a failing
# status; detect_leaks also checks every process at its exit. A program killed
# by a test (SIGKILL) is not checked, which is what those tests intend.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:print_stacktrace=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=print_suppressions=0
exec ctest --test-dir "$build" --output-on-failure -j2
