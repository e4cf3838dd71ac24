#!/usr/bin/env bash
# Benchmark of the lookup service (fonwerkctl serve): latency and throughput
# of GET /lookup with concurrent keep-alive clients (bench/serve_load.cpp), on
# generated contacts in SQLite and PostgreSQL.
#
#   scripts/bench-serve.sh [--count 1000000] [--providers "sqlite postgres"]
#                          [--connections 8] [--rate 5000] [--duration 20]
#                          [--sessions 4] [--build DIR] [--work DIR] [--port 54372]
#
# For every provider: generate the contacts (fonwerk-gen, fixed seed), fill
# TAPI with the baseline rebuild (bench/baseline.h; it writes the rows fonwerk
# writes, faster), draw the query values from TAPI (stored numbers, the same
# with an extension, in international notation with "+49 (0)", unknown
# numbers, all stored at most 3 times, as a caller's number is; and, in a run
# of their own, the e-mail addresses stored least often, in other letter case:
# the generator repeats values, "089" or "zimmermann1@gmx.de", up to thousands
# of times, and an answer with thousands of matches measures megabytes of
# JSON rather than a lookup),
# VACUUM ANALYZE on PostgreSQL, start the service on a free loopback port, warm it up
# for 3 s, and run --connections clients for --duration seconds, twice: on a
# schedule of --rate lookups per second in all (latency counted from the moment
# each request was due, as calls arrive), then flat out (the throughput), then
# on the schedule again with 1,000 idle and 64 half-sent connections held open
# beside the clients (careless and hostile clients). The
# report (markdown) is printed and written to WORK/results.md. The clients run
# on the same machine as the service and the database, and take a share of
# the cores.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=1000000
providers="sqlite postgres"
connections=8
rate=5000
duration=20
sessions=4
most_rows=3
build=$repo/build-bench
work=/tmp/fonwerk-bench-serve
port=54372
bench_name=bench-serve
# shellcheck source=scripts/lib/bench.sh
source "$repo/scripts/lib/bench.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --count) count=$2; shift 2 ;;
    --providers) providers=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --sessions) sessions=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    -h | --help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

bench_paths
bench_build fonwerkctl fonwerk-gen fonwerk-baseline fonwerk-serve-load
load=$build/bench/fonwerk-serve-load

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

urlencode() { sed -e 's/%/%25/g' -e 's/+/%2B/g' -e 's/ /%20/g' -e 's/@/%40/g' -e 's/(/%28/g' -e 's/)/%29/g'; }

# The query values of the number run: equal shares of four kinds.
number_values() {
  local provider=$1 dir=$2 db=$3 sample="$work/stored.txt"
  query "$provider" "$dir" "$db" "SELECT NUMMER FROM TAPI t WHERE NUMMER LIKE '0%' AND NUMMER NOT LIKE '00%' \
    AND NUMMER NOT LIKE '%@%' AND length(NUMMER) >= 7 \
    AND (SELECT count(*) FROM TAPI u WHERE u.NUMMER = t.NUMMER) <= $most_rows \
    ORDER BY DSN LIMIT 4000 OFFSET 5000" >"$sample"
  [[ -s $sample ]] || die "no stored numbers in TAPI"
  {
    cat "$sample"
    sed 's/$/-12/' "$sample"
    sed 's/^0\(..\)/+49 (0)\1 /' "$sample"
    awk '{ printf "0999%07d\n", NR }' "$sample"
  } | shuf --random-source=<(yes) | urlencode
}

# The addresses stored least often (the generator repeats every address
# many times); the most matches among them goes to $work/address_rows.txt.
address_values() {
  local provider=$1 dir=$2 db=$3
  query "$provider" "$dir" "$db" "SELECT upper(min(NUMMER)) || ' ' || count(*) FROM TAPI \
    WHERE NUMMER LIKE '%@%' AND NUMMER NOT LIKE '% %' GROUP BY lower(NUMMER) \
    ORDER BY count(*), lower(NUMMER) LIMIT 4000" >"$work/address_counts.txt"
  [[ -s $work/address_counts.txt ]] || die "no addresses in TAPI"
  awk '{ print $2 }' "$work/address_counts.txt" | sort -n | tail -n 1 >"$work/address_rows.txt"
  awk '{ print $1 }' "$work/address_counts.txt" | urlencode
}

start_service() {
  local dir=$1
  : >"$work/serve.log"  # there before the service writes it: the loop below reads it at once
  "$ctl" --install "$dir" serve --listen 127.0.0.1:0 --sessions "$sessions" 2>"$work/serve.log" &
  service_pid=$!
  local i
  for ((i = 0; i < 300; i++)); do
    service_port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/serve.log")
    [[ -n $service_port ]] && return 0
    kill -0 "$service_pid" 2>/dev/null || die "the service did not start: $(cat "$work/serve.log")"
    sleep 0.1
  done
  die "the service did not report its port"
}

stop_service() {
  kill -TERM "$service_pid"
  wait "$service_pid" || die "the service ended with status $?"
  service_pid=""
}

# Runs the clients on the values file at `rate` lookups/s (0: flat out),
# with further options of fonwerk-serve-load after them;
# prints "median_ms p99_ms max_ms lookups_per_s failures".
run_load() {
  local values=$1 seconds=$2 rate=$3
  shift 3
  "$load" --port "$service_port" --values "$values" --clients "$connections" --rate "$rate" \
    --duration "$seconds" "$@" >"$work/load.log" 2>&1 || die "the load failed: $(cat "$work/load.log")"
  awk '/^FONWERK/ {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      printf "%.3f %.3f %.3f %.0f %d\n", v["median_us"] / 1000, v["p99_us"] / 1000,
        v["max_us"] / 1000, v["requests"] / v["seconds"], v["failures"]
    }' "$work/load.log"
}

# Appends a row of the report: provider, queries, load, then run_load's figures.
add_row() {
  local provider=$1 queries=$2 how=$3 median p99 max per_s failures
  read -r median p99 max per_s failures
  echo "   $queries, $how: median $median ms, p99 $p99 ms, $per_s/s, failures $failures" >&2
  report+="| $provider | $queries | $how | $median | $p99 | $max | $per_s | $failures |"$'\n'
}

report=""
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date '+%Y-%m-%d %H:%M')
for provider in $providers; do
  dir=$work/inst-$provider db=fwserve_$count
  echo "== $provider, $count contacts" >&2
  generate "$provider" "$dir" "$db" "$count"
  "$baseline" --connect "$connect" >"$work/baseline.log" 2>&1 || die "baseline: $(cat "$work/baseline.log")"
  # Statistics for the planner and the visibility map, as autovacuum makes
  # them soon after a rebuild: without them PostgreSQL joins AD by a full
  # scan, and the autovacuum of the new rows would run during the measurement.
  [[ $provider == postgres ]] && query "$provider" "$dir" "$db" "VACUUM ANALYZE" >/dev/null
  rows=$(query "$provider" "$dir" "$db" "SELECT count(*) FROM TAPI")
  echo "   TAPI rows: $rows" >&2
  number_values "$provider" "$dir" "$db" >"$work/numbers.txt"
  address_values "$provider" "$dir" "$db" >"$work/addresses.txt"

  start_service "$dir"
  run_load "$work/numbers.txt" 3 0 >/dev/null
  run_load "$work/numbers.txt" "$duration" "$rate" >"$work/row.txt"
  add_row "$provider" numbers "$rate/s scheduled" <"$work/row.txt"
  run_load "$work/numbers.txt" "$duration" 0 >"$work/row.txt"
  add_row "$provider" numbers "flat out" <"$work/row.txt"
  run_load "$work/numbers.txt" "$duration" "$rate" --idle 1000 --half-sent 64 >"$work/row.txt"
  add_row "$provider" numbers "$rate/s scheduled, 1,000 idle and 64 half-sent connections open" \
    <"$work/row.txt"
  run_load "$work/addresses.txt" "$duration" 0 >"$work/row.txt"
  add_row "$provider" "e-mail addresses (up to $(cat "$work/address_rows.txt") matches each)" \
    "flat out" <"$work/row.txt"
  stop_service
  rm -rf "$dir"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

{
  echo "## Lookup service: $count contacts, $connections concurrent clients"
  echo
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//');"
  echo "run $started; load average before $load_before, after $load_after."
  echo "$connections keep-alive clients for ${duration}s per row (fonwerk-serve-load), service with --sessions $sessions."
  echo
  echo "| database | queries | load | median ms | p99 ms | max ms | lookups/s | failures |"
  echo "|---|---|---|---:|---:|---:|---:|---:|"
  printf '%s' "$report"
} | tee "$results"
