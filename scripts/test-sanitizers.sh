#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UBSan in build-sanitize/ and runs the unit tests
# there. Any sanitizer report ends its test with a failure. Finding no unit test is a failure
# too: a run that checked nothing must not read as a pass.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build-sanitize -DSEQCAT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
# The whole tree, not a list of targets: whichever executables the unit tests come to need are
# built, and the extra programs are a few small files.
cmake --build build-sanitize -j 2

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd build-sanitize
ctest -L unit --output-on-failure --no-tests=error
