#!/usr/bin/env bash
# The kernel bench: a real Linux kernel (Debian's, in QEMU under TCG) between
# the station and its disks. The farm is served by kx20-simd as iSCSI LUNs
# that QEMU attaches to a virtio-scsi controller as scsi-generic devices;
# QEMU adds two disks of its own (a "VYN" disk whose controller does not
# answer, and a disk of another vendor with a data file). In the guest,
# kx20ctl scan and one kx20-station --batch run over the real SG_IO path;
# on the host the verdicts, produce.log, the serial counter, the disks' file
# systems and their stored tables are checked.
#
# usage: kernel_bench.sh KX20-SIMD KX20-STATION KX20CTL SOURCE-DIR WORKDIR
set -uo pipefail
simd=$1
station=$2
kx20ctl=$3
src=$4
work=$5
rm -rf "$work"
mkdir -p "$work"
source "$src/tests/iscsi/simd_common.sh"
source "$src/tests/kernel/bench_common.sh"
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  simd_stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
start=$(date +%s)

bench_find_kernel fsck.fat || exit 1
bench_check_programs "$station" "$kx20ctl" || exit 1

# --- The farm: ten file-backed disks, some with faults -------------------------
letters=(E F G H I J K L M N)
faults=([2]=table-echo [3]=table-read [5]=bad-sector=40 [6]=table-write [8]=sense=2A:3/0C/00)
{
  for i in "${!letters[@]}"; do
    printf '[%s]\nslot = %d\nbacking = disk-%s.img\ncapacity_mb = 8\n' "${letters[$i]}" $((i + 1)) "${letters[$i]}"
    [ -n "${faults[$i]:-}" ] && printf 'fault = %s\n' "${faults[$i]}"
  done
} > "$work/farm.ini"
expected_rows=" 0 6 01-:Pass
 1 6 02-:Pass
 2 7 03-:[tab-compare X]
 3 7 04-:[rw-table X]
 4 6 05-:Pass
 5 7 06-:[rw-compare X]
 6 7 07-:[rw-table X]
 7 6 08-:Pass
 8 7 09-:[rw-compare X]
 9 6 10-:Pass"

# QEMU's own disks: a silent "VYN" disk in slot 11 and a disk of another vendor.
truncate -s 8M "$work/silent.img"
head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/other.img"
sha_other=$(sha256sum < "$work/other.img")

simd_start "$work/simd.log" --sim="$work/farm.ini" --trace || exit 1
port=${portal##*:}

# --- The initramfs --------------------------------------------------------------
bench_initramfs_root "$src/tests/kernel/guest_init.sh"
bench_add_modules virtio_pci virtio_scsi sg
bench_add_programs "$station" "$kx20ctl"
cp "$src/examples/config.txt" "$root/work/config.txt"
# Target ids: 0-9 the farm, 20 the silent VYN disk, 21 the other vendor's.
{
  for i in "${!letters[@]}"; do echo "$i ${letters[$i]}"; done
  echo "20 O"
  echo "21 P"
} > "$root/bench/targets"
bench_pack_initramfs

# --- Boot -------------------------------------------------------------------------
# qemu's arguments for an initramfs ($1) and the farm's port ($port).
qemu_args() {
  args=(-machine pc -accel tcg -m 512 -smp 1 -nodefaults -no-reboot -display none
        -kernel "$kernel" -initrd "$1"
        -append "console=ttyS0 panic=-1 quiet"
        -serial "file:$work/serial.log"
        -iscsi initiator-name=iqn.2026-12.kx20.bench:qemu
        -device virtio-scsi-pci,id=scsi0)
  local i l
  for i in "${!letters[@]}"; do
    l=$(echo "${letters[$i]}" | tr A-Z a-z)
    args+=(-drive "if=none,id=d$i,driver=iscsi,transport=tcp,portal=127.0.0.1:$port,target=iqn.2026-12.kx20.sim:$l,lun=0"
           -device "scsi-generic,drive=d$i,bus=scsi0.0,scsi-id=$i,lun=0")
  done
  args+=(-drive "if=none,id=silent,file=$work/silent.img,format=raw"
         -device "scsi-hd,drive=silent,bus=scsi0.0,scsi-id=20,lun=0,vendor=VYN,product=USB DISK  11"
         -drive "if=none,id=other,file=$work/other.img,format=raw"
         -device "scsi-hd,drive=other,bus=scsi0.0,scsi-id=21,lun=0")
}
qemu_args "$work/initramfs.gz"
boot=$(date +%s)
timeout 400 qemu-system-x86_64 "${args[@]}" > "$work/qemu.out" 2>&1 &
qemu_pid=$!
wait "$qemu_pid"
qrc=$?
qemu_pid=""
guest_seconds=$(( $(date +%s) - boot ))
[ $qrc = 0 ] || fail "qemu exited $qrc: $(tail -5 "$work/qemu.out")"
simd_stop || fail "kx20-simd did not stop cleanly"
tr -d '\r' < "$work/serial.log" > "$work/serial.txt"

section() { awk -v s="=== $1" '$0 == s { on = 1; next } /^=== / { on = 0 } on' "$work/serial.txt"; }

grep -q '^=== end$' "$work/serial.txt" || fail "the guest did not finish (see $work/serial.txt)"
grep -q 'insmod .* failed' "$work/serial.txt" && fail "a module did not load"

# --- kx20ctl scan in the guest ----------------------------------------------------
scan=$(section scan)
expected_scan="0	1	01-E:\\
1	1	02-F:\\
2	1	03-G:\\
3	1	04-H:\\
4	1	05-I:\\
5	1	06-J:\\
6	1	07-K:\\
7	1	08-L:\\
8	1	09-M:\\
9	1	10-N:\\"
[ "$scan" = "$expected_scan" ] || fail "scan rows differ:
$scan"
grep -qx '=== scan exit 0' "$work/serial.txt" || fail "kx20ctl scan failed"
# QEMU's own "VYN" disk (slot 11): found, but its controller never answers.
[ "$(section silent)" = "probe O: controller did not answer the probe" ] || fail "the silent VYN disk answered: $(section silent)"

# --- The batch ----------------------------------------------------------------------
batch=$(section batch)
rows=$(echo "$batch" | sed -n '/^final rows:$/,/^[0-9]* passed/p' | grep -E '^ *[0-9] [0-9] ')
[ "$rows" = "$expected_rows" ] || fail "verdict rows differ:
$rows"
grep -qx '5 passed, 5 failed' <<<"$batch" || fail "no summary '5 passed, 5 failed'"
grep -qx '=== batch exit 1' "$work/serial.txt" || fail "the batch did not exit 1 (some failed)"
log=$(section produce.log)
[ "$(echo "$log" | grep -c '^Result=Pass')" = 5 ] || fail "produce.log does not hold five passes"
[ "$(echo "$log" | grep -c '^Result=FAIL')" = 5 ] || fail "produce.log does not hold five failures"
grep -q '^Product_SN=00000010' < <(section config.txt) || fail "the serial counter did not reach 00000010"

# --- On the host: file systems and stored tables -------------------------------------
for i in 0 1 4 7 9; do
  l=${letters[$i]}
  disk=$work/disk-$l.img
  dd if="$disk" of="$work/volume-$l.img" bs=512 skip=32 conv=sparse status=none
  fsck.fat -n "$work/volume-$l.img" > "$work/fsck-$l.out" 2>&1 || fail "fsck.fat on disk $l: $(tail -3 "$work/fsck-$l.out")"
  # Each disk's stored table carries its own serial number (read back by kx20ctl).
  "$kx20ctl" read-table "$l" --sim="$work/farm.ini" > "$work/table-$l.out" 2>&1 || fail "kx20ctl read-table $l failed"
done
# The product serial number: card-identification register bytes 9-12, stored
# reversed at table offsets 22 down to 19.
serials=$(for i in 0 1 4 7 9; do
  awk '$1 == "0010" { print $8 $7 $6 $5 }' "$work/table-${letters[$i]}.out"
done)
[ "$(echo "$serials" | grep -cE '^000000(0[1-9]|10)$')" = 5 ] || fail "a passed disk's table carries no serial number 1-10:
$serials"
[ "$(echo "$serials" | sort -u | wc -l)" = 5 ] || fail "the passed disks' tables do not carry five distinct serial numbers:
$serials"
[ "$(sha256sum < "$work/other.img")" = "$sha_other" ] || fail "the other vendor's disk was changed"

echo "guest run ${guest_seconds}s, whole bench $(( $(date +%s) - start ))s"

# --- A disk pulled mid-batch, another taking its sg number ----------------------
# Drive letters stay bound to the device they were probed with (SgPort):
# the spare must not be touched. KX20_KERNEL_BENCH_REPLUG=0 leaves this run out.
if [ "${KX20_KERNEL_BENCH_REPLUG:-1}" = 1 ]; then
  rm -f "$work"/disk-*.img "$work"/disk-*.img.state "$work/serial.log"
  { cat "$work/farm.ini"; printf '[Q]\nslot = 12\nbacking = disk-Q.img\ncapacity_mb = 8\n'; } > "$work/farm2.ini"
  sed -i '/^fault = /d' "$work/farm2.ini"
  head -c $((8 * 1024 * 1024)) /dev/urandom > "$work/disk-Q.img"
  sha_spare=$(sha256sum < "$work/disk-Q.img")
  simd_start "$work/simd2.log" --sim="$work/farm2.ini" --trace || exit 1
  port=${portal##*:}
  echo "30 Q" >> "$root/bench/targets"
  echo 3 > "$root/bench/replug"
  cp "$src/examples/config.txt" "$root/work/config.txt"
  bench_pack_initramfs initramfs2.gz
  qemu_args "$work/initramfs2.gz"
  args2=("${args[@]}")
  args2+=(-drive "if=none,id=spare,driver=iscsi,transport=tcp,portal=127.0.0.1:$port,target=iqn.2026-12.kx20.sim:q,lun=0"
          -device "scsi-generic,drive=spare,bus=scsi0.0,scsi-id=30,lun=0")
  timeout 400 qemu-system-x86_64 "${args2[@]}" > "$work/qemu2.out" 2>&1 &
  qemu_pid=$!
  wait "$qemu_pid" || fail "qemu (replug run) failed: $(tail -3 "$work/qemu2.out")"
  qemu_pid=""
  simd_stop || fail "kx20-simd did not stop cleanly (replug run)"
  tr -d '\r' < "$work/serial.log" > "$work/serial2.txt"
  cp "$work/serial2.txt" "$work/serial.txt"
  grep -q '^=== end$' "$work/serial.txt" || fail "replug run: the guest did not finish (a hang?)"
  rows=$(section batch | sed -n '/^final rows:$/,/^[0-9]* passed/p' | grep -E '^ *[0-9] [0-9] ')
  grep -q '^ 1 7 02-:\[' <<<"$rows" || fail "replug run: the pulled disk's row is not a failure:
$rows"
  [ "$(sha256sum < "$work/disk-Q.img")" = "$sha_spare" ] || fail "replug run: the disk plugged in mid-batch was written"
  [ -e "$work/disk-Q.img.state" ] && fail "replug run: the disk plugged in mid-batch was programmed"
  echo "replug run: done"
fi
[ "$failures" = 0 ] || { echo "$failures failure(s); serial log: $work/serial.txt" >&2; exit 1; }
echo "kernel bench: all checks passed"
