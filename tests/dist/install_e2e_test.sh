#!/usr/bin/env bash
# The installed tree, end to end: `cmake --install` into a scratch prefix, the
# systemd units verified there, then the prefix moved elsewhere and used with
# the source tree's sql/ out of reach (hidden by a bind mount where a mount
# namespace can be had; else the installed data is made tell-tale): a demo
# installation, a rebuild, a lookup, the log that refuses the database, the
# man pages and the completion of fonwerkctl.
#   install_e2e_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
source_dir=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/fonwerk-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_status WANT DESCRIPTION COMMAND...: runs COMMAND, output in $work/out and $work/err.
expect_status() {
  local want=$1 what=$2 status=0
  shift 2
  "$@" >"$work/out" 2>"$work/err" || status=$?
  if ((status != want)); then
    fail "$what: status $status, expected $want"
    sed 's/^/  out: /' "$work/out" >&2
    sed 's/^/  err: /' "$work/err" >&2
  fi
}

expect_in() {
  local file=$1 text=$2 what=$3
  grep -qF -- "$text" "$file" || fail "$what: '$text' not in $(head -c 400 "$file")"
}

# --- the install ---
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in bin/fonwerk bin/fonwerkctl bin/fonwerk-mkinstall \
  share/fonwerk/sqlite/schema.sql share/fonwerk/postgres/schema.sql \
  share/fonwerk/countries.tsv share/fonwerk/demo_contacts.tsv \
  share/man/man1/fonwerk.1.gz share/man/man1/fonwerkctl.1.gz share/man/man1/fonwerk-mkinstall.1.gz \
  lib/systemd/system/fonwerk-serve@.service lib/systemd/system/fonwerk-rebuild@.service \
  lib/systemd/system/fonwerk-rebuild@.timer share/bash-completion/completions/fonwerkctl \
  share/doc/fonwerk/README.md share/doc/fonwerk/examples/example.conf; do
  [[ -f $prefix/$file ]] || fail "not installed: $file"
done

# --- the systemd units: they run the programs of this prefix, and verify ---
units=$prefix/lib/systemd/system
expect_in "$units/fonwerk-rebuild@.service" "ExecStart=$prefix/bin/fonwerk --log /var/lib/fonwerk/%i.log" \
  "rebuild unit"
expect_in "$units/fonwerk-serve@.service" "' $prefix/bin/fonwerkctl" "serve unit"
expect_in "$units/fonwerk-serve@.service" "serve --watch" "serve unit"
expect_in "$units/fonwerk-rebuild@.timer" "Persistent=true" "timer"
(cd "$units" && systemd-analyze verify --man=no fonwerk-serve@.service fonwerk-rebuild@.service \
  fonwerk-rebuild@.timer) >"$work/verify" 2>&1 || fail "systemd-analyze verify failed"
# Unknown or misspelt settings are only warnings: any output is a failure.
if [[ -s $work/verify ]]; then
  fail "systemd-analyze verify complained"
  sed 's/^/  /' "$work/verify" >&2
fi
# A unit whose program is missing is what verify must catch.
sed "s#$prefix/bin/fonwerk #$work/none/fonwerk #" "$units/fonwerk-rebuild@.service" \
  >"$work/fonwerk-rebuild@.service"
if (cd "$work" && systemd-analyze verify --man=no fonwerk-rebuild@.service) >/dev/null 2>&1; then
  fail "systemd-analyze verify accepted a unit whose program is missing"
fi

# The service's command line as the unit's shell builds it from a configuration:
# empty values leave their options out, a path with blanks stays one word.
serve_line=$(sed -n "/^ExecStart=/,/fonwerkctl\$/p" "$units/fonwerk-serve@.service" |
  sed -e 's/^ExecStart=//' -e 's/\\$//' | tr -d '\n')
script=$(sed -e "s/^\/bin\/sh -c '//" -e "s/' [^']*\$//" -e 's/\$\$/$/g' <<<"$serve_line")
printf '#!/bin/sh\nfor a; do printf "[%%s]" "$a"; done\n' >"$work/show-args"
chmod +x "$work/show-args"
got=$(env -i FONWERK_INSTALLATION="/srv/my korvana" FONWERK_TOKEN_FILE=/etc/fonwerk/k.token \
  FONWERK_TLS_CERT= FONWERK_SERVE_OPTIONS="--sessions 8" /bin/sh -c "$script" "$work/show-args")
want="[--install][/srv/my korvana][serve][--watch][--listen][127.0.0.1:8080][--token-file][/etc/fonwerk/k.token][--sessions][8]"
[[ $got == "$want" ]] || fail "serve command line: $got, expected $want"

# --- moved elsewhere, the source tree's data out of reach ---
moved=$work/elsewhere/usr
mkdir -p "$(dirname "$moved")"
cp -a "$prefix" "$moved"
rm -rf "$prefix"
bin=$moved/bin
inst=$work/inst
unset FONWERK_SQL_DIR FONWERK_LOG
cd "$work"

if unshare -m true 2>/dev/null; then
  hide=(unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' hide "$work/empty" "$source_dir/sql")
  mkdir -p "$work/empty"
  echo "source tree's sql/ hidden by a bind mount"
else
  hide=()
  echo "no mount namespace: the installed demo contacts are cut to two"
fi
# cut_demo N FILE: keeps the comments, the header line and the first N contacts.
cut_demo() {
  awk -v keep="$1" '/^#/ {print; next} {print; if (++n > keep) exit}' "$2" >"$work/demo.tsv"
  cp "$work/demo.tsv" "$2"
}
if ((${#hide[@]} == 0)); then
  cut_demo 2 "$moved/share/fonwerk/demo_contacts.tsv"
fi

expect_status 0 "fonwerk --version" "${hide[@]}" "$bin/fonwerk" --version
expect_in "$work/out" "fonwerk " "fonwerk --version"
expect_status 0 "fonwerk-mkinstall --demo" "${hide[@]}" "$bin/fonwerk-mkinstall" --sqlite "$inst" --demo
[[ -f $inst/SQL/korvana.db ]] || fail "no database made"
if ((${#hide[@]} == 0)); then
  contacts=$(sqlite3 "$inst/SQL/korvana.db" "SELECT count(*) FROM AD")
  [[ $contacts == 2 ]] || fail "the demo contacts did not come from the installed data ($contacts)"
fi
# Without its data the installed program says what it misses.
mv "$moved/share/fonwerk" "$moved/share/fonwerk.away"
if ((${#hide[@]})); then
  expect_status 1 "fonwerk-mkinstall without data" "${hide[@]}" "$bin/fonwerk-mkinstall" --sqlite "$work/x" --demo
  expect_in "$work/err" "$source_dir/sql" "fonwerk-mkinstall without data"
fi
mv "$moved/share/fonwerk.away" "$moved/share/fonwerk"
# FONWERK_SQL_DIR comes before the installed data.
cp -a "$moved/share/fonwerk" "$work/own-sql"
cut_demo 1 "$work/own-sql/demo_contacts.tsv"
expect_status 0 "FONWERK_SQL_DIR overrides" env FONWERK_SQL_DIR="$work/own-sql" \
  "$bin/fonwerk-mkinstall" --sqlite "$work/own" --demo
contacts=$(sqlite3 "$work/own/SQL/korvana.db" "SELECT count(*) FROM AD")
[[ $contacts == 1 ]] || fail "FONWERK_SQL_DIR was not used ($contacts contacts)"

expect_status 0 "fonwerk rebuild" "${hide[@]}" "$bin/fonwerk" --log "$work/run.log" "$inst"
expect_in "$work/out" "Tapi wurde neu aufgebaut." "fonwerk rebuild"
expect_in "$work/run.log" "FERTIG" "run log"
# Without --log an installed program logs to the state folder, not into bin/.
expect_status 0 "fonwerk with the default log" env XDG_STATE_HOME="$work/state" \
  "${hide[@]}" "$bin/fonwerk" "$inst"
[[ -s $work/err ]] && fail "fonwerk with the default log: $(cat "$work/err")"
expect_in "$work/state/fonwerk/Fonwerk.log" "Command|$inst" "the state folder's log"
[[ -e $bin/Fonwerk.log ]] && fail "an installed fonwerk wrote its log into bin/"
rows=$(sqlite3 "$inst/SQL/korvana.db" "SELECT count(*) FROM TAPI")
((rows > 0)) || fail "the rebuild wrote no rows"
expect_status 0 "fonwerkctl lookup" "${hide[@]}" "$bin/fonwerkctl" --install "$inst" dial "+49 89 123456"
expect_in "$work/out" "089123456" "fonwerkctl dial"

# The units' command lines, run as the units would run them (the state
# directory and the instance name put in by hand): the rebuild, and the lookup
# service once fonwerkctl serve has --watch.
units=$moved/lib/systemd/system
rebuild_line=$(sed -n 's/^ExecStart=//p' "$units/fonwerk-rebuild@.service" |
  sed -e "s#$prefix/#$moved/#g" -e "s#/var/lib/fonwerk/%i#$work/state/demo#" \
    -e 's#${FONWERK_INSTALLATION}#"$FONWERK_INSTALLATION"#')
expect_status 0 "the rebuild unit's command" env FONWERK_INSTALLATION="$inst" \
  "${hide[@]}" /bin/sh -c "exec $rebuild_line"
expect_in "$work/state/demo.log" "FERTIG" "the rebuild unit's log"
if "$bin/fonwerkctl" serve --help 2>/dev/null | grep -q -- --watch; then
  env -i FONWERK_INSTALLATION="$inst" FONWERK_LISTEN=127.0.0.1:0 /bin/sh -c "$script" \
    "$bin/fonwerkctl" 2>"$work/serve.err" &
  serve_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's#.*listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$work/serve.err")
    [[ -n $port ]] && break
    sleep 0.1
  done
  if [[ -z $port ]]; then
    fail "the serve unit's command did not listen: $(cat "$work/serve.err")"
  else
    curl -s "http://127.0.0.1:$port/health" >"$work/health" || true
    expect_in "$work/health" '"status":"ok"' "the serve unit's service"
  fi
  kill -TERM "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" || fail "the serve unit's command ended with $? on SIGTERM"
else
  echo "fonwerkctl serve has no --watch yet: the serve unit's command is not run"
fi

# The log refuses the installation's own files, which stay as they were.
for target in "$inst/SQL/korvana.db" "$inst/SQL/SQL.INI"; do
  cp "$target" "$work/before"
  expect_status 64 "--log $target" "${hide[@]}" "$bin/fonwerk" --log "$target" "$inst"
  expect_in "$work/err" "ist kein Protokoll von Fonwerk" "--log $target"
  cmp -s "$target" "$work/before" || fail "--log $target changed the file"
done
expect_status 0 "the database after the refusals" "$bin/fonwerk" --log "$work/run.log" "$inst"

# --- the man pages: each renders with its sections, groff has no complaint ---
for program in fonwerk fonwerkctl fonwerk-mkinstall; do
  page=$moved/share/man/man1/$program.1.gz
  expect_status 0 "man -l $program" env MANWIDTH=80 man --warnings -l "$page"
  [[ -s $work/err ]] && fail "man $program: $(cat "$work/err")"
  for part in NAME SYNOPSIS DESCRIPTION "SEE ALSO" "$program" "--version" "64"; do
    expect_in "$work/out" "$part" "man $program"
  done
done
expect_in "$work/out" "FONWERK_SQL_DIR" "man fonwerk-mkinstall"

# --- bash completion: every command and serve option of --help is offered ---
complete_words() {
  bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _fonwerkctl; echo "${COMPREPLY[*]}"' \
    "$moved/share/bash-completion/completions/fonwerkctl" "$@"
}
"$bin/fonwerkctl" --help >"$work/help"
commands=$(sed -n '/^Subcommands:/,/^$/p' "$work/help" | awk 'NR > 1 && NF {print $1}')
[[ -n $commands ]] || fail "no commands in fonwerkctl --help"
offered=" $(complete_words fonwerkctl "") "
for command in $commands; do
  [[ $offered == *" $command "* ]] || fail "completion lacks the command $command"
done
for command in sync watch; do
  [[ $offered == *" $command "* ]] || fail "completion lacks the command $command"
done
for command in $commands; do
  "$bin/fonwerkctl" "$command" --help 2>/dev/null | sed -n '/^Options:/,/^$/p' |
    grep -oE -- '--[a-z][a-z-]*' | sort -u >"$work/options" || true
  offered=" $(complete_words fonwerkctl --install /srv/k "$command" --) "
  while read -r option; do
    [[ $offered == *" $option "* ]] || fail "completion of $command lacks $option"
  done <"$work/options"
done
offered=" $(complete_words fonwerkctl serve --) "
for option in --watch --tls-cert --tls-key --access-log --budget-ms; do
  [[ $offered == *" $option "* ]] || fail "completion of serve lacks $option"
done
[[ $(complete_words fonwerkctl --su) == "--suspress" ]] || fail "completion of global options"
[[ $(complete_words fonwerkctl --suspress "") == "true false" ]] || fail "completion of --suspress"
[[ $(complete_words fonwerkctl config "") == "set" ]] || fail "completion of config"

if ((failures)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "installed tree: all checks passed"
