#!/usr/bin/env bash
# Builds the fuzzers (clang's libFuzzer, with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each from its seeds and the
# inputs that once found a fault, for a bounded time: first the fuzzer of the
# module's exports, then the fuzzer of the registry import.
#     scripts/fuzz.sh [SECONDS [IMPORT_SECONDS]]          (default 75 and 30)
#     scripts/fuzz.sh build                               (only builds them)
# It fails on any crash, sanitizer report, leak, hang (an input that runs
# longer than 20 s), broken promise of the module or broken rule of the import;
# the input that found it is left in build-fuzz/artifacts/. The inputs they
# found worth keeping are in build-fuzz/corpus/ and build-fuzz/corpus-regimport/,
# the logs in build-fuzz/fuzz-N.log and build-fuzz/regimport-N.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-75}
import_seconds=${2:-30}
dir=build-fuzz
source scripts/ccache.sh
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKV_FUZZ=ON "${KV_LAUNCHER[@]}" > /dev/null
cmake --build "$dir" --target kvfuzz_exports kvfuzz_regimport -j"$(nproc)"
[ "$seconds" = build ] && exit 0
mkdir -p "$dir/corpus" "$dir/corpus-regimport" "$dir/artifacts"
rm -f "$dir"/fuzz-*.log "$dir"/regimport-*.log

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

# The import waits for the registry store's full syncs: two fuzzers, each on a
# machine of its own, share one corpus, and their machines lie in memory when
# /dev/shm can hold them (there a sync costs nothing; about three times the
# inputs run). Inputs are kept to 600 bytes, keys some 300 levels deep at most:
# a file names each key by its whole path, so the round trip of a key 500
# levels deep takes seconds; kvtests replays the inputs beyond the depth limit.
import_workers=2
import_tmp=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then import_tmp=/dev/shm; fi
pids=()
for n in $(seq "$import_workers"); do
  TMPDIR="$import_tmp" "$dir/kvfuzz_regimport" -max_total_time="$import_seconds" -timeout=20 -rss_limit_mb=2048 -max_len=600 \
    -reload=10 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" -dict=tests/fuzz/regimport.dict \
    "$dir/corpus-regimport" tests/fuzz/corpus/regimport tests/fuzz/regressions/regimport \
    > "$dir/regimport-$n.log" 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
for n in $(seq "$import_workers"); do
  grep -E '^#[0-9]+[[:space:]]+DONE|ERROR|SUMMARY|^kvfuzz:|Test unit|deadly|leak' "$dir/regimport-$n.log" |
    sed "s/^/import fuzzer $n: /" || true
done
runs=$(cat "$dir"/regimport-*.log | awk '/^stat::number_of_executed_units:/ { n += $2 } END { print n + 0 }')
echo "inputs run: $runs by $import_workers fuzzers of the import in ${import_seconds} s"
if [ "$status" -ne 0 ]; then
  for n in $(seq "$import_workers"); do
    if grep -q -E 'ERROR|deadly|kvfuzz:' "$dir/regimport-$n.log"; then
      echo "== import fuzzer $n found a fault; the end of $dir/regimport-$n.log:"
      tail -60 "$dir/regimport-$n.log"
    fi
  done
  exit 1
fi
