#!/usr/bin/env bash
# Makes docs/screenshot.png, the README's picture: seqcat run on the sample images in a terminal,
# its window showing the last frame beside the timing lines, on an X server of the script's own
# (Xvfb, ended by its process id). Installs what it needs first (scripts/setup.sh --screenshot).
#
#   bash scripts/make-screenshot.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
output=$(realpath -m "${1:-docs/screenshot.png}")
bash scripts/setup.sh --screenshot
bash scripts/build.sh >/dev/null
seqcat=$PWD/build/src/conversion/seqcat

work=$(mktemp -d)
server_pid=""
terminal_pid=""
cleanup() {
  [[ -n $terminal_pid ]] && kill "$terminal_pid" 2>/dev/null || true
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The server picks a free display number and writes it to the pipe once it takes connections.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1000x340x24 -nolisten tcp 3>"$work/display" &
server_pid=$!
read -r display_number <"$work/display"
export DISPLAY=":$display_number"

# seqcat with all its defaults in a copy of the sample images (f000.jpg to f010.jpg into
# video.avi at 15 fps); a verbose run waits for ESC at its console once the video is saved,
# the window still showing the last frame.
cp examples/f0*.jpg "$work/"
xterm -geometry 72x22+0+0 -fa Monospace -fs 9 -bg white -fg black -T console \
  -e bash -c 'cd "$1" && exec "$2"' seqcat "$work" "$seqcat" &
terminal_pid=$!

window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^seqcat$' 2>/dev/null | head -n1 || true)
  [[ -n $window ]] && break
  sleep 0.1
done
if [[ -z $window ]]; then
  echo "make-screenshot: seqcat's window did not appear" >&2
  exit 1
fi
for _ in $(seq 100); do
  [[ -s $work/video.avi ]] && break
  sleep 0.1
done
xdotool windowmove "$window" 596 0
sleep 1  # the window redraws at its new place

mkdir -p "$(dirname "$output")"
import -window root -crop 1000x340+0+0 "$output"
xdotool search --name '^console$' key Escape
wait "$terminal_pid" || true
terminal_pid=""
echo "make-screenshot: wrote $output"
