#!/bin/sh
# Writes whole disk files with `kx20ctl format --disk` and checks them with
# the system's own tools: fsck.fat -n on the partition (no error, nothing
# changed), mdir on the disk (an empty root directory), sfdisk --dump (one
# partition at sector 32 with the expected size and type).
#
# usage: format_disks.sh KX20CTL WORKDIR
set -eu

kx20ctl=$1
work=$2
mkdir -p "$work"
disk=$work/disk.img
part=$work/part.img
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Sizes in sectors (N = last LBA + 1): the edges of every heads, partition
# type, FAT type and cluster size step, the smallest and largest accepted disk.
sizes="129 8192 32767 32768 32769 32800 65535 65536 131072 262143 262144 524287 524288
1048575 1048576 2097151 2097152 4194303 4194304"

# Thirty more drawn across the accepted range with a fixed seed (an LCG in
# shell arithmetic, so every shell draws the same ones).
x=20261208
i=0
while [ $i -lt 30 ]; do
  x=$(( (x * 1103515245 + 12345) % 2147483648 ))
  sizes="$sizes $(( 129 + x % (4194304 - 129 + 1) ))"
  i=$((i + 1))
done

for n in $sizes; do
  lba=$((n - 1))
  rm -f "$disk" "$part"
  if ! "$kx20ctl" format --disk --last-lba "$lba" --utc "2026-12-08 06:00:00" -o "$disk" > "$work/layout.txt"; then
    fail "N=$n: kx20ctl format failed"
    continue
  fi
  p=$(sed -n 's/^partition_sectors=//p' "$work/layout.txt")
  type=$(sed -n 's/^partition_type=0x0*//p' "$work/layout.txt")
  fat=$(sed -n 's/^fat_type=//p' "$work/layout.txt")

  size=$(stat -c %s "$disk")
  [ "$size" -eq $((n * 512)) ] || fail "N=$n: disk file has $size bytes, expected $((n * 512))"

  # sfdisk shows the one partition at sector 32 with size P and the type.
  dump=$(sfdisk --dump "$disk")
  lines=$(echo "$dump" | grep -c ' : start=' || true)
  [ "$lines" -eq 1 ] || fail "N=$n: $lines partitions listed"
  echo "$dump" | grep -Eq ": start= *32, size= *$p, type=$type\$" ||
    fail "N=$n: partition not at 32 with size $p and type $type: $(echo "$dump" | grep start=)"

  # The partition as a file of its own: the tool writes nothing beyond the
  # cleared stretch (below sector 12,800) except the disk's last byte, so the
  # rest of the partition is a hole and stays one.
  copy=$((p < 12768 ? p : 12768))
  dd if="$disk" of="$part" bs=512 skip=32 count=$copy status=none
  truncate -s $((p * 512)) "$part"
  # fsck.fat could only ever write the boot sector, the FATs or the root
  # directory, all in the copied part; beyond it the partition is a hole, so
  # its checksum and the file's size and allocation show any change.
  before="$(head -c $((copy * 512)) "$part" | md5sum) $(stat -c '%s %b' "$part")"
  if ! out=$(fsck.fat -n "$part" 2>&1); then
    fail "N=$n: fsck.fat reports errors: $out"
  fi
  # A clean volume gives the version line and the summary line, nothing else.
  others=$(echo "$out" | grep -v '^fsck.fat ' | grep -v ': 0 files, 0/[0-9]* clusters$' || true)
  [ -z "$others" ] || fail "N=$n: fsck.fat says: $others"
  after="$(head -c $((copy * 512)) "$part" | md5sum) $(stat -c '%s %b' "$part")"
  [ "$before" = "$after" ] || fail "N=$n: fsck.fat -n changed the partition"
  if [ "$fat" = FAT16 ]; then
    echo "$out" | grep -q ': 0 files, 0/[0-9]* clusters$' || fail "N=$n: no summary line"
  fi

  # mdir finds an empty root directory.
  if ! listing=$(MTOOLS_NO_VFAT=1 mdir -i "$disk@@16384" :: 2>&1); then
    fail "N=$n: mdir failed: $listing"
  elif ! echo "$listing" | grep -q '^No files'; then
    fail "N=$n: root directory not empty: $listing"
  fi
done

# The 256 KB image alone, with a fixed clock, and the layout it prints.
image=$work/image.img
"$kx20ctl" format --last-lba 65535 --utc "2010-06-15 09:30:20" -o "$image" > "$work/layout.txt" ||
  fail "image: kx20ctl format failed"
expected="heads=2
cylinders=1023
partition_sectors=65440
partition_type=0x06
fat_type=FAT16
sectors_per_cluster=4
sectors_per_fat=64
root_sector=161
root_entries=1008
data_sector=224"
[ "$(cat "$work/layout.txt")" = "$expected" ] || fail "image: layout printed as $(cat "$work/layout.txt")"
[ "$(stat -c %s "$image")" -eq 262144 ] || fail "image: not 262144 bytes"
serial=$(od -An -tx1 -j $((32 * 512 + 39)) -N4 "$image" | tr -d ' ')
[ "$serial" = e84bcf3c ] || fail "image: volume serial bytes $serial"
rm -f "$image"

# Outside the accepted range the tool refuses with status 1 and writes nothing.
for lba in 0 63 127 4194304 7833600 4294967295; do
  rm -f "$disk"
  status=0
  "$kx20ctl" format --disk --last-lba "$lba" -o "$disk" > /dev/null 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "last LBA $lba: exit status $status, expected 1"
  [ ! -e "$disk" ] || fail "last LBA $lba: a file was written"
done

rm -f "$disk" "$part" "$work/layout.txt"
if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "all disks clean"
