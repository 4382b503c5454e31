#!/usr/bin/env bash
# `kx20ctl report --line` on a month of a 20-station line: a PostgreSQL server
# started here is filled with ROWS verdicts (default 25 million, about a month
# of 20 stations of 10 slots at 36,000 disks an hour) made with
# generate_series, then the report is timed for the last 24 hours and for the
# whole month, with kx20ctl's peak memory (/usr/bin/time -v) and the plans of
# the report's queries (EXPLAIN ANALYZE, from the server's auto_explain).
# The fill goes through the line's insert triggers (the hourly counts), so it
# times them too; a kept server of an older schema is migrated by this
# build's `kx20ctl line init` first (timed).
# A benchmark, not a test: run it by hand on a quiet machine.
#
# usage: bench/report_line.sh [ROWS]
#   KX20CTL=path        the kx20ctl to time (default: the release build's, else linux)
#   KX20_BENCH_KEEP=DIR keep the filled server in DIR and reuse it next time
#                       (remove it with tests/pg/pg_cluster.sh remove DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
rows=${1:-25000000}
pg=$top/tests/pg/pg_cluster.sh
ctl=${KX20CTL:-$top/build/release/tools/kx20ctl}
[ -x "$ctl" ] || ctl=$top/build/linux/tools/kx20ctl
work=$(mktemp -d)
if [ -n "${KX20_BENCH_KEEP:-}" ]; then
  pgdir=$KX20_BENCH_KEEP
  trap 'rm -rf "$work"' EXIT
else
  pgdir=$work/pg
  trap '"$pg" remove "$pgdir" || true; rm -rf "$work"' EXIT
fi
conninfo=$("$pg" start "$pgdir")
psql=""
for d in /usr/lib/postgresql/*/bin; do
  [ -x "$d/psql" ] && psql=$d/psql
done
sql() { "$psql" "$conninfo" -v ON_ERROR_STOP=1 -q -X "$@"; }
export PGTZ=UTC

# The month ends at the start of this hour.
end=$(date -u +'%Y-%m-%d %H:00:00+00')

have=$(sql -tA -c "SELECT count(*) FROM kx20.verdicts" 2>/dev/null || echo none)
if [ "$have" != "$rows" ]; then
  [ "$have" = none ] || sql -c "DROP SCHEMA kx20 CASCADE"
  "$ctl" line init "$conninfo" >/dev/null
  # The record of one disk's columns, as the line's newer schema has them,
  # when this build's `line init` does not make them yet.
  sql <<'EOF'
ALTER TABLE kx20.verdicts
  ADD COLUMN IF NOT EXISTS lot text, ADD COLUMN IF NOT EXISTS operator text,
  ADD COLUMN IF NOT EXISTS software_version text, ADD COLUMN IF NOT EXISTS recipe_id text,
  ADD COLUMN IF NOT EXISTS previous_serial bigint, ADD COLUMN IF NOT EXISTS failed_step text,
  ADD COLUMN IF NOT EXISTS steps jsonb, ADD COLUMN IF NOT EXISTS rw_write_mbps real,
  ADD COLUMN IF NOT EXISTS rw_read_mbps real, ADD COLUMN IF NOT EXISTS image_write_mbps real,
  ADD COLUMN IF NOT EXISTS host text;
EOF
  echo "filling $rows verdicts ..."
  start=$(date +%s.%N)
  # Verdict i of n finishes at end - 30 days + i * (30 days / n); station
  # st01..st20 and slot 1..10 turn in order; 3 % fail (four codes); 1 % are
  # reworks of a disk made 50,000 verdicts earlier; a disk takes 50..70 s,
  # slot 7 of st05 half as long again.
  sql <<EOF
SET synchronous_commit = off;
ALTER TABLE kx20.verdicts SET (autovacuum_enabled = false);
INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, issued_serial, capacity,
  result, error_code, started_at, finished_at, lot, operator, software_version, recipe_id,
  previous_serial, failed_step, rw_write_mbps, rw_read_mbps, image_write_mbps, host)
SELECT 'k' || i, st, s, chr(ascii('E') + s - 1),
       CASE WHEN fail THEN NULL ELSE i END, i, 262144,
       CASE WHEN fail THEN 'FAIL' ELSE 'Pass' END,
       CASE WHEN fail THEN (ARRAY['USBErr_RW_Compare','USBErr_Config','USBErr_Pnf','USBErr_TableCompare'])[1 + h % 4] END,
       fin - (CASE WHEN st = 'st05' AND s = 7 THEN 1.5 ELSE 1 END * (50 + h % 2000 / 100.0)) * interval '1 second',
       fin,
       'L' || lpad((i / 400000)::text, 4, '0'), 'OP-' || (1 + (extract(hour FROM fin)::int / 8)),
       '1.0', 'a1b2c3d4',
       CASE WHEN h % 100 = 7 AND i > 50000 THEN i - 50000 END,
       CASE WHEN fail THEN 'rw_test' END,
       20 + h % 50 / 10.0, 30 + h % 70 / 10.0, 18 + h % 40 / 10.0, 'host-' || st
FROM (
  SELECT i, 'st' || lpad((1 + i % 20)::text, 2, '0') AS st, 1 + (i / 20) % 10 AS s,
         timestamptz '$end' - interval '30 days' + i * (interval '30 days' / $rows) AS fin,
         (i * 2654435761) % 100003 AS h, (i * 2654435761) % 100003 % 1000 < 30 AS fail
  FROM generate_series(1, $rows) AS i
) AS g;
ALTER TABLE kx20.verdicts SET (autovacuum_enabled = true);
VACUUM ANALYZE kx20.verdicts;
EOF
  sql -c "ANALYZE kx20.verdict_hours" -c "ANALYZE kx20.pass_time_hours" -c "ANALYZE kx20.pass_serials" \
    2>/dev/null || true
  end_fill=$(date +%s.%N)
  printf 'filled in %.0f s\n' "$(echo "$end_fill - $start" | bc)"
fi
# A kept server of an older schema: migrated (and its counts made) here.
start=$(date +%s.%N)
init=$("$ctl" line init "$conninfo")
if grep -q 'migrated from' <<<"$init"; then
  printf '%s: %.0f s\n' "$(grep -o 'migrated from version [0-9]* to [0-9]*' <<<"$init")" \
    "$(echo "$(date +%s.%N) - $start" | bc)"
  sql -c "VACUUM ANALYZE" >/dev/null
fi
sql -tA -c "SELECT 'table: ' || count(*) || ' rows, ' || pg_size_pretty(pg_total_relation_size('kx20.verdicts'))
            || ' with indexes' FROM kx20.verdicts"

# The plans, from the server itself: every statement of the report's session.
sql -c "LOAD 'auto_explain'" \
    -c "ALTER SYSTEM SET session_preload_libraries = 'auto_explain'" \
    -c "ALTER SYSTEM SET auto_explain.log_min_duration = 0" \
    -c "ALTER SYSTEM SET auto_explain.log_analyze = on" \
    -c "ALTER SYSTEM SET auto_explain.log_buffers = on" \
    -c "SELECT pg_reload_conf()" >/dev/null
cluster=$(cat "$pgdir/cluster-dir")

run() {  # NAME ARGS...
  local name=$1
  shift
  local log=$cluster/server.log
  local before
  before=$(wc -c <"$log")
  if ! /usr/bin/time -v "$ctl" report --line "$conninfo" "$@" >"$work/$name.txt" 2>"$work/$name.time"; then
    echo "$name: FAILED: $(grep -v '^	' "$work/$name.time" | head -3)"
  fi
  local secs rss
  secs=$(grep 'Elapsed (wall clock)' "$work/$name.time" | awk '{print $NF}')
  rss=$(grep 'Maximum resident set size' "$work/$name.time" | awk '{print $NF}')
  echo "$name: $secs wall, peak RSS $((rss / 1024)) MB  (kx20ctl report --line ... $*)"
  tail -c +"$((before + 1))" "$log" >"$work/$name.plans"
  cp "$work/$name.txt" "$work/$name.plans" "${KX20_BENCH_OUT:-$work}/" 2>/dev/null || true
}
run day --last 24h
run month --last 30d
run month-by-lot --last 30d --by lot
sql -c "ALTER SYSTEM RESET ALL" -c "SELECT pg_reload_conf()" >/dev/null
echo "reports and plans: ${KX20_BENCH_OUT:-$work (removed at exit; set KX20_BENCH_OUT=DIR to keep them)}"
