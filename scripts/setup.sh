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
  clang libclang-rt-14-dev
  libxcb1-dev python3
  man-db groff-base dpkg-dev file time
  lintian devscripts bash-completion
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
