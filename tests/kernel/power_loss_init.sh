#!/bin/busybox sh
# The power-loss test's guest: config.txt and produce.log live on the guest's
# own ext4 disk (/dev/vda). Every boot checks and mounts it, shows config.txt
# on the serial console between markers, then runs kx20-station batches over
# the farm until the host resets the machine.
. /bench/common.sh
guest_boot
echo "=== boot at $(cut -d" " -f1 /proc/uptime)"

i=0
while [ ! -b /dev/vda ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
# e2fsck -p: 0 clean, 1 errors corrected; anything else is reported.
e2fsck -p /dev/vda > /tmp/fsck.out 2>&1
rc=$?
echo "=== fsck exit $rc at $(cut -d" " -f1 /proc/uptime)"
[ $rc -le 1 ] || cat /tmp/fsck.out
mkdir -p /work
if ! mount -t ext4 /dev/vda /work; then
  echo "=== mount failed"
  sleep 1000
fi
echo "=== config begin"
cat /work/config.txt
echo "=== config end"

guest_map_drives
# QEMU's scsi-generic path answers the first vendor command after a reset
# itself: one probe per disk first.
for l in $(awk '{ print $2 }' /bench/targets); do kx20ctl probe $drives $l > /dev/null 2>&1; done
n=0
while :; do
  n=$((n + 1))
  echo "=== batch start $n at $(cut -d" " -f1 /proc/uptime)"
  kx20-station --batch $drives --workdir /work > /tmp/batch.out 2>&1
  rc=$?
  echo "=== batch done $n exit $rc at $(cut -d" " -f1 /proc/uptime)"
  [ $rc -le 1 ] || cat /tmp/batch.out
done
