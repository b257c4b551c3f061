#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) in build-fuzz/ and runs
# each for a bounded time, SEQCAT_FUZZ_SECONDS (default 60) each, starting from a scratch copy of
# its seed corpus so the one in the repository stays as committed: the command-line fuzzer from
# tests/fuzzer/corpus, the JPEG check's fuzzer from JPEG files made here with ffmpeg and cjpeg.
# Fails on any crash, sanitizer report or failed check, keeping the input that caused it; prints
# each run's executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A release whose clang neither ships libFuzzer nor has a package of it cannot fuzz at all: that
# is one line saying so, not a failure. Any other fault of the fuzzer's build still fails.
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$scratch/probe.cpp"
if ! clang++ -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" 2>/dev/null; then
  echo "test-fuzz: SKIPPED: clang++ here has no libFuzzer runtime (-fsanitize=fuzzer does not link)"
  exit 0
fi

seconds=${SEQCAT_FUZZ_SECONDS:-60}
cmake -S tests/fuzzer -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j 2 >/dev/null

# Prints a JPEG file with a segment (marker and payload given as printf escapes) put right
# after its start-of-image marker.
with_segment() {
  head -c 2 "$1"
  printf "$2"
  tail -c +3 "$1"
}

# Baseline files of every sampling as ffmpeg and cjpeg write them, and the kinds the check must
# refuse or read with care: restart intervals, progressive, arithmetic, greyscale, RGB (which
# cjpeg marks with an Adobe segment), CMYK, EXIF orientations, Adobe segments.
make_jpeg_seeds() {
  local to=$1 work=$scratch/images
  mkdir "$work"
  ffmpeg -loglevel error -f lavfi -i testsrc=size=48x40:rate=1 -frames:v 1 "$work/picture.ppm"
  local format
  for format in yuvj420p yuvj422p yuvj444p; do
    ffmpeg -loglevel error -i "$work/picture.ppm" -pix_fmt "$format" -q:v 8 "$to/ffmpeg-$format.jpg"
  done
  local name options
  while read -r name options; do
    # shellcheck disable=SC2086 # the options are words
    cjpeg -quality 60 $options -outfile "$to/cjpeg-$name.jpg" "$work/picture.ppm"
  done <<'SEEDS'
420 -sample 2x2
422 -sample 2x1
444 -sample 1x1
440 -sample 1x2
411 -sample 4x1
chroma-unlike -sample 2x2,1x1,2x1
restart-rows -sample 2x2 -restart 1
restart-blocks -sample 2x1 -restart 3B
optimised -sample 1x1 -optimize
progressive -progressive
arithmetic -arithmetic
greyscale -grayscale
rgb -rgb
SEEDS
  local base=$to/cjpeg-420.jpg orientation transform
  for orientation in 1 3 6 8; do
    # An Exif block of one IFD entry, the orientation (tag 0x112, one short).
    with_segment "$base" "\xff\xe1\x00\x22Exif\0\0MM\0*\0\0\0\x08\0\x01$(
      )\x01\x12\0\x03\0\0\0\x01\0\x0$orientation\0\0\0\0\0\0" \
      >"$to/exif-orientation-$orientation.jpg"
  done
  for transform in 0 1 2; do
    with_segment "$base" "\xff\xee\x00\x0eAdobe\0\x64\0\0\0\0\x0$transform" \
      >"$to/adobe-$transform.jpg"
  done
  with_segment "$base" "\xff\xed\x00\x0eAdobe\0\x64\0\0\0\0\0" >"$to/adobe-0-in-app13.jpg"
  with_segment "$base" "\xff\xe0\x00\x10AVI1\0\0\0\0\0\0\0\0\0\0" >"$to/avi1.jpg"
  # CMYK, 8x8, by hand: one-code Huffman tables and four blocks of nothing.
  printf '\xff\xd8\xff\xee\x00\x0eAdobe\0\x64\0\0\0\0\x02%b%b%b%b%b\xff\xd9' \
    "\xff\xdb\x00\x43\x00$(printf '\\x01%.0s' {1..64})" \
    '\xff\xc4\x00\x14\x00\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' \
    '\xff\xc4\x00\x14\x10\x01\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' \
    '\xff\xc0\x00\x14\x08\x00\x08\x00\x08\x04\x01\x11\x00\x02\x11\x00\x03\x11\x00\x04\x11\x00' \
    '\xff\xda\x00\x0e\x04\x01\x00\x02\x00\x03\x00\x04\x00\x00\x3f\x00\x00' >"$to/cmyk.jpg"
}

# Runs one fuzz target from its corpus; fails the script on anything it finds.
run_fuzzer() {
  local target=$1 corpus=$2
  shift 2
  local log=$scratch/$target.log artifacts=$scratch/$target-artifacts status=0
  mkdir "$artifacts"
  "build-fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$@" "$corpus" >"$log" 2>&1 || status=$?

  if ((status != 0)); then
    tail -n 60 "$log"
    mkdir -p build-fuzz/artifacts
    cp "$artifacts"/* build-fuzz/artifacts/ 2>/dev/null || true
    echo "test-fuzz: $target FAILED (exit $status); failing inputs kept in" \
      "build-fuzz/artifacts/:" >&2
    ls -l build-fuzz/artifacts/ >&2
    exit 1
  fi

  # libFuzzer's last status line ("#N DONE cov: .. ft: ..") and its final statistics.
  local final executions rate coverage
  final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
  executions=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log")
  if [[ -z "$final" || -z "$executions" ]]; then
    tail -n 30 "$log"
    echo "test-fuzz: $target FAILED: the fuzzer printed no final statistics" >&2
    exit 1
  fi
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$final")
  echo "test-fuzz: $target passed, ${seconds} s, ${executions} executions (${rate}/s), ${coverage}"
}

mkdir "$scratch/command-line-corpus" "$scratch/jpeg-corpus"
cp tests/fuzzer/corpus/* "$scratch/command-line-corpus/"
make_jpeg_seeds "$scratch/jpeg-corpus"

run_fuzzer command_line_fuzzer "$scratch/command-line-corpus" -dict=tests/fuzzer/options.dict
run_fuzzer jpeg_frame_fuzzer "$scratch/jpeg-corpus" -dict=tests/fuzzer/jpeg.dict
