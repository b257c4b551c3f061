#!/usr/bin/env bash
# Configures and builds seqcat in build/ (Release), installing what the build needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
