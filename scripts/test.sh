#!/usr/bin/env bash
# Builds seqcat and runs every test: the command-line fuzzer for a bounded time, the unit tests
# under AddressSanitizer and UBSan, then the whole suite on the release build (unit, end to end
# under its own Xvfb and pseudo-terminals, install and packaging).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
bash scripts/test-fuzz.sh
bash scripts/test-sanitizers.sh
cd build
ctest --output-on-failure --no-tests=error
