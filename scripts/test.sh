#!/usr/bin/env bash
# Builds seqcat and runs every test: unit, end to end (under its own Xvfb and pseudo-terminals),
# install and packaging; then the unit tests again under AddressSanitizer and UBSan, and the
# command-line fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
(cd build && ctest --output-on-failure)
