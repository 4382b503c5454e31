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
#   identity  a station's journal against another line's database, against
#             the line restored from an older backup, and against a counter
#             moved back (refused by kx20ctl, forced, recorded): each refused
#             at start with the check that failed, before any number
#   names     two stations under one name from two work directories: the
#             second refuses until `kx20ctl line release`, which writes the
#             first one's unused leased numbers off as gaps
#   fates     every number handed out ends in the database with where it
#             went and its verdict: a failure after the table write carries
#             its number, a cut-off verdict its mark, with and without a lease
#   migrate   a version 1 database with takes and verdicts, and a station
#             journal of the old format: the station refuses the old schema,
#             `kx20ctl line init` migrates it keeping every row, and the old
#             journal's lease goes on from where it was
#   upgrade   a version 2 database with takes, verdicts and hand-outs, and
#             the work directory its station left with records in its outbox
#             (format 2): the station of this version refuses the old schema
#             and keeps the outbox; `kx20ctl line init` migrates it keeping
#             every row and makes the roles; the station then runs under a
#             login of the station role, its connection string in a file
#             (refused while every user may read it), and sends the old
#             records and its new ones; that login cannot change the counter
#             or a verdict directly, a report login can only read; a schema
#             of version 5 and connect_timeout=0 are refused
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
# A small station for the checks: N file-backed disks (slots 1..N) without
# the read/write test; EXTRA is added to the last disk's section (a fault).
make_small_station() {  # NAME N [EXTRA]
  local dir=$work/$1 i
  mkdir -p "$dir"
  sed 's/^RWTest=1/RWTest=0/' "$source_dir/examples/config.txt" > "$dir/config.txt"
  : > "$dir/farm.ini"
  for ((i = 0; i < $2; i++)); do
    printf '[%s]\nslot = %d\nbacking = disk-%s.img\n' "${letters[$i]}" $((i + 1)) "${letters[$i]}" >> "$dir/farm.ini"
  done
  [ -z "${3:-}" ] || printf '%s\n' "$3" >> "$dir/farm.ini"
}
# A batch in the foreground; its exit status in $rc.
run_station_now() {  # NAME [options...]
  rc=0
  run_station "$@"
  wait "$last_pid" || rc=$?
  pids=()
}
# The last batch of NAME refused to start, saying WORDS, and programmed
# no disk.
expect_refused() {  # NAME WORDS
  [ "$rc" = 2 ] || fail "$1 should refuse to start (exit 2), not exit $rc: $(cat "$work/$1.err")"
  grep -qF -- "$2" "$work/$1.err" || fail "$1 did not say '$2':
$(cat "$work/$1.err")"
  [ -z "$(table_serials "$1")" ] || fail "$1 programmed a disk although it refused"
}
# Fresh, never programmed disks for a station's next batch.
fresh_disks() { rm -f "$work/$1"/disk-* "$work/$1"/table-*.out; }
run_station() {  # NAME [options...]: a batch in the background (a later --station
                 # overrides the name); pid in $last_pid
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
  # does the whole server is frozen. 3.5 s (the station's sessions end a
  # statement after 4 s) leaves a loaded machine time to freeze it.
  hold_fourth_take 3.5
  run_station st1
  pid=$last_pid
  wait_for_hold
  "$pg" freeze "$pgdir"
  frozen_at=$(date +%s)
  # Still working while the server is frozen: the station does not hang on
  # the silent connection (each wait is bounded: 5 s a query, 3 s a connect),
  # so it refuses disk after disk. Two refusals take about 11 s; a loaded
  # machine gets up to 40 s before this counts as a hang.
  refused_frozen=0
  for _ in $(seq 40); do
    sleep 1
    kill -0 "$pid" 2>/dev/null || fail "the station ended while the server was frozen"
    refused_frozen=$(grep -c "A disk was not programmed: the line's database" "$work/st1.err" || true)
    [ "$refused_frozen" -ge 2 ] && break
  done
  [ "$refused_frozen" -ge 2 ] ||
    fail "in 40 s of a frozen server the station refused $refused_frozen disks, not at least 2:
$(cat "$work/st1.err")"
  echo "hang: 2 disks refused $(( $(date +%s) - frozen_at )) s into the freeze"
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
  for s in $first; do
    grep -qx "$s" <<<"$taken" || fail "disk serial $s was not taken by st1; the line holds:
$(sql "SELECT 'counter', next_serial FROM kx20.serial_counter")
$(sql "SELECT 'take', take_id, first_serial, count, station, slot, drive_letter, taken_at FROM kx20.serial_takes ORDER BY take_id")
$(sql "SELECT 'verdict', slot, drive_letter, serial, issued_serial, result, error_code FROM kx20.verdicts ORDER BY finished_at")
$(sql "SELECT 'change', * FROM kx20.counter_changes")
station's errors:
$(cat "$work/st1.err")"
  done
  echo "hang: $summary, ended $ended s after the freeze"
  # The line goes on: a second station, none of st1's takes handed out again.
  make_station st2
  run_station st2
  wait "$last_pid" || fail "the batch after the freeze did not pass: $(cat "$work/st2.err")"
  pids=()
  for s in $(table_serials st2); do
    grep -qx "$s" <<<"$taken" && fail "st2 was given $s, taken by st1"
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
  for s in $killed; do grep -qx "$s" <<<"$leased" || fail "disk serial $s was not leased by $a"; done
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
    grep -qx "$s" <<<"$leased" && fail "$b was given $s, leased by the killed $a"
  done
  for s in $again; do
    grep -qx "$s" <<<"$killed" && fail "$a handed out $s again after the kill"
  done
  total=$( (echo "$killed"; echo "$again"; echo "$others") | grep . | expect_distinct "all disks")
  echo "disks programmed: $total ($(echo "$killed" | grep -c .) before the kill)"
  ;;
identity)
  make_small_station st1 2
  make_small_station st2 2
  # st1 with a lease and st2 with one number a disk, side by side.
  both() {
    run_station st1 --lease 5
    run_station st2
    for p in "${pids[@]}"; do wait "$p" || fail "a batch did not pass: $(cat "$work"/st*.err)"; done
    pids=()
  }
  both
  # Another line: a second database on the same server, set up on its own.
  sql "CREATE DATABASE other"
  other=${conninfo/dbname=postgres/dbname=other}
  line_other=${line/dbname=postgres/dbname=other}
  line_other=${line_other/Database=postgres/Database=other}
  "$kx20ctl" line init "$line_other" > "$work/other-init.out" || fail "kx20ctl line init (other)"
  # The line's backup, then more takes: st2's and st1's (the rest of its
  # lease, and the next one taken ahead of time).
  pg_dump "$conninfo" -n kx20 -f "$work/backup.sql"
  fresh_disks st1
  fresh_disks st2
  both
  before=$(sql "SELECT lpad(serial::text, 8, '0') FROM kx20.verdicts ORDER BY 1")
  pg_dump "$conninfo" -n kx20 -f "$work/current.sql"
  restore() {
    sql "DROP SCHEMA kx20 CASCADE"
    psql "$conninfo" -X -q -v ON_ERROR_STOP=1 -f "$1" > /dev/null
  }

  # Each case: how the database changes, the station, its options, the words
  # of its refusal. Nothing may be taken from the database meanwhile.
  while IFS='|' read -r what change name options words; do
    echo "identity: $what"
    eval "$change"
    fresh_disks "$name"
    db=$conninfo
    station_db=$line
    if [ "$what" = "another line" ]; then
      db=$other
      station_db=$line_other
    fi
    takes=$(psql "$db" -X -q -At -c "SELECT count(*) FROM kx20.serial_takes")
    rc=0
    # shellcheck disable=SC2086
    "$station" --sim="$work/$name/farm.ini" --batch --workdir "$work/$name" --line "$station_db" \
      --station "$name" $options > "$work/$name.out" 2> "$work/$name.err" || rc=$?
    expect_refused "$name" "$words"
    [ "$(psql "$db" -X -q -At -c "SELECT count(*) FROM kx20.serial_takes")" = "$takes" ] ||
      fail "$what: a number was taken although $name refused"
  done <<'CASES'
another line|:|st1|--lease 5|check of the line failed
restored, leasing station|restore "$work/backup.sql"|st1|--lease 5|check of the lease failed
restored, station without a lease|:|st2||check of the counter failed
CASES
  [ "$(psql "$other" -X -q -At -c "SELECT count(*) FROM kx20.station_instances")" = 0 ] ||
    fail "a station registered on another line's database"
  restore "$work/current.sql"

  # The counter moved back: refused without --force, forced and recorded,
  # and then no station hands out a number until it is moved forward again.
  next=$(sql "SELECT next_serial FROM kx20.serial_counter")
  rc=0
  "$kx20ctl" line init "$line" --next 3 > "$work/back.out" 2>&1 || rc=$?
  [ "$rc" = 1 ] || fail "--next 3 on a line at $next should be refused (exit 1), not $rc"
  grep -q "refused to set the next serial number to 3: it is at or below $((next - 1))" "$work/back.out" ||
    fail "no refusal naming the highest number: $(cat "$work/back.out")"
  [ "$(sql "SELECT next_serial FROM kx20.serial_counter")" = "$next" ] || fail "the refused --next moved the counter"
  "$kx20ctl" line init "$line" --next 3 --force > "$work/forced.out" || fail "--next 3 --force failed"
  grep -q "moved from $next to 3 (forced" "$work/forced.out" || fail "$(cat "$work/forced.out")"
  recorded=$(sql "SELECT from_serial || ' ' || to_serial || ' ' || (changed_by LIKE 'kx20ctl %@%')::text
                  || ' ' || (reason LIKE '%--force%')::text FROM kx20.counter_changes
                  ORDER BY change_id DESC LIMIT 1")
  [ "$recorded" = "$next 3 true true" ] || fail "the forced change is not recorded as such: $recorded"
  for name in st1 st2; do
    fresh_disks $name
    if [ $name = st1 ]; then run_station_now st1 --lease 5; else run_station_now st2; fi
    expect_refused $name "check of the counter failed"
  done
  "$kx20ctl" line init "$line" --next "$next" > /dev/null || fail "moving the counter forward again"
  run_station_now st2
  [ "$rc" = 0 ] || fail "st2 did not pass once the counter was forward again: $(cat "$work/st2.err")"
  (echo "$before"; table_serials st2) | grep . | expect_distinct "around the checks" > /dev/null
  [ "$(sql "SELECT count(*) FROM kx20.counter_changes")" = 3 ] ||
    fail "not every change of the counter is recorded: $(sql "SELECT * FROM kx20.counter_changes")"
  ;;

names)
  make_small_station a 3
  make_small_station b 2
  # Station "st1" runs in a; a second st1 starts in b meanwhile.
  run_station a --station st1 --lease 6
  pid_a=$last_pid
  for _ in $(seq 1 300); do
    [ "$(sql "SELECT count(*) FROM kx20.station_instances WHERE station = 'st1'")" = 1 ] && break
    sleep 0.02
  done
  run_station_now b --station st1 --lease 6
  expect_refused b "station \"st1\" belongs to another journal on the line (host $(hostname), work directory $work/a"
  grep -q 'kx20ctl line release CONNINFO st1' "$work/b.err" || fail "b was not told how to free the name"
  wait "$pid_a" || fail "a did not pass: $(cat "$work/a.err")"
  first=$(table_serials a | sort)
  leased=$(sql "SELECT s FROM kx20.serial_takes t, generate_series(t.first_serial, t.first_serial + t.count - 1) s
                WHERE station = 'st1' ORDER BY 1")
  "$kx20ctl" line release "$line" st1 > "$work/release.out" || fail "line release: $(cat "$work/release.out")"
  cat "$work/release.out"
  # The gaps are exactly the leased numbers no disk got.
  gaps=$(sql "SELECT s FROM kx20.serial_gaps g, generate_series(g.first_serial, g.first_serial + g.count - 1) s
              WHERE station = 'st1' AND reason LIKE 'released%' ORDER BY 1")
  unused=$(comm -23 <(echo "$leased" | sort) <(for s in $first; do echo $((10#$s)); done | sort))
  [ -n "$gaps" ] && [ "$(echo "$gaps" | sort)" = "$unused" ] || fail "the gaps are not the unused leased numbers:
gaps: $gaps
unused: $unused"
  grep -q "$(echo "$gaps" | grep -c .) unused leased number(s) written off as gaps" "$work/release.out" ||
    fail "the release does not say how many numbers it wrote off"
  [ "$(sql "SELECT count(*) FROM kx20.serial_takes WHERE station = 'st1' AND slot IS NULL AND written_off_at IS NULL")" = 0 ] ||
    fail "a released lease is not marked written off"
  # Now b may take the name; a's journal is refused wherever it starts.
  run_station_now b --station st1 --lease 6
  [ "$rc" = 0 ] || fail "b did not pass after the release: $(cat "$work/b.err")"
  second=$(table_serials b | sort)
  fresh_disks a
  run_station_now a --station st1 --lease 6
  expect_refused a "was released on the line"
  for s in $second; do
    grep -qx "$((10#$s))" <<<"$gaps" && fail "b was given $s, written off as a gap"
  done
  (echo "$first"; echo "$second") | grep . | expect_distinct "two journals under one name" > /dev/null
  ;;

fates)
  # Slot 3's disk fails after its table was written (its capacity cannot be
  # read), with one number a disk (st1) and with a lease (st2).
  for name in st1 st2; do make_small_station $name 3 "fault = capacity"; done
  run_station st1
  run_station st2 --lease 4
  for p in "${pids[@]}"; do
    rc=0
    wait "$p" || rc=$?
    [ "$rc" = 1 ] || fail "a batch should end with a failure (exit 1), not $rc: $(cat "$work"/st*.err)"
  done
  pids=()
  for name in st1 st2; do
    # Every number handed out has its disk and its verdict.
    [ "$(sql "SELECT count(*) FROM kx20.serial_fates WHERE station = '$name' AND result IS NOT NULL")" = 3 ] ||
      fail "$name: not three numbers handed out with a verdict each: $(sql "SELECT * FROM kx20.serial_fates")"
    # The failed disk's number, as its table carries it, in its verdict and
    # in its fate.
    on_disk=$("$kx20ctl" read-table G --sim="$work/$name/farm.ini" | awk '$1 == "0010" { print $8 $7 $6 $5 }')
    [ -n "$on_disk" ] && [ "$on_disk" != 00000000 ] || fail "$name: the failed disk carries no number"
    n=$((10#$on_disk))
    row=$(sql "SELECT issued_serial || ' ' || coalesce(serial::text, '-') || ' ' || result || ' ' || error_code
               FROM kx20.verdicts WHERE station = '$name' AND slot = 3")
    # serial: the number read back from the written table, where the station
    # gives it for a failure.
    [ "$row" = "$n $n FAIL USBErr_Capacity" ] || [ "$row" = "$n - FAIL USBErr_Capacity" ] ||
      fail "$name: the verdict of the disk that failed after its table is '$row'; the disk carries $on_disk"
    fate=$(sql "SELECT slot || ' ' || drive_letter || ' ' || result || ' ' || error_code
                FROM kx20.serial_fates WHERE station = '$name' AND serial = $n")
    [ "$fate" = "3 G FAIL USBErr_Capacity" ] || fail "$name: the fate of $on_disk is '$fate'"
  done
  [ "$(sql "SELECT count(*) FROM kx20.serial_handouts WHERE station = 'st2'")" = 3 ] ||
    fail "st2's hand-outs are not on the line"
  # A cut-off verdict as the station writes it into its outbox reaches the
  # line with its mark (sent by the next start, here one without disks).
  instance=$(sed -n 's/^instance //p' "$work/st2/serial_lease.journal")
  {
    echo "kx20 verdict outbox 2"
    printf 'verdict\tst2-cut\tst2\t4\tH\t77\t262144\tFAIL\tUSBErr_Pnf\t2026-12-08 10:00:00.000+00\t'
    printf '2026-12-08 10:00:05.000+00\t77\t1\t%s\n' "$instance"
    echo "end"
  } > "$work/st2/verdicts.outbox"
  : > "$work/st2/farm.ini"
  run_station_now st2 --lease 4
  [ "$(sql "SELECT serial || ' ' || issued_serial || ' ' || cut_off || ' ' || error_code
            FROM kx20.verdicts WHERE record_key = 'st2-cut'")" = "77 77 true USBErr_Pnf" ] ||
    fail "the cut-off verdict did not reach the line with its mark"
  ;;

upgrade)
  # The line as the version 2 tools left it (tests/line/schema_v2.sql), and
  # st1's work directory then: its journal (two numbers of lease 4 unused)
  # and its outbox with a hand-out and three verdicts that never reached the
  # line, in the outbox format of then.
  sql "SET client_min_messages = warning; DROP SCHEMA IF EXISTS kx20 CASCADE"
  psql "$conninfo" -X -q -v ON_ERROR_STOP=1 -f "$here/schema_v2.sql" > /dev/null
  v2_rows() {
    sql "SELECT version FROM kx20.schema_version WHERE version <= 2 ORDER BY 1"
    sql "SELECT * FROM kx20.serial_takes ORDER BY take_id"
    sql "SELECT record_key, station, slot, drive_letter, serial, capacity, result, error_code,
                started_at, finished_at, issued_serial, cut_off, instance_id
         FROM kx20.verdicts ORDER BY record_key"
    sql "SELECT * FROM kx20.serial_handouts ORDER BY record_key"
    sql "SELECT * FROM kx20.station_instances"
    sql "SELECT * FROM kx20.line_identity"
  }
  v2_rows > "$work/v2-before.txt"
  make_small_station st1 3
  instance=1b3c651dcc85969243b5d15da72ae86d
  printf '%s\n' "kx20 serial lease journal 2" "station st1" "line 65cf6f2774c0a72e1958a0a00ee0d429" \
    "instance $instance" "host $(hostname)" "directory $work/st1" \
    "start b54ca7a643549a38e5b830d5935bb5e1 7f8ab68cfea69a16a7654e86bc21d069" "seen 8" \
    "lease 4 5 3 4" "end" > "$work/st1/serial_lease.journal"
  tab=$'\t'
  {
    echo "kx20 verdict outbox 2"
    echo "handout${tab}st1-$instance-4-6${tab}st1${tab}$instance${tab}4${tab}6${tab}3${tab}G${tab}2026-12-09 03:07:52.808+00"
    for k in 601f 85531 dcf5; do
      echo "verdict${tab}st1-old-$k${tab}st1${tab}1${tab}E${tab}-${tab}0${tab}FAIL${tab}USBErr_RWTable${tab}2026-12-09 03:08:14.111+00${tab}2026-12-09 03:08:14.112+00${tab}-${tab}0${tab}$instance"
    done
    echo "end"
  } > "$work/st1/verdicts.outbox"
  cp "$work/st1/verdicts.outbox" "$work/outbox-v2.txt"
  run_station_now st1 --lease 5
  expect_refused st1 "the database has schema version 2, this station needs version 4"
  cmp -s "$work/st1/verdicts.outbox" "$work/outbox-v2.txt" || fail "the refusing station changed its outbox"
  v2_rows | cmp -s - "$work/v2-before.txt" || fail "the refusing station changed the database"

  # Refused at start (exit 2, before any disk: the first refusal above
  # looked at the disks), saying WORDS.
  refused_at_start() {
    [ "$rc" = 2 ] || fail "st1 should refuse to start (exit 2), not exit $rc: $(cat "$work/st1.err")"
    grep -qF -- "$1" "$work/st1.err" || fail "st1 did not say '$1': $(cat "$work/st1.err")"
  }
  "$kx20ctl" line init "$line" > "$work/migrate.out" || fail "the migration failed: $(cat "$work/migrate.out")"
  grep -q "migrated from version 2 to 4 (every row kept: 4 take(s), 6 verdict(s))" "$work/migrate.out" ||
    fail "$(cat "$work/migrate.out")"
  grep -q "roles: kx20_station may call the station's functions, kx20_report may read" "$work/migrate.out" ||
    fail "no roles: $(cat "$work/migrate.out")"
  v2_rows | diff "$work/v2-before.txt" - || fail "a row of version 2 changed in the migration"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE lot IS NULL AND operator IS NULL AND host IS NULL
              AND steps IS NULL AND software_version IS NULL AND image_write_mbps IS NULL")" = 6 ] ||
    fail "the version 2 verdicts do not have NULL in the new columns"

  # The SQL for a DBA makes roles of other names with the same rights.
  "$kx20ctl" line init --print-sql --station-role st_other --report-role rep_other > "$work/roles.sql"
  psql "$conninfo" -X -q -v ON_ERROR_STOP=1 -f "$work/roles.sql" > /dev/null || fail "the roles' SQL failed"
  [ "$(sql "SELECT count(*) FROM information_schema.role_routine_grants
            WHERE routine_schema = 'kx20' AND grantee = 'st_other'")" = \
    "$(sql "SELECT count(*) FROM information_schema.role_routine_grants
            WHERE routine_schema = 'kx20' AND grantee = 'kx20_station'")" ] || fail "st_other has other rights"
  [ "$(sql "SELECT has_table_privilege('rep_other', 'kx20.verdicts', 'SELECT'),
                   has_table_privilege('rep_other', 'kx20.verdicts', 'INSERT')")" = "t|f" ] ||
    fail "rep_other has other rights"
  # Logins of the two roles, as a DBA makes them (trust authentication here).
  sql "CREATE ROLE st_login LOGIN IN ROLE kx20_station; CREATE ROLE rep_login LOGIN IN ROLE kx20_report"
  as_login() { psql "$conninfo user=$1" -X -q -At -v ON_ERROR_STOP=1 -c "$2"; }
  # The station's connection string in a file, refused while every user may read it.
  echo "# the line's database, for st1" > "$work/st1.conn"
  echo "$conninfo user=st_login" >> "$work/st1.conn"
  chmod 644 "$work/st1.conn"
  rc=0
  "$station" --sim="$work/st1/farm.ini" --batch --workdir "$work/st1" --line-file "$work/st1.conn" \
    --station st1 --lease 5 > "$work/st1.out" 2> "$work/st1.err" || rc=$?
  refused_at_start "may be read by every user of this machine (mode 0644)"
  chmod 600 "$work/st1.conn"
  rc=0
  "$station" --sim="$work/st1/farm.ini" --batch --workdir "$work/st1" --line-file "$work/st1.conn" \
    --station st1 --lease 5 > "$work/st1.out" 2> "$work/st1.err" || rc=$?
  [ "$rc" = 0 ] || fail "st1 did not pass under the station role: $(cat "$work/st1.err")"
  [ "$(table_serials st1 | sort | tr '\n' ' ')" = "00000007 00000008 00000009 " ] ||
    fail "st1 did not go on with its lease: $(table_serials st1)"
  grep -q '^end$' "$work/st1/verdicts.outbox" && [ "$(grep -c . "$work/st1/verdicts.outbox")" = 2 ] ||
    fail "the outbox is not empty: $(cat "$work/st1/verdicts.outbox")"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE record_key LIKE 'st1-old-%'")" = 3 ] ||
    fail "the old outbox's verdicts did not reach the line"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE serial IN (7, 8, 9) AND result = 'Pass'
              AND host IS NOT NULL")" = 3 ] || fail "the new verdicts are not in the line with their host"
  # Counted by the hour as they came in under the station's role, with the
  # version 2 verdicts the migration counted.
  [ "$(sql "SELECT sum(verdicts) FROM kx20.verdict_hours")" = \
    "$(sql "SELECT count(*) FROM kx20.verdicts WHERE previous_serial IS NULL")" ] ||
    fail "the hourly counts miss verdicts: $(sql "TABLE kx20.verdict_hours")"
  [ "$(sql "SELECT sum(passes) FROM kx20.pass_time_hours")" = \
    "$(sql "SELECT count(*) FROM kx20.verdicts WHERE result = 'Pass' AND slot > 0")" ] ||
    fail "the disk times miss passes: $(sql "TABLE kx20.pass_time_hours")"

  # The station's login calls functions only; the report's reads only.
  counter=$(sql "SELECT next_serial FROM kx20.serial_counter")
  for q in "UPDATE kx20.serial_counter SET next_serial = 1" \
           "INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, capacity, result, started_at, finished_at) VALUES ('forged', 'st1', 1, 'E', 0, 'Pass', now(), now())" \
           "UPDATE kx20.verdicts SET result = 'Pass'" "DELETE FROM kx20.verdicts" \
           "SELECT * FROM kx20.release_station('st1', 'me')"; do
    if as_login st_login "$q" > "$work/denied.out" 2>&1; then fail "the station role may: $q"; fi
    grep -q "permission denied" "$work/denied.out" || fail "$q: $(cat "$work/denied.out")"
  done
  [ "$(sql "SELECT next_serial FROM kx20.serial_counter")" = "$counter" ] || fail "the counter moved"
  [ "$(as_login rep_login "SELECT count(*) FROM kx20.verdicts")" = 12 ] || fail "the report role cannot read"
  as_login rep_login "SELECT count(*) FROM kx20.verdict_hours, kx20.pass_time_hours" > /dev/null ||
    fail "the report role cannot read the hourly counts"
  if as_login st_login "DELETE FROM kx20.verdict_hours" > "$work/denied.out" 2>&1; then
    fail "the station role may change the hourly counts"
  fi
  for q in "SELECT * FROM kx20.take_serials('65cf6f2774c0a72e1958a0a00ee0d429', '$instance', 'x', 'st1', 1, 'E', 1)" \
           "UPDATE kx20.verdicts SET result = 'Pass'"; do
    if as_login rep_login "$q" > "$work/denied.out" 2>&1; then fail "the report role may: $q"; fi
    grep -q "permission denied" "$work/denied.out" || fail "$q: $(cat "$work/denied.out")"
  done

  # A schema newer than this version, and a string that waits for ever.
  sql "INSERT INTO kx20.schema_version (version) VALUES (5)"
  fresh_disks st1
  run_station_now st1
  refused_at_start "the database has schema version 5, newer than this station knows (4); install the newer station"
  if "$kx20ctl" line init "$line" > "$work/init5.out" 2>&1; then fail "kx20ctl line init took version 5"; fi
  grep -q "schema version 5 is installed, this program knows versions 1 to 4" "$work/init5.out" ||
    fail "$(cat "$work/init5.out")"
  sql "DELETE FROM kx20.schema_version WHERE version = 5"
  rc=0
  "$station" --sim="$work/st1/farm.ini" --batch --workdir "$work/st1" --line "$conninfo connect_timeout=0" \
    --station st1 > "$work/st1.out" 2> "$work/st1.err" || rc=$?
  refused_at_start "sets connect_timeout=0, which means waiting for ever"
  ;;

migrate)
  # The line as the version 1 tools left it: st1 took 1-3 for three disks,
  # the counter was set to 11, st9 leased 11-20; three verdicts.
  sql "DROP SCHEMA IF EXISTS kx20 CASCADE"
  psql "$conninfo" -X -q -v ON_ERROR_STOP=1 -f "$here/schema_v1.sql" > /dev/null
  v1_rows() {
    sql "SELECT * FROM kx20.schema_version WHERE version = 1"
    sql "SELECT take_id, first_serial, count, station, slot, drive_letter, taken_at
         FROM kx20.serial_takes ORDER BY take_id"
    sql "SELECT record_key, station, slot, drive_letter, serial, capacity, result, error_code,
                started_at, finished_at FROM kx20.verdicts ORDER BY record_key"
    sql "SELECT * FROM kx20.serial_counter"
  }
  v1_rows > "$work/v1-before.txt"
  # st9's journal of the old format: four of its lease's numbers used.
  make_small_station st9 2
  printf 'kx20 serial lease journal 1\nstation st9\nlease 11 10 4\nend\n' > "$work/st9/serial_lease.journal"
  run_station_now st9 --lease 10
  expect_refused st9 "the database has schema version 1, this station needs version 4"
  v1_rows | cmp -s - "$work/v1-before.txt" || fail "the refusing station changed the database"
  "$kx20ctl" line init "$line" > "$work/migrate.out" || fail "the migration failed"
  grep -q "migrated from version 1 to 4 (every row kept: 4 take(s), 3 verdict(s))" "$work/migrate.out" ||
    fail "$(cat "$work/migrate.out")"
  v1_rows | diff "$work/v1-before.txt" - || fail "a row of version 1 changed in the migration"
  [ "$(sql "SELECT max(version) FROM kx20.schema_version")" = 4 ] || fail "not version 4"
  # The verdicts already there are in the hourly counts.
  [ "$(sql "SELECT sum(verdicts) FROM kx20.verdict_hours")" = 3 ] ||
    fail "the migration did not count the version 1 verdicts: $(sql "TABLE kx20.verdict_hours")"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE lot IS NULL AND steps IS NULL AND host IS NULL
              AND rw_write_mbps IS NULL AND previous_serial IS NULL")" = 3 ] ||
    fail "the version 1 verdicts do not have NULL in the new columns"
  [ "$(sql "SELECT length(line_id) FROM kx20.line_identity")" = 32 ] || fail "no line id"
  if sql "SELECT kx20.take_serials('st1', 1, 'E', 1)" > "$work/old-station.out" 2>&1; then
    fail "a version 1 station could still take a number"
  fi
  grep -q "this station is older" "$work/old-station.out" || fail "$(cat "$work/old-station.out")"
  # The old journal goes on with its lease: 15 and 16.
  run_station_now st9 --lease 10
  [ "$rc" = 0 ] || fail "st9 did not pass on the migrated line: $(cat "$work/st9.err")"
  [ "$(table_serials st9 | sort | tr '\n' ' ')" = "00000015 00000016 " ] ||
    fail "st9 did not go on with its old lease: $(table_serials st9)"
  grep -q '^lease 11 10 6 4$' "$work/st9/serial_lease.journal" ||
    fail "the journal's lease is not matched to take 4: $(cat "$work/st9/serial_lease.journal")"
  [ "$(sql "SELECT instance_id IS NOT NULL FROM kx20.serial_takes WHERE take_id = 4")" = t ] ||
    fail "the old lease's take is not this journal's now"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "line $case_name: passed in $(( $(date +%s) - start )) s"
