#!/usr/bin/env bash
# Builds the command-line fuzzer (clang, libFuzzer, AddressSanitizer, UBSan) in build-fuzz/ and
# runs it for a bounded time, SEQCAT_FUZZ_SECONDS (default 60), starting from a scratch copy of
# the seed corpus so the one in the repository stays as committed. Fails on any crash, sanitizer
# report or failed check, keeping the input that caused it; prints the run's executions and coverage.
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

mkdir "$scratch/corpus" "$scratch/artifacts"
cp tests/fuzzer/corpus/* "$scratch/corpus/"

status=0
build-fuzz/command_line_fuzzer -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -dict=tests/fuzzer/options.dict -artifact_prefix="$scratch/artifacts/" \
  "$scratch/corpus" >"$scratch/fuzz.log" 2>&1 || status=$?

if ((status != 0)); then
  tail -n 60 "$scratch/fuzz.log"
  mkdir -p build-fuzz/artifacts
  cp "$scratch"/artifacts/* build-fuzz/artifacts/ 2>/dev/null || true
  echo "test-fuzz: FAILED (exit $status); failing inputs kept in build-fuzz/artifacts/:" >&2
  ls -l build-fuzz/artifacts/ >&2
  exit 1
fi

# libFuzzer's last status line ("#N DONE cov: .. ft: ..") and its final statistics.
final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/fuzz.log" | tail -n 1)
executions=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$scratch/fuzz.log")
rate=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$scratch/fuzz.log")
if [[ -z "$final" || -z "$executions" ]]; then
  tail -n 30 "$scratch/fuzz.log"
  echo "test-fuzz: FAILED: the fuzzer printed no final statistics" >&2
  exit 1
fi
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$final")
echo "test-fuzz: passed, ${seconds} s, ${executions} executions (${rate}/s), ${coverage}"
