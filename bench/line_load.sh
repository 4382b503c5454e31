#!/usr/bin/env bash
# The line under load: 50, 200 and 500 simulated stations (kx20_line_load),
# each taking a number every 2 s and recording a verdict after it, one number
# per disk and with a lease, against a PostgreSQL server started here (Unix
# socket, this machine, fsync on as a real server has it) and always removed.
# The server is allowed twice as many connections as the largest case has
# stations (each station keeps two open) and times its WAL flushes. All runs
# go to one line, so the final check covers every number of every run.
# A benchmark, not a test: run it by hand on a quiet machine; the 500-station
# case asks the server for 1000 backends (about 3 GB of memory).
#
# The stations' work directories (journal, outbox) go to /dev/shm: the
# simulated stations share this machine's one disk with the server, where a
# real station has a disk of its own, so their files would measure this
# disk rather than the line. With --durable they go to the disk (under
# TMPDIR) and are flushed at every change, as a real station does.
#
# usage: bench/line_load.sh [--seconds S] [--stations "50 200 500"]
#                           [--leases "0 10"] [--durable] [BUILD_DIR]
#        (BUILD_DIR default: build/release)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=40
stations="50 200 500"
leases="0 10"
extra=()
durable=0
build=$top/build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --stations) stations=$2; shift 2 ;;
    --leases) leases=$2; shift 2 ;;
    --durable) extra+=(--durable); durable=1; shift ;;
    -*) echo "usage: bench/line_load.sh [--seconds S] [--stations LIST] [--leases LIST] [--durable] [BUILD_DIR]" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
load=$build/bench/kx20_line_load
ctl=$build/tools/kx20ctl
if [ ! -x "$load" ] || [ ! -x "$ctl" ]; then
  echo "line_load.sh: build kx20_line_load and kx20ctl in $build first" >&2
  exit 2
fi
pg=$top/tests/pg/pg_cluster.sh
psql=""
for p in /usr/lib/postgresql/*/bin/psql; do [ -x "$p" ] && psql=$p; done
[ -n "$psql" ] || { echo "line_load.sh: no psql (/usr/lib/postgresql/*/bin/psql); install the package postgresql" >&2; exit 2; }
most=0
for n in $stations; do [ "$n" -gt "$most" ] && most=$n; done

work=$(mktemp -d)
pgdir=$work/pg
trap '"$pg" remove "$pgdir" || true; rm -rf "$work"' EXIT
conninfo=$("$pg" start "$pgdir")
"$psql" -q -X -v ON_ERROR_STOP=1 "$conninfo" \
  -c "ALTER SYSTEM SET max_connections = $((2 * most + 20))" \
  -c "ALTER SYSTEM SET track_wal_io_timing = on" >/dev/null
"$pg" stop "$pgdir"
conninfo=$("$pg" restart "$pgdir")
"$ctl" line init "$conninfo" >/dev/null
echo "server: $("$psql" -X -At "$conninfo" -c "SELECT version()" | cut -d' ' -f1-2)," \
  "max_connections $("$psql" -X -At "$conninfo" -c "SHOW max_connections")," \
  "fsync $("$psql" -X -At "$conninfo" -c "SHOW fsync")," \
  "synchronous_commit $("$psql" -X -At "$conninfo" -c "SHOW synchronous_commit")"

files=$work/run
if [ "$durable" = 0 ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  files=$(mktemp -d /dev/shm/kx20-line-load.XXXXXX)
  trap '"$pg" remove "$pgdir" || true; rm -rf "$work" "$files"' EXIT
fi
echo "stations' files: $files ($([ "$durable" = 1 ] && echo "flushed at every change" || echo "not flushed"))"

status=0
for n in $stations; do
  for lease in $leases; do
    echo
    echo "== $n stations, lease $lease; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    mkdir -p "$files"
    "$load" --line "$conninfo" --stations "$n" --seconds "$seconds" --lease "$lease" \
      --tag "s$n-l$lease" --work "$files/s$n-l$lease" --watch ${extra[@]+"${extra[@]}"} || status=1
    rm -rf "${files:?}/s$n-l$lease"
  done
done
exit $status
