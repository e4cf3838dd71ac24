#!/usr/bin/env bash
# Throwaway PostgreSQL server for the test run.
#
#   pg-test-server.sh start DIR PORT   create a fresh cluster in DIR and start it
#   pg-test-server.sh stop DIR PORT    stop it and remove DIR
#   pg-test-server.sh standby DIR PORT PRIMARY_DIR PRIMARY_PORT
#                                      copy the running server of PRIMARY_DIR with
#                                      pg_basebackup -R into DIR and start it there
#                                      as its streaming hot standby
#
# The server trusts every local user, listens only on the unix socket in
# DIR/socket (no TCP) on port PORT, and trades durability for speed (fsync,
# synchronous_commit and full_page_writes are off). Run as root, the cluster
# belongs to the system user "postgres" (PostgreSQL refuses to run as root);
# otherwise it belongs to the current user. Connect with
#   Host=DIR/socket;Port=PORT;Database=postgres;User ID=postgres
set -euo pipefail

die() {
  echo "pg-test-server: $*" >&2
  exit 1
}

usage() {
  die "usage: $0 start|stop DIR PORT"
}

[[ $# -ge 1 ]] || usage
if [[ $1 == standby ]]; then
  [[ $# -eq 5 ]] || die "usage: $0 standby DIR PORT PRIMARY_DIR PRIMARY_PORT"
  primary_dir=${4%/}
  primary_port=$5
  [[ $primary_port =~ ^[0-9]+$ ]] || die "primary port must be a number, got '$primary_port'"
else
  [[ $# -eq 3 ]] || usage
fi
action=$1
port=$3
[[ $port =~ ^[0-9]+$ ]] || die "port must be a number, got '$port'"
case $2 in
  /*) dir=$2 ;;
  *) dir=$PWD/$2 ;;
esac
dir=${dir%/}
[[ -n $dir && $dir != / ]] || die "refusing to use '/' as the server folder"

# Newest installed server version.
find_bindir() {
  local candidate best=""
  for candidate in /usr/lib/postgresql/*/bin; do
    [[ -x $candidate/initdb && -x $candidate/pg_ctl ]] || continue
    best=$(printf '%s\n%s\n' "$best" "$candidate" | sed '/^$/d' | sort -V | tail -n 1)
  done
  [[ -n $best ]] || die "no PostgreSQL server found under /usr/lib/postgresql/*/bin (install the package postgresql)"
  echo "$best"
}

# Runs a command as the cluster's owner: "postgres" when we are root.
as_owner() {
  if [[ $(id -u) -ne 0 ]]; then
    "$@"
  elif command -v runuser >/dev/null; then
    (cd / && runuser -u postgres -- "$@")
  else
    (cd / && su postgres -s /bin/sh -c '"$0" "$@"' -- "$@")
  fi
}

# As root, lets the postgres user reach DIR: every parent folder gets the
# search bit for others (listing stays restricted).
make_reachable() {
  local path=$1
  while [[ $path != / && -n $path ]]; do
    path=$(dirname "$path")
    [[ -d $path ]] || continue
    if ! as_owner test -x "$path"; then
      chmod o+x "$path" || die "cannot make '$path' traversable for the postgres user"
    fi
  done
}

stop_server() {
  local bindir=$1
  if [[ -f $dir/data/postmaster.pid ]]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
  fi
}

# Waits until the server on the socket folder $2 and PORT accepts connections.
wait_ready() {
  local bindir=$1 socket=$2 i
  for ((i = 0; i < 60; i++)); do
    if as_owner "$bindir/pg_isready" -q -h "$socket" -p "$port" -U postgres -d postgres; then
      return 0
    fi
    sleep 0.5
  done
  die "the server in '$dir/data' does not accept connections"
}

# A fresh DIR with an empty socket folder, owned by the cluster's owner.
prepare_dir() {
  rm -rf "$dir"
  mkdir -p "$dir/socket"
  if [[ $(id -u) -eq 0 ]]; then
    id postgres >/dev/null 2>&1 || die "running as root but there is no system user 'postgres'"
    make_reachable "$dir"
    chown -R postgres: "$dir"
  fi
}

# The hot standby: a base backup of the primary (which trusts local
# replication connections, as initdb sets it up), with the settings for
# streaming from it written by -R, started on a socket and port of its own.
# Queries on it that conflict with the replay are cancelled after
# max_standby_streaming_delay (the server's default, 30 s).
standby() {
  local bindir socket
  bindir=$(find_bindir)
  socket=$dir/socket
  [[ -d $primary_dir/socket ]] || die "no primary server in '$primary_dir'"
  stop_server "$bindir"
  prepare_dir
  if ! as_owner "$bindir/pg_basebackup" -h "$primary_dir/socket" -p "$primary_port" -U postgres \
    -D "$dir/data" -R -X stream -c fast >"$dir/basebackup.log" 2>&1; then
    cat "$dir/basebackup.log" >&2
    die "pg_basebackup from '$primary_dir' (port $primary_port) failed"
  fi
  cat >>"$dir/data/postgresql.conf" <<EOF

# throwaway hot standby
unix_socket_directories = '$socket'
port = $port
hot_standby = on
EOF
  if ! as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null; then
    [[ -f $dir/server.log ]] && tail -n 20 "$dir/server.log" >&2
    die "the standby in '$dir/data' did not start (port $port)"
  fi
  wait_ready "$bindir" "$socket"
  echo "pg-test-server: standby of $primary_dir running in $dir on port $port (socket $socket)"
}

start() {
  local bindir socket
  bindir=$(find_bindir)
  socket=$dir/socket
  # A unix socket path is limited to 107 bytes.
  local socket_file="$socket/.s.PGSQL.$port"
  ((${#socket_file} <= 107)) || die "socket path '$socket_file' is longer than 107 bytes; choose a shorter DIR"

  stop_server "$bindir"
  prepare_dir

  if ! as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    --no-sync >"$dir/initdb.log" 2>&1; then
    cat "$dir/initdb.log" >&2
    die "initdb failed in '$dir/data'"
  fi
  cat >>"$dir/data/postgresql.conf" <<EOF

# throwaway test server
listen_addresses = ''
unix_socket_directories = '$socket'
port = $port
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
  if ! as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null; then
    [[ -f $dir/server.log ]] && tail -n 20 "$dir/server.log" >&2
    die "the server in '$dir/data' did not start (port $port)"
  fi
  wait_ready "$bindir" "$socket"
  echo "pg-test-server: running in $dir on port $port (socket $socket)"
}

stop() {
  local bindir
  bindir=$(find_bindir)
  stop_server "$bindir"
  if [[ -f $dir/data/postmaster.pid ]]; then
    die "the server in '$dir/data' did not stop"
  fi
  rm -rf "$dir"
  echo "pg-test-server: stopped and removed $dir"
}

case $action in
  start) start ;;
  stop) stop ;;
  standby) standby ;;
  *) usage ;;
esac
