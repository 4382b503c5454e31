#!/bin/busybox sh
# The kernel bench's guest: loads the SCSI modules, maps drive letters to the
# sg devices by SCSI target id, runs kx20ctl scan and one kx20-station batch,
# and reports everything on the serial console between "=== " markers.
. /bench/common.sh
guest_boot
guest_map_drives show
# QEMU's scsi-generic path answers the first vendor command after boot on
# each device with 5/20/00 itself (it never reaches the iSCSI target): one
# probe per disk first, shown in the log, so the scan sees the disks as a
# host with plugged-in disks would.
echo "=== warm-up"
for l in $(awk '{ print $2 }' /bench/targets); do kx20ctl probe $drives $l 2>&1 | head -1; done
echo "=== silent"
kx20ctl probe $drives O 2>&1 | head -1
echo "=== scan"
kx20ctl scan $drives
echo "=== scan exit $?"
cd /work
if [ -f /bench/replug ]; then
  # A disk pulled in the middle of the batch, and another plugged in that
  # takes its sg number: the spare (target 30) is taken off the bus first.
  spare=$(for d in /sys/class/scsi_generic/sg*; do basename "$(readlink -f "$d/device")"; done | awk -F: '$3 == 30')
  pulled=$(for d in /sys/class/scsi_generic/sg*; do basename "$(readlink -f "$d/device")"; done | awk -F: '$3 == 1')
  echo 1 > "/sys/class/scsi_device/$spare/device/delete"
  drives=$(echo "$drives" | sed 's/ --drive Q=[^ ]*//')
  echo "=== batch"
  kx20-station --batch $drives --workdir /work > /tmp/batch.out 2>&1 &
  station=$!
  sleep "$(cat /bench/replug)"
  host=$(echo "$pulled" | cut -d: -f1)
  echo 1 > "/sys/class/scsi_device/$pulled/device/delete"
  echo "0 30 0" > "/sys/class/scsi_host/host$host/scan"
  wait $station
  rc=$?
  cat /tmp/batch.out
  echo "=== replug map"
  for d in /sys/class/scsi_generic/sg*; do echo "$(basename "$d") $(basename "$(readlink -f "$d/device")")"; done
  echo "=== batch exit $rc"
else
  echo "=== batch"
  kx20-station --batch $drives --workdir /work
  echo "=== batch exit $?"
fi
echo "=== produce.log"
cat /work/produce.log
echo "=== config.txt"
cat /work/config.txt
echo "=== end"
sync
poweroff -f
