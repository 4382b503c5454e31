# The Debian packages the project builds, tests and runs with. Sourced by the
# scripts; installs only what is missing, so a second run costs nothing.
# A name with an architecture suffix (wine32:i386) adds that architecture to
# dpkg first; i386 packages are left out on a kernel that cannot run 32-bit
# programs (there wine32 would only break the 64-bit `wine` command).
KX20_PACKAGES=(
  build-essential cmake googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 xvfb xdotool x11-apps imagemagick
  dosfstools mtools fdisk nasm qemu-system-x86
  tmux libncurses-dev nlohmann-json3-dev
  libiscsi-bin python3 qemu-utils
  qemu-block-extra linux-image-amd64 busybox-static cpio kmod tgt e2fsprogs xz-utils
  clang libfuzzer-14-dev
  nsis
  postgresql libpq-dev unixodbc unixodbc-dev odbc-postgresql chromium
)

# What the debug build and its unit tests alone need (scripts/test --quick).
KX20_QUICK_PACKAGES=(
  build-essential cmake googletest libgtest-dev libgmock-dev libncurses-dev libpq-dev
  nlohmann-json3-dev unixodbc-dev odbc-postgresql
)

# True when this kernel runs 32-bit x86 programs (a 91-byte i386 program that
# only exits; kernels built without IA32 emulation refuse it).
kx20_runs_i386() {
  local f
  f=$(mktemp) || return 1
  printf '%b' \
    '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
    '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'\
    '\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00'\
    '\x00\x10\x00\x00\x31\xdb\x31\xc0\x40\xcd\x80'\
    >"$f"
  chmod +x "$f"
  "$f" 2>/dev/null
  local status=$?
  rm -f "$f"
  return $status
}

# Whether the i686 Windows programs can run under Wine here (a kernel with
# 32-bit support and wine32 installed), and why not. KX20_SKIP_WIN32_WINE=1
# says no on purpose.
kx20_win32_wine_runs() {
  [ "${KX20_SKIP_WIN32_WINE:-0}" != 1 ] && kx20_runs_i386 && [ -x /usr/lib/wine/wine ]
}
kx20_win32_wine_why() {
  if [ "${KX20_SKIP_WIN32_WINE:-0}" = 1 ]; then
    echo "KX20_SKIP_WIN32_WINE=1: the i686 programs are built but not run"
  elif ! kx20_runs_i386; then
    echo "this kernel cannot execute 32-bit x86 programs (no IA32 emulation), so Wine cannot run the i686 build; it is built, not run"
  else
    echo "wine32 is not installed, so Wine cannot run the i686 build"
  fi
}

# Installs the packages named (default: all of KX20_PACKAGES) that are missing.
kx20_install_packages() {
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${KX20_PACKAGES[@]}")
  local missing=()
  local p a
  for p in "${wanted[@]}"; do
    if [ "${p#*:}" = i386 ] && ! kx20_runs_i386; then
      echo "packages: $p left out: this kernel cannot run 32-bit programs" >&2
      continue
    fi
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  for p in "${missing[@]}"; do
    case "$p" in *:*) a="${p##*:}" ;; *) continue ;; esac
    [ "$a" = "$(dpkg --print-architecture)" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$a" || $sudo dpkg --add-architecture "$a"
  done
  $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
