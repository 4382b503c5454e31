#!/bin/sh
# kx20-station stopped by SIGINT or SIGTERM in the middle of a batch run on a
# slow simulated farm: it ends as closing the window does (exit 128 + signal,
# a message on stderr), and no disk is given a failure verdict for it.
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
# Wait until the run has started (the rows show the workers' progress).
i=0
while [ $i -lt 100 ] && ! grep -q 'rw-test' "$work/out.log" 2>/dev/null; do
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
if [ -f "$work/produce.log" ] && grep -q 'Result=FAIL' "$work/produce.log"; then
  fail "a failure verdict was written for the stop"
fi
echo "stopped by SIG$sig with status $status"
