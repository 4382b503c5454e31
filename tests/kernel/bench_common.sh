# Shared by the kernel bench's host scripts (sourced after $work is set up):
# finding Debian's kernel, checking the tools, and building the initramfs.

# bench_find_kernel TOOL...: sets $kernel and $version; fails when the
# kernel or one of the tools is missing.
bench_find_kernel() {
  kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1)
  [ -n "$kernel" ] || { echo "FAIL: no kernel in /boot (Debian package linux-image-amd64)" >&2; return 1; }
  version=${kernel#/boot/vmlinuz-}
  local tool
  for tool in qemu-system-x86_64 busybox cpio modprobe "$@"; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not installed" >&2; return 1; }
  done
}

# bench_check_programs PROGRAM...: each one built.
bench_check_programs() {
  local bin
  for bin in "$@"; do
    [ -x "$bin" ] || { echo "FAIL: $bin missing (build the release preset first)" >&2; return 1; }
  done
}

# bench_initramfs_root INIT: a fresh root in $work/root with busybox, the
# guest's init script and its shared part.
bench_initramfs_root() {
  root=$work/root
  mkdir -p "$root"/{bin,lib/modules,proc,sys,dev,work,bench,tmp}
  cp "$(command -v busybox)" "$root/bin/busybox"
  cp "$1" "$root/init"
  chmod +x "$root/init"
  cp "$src/tests/kernel/guest_common.sh" "$root/bench/common.sh"
}

# bench_add_modules MODULE...: the modules and what they depend on, in load
# order, into $root/lib/modules and $root/modules.list (crc32c-intel left out:
# TCG's CPU may lack its instructions).
bench_add_modules() {
  : > "$root/modules.list"
  local m ko
  for m in "$@"; do
    modprobe -S "$version" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
  done | grep -v 'crc32c-intel' | awk '!seen[$0]++' | while read -r ko; do
    cp "$ko" "$root/lib/modules/"
    basename "$ko" >> "$root/modules.list"
  done
}

# bench_add_programs PROGRAM...: each program and the shared libraries it loads.
bench_add_programs() {
  local bin lib
  for bin in "$@"; do
    cp "$bin" "$root/bin/"
    for lib in $(ldd "$bin" | awk '/=>/ { print $3 } /^\t\/lib/ { print $1 }'); do
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
  done
}

# bench_pack_initramfs [NAME]: $root into $work/NAME (initramfs.gz).
bench_pack_initramfs() {
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/${1:-initramfs.gz}"
}
