#!/usr/bin/env bash
# Builds the fuzzer of the module's exports (clang's libFuzzer, with
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and runs it
# from the seed corpus for a bounded time:
#     scripts/fuzz.sh [SECONDS]          (default 75)
# It fails on any crash, sanitizer report, leak, hang (an input that runs
# longer than 20 s) or broken promise of the module; the input that found it is
# left in build-fuzz/artifacts/. The inputs it found worth keeping are in
# build-fuzz/corpus/, the whole log in build-fuzz/fuzz.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-75}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKV_FUZZ=ON > /dev/null
cmake --build "$dir" --target kvfuzz_exports -j"$(nproc)"
mkdir -p "$dir/corpus" "$dir/artifacts"
log=$dir/fuzz.log
status=0
"$dir/kvfuzz_exports" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=512 -print_final_stats=1 \
  -artifact_prefix="$dir/artifacts/" "$dir/corpus" tests/fuzz/corpus/exports > "$log" 2>&1 || status=$?
# The hosts' own notes are left out of what is shown.
grep -v -E '^(KVTSK16|fluidsynth): ' "$log" | grep -E '^#[0-9]+ +(INITED|DONE)|^stat::|ERROR|SUMMARY|kvfuzz:|Test unit|deadly|leak' || true
if [ "$status" -ne 0 ]; then
  echo "== the fuzzer found a fault (exit $status); the end of $log:"
  grep -v -E '^(KVTSK16|fluidsynth): ' "$log" | tail -60
  exit 1
fi
