#!/usr/bin/env bash
# Builds seqcat and runs it with its defaults on the sample sequence in examples/,
# which leaves examples/video.avi. Any arguments are passed on to seqcat.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
cd examples
exec ../build/src/conversion/seqcat "$@"
