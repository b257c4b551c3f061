#!/usr/bin/env bash
# Configures and builds seqcat in build/ (Release) with its tests and benchmark, installing what
# the build needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build -j "$(nproc)"
