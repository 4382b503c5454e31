# The Debian packages the project builds, tests and runs with. Sourced by the
# scripts; installs only what is missing, so a second run costs nothing.
KX20_PACKAGES=(
  build-essential cmake googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 xvfb xdotool x11-apps imagemagick
  dosfstools mtools fdisk nasm qemu-system-x86
  tmux libncurses-dev
  libiscsi-bin
  qemu-block-extra linux-image-amd64 busybox-static cpio kmod tgt
)

kx20_install_packages() {
  local missing=()
  local p
  for p in "${KX20_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
