# Shared by the guests' init scripts (busybox sh; sourced from /bench/common.sh).

# guest_boot: busybox's commands, /proc, /sys, /dev, and the modules in
# /modules.list, each failure reported on the console.
guest_boot() {
  /bin/busybox --install -s /bin
  mount -t proc proc /proc
  mount -t sysfs sys /sys
  mount -t devtmpfs dev /dev
  for m in $(cat /modules.list); do insmod /lib/modules/$m 2>/dev/null || echo "=== insmod $m failed"; done
}

# guest_map_drives [show]: waits (at most 60 s) until every target of
# /bench/targets ("TARGET-ID LETTER" per line) has an sg device, then sets
# $drives to the matching --drive options; "show" prints the map.
guest_map_drives() {
  local want i d hctl id letter
  want=$(wc -l < /bench/targets)
  i=0
  while [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -lt "$want" ] && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  drives=""
  [ "${1:-}" = show ] && echo "=== sg map"
  for d in /sys/class/scsi_generic/sg*; do
    hctl=$(basename "$(readlink -f "$d/device")")
    id=$(echo "$hctl" | cut -d: -f3)
    letter=$(awk -v id="$id" '$1 == id { print $2 }' /bench/targets)
    [ "${1:-}" = show ] && echo "$(basename "$d") $hctl $letter"
    [ -n "$letter" ] && drives="$drives --drive $letter=/dev/$(basename "$d")"
  done
}
