#!/bin/bash
# `kx20ctl report --line` against a real PostgreSQL server started here: the
# table kx20.verdicts as the line's database holds it, rows of two stations
# with one bad hub port and hours across midnight, and the report's figures
# compared with what the rows give; the schema is the one `kx20ctl line init`
# makes, read through libpq and through the PostgreSQL ODBC driver. Then the
# server is stopped: the report must fail with the reason, not print an
# empty report.
#
# usage: report_line.sh KX20CTL WORK_DIR   (a kx20ctl built with line mode)
set -euo pipefail

kx20ctl=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
trap '"$here/pg_cluster.sh" remove "$work/pg" || true' EXIT
conninfo=$("$here/pg_cluster.sh" start "$work/pg") || fail "the test server did not start"

psql=""
for d in /usr/lib/postgresql/*/bin; do
  [ -x "$d/psql" ] && psql=$d/psql
done
[ -n "$psql" ] || fail "no psql"
sql() { "$psql" "$conninfo" -v ON_ERROR_STOP=1 -q -X "$@"; }

# Hours in UTC, whatever the server's or the host's zone.
export PGTZ=UTC

# Station A: ten slots, slot 3 fails 6 of 10. Station B: ten slots, one
# failure in slot 7. 09:xx on 31 December, then 23:xx, then 00:xx on
# 1 January. One row with a result that is neither.
# The schema as the line's own set-up makes it.
"$kx20ctl" line init "$conninfo" > "$work/init.out" 2>&1 || fail "kx20ctl line init: $(cat "$work/init.out")"
sql <<'EOF'
INSERT INTO kx20.verdicts
SELECT st || '-' || s || '-' || n, st, s, chr(ascii('E') + s - 1),
       CASE WHEN failed THEN NULL ELSE serial END, 262144,
       CASE WHEN failed THEN 'FAIL' ELSE 'Pass' END,
       CASE WHEN failed THEN 'USBErr_RW_Compare' END,
       at - interval '40 seconds', at
FROM (
  SELECT st, s, n,
         (st = 'A' AND s = 3 AND n <= 6) OR (st = 'B' AND s = 7 AND n = 1) AS failed,
         row_number() OVER () AS serial,
         CASE WHEN n <= 4 THEN timestamptz '2026-12-31 09:15:00+00'
              WHEN n <= 8 THEN timestamptz '2026-12-31 23:45:00+00'
              ELSE timestamptz '2027-01-01 00:10:00+00' END + s * interval '1 second' AS at
  FROM unnest(ARRAY['A', 'B']) AS st, generate_series(1, 10) AS s, generate_series(1, 10) AS n
) AS rows;
INSERT INTO kx20.verdicts VALUES
  ('B-x', 'B', 1, 'E', NULL, 0, 'Maybe', NULL, '2026-12-31 09:00:00+00', '2026-12-31 09:00:00+00');
EOF

"$kx20ctl" report --line "$conninfo" --html "$work/line.html" >"$work/report.txt" 2>&1 ||
  fail "kx20ctl report --line failed: $(cat "$work/report.txt")"

expect() {
  grep -qE "$1" "$work/report.txt" || fail "no line matching '$1' in the report:
$(cat "$work/report.txt")"
}
expect '^records: 200   passed: 193   failed: 7   yield: 96\.5 %$'
expect '^malformed sections: 1$'
expect '^  USBErr_RW_Compare +7 +100\.0 %$'
expect '^  2026-12-31 09:00 +80 +75 +5 +93\.8 % +[0-9.]+$'
expect '^  2026-12-31 23:00 +80 +78 +2 +97\.5 % +[0-9.]+$'
expect '^  2027-01-01 00:00 +40 +40 +0 +100\.0 % +[0-9.]+$'
expect '^  A +100 +94 +6 +94\.0 %$'
expect '^  B +100 +99 +1 +99\.0 %$'
expect '^  A +3 +10 +4 +6 +60\.0 %.*STANDS OUT'
expect '^  database \[B-x\]: .*neither Pass nor FAIL'
marked=$(grep -c 'STANDS OUT' "$work/report.txt")
[ "$marked" -eq 1 ] || fail "$marked slots marked, expected only A 3"
grep -q '<tr class="out"><td>A</td><td>3</td>' "$work/line.html" || fail "the page does not mark A 3"

# The same report through the PostgreSQL ODBC driver: the same text.
odbc=$("$here/pg_cluster.sh" odbc "$work/pg") || fail "no ODBC connection string"
ODBCSYSINI=$work/pg "$kx20ctl" report --line "$odbc" --html "$work/line-odbc.html" \
  >"$work/report-odbc.txt" 2>&1 ||
  fail "kx20ctl report --line over ODBC failed: $(cat "$work/report-odbc.txt")"
sed '/^wrote /d' "$work/report.txt" >"$work/report-pq.cmp"
sed '/^wrote /d' "$work/report-odbc.txt" >"$work/report-odbc.cmp"
cmp -s "$work/report-pq.cmp" "$work/report-odbc.cmp" ||
  fail "the report over ODBC differs: $(diff "$work/report-pq.cmp" "$work/report-odbc.cmp")"
expect '^repeated serial numbers: 0$'

# The same string from a connection file: the same report; a file every user
# may read is refused.
printf '%s\n' "$conninfo" >"$work/line.conn"
chmod 600 "$work/line.conn"
"$kx20ctl" report --line "$conninfo" >"$work/report-plain.txt" 2>&1 ||
  fail "kx20ctl report --line failed: $(cat "$work/report-plain.txt")"
"$kx20ctl" report --line-file "$work/line.conn" >"$work/report-file.txt" 2>&1 ||
  fail "kx20ctl report --line-file failed: $(cat "$work/report-file.txt")"
cmp -s "$work/report-plain.txt" "$work/report-file.txt" ||
  fail "the report from --line-file differs: $(diff "$work/report-plain.txt" "$work/report-file.txt")"
chmod 644 "$work/line.conn"
if "$kx20ctl" report --line-file "$work/line.conn" >"$work/report-file.txt" 2>&1; then
  fail "a connection file every user may read was used"
fi
grep -q 'chmod 600' "$work/report-file.txt" || fail "the refusal does not say what to do: $(cat "$work/report-file.txt")"

# The record of one disk's columns (as the line's newer schema has them, made
# here when this build's `line init` does not), station C's rows with lots,
# disk times (slot 4 slow), reworks of earlier disks (one recovered after a
# failure): the figures counted in the database must be those of reading
# every row, whatever the window and the grouping.
sql <<'EOF'
ALTER TABLE kx20.verdicts
  ADD COLUMN IF NOT EXISTS lot text, ADD COLUMN IF NOT EXISTS operator text,
  ADD COLUMN IF NOT EXISTS previous_serial bigint;
INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, capacity, result,
                           error_code, started_at, finished_at, lot, operator, previous_serial)
SELECT 'C-' || s || '-' || n, 'C', s, chr(ascii('E') + s - 1), 1000 + s * 100 + n, 262144,
       CASE WHEN n = 12 AND s = 2 THEN 'FAIL' ELSE 'Pass' END,
       CASE WHEN n = 12 AND s = 2 THEN 'USBErr_RW_Compare' END,
       at - CASE WHEN s = 4 THEN 90 ELSE 38 + n % 5 END * interval '1 second', at,
       CASE WHEN s <= 5 THEN 'L1' ELSE 'L2' END, 'OP-' || (n % 2),
       CASE WHEN n = 1 AND s <= 3 THEN s + 4 END
FROM (SELECT s, n, timestamptz '2026-12-31 20:00:00+00' + (s * 12 + n) * interval '70 seconds' AS at
      FROM generate_series(1, 10) AS s, generate_series(1, 12) AS n) AS g;
-- C 2's failure had its number written (1212); the disk, made again, passes.
INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, capacity, result,
                           started_at, finished_at, lot, previous_serial)
VALUES ('C-again', 'C', 6, 'J', 5000, 262144, 'Pass', '2026-12-31 23:30:00+00',
        '2026-12-31 23:31:00+00', 'L2', 1212);
EOF
agree() {  # ARGS...: the database's figures are those of every row read
  local args
  for args in "$@"; do
    # shellcheck disable=SC2086
    "$kx20ctl" report --line "$conninfo" $args >"$work/agg.txt" 2>&1 || fail "report $args: $(cat "$work/agg.txt")"
    # shellcheck disable=SC2086
    "$kx20ctl" report --line "$conninfo" --read-rows $args >"$work/rows.txt" 2>&1 ||
      fail "report --read-rows $args: $(cat "$work/rows.txt")"
    diff "$work/agg.txt" "$work/rows.txt" >"$work/agg.diff" ||
      fail "counted in the database and read row by row differ for '$args':
$(cat "$work/agg.diff")"
  done
}
# Windows on whole hours (the hourly counts alone), with edges inside hours
# (counts and rows), inside one hour (rows alone).
windows=("" "--by lot" "--by slot" "--by operator" "--by hour" "--by day"
         "--since 2026-12-31T20:00" "--since 2026-12-31T20:30 --until 2026-12-31T23:59 --by station"
         "--last 3h --until 2027-01-01T00:00" "--since 2026-12-31T20:59:30 --until 2026-12-31T23:00:30 --by lot"
         "--since 2026-12-31T21:10 --until 2026-12-31T21:50 --by slot")
agree "${windows[@]}"
"$kx20ctl" report --line "$conninfo" --by lot --since 2026-12-31T20:00 >"$work/report.txt" 2>&1
# (The A and B rows of 23:00 and 00:00 are in the window too; their disks
# take 40 s, as C's but slot 4's.)
expect '^records: 241   passed: 238   failed: 3   yield: 98\.8 %$'
expect '^first-pass yield: 98\.7 %   final yield: 99\.2 %   reworks: 4 \(4 passed\)'
expect '^  C +4 +12 +90\.0 s +90\.0 s +12 +0 .*SLOW: check this hub port'
expect '^  L1 +60 +59 +1 +98\.3 % +98\.2 % +98\.2 % +3 '
# The disk recovered in L2 failed in L1: L2's final yield counts it.
expect '^  L2 +61 +61 +0 +100\.0 % +100\.0 % +101\.7 % +1 '
expect 'serial 00005000, was 00001212 \(failed at 2026-12-31 '
[ "$(grep -c 'SLOW: check' "$work/report.txt")" = 1 ] || fail "not only C 4 is slow: $(cat "$work/report.txt")"

# Repeated pass serials across the sources: two produce.logs and the line.
# The line passes 00777777 in station A's slot 4; a.log passes it too, and
# 00000900; b.log passes 00000900 again, and 00000901 (once).
sql -c "INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, capacity, result,
        started_at, finished_at) VALUES ('A-rep', 'A', 4, 'H', 777777, 262144, 'Pass',
        '2026-12-31 10:00:00+00', '2026-12-31 10:00:09+00')"
log_record() {  # TIME SERIAL RESULT
  printf '[%s]\r\nSerial Number=%s\r\nCapacity=127.9\r\nResult=%s\r\nError Code=\r\n' "$1" "$2" "$3"
}
{ log_record "2026/12/31  9:0:1" 00777777 Pass; log_record "2026/12/31  9:0:2" 00000900 Pass; } > "$work/a.log"
{ log_record "2027/1/1  0:5:1" 00000900 Pass; log_record "2027/1/1  0:5:2" 00000901 Pass; } > "$work/b.log"
"$kx20ctl" report "$work/a.log" "$work/b.log" --line "$conninfo" --html "$work/repeats.html" \
  > "$work/repeats.txt" 2>&1 || fail "the report of logs and line failed: $(cat "$work/repeats.txt")"
section=$(sed -n '/^repeated serial numbers (/,/^$/p' "$work/repeats.txt")
[ "$(grep -c 'seen 2 times' <<< "$section")" = 2 ] || fail "not two repeated serials:
$section"
grep -q "^  00777777  seen 2 times:$" <<< "$section" || fail "00777777 is not listed: $section"
grep -qF "    $work/a.log [2026/12/31  9:0:1]" <<< "$section" || fail "a.log's 00777777 is not named: $section"
grep -qF "    database: station A slot 4 (H:) 2026-12-31 10:00:09 [A-rep]" <<< "$section" ||
  fail "the line's 00777777 is not named: $section"
grep -qF "    $work/b.log [2027/1/1  0:5:1]" <<< "$section" || fail "b.log's 00000900 is not named: $section"
if grep -q 00000901 <<< "$section"; then fail "00000901 was seen once only: $section"; fi
grep -q '<h2>Repeated serial numbers</h2>' "$work/repeats.html" || fail "the page has no repeats section"
grep -q '<td>00000900</td><td>2</td>' "$work/repeats.html" || fail "the page does not list 00000900"
# The same through ODBC.
ODBCSYSINI=$work/pg "$kx20ctl" report "$work/a.log" "$work/b.log" --line "$odbc" \
  --html "$work/repeats-odbc.html" > "$work/repeats-odbc.txt" 2>&1 ||
  fail "the report of logs and line over ODBC failed"
diff <(sed '/^wrote /d' "$work/repeats.txt") <(sed '/^wrote /d' "$work/repeats-odbc.txt") >/dev/null ||
  fail "the report of logs and line over ODBC differs: $(diff "$work/repeats.txt" "$work/repeats-odbc.txt")"

# The hourly counts the line keeps at insert time must equal a count of the
# verdicts themselves, whatever came in when and how.
recount_differs() {
  sql -tA <<'EOF'
WITH fresh AS (
  SELECT date_trunc('hour', finished_at AT TIME ZONE 'UTC') AT TIME ZONE 'UTC' AS hour, station, slot,
         result, coalesce(error_code, '') AS error_code, coalesce(lot, '') AS lot,
         coalesce(operator, '') AS operator, count(*) AS verdicts, min(started_at) AS first_start,
         max(finished_at) AS last_finish
  FROM kx20.verdicts WHERE previous_serial IS NULL GROUP BY 1, 2, 3, 4, 5, 6, 7
), fresh_times AS (
  SELECT date_trunc('hour', finished_at AT TIME ZONE 'UTC') AT TIME ZONE 'UTC' AS hour, station, slot,
         floor(extract(epoch FROM finished_at - started_at)::float8)::bigint AS seconds, count(*) AS passes
  FROM kx20.verdicts WHERE result = 'Pass' AND slot > 0 GROUP BY 1, 2, 3, 4
)
SELECT (SELECT count(*) FROM ((TABLE fresh EXCEPT TABLE kx20.verdict_hours)
                              UNION ALL (TABLE kx20.verdict_hours EXCEPT TABLE fresh)) AS d)
     + (SELECT count(*) FROM ((TABLE fresh_times EXCEPT TABLE kx20.pass_time_hours)
                              UNION ALL (TABLE kx20.pass_time_hours EXCEPT TABLE fresh_times)) AS d)
EOF
}
[ "$(recount_differs)" = 0 ] || fail "the hourly counts differ from the verdicts after the inserts"
# Late verdicts through the station's own function and role (an outbox
# drained after an outage): into hours already counted; a rework that
# arrives before the verdict of its earlier disk; a rework whose earlier
# verdict lies before the windows.
sql <<'EOF'
SET ROLE kx20_station;
SELECT kx20.record_verdict('late-1', 'C', 5, 'I', 7001, 262144, 'Pass', NULL,
  '2026-12-31 20:40:00+00', '2026-12-31 20:41:05.7+00', 7001, false, NULL, 'L1', 'OP-1', '1.0',
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'h');
SELECT kx20.record_verdict('late-rw', 'C', 6, 'J', 7002, 262144, 'Pass', NULL,
  '2026-12-31 21:19:00+00', '2026-12-31 21:20:00+00', 7002, false, NULL, 'L2', 'OP-0', '1.0',
  NULL, 8000, NULL, NULL, NULL, NULL, NULL, 'h');
SELECT kx20.record_verdict('late-first', 'C', 7, 'K', 8000, 262144, 'FAIL', 'USBErr_Config',
  '2026-12-31 18:59:00+00', '2026-12-31 19:00:00+00', 8000, false, NULL, 'L2', 'OP-0', '1.0',
  NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'h');
SELECT kx20.record_verdict('old-rw', 'C', 8, 'L', 7003, 262144, 'FAIL', 'USBErr_RW_Compare',
  '2026-12-31 22:09:00+00', '2026-12-31 22:10:00+00', 7003, false, NULL, 'L2', 'OP-1', '1.0',
  NULL, 1101, NULL, NULL, NULL, NULL, NULL, 'h');
RESET ROLE;
EOF
[ "$(recount_differs)" = 0 ] || fail "the hourly counts differ from the verdicts after late inserts"
agree "${windows[@]}"
"$kx20ctl" report --line "$conninfo" --since 2026-12-31T20:30 >"$work/report.txt" 2>&1
expect 'serial 00007002, was 00008000 \(failed at 2026-12-31 19:00'
expect 'serial 00007003, was 00001101 \(passed at 2026-12-31 20:15'
# Changed and deleted by hand: the hours touched are counted again.
sql -c "UPDATE kx20.verdicts SET result = 'FAIL', error_code = 'USBErr_Pnf',
        finished_at = finished_at + interval '2 hours' WHERE record_key IN ('C-3-4', 'late-1')" \
    -c "DELETE FROM kx20.verdicts WHERE record_key = 'C-5-6'"
[ "$(recount_differs)" = 0 ] || fail "the hourly counts differ from the verdicts after a change by hand"
agree "" "--since 2026-12-31T20:30 --until 2026-12-31T23:59 --by station"

# A report of a database that is not there fails with the reason.
"$here/pg_cluster.sh" stop "$work/pg"
set +e
"$kx20ctl" report --line "$conninfo" >"$work/down.txt" 2>&1
rc=$?
set -e
[ $rc -eq 1 ] || fail "a report of a stopped server exits $rc, expected 1: $(cat "$work/down.txt")"
grep -q 'cannot connect to the line' "$work/down.txt" || fail "no reason given: $(cat "$work/down.txt")"
if grep -q '^records:' "$work/down.txt"; then fail "an empty report was printed"; fi
echo "report --line: figures match"
