#!/usr/bin/env bash
# Installs every Debian package that building, running and testing seqcat needs.
# Quick when all is present: the package index is refreshed only when something is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libopencv-videoio-dev libopencv-highgui-dev
  googletest libgtest-dev
  ffmpeg xvfb xdotool x11-utils
  clang
  libxcb1-dev libx11-dev python3
  man-db groff-base dpkg-dev file time
  lintian devscripts bash-completion
)
# Installed only where the release has them. libclang-rt-dev is the libFuzzer runtime of the
# default clang; where the release has no such package, clang ships the runtime itself.
packages_where_available=(libclang-rt-dev)

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
