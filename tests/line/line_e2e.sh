#!/bin/bash
# Line mode against a real PostgreSQL server, started here and always stopped.
#
#   line_e2e.sh CASE STATION KX20CTL WORK [LINK [WINDOWS_CONSOLE]]
#
# LINK: how the stations and kx20ctl reach the server: pq (a libpq
# connection string, the default) or odbc (an ODBC connection string for the
# PostgreSQL ODBC driver, registered for the test in the server's directory).
# Stations named win1, win2 are Windows batches (WINDOWS_CONSOLE, the
# x86_64 kx20-console.exe) under Wine, whose odbc32 hands the calls to the
# host's unixODBC and the same driver; they always go through ODBC.
#
#   stations  three stations at once, ten file-backed simulated disks each:
#             30 distinct serial numbers in the disks' tables, in kx20.verdicts
#             and in the three produce.logs
#   outage    the server stops while a station waits in a serial-number step
#             and starts again: no number repeated, the disks refused meanwhile
#             fail with the reason on stderr, the outbox drains afterwards
#   hang      the server stops answering (every process of it stopped, no
#             connection closed) while a station waits in a serial-number
#             step, and goes on 15 s later: the station gives up within its
#             bounds instead of hanging, tells why, repeats no number, and
#             the line goes on afterwards
#   kill      a leasing station killed with SIGKILL mid-run: none of the
#             numbers it took or leased is ever issued again
#   mixed     a mixed line: a Linux station through libpq, one through ODBC
#             and a Windows station under Wine at once: 30 distinct numbers
#             on the disks, the Pass serials in kx20.verdicts those of the
#             three produce.logs, the outboxes empty; then a Windows batch
#             stopped with Ctrl+C (SIGINT, which Wine hands to the program as
#             Ctrl+C) ends with status 130
#   wine-outage, wine-kill   outage and kill with Windows stations
set -euo pipefail

case_name=$1
station=$2
kx20ctl=$3
work=$4
link=${5:-pq}
windows_station=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
pg=$source_dir/tests/pg/pg_cluster.sh

if [ -n "$windows_station" ]; then
  # Reported as skipped (77) where the Windows build or Wine is missing.
  [ -f "$windows_station" ] || { echo "SKIP: no Windows build ($windows_station)"; exit 77; }
  command -v wine >/dev/null || { echo "SKIP: wine is not installed"; exit 77; }
  windows_station=$(cd "$(dirname "$windows_station")" && pwd)/$(basename "$windows_station")
fi
rm -rf "$work"
mkdir -p "$work"
# The cluster itself lives in a temporary directory of its own (pg_cluster.sh).
pgdir=$work/pg
pids=()
cleanup() {
  local p
  "$pg" thaw "$pgdir" 2>/dev/null || true
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  "$pg" remove "$pgdir" || true
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

conninfo=$("$pg" start "$pgdir")
sql() { psql "$conninfo" -X -q -At -v ON_ERROR_STOP=1 -c "$1"; }
# What the stations and kx20ctl are given: the server through libpq, or
# through the ODBC driver, registered for unixODBC (and Wine) in $pgdir.
odbc_line=""
if [ "$link" = odbc ] || [ -n "$windows_station" ]; then
  odbc_line=$("$pg" odbc "$pgdir")
  export ODBCSYSINI=$pgdir
fi
line=$conninfo
[ "$link" = odbc ] && line=$odbc_line
line_for() {  # NAME: the connection string station NAME is given
  case "$1" in
    win*) echo "${odbc_line/PostgreSQL Unicode/PostgreSQL Unicode(x64)}" ;;  # its 64-bit name
    st2) if [ "$case_name" = mixed ]; then echo "$odbc_line"; else echo "$line"; fi ;;
    *) echo "$line" ;;
  esac
}
"$kx20ctl" line init "$line" > "$work/init.out" || fail "kx20ctl line init"

# A station's work directory: the example settings and a farm of ten disks
# whose data and tables live in files (so kx20ctl can read the tables back).
letters=(E F G H I J K L M N)
make_station() {
  local dir=$work/$1 i
  mkdir -p "$dir"
  cp "$source_dir/examples/config.txt" "$dir/"
  : > "$dir/farm.ini"
  for i in "${!letters[@]}"; do
    printf '[%s]\nslot = %d\nbacking = disk-%s.img\n' "${letters[$i]}" $((i + 1)) "${letters[$i]}" >> "$dir/farm.ini"
  done
}
run_station() {  # NAME [options...]: a batch in the background; pid in $last_pid
  local name=$1 conn
  shift
  conn=$(line_for "$name")
  if [ "${name#win}" != "$name" ]; then
    # The Windows program's own process (wine-run ends in exec).
    (cd "$work/$name" && exec "$source_dir/scripts/wine-run" "$windows_station" --sim=farm.ini \
       --batch --workdir . --line "$conn" --station "$name" "$@") \
      > "$work/$name.out" 2> "$work/$name.err" &
  else
    "$station" --sim="$work/$name/farm.ini" --batch --workdir "$work/$name" --line "$conn" \
      --station "$name" "$@" > "$work/$name.out" 2> "$work/$name.err" &
  fi
  last_pid=$!
  pids+=("$last_pid")
}
# The Windows programs end their lines with CR LF: read as Linux lines.
crlf_off() { sed -i 's/\r$//' "$work"/*.out "$work"/*.err; }
# The serial numbers in a station's disks' stored tables (card-identification
# register bytes 9-12, stored reversed at table offsets 22 down to 19), one a
# line; disks never programmed print nothing.
table_serials() {
  local name=$1 l
  for l in "${letters[@]}"; do
    if "$kx20ctl" read-table "$l" --sim="$work/$name/farm.ini" > "$work/$name/table-$l.out" 2>&1; then
      awk '$1 == "0010" { print $8 $7 $6 $5 }' "$work/$name/table-$l.out"
    fi
  done | grep -v '^00000000$' || true
}
log_serials() { grep -h '^Serial Number=[0-9]' "$@" | sed 's/^Serial Number=//' | tr -d '\r'; }
expect_distinct() {  # WHAT: stdin has one number a line
  local all
  all=$(cat)
  local n u
  n=$(printf '%s\n' "$all" | grep -c . || true)
  u=$(printf '%s\n' "$all" | grep . | sort -u | wc -l)
  [ "$n" = "$u" ] || fail "$1: a serial number repeats:
$(printf '%s\n' "$all" | sort | uniq -d)"
  echo "$n"
}
# The transaction of the line's fourth serial-number take sleeps SECONDS
# (a trigger, dropped by the test when done), and waiting for it to do so.
hold_fourth_take() {
  sql "CREATE FUNCTION kx20.test_hold() RETURNS trigger LANGUAGE plpgsql AS \$\$
       BEGIN IF (SELECT count(*) FROM kx20.serial_takes) = 4 THEN PERFORM pg_sleep($1); END IF;
       RETURN NULL; END \$\$;
       CREATE TRIGGER test_hold AFTER INSERT ON kx20.serial_takes
       FOR EACH ROW EXECUTE FUNCTION kx20.test_hold()"
}
wait_for_hold() {
  local until=$(( $(date +%s) + 60 ))
  while [ "$(date +%s)" -le "$until" ]; do
    [ "$(sql "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep'")" = 1 ] && return 0
    sleep 0.05
  done
  fail "the station never reached its fourth serial-number step"
}
# The stations of the outage and kill cases: Linux or Windows ones.
a=st1
b=st2
case "$case_name" in wine-*)
  [ -n "$windows_station" ] || fail "$case_name needs the Windows console program"
  a=win1
  b=win2
  ;;
esac
start=$(date +%s)

case "$case_name" in
stations|mixed)
  names="st1 st2 st3"
  if [ "$case_name" = mixed ]; then
    [ -n "$windows_station" ] || fail "mixed needs the Windows console program"
    names="st1 st2 win1"
  fi
  for s in $names; do make_station $s; done
  for s in $names; do run_station $s; done
  for p in "${pids[@]}"; do wait "$p" || fail "a station's batch did not pass: $(tail -n 3 "$work"/*.err)"; done
  pids=()
  crlf_off
  for s in $names; do
    grep -q '^10 passed, 0 failed$' "$work/$s.out" || fail "$s: no '10 passed, 0 failed'"
  done
  tables=$(for s in $names; do table_serials $s; done | sort)
  [ "$(echo "$tables" | expect_distinct "disk tables")" = 30 ] || fail "not 30 serial numbers in the tables:
$tables"
  db=$(sql "SELECT lpad(serial::text, 8, '0') FROM kx20.verdicts WHERE result = 'Pass' ORDER BY 1")
  [ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 30 ] || fail "kx20.verdicts does not hold 30 rows"
  [ "$db" = "$tables" ] || fail "kx20.verdicts and the tables differ:
$db
--
$tables"
  logs=$(for s in $names; do log_serials "$work/$s/produce.log"; done | sort)
  [ "$logs" = "$tables" ] || fail "the produce.logs and the tables differ"
  [ "$(sql "SELECT string_agg(DISTINCT station, ' ' ORDER BY station) FROM kx20.verdicts")" = "$names" ] ||
    fail "not the three stations $names in kx20.verdicts"
  [ "$(sql "SELECT count(*) FROM kx20.serial_takes")" = 30 ] || fail "not 30 takes recorded"
  for s in $names; do
    [ "$(grep -c . "$work/$s/verdicts.outbox")" = 2 ] || fail "$s: the outbox is not empty"
  done
  if [ "$case_name" = mixed ]; then
    # A Windows batch stopped by Ctrl+C once it has started: 128 + SIGINT.
    make_station win2
    run_station win2
    pid=$last_pid
    until=$(( $(date +%s) + 60 ))
    until grep -q ':\\' "$work/win2.out" 2>/dev/null || [ "$(date +%s)" -gt "$until" ]; do sleep 0.1; done
    kill -INT "$pid"
    rc=0
    wait "$pid" || rc=$?
    pids=()
    crlf_off
    [ "$rc" = 130 ] || fail "the Windows batch stopped by Ctrl+C ended with $rc, not 130: $(cat "$work/win2.err")"
    grep -q 'stopped by signal 2' "$work/win2.err" || fail "no 'stopped by signal 2'"
  fi
  ;;

outage|wine-outage)
  make_station $a
  # The fourth number's transaction sleeps; while it does, the server stops.
  hold_fourth_take 3
  run_station $a
  pid=$last_pid
  wait_for_hold
  "$pg" stop "$pgdir"
  sleep 2
  "$pg" restart "$pgdir" > /dev/null
  sql "DROP TRIGGER test_hold ON kx20.serial_takes"
  rc=0
  wait "$pid" || rc=$?
  pids=()
  crlf_off
  [ "$rc" = 1 ] || fail "the batch should end with failures (exit 1), not $rc"
  # Disks before the stop pass, those that reached their step during the
  # outage are refused, and those after the restart pass again.
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/$a.out") || fail "no summary"
  passed=${summary%% passed*}
  failed=$(echo "$summary" | sed 's/.*, \([0-9]*\) failed/\1/')
  [ "$passed" -ge 3 ] && [ "$failed" -ge 1 ] && [ $((passed + failed)) = 10 ] ||
    fail "unexpected outcome: $summary"
  [ "$(grep -c 'rw-table X' "$work/$a.out")" -ge "$failed" ] || fail "the refused disks do not show [rw-table X]"
  refused=$(grep -c "A disk was not programmed: the line's database" "$work/$a.err" || true)
  [ "$refused" = "$failed" ] || fail "the operator was not told why $failed disks were refused ($refused):
$(cat "$work/$a.err")"
  grep -q "cannot be reached" "$work/$a.err" || fail "no 'cannot be reached' notice"
  [ "$(grep -c 'Result=FAIL' "$work/$a/produce.log")" = "$failed" ] || fail "produce.log lacks the failures"
  # The outbox drained once the server was back (at the latest by the end
  # of the batch): every verdict, failures included, once.
  [ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 10 ] || fail "kx20.verdicts does not hold the 10 verdicts"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE result = 'FAIL' AND error_code = 'USBErr_RWTable' AND serial IS NULL")" = "$failed" ] ||
    fail "the failures are not in kx20.verdicts"
  [ "$(grep -c . "$work/$a/verdicts.outbox")" = 2 ] || fail "the outbox is not empty"
  first=$(table_serials $a | sort)
  [ "$(echo "$first" | expect_distinct "during the outage")" = "$passed" ] || fail "not $passed programmed disks"
  echo "outage: $summary"
  # The line goes on after the outage: a second batch, no number repeated.
  make_station $b
  run_station $b
  wait "$last_pid" || fail "the batch after the outage did not pass"
  pids=()
  crlf_off
  all=$( (echo "$first"; table_serials $b) )
  [ "$(echo "$all" | expect_distinct "after the outage")" = $((passed + 10)) ] || fail "numbers missing"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 20 ] || fail "kx20.verdicts does not hold 20 verdicts"
  ;;

hang)
  make_station st1
  # As in the outage: the fourth number's transaction sleeps, and while it
  # does the whole server is frozen.
  hold_fourth_take 2
  run_station st1
  pid=$last_pid
  wait_for_hold
  "$pg" freeze "$pgdir"
  frozen_at=$(date +%s)
  sleep 15
  # Still working while the server was frozen: the station did not hang on
  # the silent connection (each wait is bounded: 5 s a query, 3 s a connect).
  kill -0 "$pid" 2>/dev/null || fail "the station ended while the server was frozen"
  refused_frozen=$(grep -c "A disk was not programmed: the line's database" "$work/st1.err" || true)
  [ "$refused_frozen" -ge 2 ] ||
    fail "in 15 s of a frozen server the station refused $refused_frozen disks, not at least 2:
$(cat "$work/st1.err")"
  "$pg" thaw "$pgdir"
  sql "DROP TRIGGER test_hold ON kx20.serial_takes"
  rc=0
  wait "$pid" || rc=$?
  pids=()
  ended=$(( $(date +%s) - frozen_at ))
  [ "$rc" = 1 ] || fail "the batch should end with failures (exit 1), not $rc"
  [ "$ended" -le 90 ] || fail "the batch took $ended s after the freeze"
  summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/st1.out") || fail "no summary"
  passed=${summary%% passed*}
  failed=$(echo "$summary" | sed 's/.*, \([0-9]*\) failed/\1/')
  [ "$passed" -ge 3 ] && [ "$failed" -ge 2 ] && [ $((passed + failed)) = 10 ] ||
    fail "unexpected outcome: $summary"
  refused=$(grep -c "A disk was not programmed: the line's database" "$work/st1.err" || true)
  [ "$refused" = "$failed" ] || fail "the operator was not told why $failed disks were refused ($refused)"
  # The disk whose transaction was cut off by the freeze was given up on
  # after the client's own deadline, not after a connection error.
  grep -q "no answer from the database within" "$work/st1.err" ||
    fail "no 'no answer from the database' notice:
$(cat "$work/st1.err")"
  [ "$(grep -c 'Result=FAIL' "$work/st1/produce.log")" = "$failed" ] || fail "produce.log lacks the failures"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 10 ] || fail "kx20.verdicts does not hold the 10 verdicts"
  [ "$(grep -c . "$work/st1/verdicts.outbox")" = 2 ] || fail "the outbox is not empty"
  first=$(table_serials st1 | sort)
  [ "$(echo "$first" | expect_distinct "around the freeze")" = "$passed" ] || fail "not $passed programmed disks"
  # Every number programmed was taken, and recorded, by this station; a take
  # that committed after the station had given up on it is a gap.
  taken=$(sql "SELECT lpad(s::text, 8, '0') FROM kx20.serial_takes t,
               generate_series(t.first_serial, t.first_serial + t.count - 1) s
               WHERE station = 'st1' ORDER BY 1")
  for s in $first; do echo "$taken" | grep -qx "$s" || fail "disk serial $s was not taken by st1"; done
  echo "hang: $summary, ended $ended s after the freeze"
  # The line goes on: a second station, none of st1's takes handed out again.
  make_station st2
  run_station st2
  wait "$last_pid" || fail "the batch after the freeze did not pass: $(cat "$work/st2.err")"
  pids=()
  for s in $(table_serials st2); do
    echo "$taken" | grep -qx "$s" && fail "st2 was given $s, taken by st1"
  done
  [ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 20 ] || fail "kx20.verdicts does not hold 20 verdicts"
  ;;

kill|wine-kill)
  make_station $a
  make_station $b
  run_station $a --lease 3
  pid=$last_pid
  # Killed once it holds its second lease (mid-run: numbers used and unused).
  until=$(( $(date +%s) + 60 ))
  while [ "$(date +%s)" -le "$until" ]; do
    [ "$(sql "SELECT count(*) FROM kx20.serial_takes WHERE station = '$a'")" -ge 2 ] && break
    sleep 0.02
  done
  kill -9 "$pid"
  wait "$pid" 2>/dev/null || true
  pids=()
  grep -q ' passed, ' "$work/$a.out" && fail "$a finished its batch before it was killed"
  cp "$work/$a.out" "$work/$a-killed.out"
  leased=$(sql "SELECT lpad(s::text, 8, '0') FROM kx20.serial_takes t,
                generate_series(t.first_serial, t.first_serial + t.count - 1) s
                WHERE station = '$a' ORDER BY 1")
  [ "$(echo "$leased" | grep -c .)" -ge 6 ] || fail "$a did not lease two lots before it was killed"
  killed=$(table_serials $a | sort)
  # Every disk programmed before the kill carries a leased number.
  for s in $killed; do echo "$leased" | grep -qx "$s" || fail "disk serial $s was not leased by $a"; done
  # Another station runs, then $a again on its own journal (same directory,
  # fresh disks) and a third one.
  run_station $b
  wait "$last_pid" || fail "$b did not pass: $(cat "$work/$b.err")"
  mkdir -p "$work/killed" && mv "$work"/$a/disk-* "$work/killed/"
  run_station $a --lease 3
  wait "$last_pid" || fail "$a after the kill did not pass: $(cat "$work/$a.err")"
  pids=()
  crlf_off
  again=$(table_serials $a | sort)
  others=$(table_serials $b | sort)
  for s in $others; do
    echo "$leased" | grep -qx "$s" && fail "$b was given $s, leased by the killed $a"
  done
  for s in $again; do
    echo "$killed" | grep -qx "$s" && fail "$a handed out $s again after the kill"
  done
  total=$( (echo "$killed"; echo "$again"; echo "$others") | grep . | expect_distinct "all disks")
  echo "disks programmed: $total ($(echo "$killed" | grep -c .) before the kill)"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "line $case_name: passed in $(( $(date +%s) - start )) s"
