#!/usr/bin/env bash
# Installs the Debian packages a task needs, as root or through sudo:
#
#   bash scripts/setup.sh                  building, running and testing seqcat
#   bash scripts/setup.sh --chroot-check   what scripts/test-on-debian.sh needs on the host
#   bash scripts/setup.sh --emulated-chroot-check
#                                          the same, and the emulator for chroots of another
#                                          processor (test-on-debian.sh RELEASE arm64)
#   bash scripts/setup.sh --screenshot     what scripts/make-screenshot.sh needs beside the build
#
# Quick when all is present: the package index is refreshed only when something is missing.
set -euo pipefail

build_packages=(
  cmake g++ make pkg-config
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libopencv-videoio-dev libopencv-highgui-dev
  googletest libgtest-dev
  ffmpeg xvfb xdotool x11-utils
  clang
  libxcb1-dev libx11-dev libjpeg-dev libpng-dev libavutil-dev libavformat-dev libavcodec-dev
  python3 python3-matplotlib
  man-db groff-base dpkg-dev file time
  lintian devscripts bash-completion
  acl
)
# debootstrap makes the bare systems, checked against the archive's keys; git clones the
# checkout into them. The rest it uses (chroot, unshare, mount, tar, apt) every Debian has.
chroot_check_packages=(debootstrap debian-archive-keyring git)
# qemu's user-mode emulators, linked statically so that they run inside any chroot.
emulated_chroot_check_packages=("${chroot_check_packages[@]}" qemu-user-static)
# A terminal and a font for it, and ImageMagick's import for the picture of the screen.
screenshot_packages=(xterm fonts-dejavu-core imagemagick)

case ${1:-} in
  "") packages=("${build_packages[@]}")
      # Installed only where the release has them. libclang-rt-dev is the libFuzzer runtime of
      # the default clang; where the release has no such package, clang ships the runtime itself.
      packages_where_available=(libclang-rt-dev) ;;
  --chroot-check) packages=("${chroot_check_packages[@]}"); packages_where_available=() ;;
  --emulated-chroot-check)
      packages=("${emulated_chroot_check_packages[@]}"); packages_where_available=() ;;
  --screenshot) packages=("${build_packages[@]}" "${screenshot_packages[@]}")
      packages_where_available=() ;;
  *) echo "usage: scripts/setup.sh [--chroot-check | --emulated-chroot-check | --screenshot]" >&2
     exit 2 ;;
esac

is_installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]
}

is_available() {
  [[ -n $(apt-cache show --no-all-versions "$1" 2>/dev/null || true) ]]
}

missing=()
for package in "${packages[@]}"; do
  is_installed "$package" || missing+=("$package")
done

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
if ((${#missing[@]} > 0)); then
  "${sudo_cmd[@]}" apt-get update -qq
fi
for package in "${packages_where_available[@]}"; do
  is_installed "$package" || ! is_available "$package" || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
