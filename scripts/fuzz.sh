#!/usr/bin/env bash
# Builds the fuzzer of the module's exports (clang's libFuzzer, with
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and runs it
# from the seeds and the inputs that once found a fault, for a bounded time:
#     scripts/fuzz.sh [SECONDS]          (default 75)
# It fails on any crash, sanitizer report, leak, hang (an input that runs
# longer than 20 s) or broken promise of the module; the input that found it is
# left in build-fuzz/artifacts/. The inputs it found worth keeping are in
# build-fuzz/corpus/, the logs in build-fuzz/fuzz-N.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-75}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKV_FUZZ=ON > /dev/null
cmake --build "$dir" --target kvfuzz_exports -j"$(nproc)"
mkdir -p "$dir/corpus" "$dir/artifacts"
rm -f "$dir"/fuzz-*.log

# Most of an input's time is spent waiting for hosts, so three fuzzers share
# the two cores, each on a machine of its own, all adding to one corpus. Each
# first runs every saved input once.
workers=3
pids=()
for n in $(seq "$workers"); do
  "$dir/kvfuzz_exports" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=512 -reload=10 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
    "$dir/corpus" tests/fuzz/corpus/exports tests/fuzz/regressions/exports > "$dir/fuzz-$n.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done

# The hosts' own notes are left out of what is shown.
for n in $(seq "$workers"); do
  grep -v -E '^(KVTSK16|fluidsynth): ' "$dir/fuzz-$n.log" |
    grep -E '^#[0-9]+[[:space:]]+DONE|ERROR|SUMMARY|^kvfuzz:|Test unit|deadly|leak' | sed "s/^/fuzzer $n: /" || true
done
runs=$(cat "$dir"/fuzz-*.log | awk '/^stat::number_of_executed_units:/ { n += $2 } END { print n + 0 }')
echo "inputs run: $runs by $workers fuzzers in ${seconds} s"
if [ "$status" -ne 0 ]; then
  for n in $(seq "$workers"); do
    if grep -q -E 'ERROR|deadly|kvfuzz: the module' "$dir/fuzz-$n.log"; then
      echo "== fuzzer $n found a fault; the end of $dir/fuzz-$n.log:"
      grep -v -E '^(KVTSK16|fluidsynth): ' "$dir/fuzz-$n.log" | tail -60
    fi
  done
  exit 1
fi
