#!/usr/bin/env bash
# What a station refuses, with real processes on simulated farms whose disks
# live in files (so two processes share the same disks):
#   workdir    a second station on a work directory in use (a batch, then a
#              line-by-line console) is refused naming the first one's pid;
#              the first one's run is untouched
#   disk       a second station in another work directory on the same disks
#              leaves them alone: rows "[in use X]", exit 1, no record, no
#              number taken; the first one passes both disks
#   linedir    a work directory that has served a line (its marker, or a
#              lease journal) refuses a station without --line; nothing in it
#              changes
#   logdir     produce.log a directory: nothing starts (exit 2); made a
#              directory during the run: both disks "[record X]", exit 1
#   configdir  config.txt a directory: exit 2 with the reason, not a crash
#   fifo       a FIFO named Pelorin.img: the station says why and runs (it
#              used to hang at start)
#
#   station_guard.sh STATION SOURCE_DIR WORK CASE
set -u
station=$1 source=$2 work=$3 case=$4
rm -rf "$work" && mkdir -p "$work" || exit 1
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done' EXIT

fail() {
  echo "FAIL ($case): $*"
  for f in "$work"/*.out "$work"/*.err "$work"/*/produce.log; do
    [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
  done
  exit 1
}

# A work directory with the example settings.
workdir() {
  mkdir -p "$work/$1" && cp "$source/examples/config.txt" "$work/$1/" || exit 1
}

# A farm of two small, slow disks kept in files: a run lasts a few seconds.
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

# start NAME DIR [ARGS...]: a batch in the background; its pid in $last.
start() {
  local name=$1 dir=$2
  shift 2
  "$station" --batch --sim="$work/farm.ini" --workdir "$work/$dir" "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  last=$!
  pids+=("$last")
}

# Waits up to $3 seconds for the extended regular expression $2 in file $1.
wait_in() {
  local deadline=$((SECONDS + $3))
  while ((SECONDS < deadline)); do
    grep -Eq -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "timed out waiting for '$2' in $1"
}

count() { n=$(grep -c -- "$1" "$2" 2>/dev/null); echo "${n:-0}"; }

case $case in
  workdir)
    workdir a
    start first a
    first=$last
    wait_in "$work/first.out" 'rw-test' 30
    "$station" --batch --sim="$work/farm.ini" --workdir "$work/a" >"$work/second.out" 2>"$work/second.err"
    status=$?
    [ "$status" = 2 ] || fail "second batch: exit status $status, expected 2"
    grep -q "is in use by another station (pid $first on host .* (kx20-station, batch))" "$work/second.err" ||
      fail "the refusal does not name the first station"
    "$station" --sim="$work/farm.ini" --workdir "$work/a" </dev/null >"$work/console.out" 2>"$work/console.err"
    status=$?
    [ "$status" = 2 ] || fail "line-by-line console: exit status $status, expected 2"
    grep -q "is in use by another station (pid $first" "$work/console.err" || fail "the console was not told who"
    wait "$first"
    status=$?
    [ "$status" = 0 ] || fail "the first station's run: exit status $status"
    [ "$(count 'Result=Pass' "$work/a/produce.log")" = 2 ] || fail "not two passes in produce.log"
    grep -q 'Product_SN=00000002' "$work/a/config.txt" || fail "the counter is not at 00000002"
    ;;
  disk)
    workdir a
    workdir b
    start first a
    first=$last
    wait_in "$work/first.out" 'rw-test' 30
    "$station" --batch --sim="$work/farm.ini" --workdir "$work/b" >"$work/second.out" 2>"$work/second.err"
    status=$?
    [ "$status" = 1 ] || fail "second station: exit status $status, expected 1"
    [ "$(count ':\[in use X\]$' "$work/second.out")" -ge 2 ] || fail "the rows do not say the disks are in use"
    [ "$(count "is in use by another station (pid $first" "$work/second.err")" = 2 ] ||
      fail "the notices do not name the station that has the disks"
    grep -q '0 passed, 2 failed' "$work/second.out" || fail "the held disks were not counted as not produced"
    [ -e "$work/b/produce.log" ] && fail "the second station wrote records"
    cmp -s "$source/examples/config.txt" "$work/b/config.txt" || fail "the second station took a number"
    wait "$first"
    status=$?
    [ "$status" = 0 ] || fail "the first station's run: exit status $status"
    [ "$(count 'Result=Pass' "$work/a/produce.log")" = 2 ] || fail "the first station did not pass both disks"
    grep -q 'Serial Number=00000001' "$work/a/produce.log" && grep -q 'Serial Number=00000002' "$work/a/produce.log" ||
      fail "the first station's numbers are not 1 and 2"
    ;;
  linedir)
    for marker in line.marker serial_lease.journal; do
      rm -rf "$work/l" && workdir l
      : >"$work/l/$marker"
      "$station" --batch --sim --workdir "$work/l" >"$work/l.out" 2>"$work/l.err"
      status=$?
      [ "$status" = 2 ] || fail "$marker: exit status $status, expected 2"
      grep -q "has served a line ($marker is there).*--line CONNINFO --station NAME" "$work/l.err" ||
        fail "$marker: the refusal does not say what to do"
      [ -e "$work/l/produce.log" ] && fail "$marker: a record was written"
      cmp -s "$source/examples/config.txt" "$work/l/config.txt" || fail "$marker: config.txt changed"
    done
    ;;
  logdir)
    workdir a
    mkdir "$work/a/produce.log"
    start before a
    wait "$last"
    status=$?
    [ "$status" = 2 ] || fail "produce.log a directory at the start: exit status $status, expected 2"
    grep -q 'produce.log cannot be written: it is a directory' "$work/before.err" || fail "no reason given"
    cmp -s "$source/examples/config.txt" "$work/a/config.txt" || fail "a number was taken"
    rmdir "$work/a/produce.log"
    start during a
    wait_in "$work/during.out" 'rw-test' 30
    mkdir "$work/a/produce.log"
    wait "$last"
    status=$?
    [ "$status" = 1 ] || fail "produce.log lost during the run: exit status $status, expected 1"
    [ "$(count ':\[record X\]$' "$work/during.out")" -ge 2 ] || fail "the rows do not show the lost records"
    grep -q '0 passed, 2 failed' "$work/during.out" || fail "a disk whose record was lost counted as passed"
    [ "$(count 'was lost' "$work/during.err")" = 2 ] || fail "the lost records are not named"
    ;;
  configdir)
    mkdir -p "$work/a/config.txt"
    "$station" --batch --sim --workdir "$work/a" >"$work/a.out" 2>"$work/a.err"
    status=$?
    [ "$status" = 2 ] || fail "exit status $status, expected 2"
    grep -q 'config.txt cannot be read: it is a directory' "$work/a.err" || fail "no reason given"
    ;;
  fifo)
    workdir a
    mkfifo "$work/a/Pelorin.img" || exit 1
    printf '[E]\nslot = 1\nlast_lba = 65535\n' >"$work/one.ini"
    timeout 60 "$station" --batch --sim="$work/one.ini" --workdir "$work/a" >"$work/a.out" 2>"$work/a.err"
    status=$?
    [ "$status" = 0 ] || fail "exit status $status, expected 0 (124: it hung)"
    grep -q 'Pelorin.img cannot be read: it is not a regular file' "$work/a.err" || fail "no reason given"
    grep -q '1 passed, 0 failed' "$work/a.out" || fail "the run did not pass the disk"
    ;;
  *) fail "unknown case" ;;
esac
echo "station guard, $case: as expected"
