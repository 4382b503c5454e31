#!/bin/sh
# kx20-station stopped by SIGINT or SIGTERM in the middle of a batch run on a
# slow simulated farm: it ends as closing the window does (exit 128 + signal,
# a message on stderr), and each disk cut off in its read/write test gets one
# FAIL record with that step's error text, and is named on stderr.
# Arguments: station binary, source directory, work directory, signal name.
set -u
station=$1 source=$2 work=$3 sig=$4
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$source/examples/config.txt" "$work/" || exit 1
cat >"$work/farm.ini" <<'FARM'
[E]
slot = 1
write_mbps = 4
read_mbps = 4
[F]
slot = 2
write_mbps = 4
read_mbps = 4
FARM
"$station" --batch --workdir "$work" --sim="$work/farm.ini" >"$work/out.log" 2>"$work/err.log" &
pid=$!
# Wait until both disks are in their read/write test (rows 0 and 1).
i=0
while [ $i -lt 150 ] && ! { grep -q ' 0 5 01-(rw-test)' "$work/out.log" &&
                            grep -q ' 1 5 02-(rw-test)' "$work/out.log"; } 2>/dev/null; do
  sleep 0.1; i=$((i + 1))
done
kill -s "$sig" "$pid"
wait "$pid"
status=$?
case $sig in INT) want=130 ;; TERM) want=143 ;; esac
fail() { echo "FAIL: $*"; echo "--- stdout"; cat "$work/out.log"; echo "--- stderr"; cat "$work/err.log"; exit 1; }
grep -q 'rw-test' "$work/out.log" || fail "the run never started"
[ "$status" -eq "$want" ] || fail "exit status $status, expected $want"
grep -q 'stopped by signal' "$work/err.log" || fail "no message on stderr"
records() { n=$(grep -c -- "$1" "$work/produce.log" 2>/dev/null); echo "${n:-0}"; }
[ "$(records 'Result=FAIL')" -eq 2 ] || fail "$(records 'Result=FAIL') failure records for the two disks cut off"
[ "$(records 'Error Code=USBErr_RW_Compare')" -eq 2 ] || fail "the records do not name the step"
[ "$(records 'Result=Pass')" -eq 0 ] || fail "a pass recorded for a disk cut off"
[ "$(grep -c 'was cut off by closing the station' "$work/err.log")" -eq 2 ] || fail "stderr does not name both disks"
echo "stopped by SIG$sig with status $status"
