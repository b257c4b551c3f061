#!/usr/bin/env bash
# Writes a video larger than 4 GiB with seqcat and checks it, for 32-bit systems above all
# (where a file size or offset held in 32 bits breaks at 2 or 4 GiB):
#
#   bash scripts/test-large-file.sh        (after scripts/build.sh or run-example.sh)
#
# The frames are 4K noise, which compresses badly: a few distinct images, made with ffmpeg as
# BMP (nothing to decode) and linked under as many numbered names as a video of 4.25 GiB needs
# (measured on a short run first). The video replaces an existing file of the same name. Passes when seqcat ends with
# status 0 (it reads the finished video back and compares its frame count with what it wrote),
# reports every frame, leaves a video past 4 GiB that ffprobe counts the same number of frames
# in, and has replaced the old file and left no file of its own beside it. Prints the size and
# how long the run took, then deletes everything it made. Needs about 5 GiB free in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
seqcat=$PWD/build/src/conversion/seqcat
[[ -x "$seqcat" ]] || { echo "test-large-file: build seqcat first (scripts/build.sh)" >&2; exit 2; }

say() { echo "test-large-file: $*"; }
failed() { echo "test-large-file: FAILED: $*" >&2; exit 1; }

work=$(mktemp -d "$PWD/build/large-file.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

distinct=8
least_bytes=$((4 * 1024 * 1024 * 1024 + 256 * 1024 * 1024))
say "$(getconf LONG_BIT)-bit $(dpkg --print-architecture) userland, $(df -h --output=avail . | tail -n 1 | tr -d ' ') free here"

ffmpeg -v error -nostdin -f lavfi -i "color=c=gray:s=3840x2160:r=1,noise=alls=100:allf=t+u" \
  -frames:v "$distinct" noise%d.bmp

# Links f00000.jpg, f00001.jpg, ... up to index last, to the distinct images in turn.
link_frames() {
  local last=$1 index
  for ((index = 0; index <= last; ++index)); do
    ln -f "noise$((index % distinct + 1)).bmp" "$(printf 'f%05d.bmp' "$index")"
  done
}

# The encoder's first few frames are smaller: the largest is what the rest come to.
link_frames $((distinct - 1))
"$seqcat" f -e bmp -zp 5 -sq 0 $((distinct - 1)) -nd -np -nv trial.avi >/dev/null
frame_bytes=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 \
  trial.avi | sort -n | tail -n 1)
frames=$((least_bytes / frame_bytes + 1))
say "about $((frame_bytes / 1024)) KiB a frame: $frames frames"
link_frames $((frames - 1))

# The old file that the video replaces.
echo "an older video" >big.avi
old_inode=$(stat -c %i big.avi)

started=$SECONDS
status=0
"$seqcat" f -e bmp -zp 5 -sq 0 $((frames - 1)) -nd -np big.avi >run.log 2>errors.log || status=$?
seconds=$((SECONDS - started))
cat errors.log >&2
((status == 0)) || failed "seqcat ended with status $status"

reported=$(grep -c '^File: ' run.log || true)
size=$(stat -c %s big.avi)
counted=$(ffprobe -v error -count_packets -select_streams v:0 \
  -show_entries stream=nb_read_packets -of csv=p=0 big.avi)
say "seqcat: $frames frames in $((seconds / 60)) min $((seconds % 60)) s, exit $status;" \
  "$reported reported, $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.2f", s / 2^30 }') GiB)," \
  "ffprobe counts $counted frames"
((size > 4 * 1024 * 1024 * 1024)) || failed "the video is not larger than 4 GiB"
((reported == frames)) || failed "seqcat reported $reported frames of $frames"
((counted == frames)) || failed "ffprobe counts $counted frames, not $frames"
[[ $(stat -c %i big.avi) != "$old_inode" ]] || failed "the old big.avi was not replaced"
! compgen -G 'big.seqcat-*' >/dev/null || failed "seqcat left its new file: $(echo big.seqcat-*)"
say "passed"
