#!/bin/sh
# Boots disks written by `kx20ctl format --disk` in an emulated PC (qemu with
# its stock BIOS) and reads the text screen: the master boot record and the
# volume boot sector must do what they say, on every path.
#
# usage: boot_image.sh KX20CTL NASM QEMU WORKDIR
set -eu

kx20ctl=$1
nasm=$2
qemu=$3
work=$4
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Text of the VGA screen dump $1 (80 x 25 characters, attribute bytes left out).
screen_text() {
  perl -0777 -ne 'my $s = ""; for (my $i = 0; $i < length; $i += 2) { $s .= substr($_, $i, 1) }
                  $s =~ s/(.{80})/$1\n/g; print $s' "$1"
}

# boot DISK CYLINDERS HEADS EXPECTED: boots DISK with a BIOS geometry of
# CYLINDERS x HEADS x 32 (no translation, as a USB disk's geometry is taken
# from its partition table) until EXPECTED shows on the screen or 20 s pass.
# Leaves the screen text in $work/screen.txt.
boot() {
  dump=$work/screen.bin
  rm -f "$dump" "$work/screen.txt"
  i=0
  (
    while [ $i -lt 40 ]; do
      sleep 0.5
      echo "pmemsave 0xb8000 4000 \"$dump\""
      sleep 0.2
      if [ -s "$dump" ] && screen_text "$dump" | grep -qF "$4"; then break; fi
      i=$((i + 1))
    done
    echo quit
  ) | timeout 60 "$qemu" -display none -monitor stdio -nodefaults -vga std -no-reboot \
        -drive "file=$1,format=raw,if=none,id=disk0" \
        -device "ide-hd,drive=disk0,cyls=$2,heads=$3,secs=32,bios-chs-trans=none" \
        -boot c > /dev/null 2>&1 || true
  if [ -s "$dump" ]; then screen_text "$dump" > "$work/screen.txt"; else : > "$work/screen.txt"; fi
}

# expect NAME TEXT...: every TEXT is on the screen.
expect() {
  name=$1
  shift
  for text in "$@"; do
    grep -qF "$text" "$work/screen.txt" || fail "$name: '$text' not on the screen: $(grep -v '^ *$' "$work/screen.txt")"
  done
}

# refuse NAME TEXT...: no TEXT is on the screen.
refuse() {
  name=$1
  shift
  for text in "$@"; do
    if grep -qF "$text" "$work/screen.txt"; then fail "$name: '$text' on the screen"; fi
  done
}

poke() {  # poke FILE OFFSET OCTAL-ESCAPED-BYTES
  printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

"$nasm" -f bin -o "$work/io.sys" "$here/boot/test_loader.asm"
echo "[Options]" > "$work/msdos.sys"

# A 2 MB FAT12 disk (2 heads, 64 cylinders) and a 32 MB FAT16 disk (2 heads,
# 1024 cylinders).
for disk_kind in "4096 64 FAT12" "65536 1024 FAT16"; do
  set -- $disk_kind
  n=$1
  cyls=$2
  kind=$3
  base=$work/base.img
  disk=$work/disk.img
  "$kx20ctl" format --disk --last-lba $((n - 1)) -o "$base" > /dev/null

  # As the station leaves it the partition is not active: back to the BIOS.
  cp "$base" "$disk"
  boot "$disk" "$cyls" 2 "No bootable device"
  expect "$kind inactive" "No bootable device"
  refuse "$kind inactive" "Invalid partition table" "Invalid system disk"

  # Active, empty volume: the boot sector finds no system files.
  poke "$base" 446 '\200'
  cp "$base" "$disk"
  boot "$disk" "$cyls" 2 "press any key"
  expect "$kind empty" "Invalid system disk" "Replace the disk, and then press any key"
  refuse "$kind empty" "Disk I/O error" "Invalid partition table"

  # The loader alone is not enough: MSDOS.SYS must be there too.
  cp "$base" "$disk"
  mcopy -i "$disk@@16384" "$work/io.sys" ::IO.SYS
  boot "$disk" "$cyls" 2 "press any key"
  expect "$kind IO.SYS only" "Invalid system disk"

  # With both system files the loader runs (IO.SYS, and WINBOOT.SYS in its stead).
  for loader in IO.SYS WINBOOT.SYS; do
    cp "$base" "$disk"
    mcopy -i "$disk@@16384" "$work/msdos.sys" ::MSDOS.SYS
    mcopy -i "$disk@@16384" "$work/io.sys" "::$loader"
    boot "$disk" "$cyls" 2 "KX20 test loader started"
    expect "$kind $loader" "KX20 test loader started"
    refuse "$kind $loader" "Invalid system disk"
  done

  # Broken partition tables: a flag that is neither 0x00 nor 0x80, and a
  # second entry with a flag after the active one.
  cp "$base" "$disk"
  poke "$disk" 446 '\022'
  boot "$disk" "$cyls" 2 "Invalid partition table"
  expect "$kind bad flag" "Invalid partition table"
  cp "$base" "$disk"
  poke "$disk" 462 '\200'
  boot "$disk" "$cyls" 2 "Invalid partition table"
  expect "$kind two active" "Invalid partition table"

  # The partition's first sector does not end in 55 AA.
  cp "$base" "$disk"
  poke "$disk" $((32 * 512 + 510)) '\000\000'
  boot "$disk" "$cyls" 2 "Missing operating system"
  expect "$kind no signature" "Missing operating system"

  # The CHS start names a sector beyond the track (40 of 32): five
  # attempts, then the message.
  cp "$base" "$disk"
  poke "$disk" 448 '\050\000'  # sector 40, cylinder 0
  boot "$disk" "$cyls" 2 "Error loading operating system"
  expect "$kind load error" "Error loading operating system"
  refuse "$kind load error" "Invalid system disk"
done

rm -f "$work/base.img" "$work/disk.img" "$work/screen.bin" "$work/io.sys" "$work/msdos.sys"
if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "all boot paths behave"
