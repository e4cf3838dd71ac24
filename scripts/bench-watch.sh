#!/usr/bin/env bash
# Benchmark of the live refresh (fonwerkctl serve --watch): how long a change
# committed to AD takes until the service answers with it, on generated
# contacts in SQLite and PostgreSQL.
#
#   scripts/bench-watch.sh [--counts "2000 1000000"] [--providers "sqlite postgres"]
#                          [--changes 300] [--gap-ms 100] [--stream]
#                          [--build DIR] [--work DIR] [--port 54373]
#
# For every count and provider: generate the contacts (fonwerk-gen, fixed
# seed), fill TAPI with the baseline rebuild (VACUUM ANALYZE afterwards on
# PostgreSQL), enable the change capture (fonwerkctl watch --enable), start
# `fonwerkctl serve --watch` on a free loopback port and wait until it
# follows the changes. Then fonwerk-watch-latency (bench/watch_latency.cpp)
# gives --changes random contacts, one after the other with --gap-ms between
# them, a new telephone number each (one UPDATE AD, committed on its own) and
# asks the service for it every millisecond until the answer names the
# contact: the latency counts from the commit to that answer.
#
# With --stream it also runs the random edit stream of the reliability suite
# with 10,000 edits from three writers on both providers, the watcher killed
# with SIGKILL and started again twice, and TAPI compared with a full rebuild
# (tests/reliability/watch_test.cpp; needs a build with the tests).
#
# The report (markdown) is printed and written to WORK/results.md.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
counts="2000 1000000"
providers="sqlite postgres"
changes=300
gap_ms=100
stream=0
build=$repo/build-bench
work=/tmp/fonwerk-bench-watch
port=54373
bench_name=bench-watch
# shellcheck source=scripts/lib/bench.sh
source "$repo/scripts/lib/bench.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --counts) counts=$2; shift 2 ;;
    --providers) providers=$2; shift 2 ;;
    --changes) changes=$2; shift 2 ;;
    --gap-ms) gap_ms=$2; shift 2 ;;
    --stream) stream=1; shift ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    -h | --help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

bench_paths
bench_build fonwerkctl fonwerk-gen fonwerk-baseline fonwerk-watch-latency
latency=$build/bench/fonwerk-watch-latency

rm -rf "$work"
mkdir -p "$work"
service_pid=""

cleanup() {
  if [[ -n $service_pid ]]; then kill -TERM "$service_pid" 2>/dev/null || true; fi
  bench_stop_server
  rm -rf "$work/inst-"*
}
trap cleanup EXIT
bench_start_server

# Starts serve --watch and waits until its follower follows the changes.
start_service() {
  local dir=$1 i
  : >"$work/serve.log"
  "$ctl" --install "$dir" serve --watch --listen 127.0.0.1:0 2>"$work/serve.log" &
  service_pid=$!
  for ((i = 0; i < 6000; i++)); do
    service_port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/serve.log")
    if [[ -n $service_port ]] && grep -q "following the changes" "$work/serve.log"; then return 0; fi
    kill -0 "$service_pid" 2>/dev/null || die "the service did not start: $(cat "$work/serve.log")"
    sleep 0.1
  done
  die "the service did not follow the changes: $(cat "$work/serve.log")"
}

stop_service() {
  kill -TERM "$service_pid"
  wait "$service_pid" || die "the service ended with status $?"
  service_pid=""
}

report=""
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date '+%Y-%m-%d %H:%M')
for count in $counts; do
  for provider in $providers; do
    dir=$work/inst-$provider db=fwwatch_$count
    echo "== $provider, $count contacts" >&2
    generate "$provider" "$dir" "$db" "$count"
    "$baseline" --connect "$connect" >"$work/baseline.log" 2>&1 || die "baseline: $(cat "$work/baseline.log")"
    [[ $provider == postgres ]] && query "$provider" "$dir" "$db" "VACUUM ANALYZE" >/dev/null
    "$ctl" --install "$dir" watch --enable >/dev/null
    query "$provider" "$dir" "$db" "SELECT DSN FROM AD ORDER BY random() LIMIT $changes" >"$work/keys.txt"
    start_service "$dir"
    "$latency" --connect "$connect" --port "$service_port" --keys "$work/keys.txt" \
      --changes "$changes" --gap-ms "$gap_ms" >"$work/latency.log" 2>&1 ||
      die "the measurement failed: $(cat "$work/latency.log")"
    stop_service
    row=$(awk '/^FONWERK/ {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "%s | %s | %s | %s | %s", v["median_ms"], v["p90_ms"], v["p99_ms"], v["max_ms"], v["failures"]
      }' "$work/latency.log")
    echo "   $row" >&2
    report+="| $count | $provider | $changes | $row |"$'\n'
    rm -rf "$dir"
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

stream_report=""
if [[ $stream -eq 1 ]]; then
  echo "== random edit stream, 10,000 edits" >&2
  cmake --build "$build" -j2 --target reliability_test >/dev/null 2>&1 ||
    die "the reliability tests are not built in $build (configure it with -DFONWERK_BUILD_TESTS=ON)"
  # The test's throwaway servers come from the ctest fixture `pg`.
  if FONWERK_WATCH_EDITS=10000 ctest --test-dir "$build" -R 'WatchTest.RandomEdits' \
    --output-on-failure >"$work/stream.log" 2>&1; then
    stream_report="Random edit stream (10,000 edits, 3 writers, 2 SIGKILLs of the watcher): TAPI equal to a full rebuild on both databases."
  else
    stream_report="Random edit stream (10,000 edits): FAILED, see $work/stream.log"
  fi
  echo "   $stream_report" >&2
fi

{
  echo "## Live refresh: latency from a change of AD to the answer of serve --watch"
  echo
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//');"
  echo "run $started; load average before $load_before, after $load_after."
  echo "$changes changes per row, one every ${gap_ms} ms plus the wait for its answer."
  echo
  echo "| contacts | database | changes | median ms | p90 ms | p99 ms | max ms | failures |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|"
  printf '%s' "$report"
  if [[ -n $stream_report ]]; then echo; echo "$stream_report"; fi
} | tee "$results"
