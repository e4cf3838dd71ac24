#!/usr/bin/env bash
# Benchmark of lookups while a report holds TAPI: a PostgreSQL primary and its
# streaming hot standby (scripts/pg-test-server.sh), `fonwerkctl serve`, and
# clients asking for stored numbers on a schedule (bench/serve_load.cpp),
# while a session named "report" keeps TAPI open in a transaction
# (BEGIN; SELECT count(*) FROM tapi; ... COMMIT) and `fonwerk` rebuilds.
#
#   scripts/bench-stall.sh [--count 20000] [--hold 20] [--clients 4] [--rate 200]
#                          [--budget-ms 800] [--build DIR] [--work DIR] [--port 54380]
#
# Scenarios, each with a service of its own:
#   primary    the report on the primary, the service reads the primary,
#              fonwerk --wait-readers 600 (it waits for the report)
#   give-up    the same with fonwerk --wait-readers 5 (it gives up: status 3)
#   standby    the report on the standby, the service reads the standby
#              ([Replica] in SQL.INI) and falls back to the primary
# For each: lookups asked, over 1 s, failed (no answer, not 200, or no match
# for a stored number), median/p99/max latency, fonwerk's status and seconds,
# TAPI's rows afterwards. The report (markdown) goes to WORK/results.md.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=20000
hold=20
clients=4
rate=200
budget=800
build=$repo/build-bench
work=/tmp/fonwerk-bench-stall
port=54380
providers=postgres
bench_name=bench-stall
# shellcheck source=scripts/lib/bench.sh
source "$repo/scripts/lib/bench.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --count) count=$2; shift 2 ;;
    --hold) hold=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --budget-ms) budget=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

bench_paths
bench_build fonwerk fonwerkctl fonwerk-gen fonwerk-serve-load
fonwerk=$build/batch/fonwerk
load=$build/bench/fonwerk-serve-load
standby_dir=$work/standby
standby_port=$((port + 1))
install=$work/install
db=stall

cleanup() {
  [[ -n ${service_pid:-} ]] && kill "$service_pid" 2>/dev/null || true
  "$repo/scripts/pg-test-server.sh" stop "$standby_dir" "$standby_port" >/dev/null 2>&1 || true
  bench_stop_server
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
bench_start_server
generate postgres "$install" "$db" "$count"
"$fonwerk" "$install" >/dev/null
psql_q "$db" "VACUUM ANALYZE tapi" >/dev/null
"$repo/scripts/pg-test-server.sh" standby "$standby_dir" "$standby_port" "$pg_dir" "$port" >/dev/null
# Stored numbers that one contact holds, as a caller's number is. Left out:
# the few stored with the own country's international prefix ("00 49 ..." as
# typed keeps its 0049), which a lookup of those digits reduces to 0...
psql_q "$db" "SELECT nummer FROM tapi WHERE nummer NOT LIKE '%@%' AND nummer NOT LIKE '0049%'
              GROUP BY nummer HAVING count(*) = 1 ORDER BY md5(nummer) LIMIT 2000" >"$work/values.txt"
rows_before=$(psql_q "$db" "SELECT count(*) FROM tapi")
ini=$install/SQL/SQL.INI
cp "$ini" "$work/SQL.INI.primary"

start_service() {
  "$ctl" --install "$install" serve --listen 127.0.0.1:0 --sessions 4 --budget-ms "$budget" \
    2>"$work/serve.err" &
  service_pid=$!
  local i
  for ((i = 0; i < 100; i++)); do
    service_port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/serve.err")
    [[ -n $service_port ]] && return 0
    sleep 0.1
  done
  die "the service did not start: $(cat "$work/serve.err")"
}

# scenario NAME REPORT_SOCKET REPORT_PORT WAIT_READERS
scenario() {
  local name=$1 socket=$2 report_port=$3 wait_readers=$4
  start_service
  "$load" --port "$service_port" --values "$work/values.txt" --clients "$clients" --rate "$rate" \
    --duration $((hold + 8)) --expect-matches >"$work/$name.load" &
  local load_pid=$!
  sleep 2
  psql -h "$socket" -p "$report_port" -U postgres -d "$db" -q \
    -c "SET application_name = 'report'" -c "BEGIN" -c "SELECT count(*) FROM tapi" \
    -c "SELECT pg_sleep($hold)" -c "COMMIT" >/dev/null 2>&1 &
  local report_pid=$!
  sleep 1
  local began status=0 took
  began=$EPOCHREALTIME
  "$fonwerk" --wait-readers "$wait_readers" "$install" >"$work/$name.fonwerk" 2>&1 || status=$?
  took=$(awk -v a="$began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  wait "$report_pid" || true
  wait "$load_pid"
  kill "$service_pid"
  wait "$service_pid" || true
  service_pid=
  local rows
  rows=$(psql_q "$db" "SELECT count(*) FROM tapi")
  awk -v name="$name" -v status="$status" -v took="$took" -v rows="$rows" '
    /^FONWERK/ {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      printf "| %s | %d | %d | %d | %.1f | %.1f | %.1f | %d | %.1f | %d |\n", name, v["requests"],
             v["over_1s"], v["failures"], v["median_us"] / 1000, v["p99_us"] / 1000,
             v["max_us"] / 1000, status, took, rows
    }' "$work/$name.load" >>"$results"
}

{
  echo "Report holding TAPI for $hold s during a rebuild; $count contacts ($rows_before TAPI rows),"
  echo "$clients clients at $rate lookups/s in all, serve --budget-ms $budget, $(date -u +%F)."
  echo
  echo "| scenario | lookups | over 1 s | failed | median ms | p99 ms | max ms | fonwerk status | fonwerk s | TAPI rows after |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
} >"$results"

scenario primary "$pg_socket" "$port" 600
scenario give-up "$pg_socket" "$port" 5
cat "$work/SQL.INI.primary" >"$ini"
printf '\n[Replica]\nHost=%s\nPort=%s\n' "$standby_dir/socket" "$standby_port" >>"$ini"
scenario standby "$standby_dir/socket" "$standby_port" 600
cp "$work/SQL.INI.primary" "$ini"

cat "$results"
