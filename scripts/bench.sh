#!/usr/bin/env bash
# End-to-end benchmark of the TAPI rebuild: the real fonwerk against the
# baseline (bench/baseline.h) on generated contacts, on SQLite and PostgreSQL,
# plus the reverse-lookup latency of fonwerkctl and the micro-benchmarks.
#
#   scripts/bench.sh [--sizes "10000 100000 1000000"] [--providers "sqlite postgres"]
#                    [--reps 1] [--build DIR] [--work DIR] [--port 54371]
#                    [--no-lookup] [--no-micro] [--no-sync] [--keep]
#
# For every size and provider: generate AD once; run the baseline once untimed
# (warm-up, and so that every timed run starts from the same full TAPI); then
# --reps times the baseline and fonwerk, alternately, each timed by
# /usr/bin/time (wall clock and peak RSS of the process). The medians go into
# the table. The baseline is the tight row-by-row rebuild on SQLite (one
# transaction, one prepared INSERT into the indexed TAPI, keys in index order)
# and COPY into the indexed TAPI on PostgreSQL; both write fonwerk's
# per-contact log line (bench/baseline.h). Targets: fonwerk at most 0.7x the
# baseline at 1M, peak RSS at most 64 MB at every N, 100k -> 1M at most 11x.
# At the largest size, after fonwerk, the differential refresh runs on the same
# data: fonwerkctl sync right after the rebuild (it compares everything once),
# sync with nothing changed, sync after 1% of the contacts changed (their
# TELEFON gets one more line), sync --full; each timed the same way, with the
# write-ahead log it wrote on PostgreSQL (pg_current_wal_lsn before and after)
# beside the rebuild's. Targets against fonwerk's time: 1% at most 0.2x,
# nothing changed at most 0.15x, --full at most 0.35x, peak RSS at most 64 MB,
# WAL of the 1% sync at most 5% of the rebuild's. --no-sync leaves it out.
# The PostgreSQL server is a throwaway one (scripts/pg-test-server.sh, fsync
# off) started here and stopped at the end. The report is printed and
# written to WORK/results.md. --keep keeps the SQLite installations in WORK
# (the PostgreSQL databases go with the server).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes="10000 100000 1000000"
providers="sqlite postgres"
reps=1
build=$repo/build-bench
work=/tmp/fonwerk-bench
port=54371
lookup=1
micro=1
sync=1
keep=0
bench_name=bench
# shellcheck source=scripts/lib/bench.sh
source "$repo/scripts/lib/bench.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --sizes) sizes=$2; shift 2 ;;
    --providers) providers=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --no-lookup) lookup=0; shift ;;
    --no-micro) micro=0; shift ;;
    --no-sync) sync=0; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done
[[ $reps =~ ^[1-9][0-9]*$ ]] || die "--reps must be a positive number"

# --- build ---
bench_paths
targets=(fonwerk fonwerkctl fonwerk-gen fonwerk-baseline fonwerk-lookup-bench)
[[ $micro -eq 1 ]] && targets+=(micro_bench)
bench_build "${targets[@]}"

# --- work folder, server ---
rm -rf "$work"
mkdir -p "$work"
fonwerk=$build/batch/fonwerk

cleanup() {
  bench_stop_server
  if [[ $keep -eq 0 ]]; then rm -rf "$work/inst-"*; fi
}
trap cleanup EXIT
bench_start_server

# Runs a command under /usr/bin/time; sets last_wall (s), last_rss (KB), last_rc.
timed() {
  local log=$1
  shift
  set +e
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >"$log" 2>&1 </dev/null
  last_rc=$?
  set -e
  read -r last_wall last_rss < <(tail -n 1 "$work/time.txt")
}

ratio_target=0.7
rss_target_mb=64
scaling_target=11
# "ok" when the awk condition holds, else "MISSED".
mark() { awk "BEGIN { print ($1) ? \"ok\" : \"MISSED\" }"; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

tapi_rows() { query "$1" "$2" "$3" "SELECT count(*) FROM TAPI"; }

# Median over `count` runs of fonwerkctl with the given arguments, in ms.
ctl_ms() {
  local count=$1 dir=$2
  shift 2
  local i start end
  for ((i = 0; i < count; i++)); do
    start=$(date +%s%N)
    "$ctl" --install "$dir" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
  done | median | awk '{ printf "%.2f", $1 / 1000 }'
}

declare -A F_WALL F_RSS B_WALL B_RSS ROWS STATUS F_WAL
lookup_report=""
sync_report=""

# The server's current write-ahead log position (PostgreSQL), or 0.
wal_lsn() {
  if [[ $1 == postgres ]]; then psql_q "$2" "SELECT pg_current_wal_lsn()"; else echo 0/0; fi
}
# Bytes of write-ahead log between two positions.
wal_bytes() {
  if [[ $1 == postgres ]]; then psql_q "$2" "SELECT pg_wal_lsn_diff('$4', '$3')"; else echo 0; fi
}

sync_ratio_one=0.2
sync_ratio_none=0.15
sync_ratio_full=0.35
sync_wal_share=0.05

# Changes 1% of the contacts: their TELEFON gets one more line.
change_one_percent() {
  local provider=$1 dir=$2 db=$3
  if [[ $provider == sqlite ]]; then
    query "$provider" "$dir" "$db" "UPDATE AD SET TELEFON = coalesce(TELEFON, '') || \
      char(13) || char(10) || '030 77' || rowid WHERE rowid % 100 = 0" >/dev/null
  else
    query "$provider" "$dir" "$db" "UPDATE AD SET TELEFON = coalesce(TELEFON, '') || \
      E'\\r\\n030 77' || Kennung WHERE abs(hashtext(DSN)) % 100 = 0" >/dev/null
  fi
}

# The differential refresh on the point's data, after fonwerk: four timed
# runs of fonwerkctl sync; appends a table to sync_report.
sync_point() {
  local n=$1 provider=$2 dir=$3 db=$4 key=$5
  local fonwerk_wall=${F_WALL[$key]} rebuild_wal=${F_WAL[$key]:-0}
  local rows="" run args target before after wal changed ratio wal_share
  for run in "after the rebuild" "nothing changed" "1% changed" "--full"; do
    args=(sync --json)
    target=""
    case $run in
      "nothing changed") target=$sync_ratio_none ;;
      "1% changed") target=$sync_ratio_one; change_one_percent "$provider" "$dir" "$db" ;;
      "--full") target=$sync_ratio_full; args+=(--full) ;;
    esac
    before=$(wal_lsn "$provider" "$db")
    timed "$work/sync.log" "$ctl" --install "$dir" "${args[@]}"
    after=$(wal_lsn "$provider" "$db")
    wal=$(wal_bytes "$provider" "$db" "$before" "$after")
    changed=$(sed -n 's/.*"contacts_changed":\([0-9]*\).*/\1/p' "$work/sync.log")
    [[ $last_rc -eq 0 ]] || changed="exit $last_rc: $(head -c 200 "$work/sync.log")"
    echo "   sync ($run): $last_wall s, $((last_rss / 1024)) MB, $changed changed, WAL $wal B" >&2
    ratio=$(calc "%.3f" "$last_wall / $fonwerk_wall")
    [[ -n $target ]] && ratio="$ratio $(mark "$ratio <= $target")"
    wal_share="-"
    if [[ $provider == postgres && $rebuild_wal -gt 0 ]]; then
      wal_share=$(calc "%.4f" "$wal / $rebuild_wal")
      [[ $run == "1% changed" ]] && wal_share="$wal_share $(mark "$wal_share <= $sync_wal_share")"
    fi
    rows+="| $provider | $run | $last_wall | $ratio | $(calc "%.1f" "$last_rss / 1024") |"
    local wal_mb="-"
    [[ $provider == postgres ]] && wal_mb=$(calc "%.1f" "$wal / 1048576")
    rows+=" $(mark "$last_rss <= $rss_target_mb * 1024") | $wal_mb |"
    rows+=" $wal_share | $changed |"$'\n'
  done
  sync_report+="### $provider, $n contacts: fonwerkctl sync against fonwerk ($fonwerk_wall s"
  [[ $provider == postgres ]] && sync_report+=", WAL $(calc "%.1f" "$rebuild_wal / 1048576") MB"
  sync_report+=")"$'\n\n'
  sync_report+="| provider | sync | wall s | ratio to fonwerk | peak RSS MB | RSS | WAL MB | WAL / rebuild's | contacts changed |"$'\n'
  sync_report+="|---|---|---:|---:|---:|---|---:|---:|---:|"$'\n'
  sync_report+="$rows"$'\n'
}

bench_point() {
  local n=$1 provider=$2
  local key=$provider/$n dir=$work/inst-$provider-$n db="fwbench_$n" connect
  echo "== $provider, $n contacts" >&2
  generate "$provider" "$dir" "$db" "$n"
  sed -n 2p "$work/gen.log" >&2

  timed "$work/warmup.log" "$baseline" --connect "$connect" --log "$work/baseline-contacts.log"
  [[ $last_rc -eq 0 ]] || die "baseline failed: $(cat "$work/warmup.log")"
  local rep f_walls="" f_rss="" b_walls="" b_rss="" rows status=ok
  for ((rep = 1; rep <= reps; rep++)); do
    rm -f "$work/baseline-contacts.log"
    timed "$work/baseline.log" "$baseline" --connect "$connect" --log "$work/baseline-contacts.log"
    [[ $last_rc -eq 0 ]] || die "baseline failed: $(cat "$work/baseline.log")"
    b_walls+="$last_wall"$'\n'
    b_rss+="$last_rss"$'\n'
    rows=$(sed -n 's/.*rows=\([0-9]*\).*/\1/p' "$work/baseline.log")
    echo "   baseline: $last_wall s, $((last_rss / 1024)) MB" >&2

    local wal_before
    wal_before=$(wal_lsn "$provider" "$db")
    timed "$work/fonwerk.log" "$fonwerk" --log "$work/Fonwerk.log" "$dir"
    F_WAL[$key]=$(wal_bytes "$provider" "$db" "$wal_before" "$(wal_lsn "$provider" "$db")")
    f_walls+="$last_wall"$'\n'
    f_rss+="$last_rss"$'\n'
    echo "   fonwerk:  $last_wall s, $((last_rss / 1024)) MB, exit $last_rc" >&2
    if [[ $last_rc -ne 0 ]]; then
      status="exit $last_rc"
      sed -n 1,5p "$work/fonwerk.log" >&2
    fi
    local written
    written=$(tapi_rows "$provider" "$dir" "$db")
    [[ $written -eq $rows ]] || status="rows $written, baseline $rows"
  done
  F_WALL[$key]=$(printf '%s' "$f_walls" | median)
  F_RSS[$key]=$(printf '%s' "$f_rss" | median)
  B_WALL[$key]=$(printf '%s' "$b_walls" | median)
  B_RSS[$key]=$(printf '%s' "$b_rss" | median)
  ROWS[$key]=$rows
  STATUS[$key]=$status

  if [[ $sync -eq 1 && $n == "$largest" ]]; then
    sync_point "$n" "$provider" "$dir" "$db" "$key"
  fi

  if [[ $lookup -eq 1 && $n == "$largest" ]]; then
    echo "   lookup latency" >&2
    local in_process number lookup_ms noop_ms
    in_process=$("$build/bench/fonwerk-lookup-bench" --install "$dir" --queries 1000)
    number=$(tapi_rows_sample "$provider" "$dir" "$db")
    lookup_ms=$(ctl_ms 200 "$dir" lookup "$number")
    noop_ms=$(ctl_ms 200 "$dir" where-phone x)
    lookup_report+="### $provider, $n contacts: fonwerkctl lookup, 1000 queries inside the process"$'\n\n'
    lookup_report+="$(grep '^|' <<<"$in_process")"$'\n\n'
    lookup_report+="As whole processes (median of 200 runs): \`fonwerkctl lookup $number\` $lookup_ms ms, "
    lookup_report+="\`fonwerkctl where-phone x\` (start-up only) $noop_ms ms, "
    lookup_report+="difference $(calc "%.2f" "$lookup_ms - $noop_ms") ms."$'\n\n'
  fi

  if [[ $keep -eq 0 ]]; then
    rm -rf "$dir"
    [[ $provider == postgres ]] && psql_q postgres "DROP DATABASE IF EXISTS $db" >/dev/null
  fi
  return 0
}

# One stored telephone number of the installation, for the process-level lookup.
tapi_rows_sample() {
  query "$1" "$2" "$3" \
    "SELECT NUMMER FROM TAPI WHERE NUMMER NOT LIKE '%@%' ORDER BY DSN LIMIT 1 OFFSET 1000"
}

largest=$(tr ' ' '\n' <<<"$sizes" | sort -n | tail -n 1)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date '+%Y-%m-%d %H:%M')
for n in $sizes; do
  for provider in $providers; do
    bench_point "$n" "$provider"
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report ---
{
  echo "## Rebuild of TAPI: fonwerk against the baseline"
  echo
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"
  echo "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM; run $started;"
  echo "load average before $load_before, after $load_after. $reps timed run(s) per point (median)."
  echo
  echo "Targets: ratio (fonwerk / baseline) at most $ratio_target at 1M, peak RSS at most $rss_target_mb MB"
  echo "at every N, time from 100k to 1M at most ${scaling_target}x. Marks: ok / MISSED."
  echo
  echo "| N | provider | fonwerk contacts/s | rows/s | wall s | baseline s | ratio | peak RSS MB | RSS | baseline RSS MB | check |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---|---:|---|"
  for n in $sizes; do
    for provider in $providers; do
      key=$provider/$n
      wall=${F_WALL[$key]}
      ratio=$(calc "%.2f" "$wall / ${B_WALL[$key]}")
      [[ $n == 1000000 ]] && ratio="$ratio $(mark "$ratio <= $ratio_target")"
      echo "| $n | $provider | $(calc "%.0f" "$n / $wall") | $(calc "%.0f" "${ROWS[$key]} / $wall") |" \
        "$wall | ${B_WALL[$key]} | $ratio |" \
        "$(calc "%.1f" "${F_RSS[$key]} / 1024") | $(mark "${F_RSS[$key]} <= $rss_target_mb * 1024") |" \
        "$(calc "%.1f" "${B_RSS[$key]} / 1024") | ${STATUS[$key]} |"
    done
  done
  echo
  if [[ " $sizes " == *" 100000 "* && " $sizes " == *" 1000000 "* ]]; then
    echo "Scaling from 100k to 1M contacts:"
    echo
    echo "| provider | wall 100k s | wall 1M s | factor | | baseline factor | RSS 100k MB | RSS 1M MB | RSS change |"
    echo "|---|---:|---:|---:|---|---:|---:|---:|---:|"
    for provider in $providers; do
      small=$provider/100000
      big=$provider/1000000
      factor=$(calc "%.2f" "${F_WALL[$big]} / ${F_WALL[$small]}")
      echo "| $provider | ${F_WALL[$small]} | ${F_WALL[$big]} | $factor | $(mark "$factor <= $scaling_target") |" \
        "$(calc "%.2f" "${B_WALL[$big]} / ${B_WALL[$small]}") |" \
        "$(calc "%.1f" "${F_RSS[$small]} / 1024") | $(calc "%.1f" "${F_RSS[$big]} / 1024") |" \
        "$(calc "%+.1f%%" "(${F_RSS[$big]} - ${F_RSS[$small]}) * 100 / ${F_RSS[$small]}") |"
    done
    echo
    echo "Lookup target: median < 1 ms."
    echo
  fi
  printf '%s' "$lookup_report"
  if [[ -n $sync_report ]]; then
    echo "## Differential refresh: fonwerkctl sync beside the rebuild"
    echo
    echo "Targets: 1% changed at most ${sync_ratio_one}x fonwerk, nothing changed at most"
    echo "${sync_ratio_none}x, --full at most ${sync_ratio_full}x, peak RSS at most $rss_target_mb MB; on PostgreSQL the"
    echo "write-ahead log of the 1% sync at most $sync_wal_share of the rebuild's."
    echo
    printf '%s' "$sync_report"
  fi
} | tee "$results"

if [[ $micro -eq 1 ]]; then
  echo
  echo "## Micro-benchmarks (text rules)"
  "$build/bench/micro_bench" --benchmark_min_time=0.2 2>&1 | tee -a "$results"
fi
