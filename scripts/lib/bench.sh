# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154  # the variables are the sourcing script's
# Shared by scripts/bench.sh and scripts/bench-serve.sh: the build of the
# benchmark programs, the throwaway PostgreSQL server, queries on an
# installation's database and the generated installations.
#
# The sourcing script sets repo and bench_name (the prefix of its error
# messages) before it sources this file, and calls bench_paths once build,
# work, port and providers are known.

# shellcheck source=scripts/lib/deps.sh
source "$repo/scripts/lib/deps.sh"

die() {
  echo "$bench_name: $*" >&2
  exit 1
}

# Configures $build (Release) and builds the given targets, quietly.
bench_build() {
  fonwerk_ensure_packages
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}

# The programs and files of the run.
bench_paths() {
  gen=$build/bench/fonwerk-gen
  baseline=$build/bench/fonwerk-baseline
  ctl=$build/ctl/fonwerkctl
  pg_dir=$work/pg
  pg_socket=$pg_dir/socket
  results=$work/results.md
  server_started=0
}

# Starts the throwaway server (scripts/pg-test-server.sh, fsync off) when the
# providers include postgres; bench_stop_server stops it again.
bench_start_server() {
  if [[ " $providers " == *" postgres "* ]]; then
    "$repo/scripts/pg-test-server.sh" start "$pg_dir" "$port" >/dev/null
    server_started=1
  fi
}
bench_stop_server() {
  if [[ $server_started -eq 1 ]]; then
    "$repo/scripts/pg-test-server.sh" stop "$pg_dir" "$port" >/dev/null || true
  fi
}

pg_connect() { echo "Provider=PostgreSQL;Host=$pg_socket;Port=$port;Database=$1;User ID=postgres"; }
psql_q() { psql -h "$pg_socket" -p "$port" -U postgres -d "$1" -Atc "$2"; }

# Runs one query on the installation's database, one value per line.
query() {
  local provider=$1 dir=$2 db=$3 sql=$4
  if [[ $provider == sqlite ]]; then
    sqlite3 "$dir/SQL/korvana.db" "$sql"
  else
    psql_q "$db" "$sql"
  fi
}

# Creates installation $dir with `count` generated contacts (fonwerk-gen,
# fixed seed; the report goes to $work/gen.log) and sets `connect` to its
# connection string.
generate() {
  local provider=$1 dir=$2 db=$3 count=$4
  if [[ $provider == sqlite ]]; then
    "$gen" --dir "$dir" --count "$count" >"$work/gen.log"
    connect="Provider=SQLite;Data Source=$dir/SQL/korvana.db"
  else
    connect=$(pg_connect "$db")
    "$gen" --dir "$dir" --postgres "$connect" --count "$count" >"$work/gen.log"
  fi
}
