#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (a build folder of its own, every
# library instrumented, AddressSanitizer and UndefinedBehaviorSanitizer on) and
# fuzzes the named targets one after another, each for the given time.
#
#   fuzz/run.sh [-t SECONDS] [-b BUILD_DIR] [-m] [TARGET...]
#
#   -t SECONDS   time per target (default 120)
#   -b DIR       build folder (default build-fuzz)
#   -m           merge inputs that found new coverage into fuzz/corpus/<target>
#   TARGET       default: every target of fuzz/targets.cmake
#
# A failing property or a sanitizer report stops the target and leaves the
# input as crash-* in the build folder's fuzz-out/<target>/; replay it with
# BUILD_DIR/fuzz/<target> FILE. The final statistics line of every target
# (executions, rate, coverage) is printed at the end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=120
build=build-fuzz
merge=0
while getopts "t:b:m" option; do
  case $option in
    t) seconds=$OPTARG ;;
    b) build=$OPTARG ;;
    m) merge=1 ;;
    *) exit 64 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(sed -n '/^set(FONWERK_FUZZ_TARGETS/,/^)/{/^  /s/^  //p}' fuzz/targets.cmake)
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DFONWERK_FUZZ=ON -DFONWERK_BUILD_TESTS=OFF -DFONWERK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
summary=()
status=0
for target in "${targets[@]}"; do
  out=$build/fuzz-out/$target
  work=$out/corpus
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$target"/* "$work"/
  echo "== $target: $seconds s"
  if ! (cd "$out" && "../../fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 "corpus" >"log.txt" 2>&1); then
    status=1
    echo "   FAILED: see $out/log.txt"
    grep -m5 -E "property failed|ERROR: |SUMMARY" "$out/log.txt" || true
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$out/log.txt" | awk '{print $2}')
  rate=$(grep -m1 'stat::average_exec_per_sec' "$out/log.txt" | awk '{print $2}')
  last=$(grep -E '^#[0-9]+' "$out/log.txt" | tail -n 1 | sed 's/  */ /g')
  summary+=("$target: ${runs:-?} runs, ${rate:-?}/s; $last")
  if ((merge)); then
    "$build/fuzz/$target" -merge=1 "fuzz/corpus/$target" "$work" >"$out/merge.txt" 2>&1
    echo "   corpus now $(find "fuzz/corpus/$target" -type f | wc -l) files"
  fi
done
printf '%s\n' "${summary[@]}"
exit "$status"
