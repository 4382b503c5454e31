#!/usr/bin/env bash
# The power-loss test on the kernel bench: config.txt and produce.log live on
# the guest's own ext4 disk (virtio-blk, an image made here), the farm disks
# are served by kx20-simd from the host, so what was programmed survives the
# guest. The guest runs kx20-station batches in a loop; the host resets it at
# random moments through the QEMU monitor (seeded: KX20_POWER_LOSS_SEED, the
# number of resets KX20_POWER_LOSS_RESETS, at least 30 by default). Checked:
# every serial number the disks' stored tables ever carried (the tables are
# watched while the guest runs, and read back with kx20ctl at the end) is
# unique and rises on each disk; every config.txt a boot found is one complete
# version; the final config.txt's Product_SN is not below the highest serial
# number programmed; produce.log holds only whole records.
#
# usage: power_loss.sh KX20-SIMD KX20-STATION KX20CTL SOURCE-DIR WORKDIR
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
poller_pid=""
cleanup() {
  [ -n "$poller_pid" ] && kill "$poller_pid" 2>/dev/null
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  simd_stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
start=$(date +%s)
seed=${KX20_POWER_LOSS_SEED:-$(( $(date +%s) % 100000 ))}
resets=${KX20_POWER_LOSS_RESETS:-30}
echo "power-loss test: seed $seed (KX20_POWER_LOSS_SEED=$seed repeats the schedule), $resets resets"
RANDOM=$seed

bench_find_kernel mkfs.ext4 e2fsck debugfs od xz || exit 1
bench_check_programs "$station" "$kx20ctl" || exit 1

# Every reset boots the kernel again: under TCG, unpacking the xz-compressed
# bzImage takes longer than the rest of the boot. The kernel's own ELF image,
# unpacked here once, boots directly (PVH entry); the bzImage if that fails.
boot_kernel=$kernel
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$kernel" | head -1 | cut -d: -f1)
if [ -n "$offset" ]; then
  tail -c +$((offset + 1)) "$kernel" | xz -dc 2>/dev/null > "$work/vmlinux"
  [ "$(head -c 4 "$work/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] && boot_kernel=$work/vmlinux
fi
echo "kernel: $boot_kernel"

# --- The farm: three file-backed disks ----------------------------------------
letters=(E F G)
for i in "${!letters[@]}"; do
  printf '[%s]\nslot = %d\nbacking = disk-%s.img\ncapacity_mb = 8\n' "${letters[$i]}" $((i + 1)) "${letters[$i]}"
done > "$work/farm.ini"
simd_start "$work/simd.log" --sim="$work/farm.ini" || exit 1
port=${portal##*:}

# --- The guest's disk: ext4 holding config.txt (read/write test off) -----------
sed 's/^RWTest=1/RWTest=0/' "$src/examples/config.txt" > "$work/config.guest"
tr -d '\r' < "$work/config.guest" > "$work/config.template"
grep -qx 'RWTest=0' "$work/config.template" || { echo "FAIL: examples/config.txt has no RWTest=1" >&2; exit 1; }
mkdir -p "$work/guestfs"
cp "$work/config.guest" "$work/guestfs/config.txt"
mkfs.ext4 -q -F -L kx20work -d "$work/guestfs" "$work/guest.ext4" 32M || { echo "FAIL: mkfs.ext4" >&2; exit 1; }

# --- The initramfs ---------------------------------------------------------------
bench_initramfs_root "$src/tests/kernel/power_loss_init.sh"
bench_add_modules virtio_pci virtio_scsi sg virtio_blk crc32c_generic ext4
bench_add_programs "$station" "$kx20ctl" "$(command -v e2fsck)"
for i in "${!letters[@]}"; do echo "$i ${letters[$i]}"; done > "$root/bench/targets"
bench_pack_initramfs

# --- Boot, with the monitor on a pair of FIFOs ---------------------------------------
mkfifo "$work/mon.in" "$work/mon.out"
args=(-machine pc -accel tcg -m 512 -smp 1 -nodefaults -display none
      -bios /usr/share/qemu/qboot.rom
      -kernel "$boot_kernel" -initrd "$work/initramfs.gz"
      -append "console=ttyS0 panic=-1 quiet mitigations=off"
      -serial "file:$work/serial.log"
      -chardev "pipe,id=mon,path=$work/mon" -mon chardev=mon,mode=readline
      -drive "if=none,id=vd,file=$work/guest.ext4,format=raw"
      -device virtio-blk-pci,drive=vd
      -iscsi initiator-name=iqn.2026-12.kx20.bench:qemu
      -device virtio-scsi-pci,id=scsi0)
for i in "${!letters[@]}"; do
  l=$(echo "${letters[$i]}" | tr A-Z a-z)
  args+=(-drive "if=none,id=d$i,driver=iscsi,transport=tcp,portal=127.0.0.1:$port,target=iqn.2026-12.kx20.sim:$l,lun=0"
         -device "scsi-generic,drive=d$i,bus=scsi0.0,scsi-id=$i,lun=0")
done
timeout 1700 qemu-system-x86_64 "${args[@]}" > "$work/qemu.out" 2>&1 &
qemu_pid=$!

# Watches the disks' stored tables: "LETTER SERIAL" for every table write.
# kx20-simd replaces a disk's .state file whole on each table write (the
# station writes each disk's table once per batch), so a new inode or mtime is
# a new write, even of the same number. The serial number is table bytes
# 19-22 stored reversed; the table follows an 8-byte header and a flag byte.
poll_tables() {
  local -A last=()
  local l s key again f
  while :; do
    for l in "${letters[@]}"; do
      f=$work/disk-$l.img.state
      key=$(stat -c '%i %.9Y %s' "$f" 2>/dev/null) || continue
      [ "$key" != "${last[$l]:-}" ] || continue
      s=$(od -An -tx1 -j28 -N4 "$f" | awk '{ print $4 $3 $2 $1 }')
      again=$(stat -c '%i %.9Y %s' "$f" 2>/dev/null)
      # Replaced while being read: read again on the next round.
      [ "$again" = "$key" ] && [ -n "$s" ] || continue
      echo "$l $s" >> "$work/tables.seen"
      last[$l]=$key
    done
    sleep 0.2
  done
}
: > "$work/tables.seen"
poll_tables &
poller_pid=$!

monitor() { timeout 10 bash -c 'printf "%s\n" "$1" > "$2"' _ "$1" "$work/mon.in"; }
# count WHAT [FROM]: the "=== WHAT" markers in the serial log from byte FROM on
# (a marker may follow a line cut short by a reset, so they are not anchored).
count() { tail -c +$(( ${2:-0} + 1 )) "$work/serial.log" 2>/dev/null | grep -o "=== $1" | wc -l; }
# wait_count WHAT N SECONDS [FROM]: until the serial log holds N markers "=== WHAT".
wait_count() {
  local deadline=$(( $(date +%s) + $3 ))
  while [ "$(count "$1" "${4:-0}")" -lt "$2" ]; do
    kill -0 "$qemu_pid" 2>/dev/null || { fail "qemu ended: $(tail -3 "$work/qemu.out")"; return 1; }
    [ "$(count "mount failed")" = 0 ] || { fail "the guest could not mount its disk"; return 1; }
    [ "$(date +%s)" -lt "$deadline" ] || { fail "no '=== $1' number $2 within $3 s"; return 1; }
    sleep 0.2
  done
}

# --- Resets at random moments ----------------------------------------------------------
# One in four comes in the boot's own work: up to 2 s after the init's "boot"
# marker (file-system check, journal recovery, mount, reading config.txt); the
# others at a random moment of the batches, up to 15 s after the boot's first
# batch started (a batch of three disks takes about 13 s here, so some resets
# fall into the log records at its end or into the next batch).
done_resets=0
in_boot=0
mark=0
for r in $(seq 1 "$resets"); do
  if [ $done_resets -gt 0 ] && [ $((RANDOM % 4)) = 0 ]; then
    wait_count "boot" 1 240 "$mark" || break
    delay=$((RANDOM % 2000))
    in_boot=$((in_boot + 1))
    after="the boot marker"
  else
    wait_count "batch start" 1 240 "$mark" || break
    delay=$((RANDOM % 15000))
    after="the first batch started"
  fi
  sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
  monitor system_reset || { fail "the monitor did not take system_reset"; break; }
  mark=$(stat -c %s "$work/serial.log")
  done_resets=$((done_resets + 1))
  echo "reset $done_resets at $(( $(date +%s) - start ))s, $delay ms after $after" >> "$work/resets.log"
done
# A last boot that finishes a whole batch, then the power goes off.
wait_count "batch done" 1 240 "$mark"
monitor quit
for i in $(seq 1 100); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
kill "$qemu_pid" 2>/dev/null
wait "$qemu_pid" 2>/dev/null
qemu_pid=""
kill "$poller_pid" 2>/dev/null
wait "$poller_pid" 2>/dev/null
poller_pid=""
simd_stop || fail "kx20-simd did not stop cleanly"
guest_seconds=$(( $(date +%s) - start ))
# Markers on lines of their own.
tr -d '\r' < "$work/serial.log" | sed 's/\(.\)===/\1\n===/g' > "$work/serial.txt"
boots=$(grep -c '^=== boot' "$work/serial.txt")
started=$(grep -c '^=== batch start' "$work/serial.txt")
finished=$(grep -c '^=== batch done' "$work/serial.txt")
[ "$done_resets" -ge "$resets" ] || fail "only $done_resets of $resets resets were made"
[ "$boots" -ge "$done_resets" ] || fail "$boots boots for $done_resets resets"
# Every batch that ran to its end passed all three disks (exit 0).
grep -q . < <(grep '^=== batch done' "$work/serial.txt" | awk '$6 != 0') && fail "batches that did not pass every disk:
$(grep '^=== batch done' "$work/serial.txt" | awk '$6 != 0')"

# --- Every boot: the file system was recoverable, config.txt one complete version --------
grep -q . < <(grep '^=== fsck exit' "$work/serial.txt" | awk '$4 > 1') && fail "e2fsck -p in the guest found damage it could not mend:
$(grep '^=== fsck exit' "$work/serial.txt" | sort | uniq -c)"
grep -v '^Product_SN=' "$work/config.template" > "$work/config.rest"
# check_config FILE WHERE: FILE is the template but for a decimal Product_SN,
# whose value goes to $sn_value.
check_config() {
  local sn
  sn_value=-1
  sn=$(grep '^Product_SN=' "$1")
  [ "$(echo "$sn" | wc -l)" = 1 ] && [[ "$sn" =~ ^Product_SN=[0-9]+$ ]] || { fail "$2: Product_SN is not one decimal number: '$sn'"; return 1; }
  grep -v '^Product_SN=' "$1" | diff -q - "$work/config.rest" > /dev/null || { fail "$2: config.txt is not one complete version:
$(grep -v '^Product_SN=' "$1" | diff - "$work/config.rest")"; return 1; }
  sn_value=$((10#${sn#Product_SN=}))
}
versions=0
awk -v dir="$work" '/^=== config begin/ { n++; f = dir "/boot-config." n; printf "" > f; on = 1; next }
                    /^=== config end/ { if (on) print "done" > (f ".end"); on = 0; next }
                    /^===/ { on = 0 } on { print > f }' "$work/serial.txt"
prev=0
for f in $(ls "$work"/boot-config.* 2>/dev/null | grep -v '\.end$' | sort -t. -k2 -n); do
  [ -e "$f.end" ] || continue   # the reset came while it was being shown
  check_config "$f" "boot ${f##*.}" || continue
  sn=$sn_value
  [ "$sn" -ge "$prev" ] || fail "boot ${f##*.}: Product_SN went back from $prev to $sn"
  prev=$sn
  versions=$((versions + 1))
done
[ "$versions" -ge $((boots / 2)) ] || fail "only $versions of $boots boots showed config.txt"

# --- The final file system, its journal recovered on the host ----------------------------
e2fsck -fy "$work/guest.ext4" > "$work/e2fsck.out" 2>&1
rc=$?
[ $rc -le 1 ] || fail "e2fsck on the guest's disk: exit $rc: $(tail -5 "$work/e2fsck.out")"
debugfs -R 'cat /config.txt' "$work/guest.ext4" 2>/dev/null > "$work/config.raw"
tr -d '\r' < "$work/config.raw" > "$work/config.final"
# The line ends are kept as they were (CR LF in the example).
[ "$(grep -c $'\r$' "$work/config.raw")" = "$(grep -c $'\r$' "$work/config.guest")" ] || fail "the final config.txt lost its CR LF line ends"
debugfs -R 'cat /produce.log' "$work/guest.ext4" 2>/dev/null | tr -d '\r' > "$work/produce.final"
check_config "$work/config.final" "the final config.txt"
final_sn=$sn_value

# produce.log: sections of exactly the five record lines, in order.
records=$(awk '
  function bad(why) { print "record " n " (" head "): " why; errors++ }
  /^\[[0-9]+\/[0-9]+\/[0-9]+  [0-9]+:[0-9]+:[0-9]+\]$/ { if (n && k != 5) bad("only " k " lines"); n++; head = $0; k = 0; next }
  { if (!n) { bad("text before the first record: " $0); next }
    k++
    if (k == 1 && $0 !~ /^Serial Number=([0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9])?$/) bad("line 1: " $0)
    else if (k == 2 && $0 !~ /^Capacity=([0-9]+\.[0-9])?$/) bad("line 2: " $0)
    else if (k == 3 && $0 !~ /^Result=(Pass|FAIL)$/) bad("line 3: " $0)
    else if (k == 4 && $0 !~ /^Error Code=/) bad("line 4: " $0)
    else if (k == 5 && $0 !~ /^-+=?$/) bad("line 5: " $0)
    else if (k > 5) bad("extra line: " $0) }
  END { if (n && k != 5) bad("only " k " lines"); print "records " n + 0 " errors " errors + 0 }' "$work/produce.final")
tail -1 <<<"$records" | grep ' errors 0$' >/dev/null || fail "produce.log holds records that are not whole:
$records"
log_records=$(echo "$records" | tail -1 | awk '{ print $2 }')
log_passes=$(grep -c '^Result=Pass' "$work/produce.final")
dup=$(grep '^Serial Number=[0-9]' "$work/produce.final" | sort | uniq -d)
[ -z "$dup" ] || fail "produce.log records a serial number twice: $dup"

# --- The disks' stored tables --------------------------------------------------------------
for l in "${letters[@]}"; do
  "$kx20ctl" read-table "$l" --sim="$work/farm.ini" > "$work/table-$l.out" 2>&1 || { fail "kx20ctl read-table $l failed"; continue; }
  s=$(awk '$1 == "0010" { print $8 $7 $6 $5 }' "$work/table-$l.out")
  w=$(awk -v l="$l" '$1 == l { s = $2 } END { print s }' "$work/tables.seen")
  [ "$s" = "$w" ] || fail "disk $l: kx20ctl reads serial '$s', the watch last saw '$w'"
done
# Each serial number written once only, and rising on each disk (a number
# handed out again shows as a second write, on the same disk or another).
table_check=$(awk '$2 !~ /^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]$/ { print "disk " $1 ": serial " $2 " is not decimal"; next }
  { v = $2 + 0
    if (v in owner) print "serial " $2 " written twice: to disk " owner[v] " and to disk " $1
    if (($1 in last) && v <= last[$1]) print "disk " $1 ": serial " $2 " after " last[$1]
    owner[v] = $1; last[$1] = v; if (v > max) max = v; n++ }
  END { print "checked " n + 0 " max " max + 0 }' "$work/tables.seen")
serials_checked=$(echo "$table_check" | tail -1 | awk '{ print $2 }')
max_serial=$(echo "$table_check" | tail -1 | awk '{ print $4 }')
[ "$(echo "$table_check" | wc -l)" = 1 ] || fail "stored tables:
$table_check"
[ "$serials_checked" -ge "$finished" ] || fail "only $serials_checked serial numbers seen in the tables for $finished whole batches"
[ "$final_sn" -ge "$max_serial" ] || fail "the final Product_SN $final_sn is below the highest serial number programmed, $max_serial"

echo "resets $done_resets ($in_boot during boot), boots $boots, batches started $started, finished $finished"
echo "serial numbers checked in the tables $serials_checked (highest $max_serial, final Product_SN $final_sn)"
echo "config.txt versions checked $versions, produce.log records $log_records ($log_passes passes)"
echo "whole test $(( $(date +%s) - start ))s"
[ "$failures" = 0 ] || { echo "$failures failure(s); serial log: $work/serial.txt" >&2; exit 1; }
echo "power-loss test: all checks passed"
