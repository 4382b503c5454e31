#!/usr/bin/env bash
# kx20-station's line-mode console (input not a terminal) on a simulated farm,
# fed line by line through a pipe:
#   run   the built-in farm: Enter starts a production run, the ten disks pass
#         (ten pass records, the counter at 00000010), "q" then quits with 0;
#   quit  a slow farm of two disks: "q" during the read/write test asks
#         first and changes nothing; a second "q" ends the program within
#         seconds with 0, and each disk cut off gets one FAIL record with the
#         error text of its step (no second record, no pass).
#
#   station_line.sh STATION SOURCE_DIR WORK run|quit
set -u
station=$1 source=$2 work=$3 case=$4
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$source/examples/config.txt" "$work/" || exit 1
out=$work/out.log err=$work/err.log

fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat "$out"; echo "--- stderr"; cat "$err"
  [ -f "$work/produce.log" ] && { echo "--- produce.log"; cat "$work/produce.log"; }
  exit 1
}

# Waits up to $2 seconds for the extended regular expression $1 in stdout.
wait_out() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    grep -Eq -- "$1" "$out" && return 0
    kill -0 "$pid" 2>/dev/null || fail "the station ended while waiting for $3"
    sleep 0.2
  done
  fail "timed out after $2 s waiting for $3"
}

# Input through a FIFO held open here, so the station sees no end of input.
mkfifo "$work/input" || exit 1
if [ "$case" = quit ]; then
  printf '[E]\nslot = 1\nwrite_mbps = 4\nread_mbps = 4\n[F]\nslot = 2\nwrite_mbps = 4\nread_mbps = 4\n' >"$work/farm.ini"
  farm=--sim=$work/farm.ini
else
  farm=--sim
fi
"$station" "$farm" --workdir "$work" <"$work/input" >"$out" 2>"$err" &
pid=$!
exec 3>"$work/input"
trap 'exec 3>&-; kill "$pid" 2>/dev/null' EXIT

# stopped WITHIN: waits for the program to end; sets $status.
stopped() {
  local deadline=$((SECONDS + $1))
  while ((SECONDS < deadline)) && kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "still running $1 s after q"
  wait "$pid"
  status=$?
}

records() { cat "$work/produce.log" 2>/dev/null | grep -c -- "$1"; }

wait_out '^KX20 station\.' 30 "the greeting"
case $case in
  run)
    wait_out '^[0-9:.]+ 9 [0-9]+ 10-N:' 60 "the scan (row 9 on N:)"
    echo >&3
    wait_out '^run ended' 240 "the end of the run"
    grep -Eq '^[0-9:.]+ 9 [0-9]+ 10-N?:Pass$' "$out" || fail "row 9 never showed Pass"
    [ "$(records 'Result=Pass')" = 10 ] || fail "$(records 'Result=Pass') pass records, expected 10"
    [ "$(records 'Result=FAIL')" = 0 ] || fail "failure records after a clean run"
    grep -q 'Product_SN=00000010' "$work/config.txt" || fail "the counter is not at 00000010"
    echo q >&3
    stopped 30
    [ "$status" = 0 ] || fail "exit status $status after q"
    ;;
  quit)
    wait_out '^[0-9:.]+ 1 [0-9]+ 02-F:' 60 "the scan (row 1 on F:)"
    echo >&3
    wait_out ' 0 5 01-\(rw-test\)' 60 "the first disk's read/write test"
    wait_out ' 1 5 02-\(rw-test\)' 60 "the second disk's read/write test"
    echo q >&3
    wait_out '^2 disks are being produced\. Quit anyway\?' 10 "the question"
    sleep 1
    kill -0 "$pid" 2>/dev/null || fail "a single q during the run quit"
    echo q >&3
    stopped 20
    [ "$status" = 0 ] || fail "exit status $status after q q during the run"
    [ "$(records 'Result=FAIL')" = 2 ] || fail "$(records 'Result=FAIL') failure records for two disks cut off"
    [ "$(records 'Error Code=USBErr_RW_Compare')" = 2 ] || fail "the records do not name the read/write test's step"
    [ "$(records 'Result=Pass')" = 0 ] || fail "a pass recorded for a disk cut off"
    grep -q 'was cut off by closing the station' "$err" || fail "no word on stderr of the disks cut off"
    ;;
  *) fail "unknown case $case" ;;
esac
echo "line mode, $case: exit status $status"
