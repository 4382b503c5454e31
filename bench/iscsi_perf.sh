#!/usr/bin/env bash
# Speed of kx20-simd beside Debian's generic iSCSI target (tgtd), in one run
# on this machine: iscsi-perf, 64 KB sequential reads, queue depth 4, against
# a memory-backed disk (kx20-simd: the default farm, data in memory; tgtd: a
# file-backed LUN on /dev/shm). Then the memory and threads kx20-simd uses
# with ten disks connected. A benchmark, not a test: run it by hand on a
# quiet machine (as root, for tgtd).
#
# usage: bench/iscsi_perf.sh [KX20-SIMD] [SECONDS]
set -uo pipefail
simd=${1:-build/release/tools/kx20-simd/kx20-simd}
seconds=${2:-10}
work=$(mktemp -d)
tgt_port=$((20000 + RANDOM % 20000))
image=/dev/shm/kx20-bench-tgt-$$.img
tgt_pid=""
simd_pid=""
cleanup() {
  if [ -n "$tgt_pid" ]; then
    tgtadm --lld iscsi --mode target --op delete --force --tid 1 >/dev/null 2>&1
    tgtadm --lld iscsi --mode system --op delete >/dev/null 2>&1
    kill "$tgt_pid" 2>/dev/null
    wait "$tgt_pid" 2>/dev/null
  fi
  [ -n "$simd_pid" ] && kill "$simd_pid" 2>/dev/null && wait "$simd_pid" 2>/dev/null
  rm -rf "$work" "$image"
}
trap cleanup EXIT

# Average MB/s of one iscsi-perf run of $seconds against URL.
perf() {
  timeout -s INT "$seconds" iscsi-perf -m 4 -b 128 "$1" > "$work/perf.out" 2>&1
  tr '\r' '\n' < "$work/perf.out" | grep -o 'iops average [0-9]* ([0-9]* MB/s)' | tail -1 |
    sed 's/.*(\([0-9]*\) MB\/s)/\1/'
}

"$simd" --sim --listen 127.0.0.1:0 --ready-file "$work/ready" 2>"$work/simd.log" &
simd_pid=$!
for i in $(seq 50); do [ -s "$work/ready" ] && break; sleep 0.1; done
portal=$(cat "$work/ready")

truncate -s 128M "$image"
tgtd -f --iscsi portal=127.0.0.1:$tgt_port >"$work/tgtd.log" 2>&1 &
tgt_pid=$!
sleep 1
tgtadm --lld iscsi --op new --mode target --tid 1 -T iqn.2026-12.kx20.bench:tgt &&
  tgtadm --lld iscsi --op new --mode logicalunit --tid 1 --lun 1 -b "$image" &&
  tgtadm --lld iscsi --op bind --mode target --tid 1 -I ALL || { echo "tgtd set-up failed" >&2; exit 1; }

simd_rate=$(perf "iscsi://$portal/iqn.2026-12.kx20.sim:e/0")
tgt_rate=$(perf "iscsi://127.0.0.1:$tgt_port/iqn.2026-12.kx20.bench:tgt/1")
echo "64 KB sequential reads, queue depth 4, ${seconds} s each:"
echo "  kx20-simd  ${simd_rate:-?} MB/s"
echo "  tgtd       ${tgt_rate:-?} MB/s"

# Ten disks connected at once (one reader each), then kx20-simd's footprint.
pids=()
for l in e f g h i j k l m n; do
  timeout -s INT 6 iscsi-perf -m 4 -b 128 "iscsi://$portal/iqn.2026-12.kx20.sim:$l/0" >/dev/null 2>&1 &
  pids+=($!)
done
sleep 4
rss=$(awk '/^VmRSS/ { print $2 }' /proc/$simd_pid/status)
threads=$(awk '/^Threads/ { print $2 }' /proc/$simd_pid/status)
wait "${pids[@]}" 2>/dev/null
echo "kx20-simd with ten disks connected: ${rss} kB resident, ${threads} threads"
