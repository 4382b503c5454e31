#!/usr/bin/env bash
# Line mode's refusals against a real PostgreSQL server (started here once
# and always stopped), with real station processes, in this order:
#   changesn0  a line station whose config.txt has Change_SN=0 refuses to
#              start: no number is taken, no verdict recorded
#   twice      a second station process on a line station's work directory
#              (same station name) is refused before it takes any number,
#              naming the first; the first one's numbers are the line's
#              only ones: two verdicts, two distinct serial numbers
#
#   station_guard_line.sh STATION KX20CTL SOURCE_DIR WORK
set -u
station=$1 kx20ctl=$2 source=$3 work=$4 case=setup
pg=$source/tests/pg/pg_cluster.sh
rm -rf "$work" && mkdir -p "$work" || exit 1
pgdir=$(mktemp -d /tmp/kx20pg.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  "$pg" stop "$pgdir" >/dev/null 2>&1
  rm -rf "$pgdir"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($case): $*"
  for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
  exit 1
}

conninfo=$("$pg" start "$pgdir") || fail "no PostgreSQL server"
sql() { psql "$conninfo" -X -q -At -v ON_ERROR_STOP=1 -c "$1"; }
"$kx20ctl" line init "$conninfo" >"$work/init.out" 2>&1 || fail "kx20ctl line init"

mkdir -p "$work/st" || exit 1
cat >"$work/farm.ini" <<'FARM'
[E]
slot = 1
last_lba = 65535
write_mbps = 3
read_mbps = 3
backing = disk-e.img
[F]
slot = 2
last_lba = 65535
write_mbps = 3
read_mbps = 3
backing = disk-f.img
FARM
run() {  # NAME: a line batch on the work directory, in the background
  "$station" --batch --sim="$work/farm.ini" --workdir "$work/st" --line "$conninfo" \
    --station st1 >"$work/$1.out" 2>"$work/$1.err" &
  last=$!
  pids+=("$last")
}

case=changesn0
sed 's/^Change_SN=1/Change_SN=0/' "$source/examples/config.txt" >"$work/st/config.txt"
run only
wait "$last"
status=$?
[ "$status" = 2 ] || fail "exit status $status, expected 2"
grep -q 'line mode needs Change_SN=1' "$work/only.err" || fail "the refusal does not say why"
[ "$(sql "SELECT count(*) FROM kx20.serial_takes")" = 0 ] || fail "a number was taken"
[ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 0 ] || fail "a verdict was recorded"
[ -e "$work/st/produce.log" ] && fail "a record was written"

case=twice
cp "$source/examples/config.txt" "$work/st/"
run first
first=$last
deadline=$((SECONDS + 30))
until grep -q 'rw-test' "$work/first.out" 2>/dev/null; do
  ((SECONDS < deadline)) || fail "the first station never reached its read/write test"
  sleep 0.1
done
takes=$(sql "SELECT count(*) FROM kx20.serial_takes")
run second
wait "$last"
status=$?
[ "$status" = 2 ] || fail "second station: exit status $status, expected 2"
grep -q "is in use by another station (pid $first on host .*line station st1" "$work/second.err" ||
  fail "the refusal does not name the first station"
[ "$(sql "SELECT count(*) FROM kx20.serial_takes")" = "$takes" ] || fail "the second station took numbers"
wait "$first"
status=$?
[ "$status" = 0 ] || fail "the first station's run: exit status $status"
[ "$(sql "SELECT count(*) FROM kx20.verdicts")" = 2 ] || fail "not two verdicts in the line"
[ "$(sql "SELECT count(DISTINCT serial) FROM kx20.verdicts WHERE result = 'Pass'")" = 2 ] ||
  fail "the line's two passes do not have two serial numbers"
echo "line station guard: Change_SN=0 and a second process refused"
