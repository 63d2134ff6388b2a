#!/usr/bin/env bash
# Sets up and runs every test, the quick stages first: the format check; the
# tests (many start real processes), while the other builds go on beside
# them, and the slow ones once the builds are done; the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
# and under ThreadSanitizer (the programs they start built so too; a report
# from any process fails the stage, see scripts/ctest-sanitized.sh), where the
# sweeps over many cases run a share of them (tests/support/sweep.h); then
# the Wine suite on the 32- and 64-bit Windows programs and the package (both
# in a 64-bit prefix, as on 64-bit Windows), and the fuzzers of the module's
# exports and of the registry import, which run for a bounded time.
# KV_SKIP_SLOW=1 leaves out the tests whose names start with Slow (they wait
# out long real time-outs or play for seconds in real time); the ThreadSanitizer
# stage always does, since that sanitizer cannot keep real time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

filter=()
[ "${KV_SKIP_SLOW:-0}" = 1 ] && filter=(-E '\.Slow')
# Most tests spend their time waiting for the processes they start (the hosts
# answer, close, end): three tests a core keep the cores busy. The tests wait
# on hand-offs, so the load does not change what they find.
jobs=$(($(nproc) * 3))

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== tests"
scripts/build.sh build
# The other builds go on beside these tests, which mostly wait; their output
# is shown when one fails.
logs=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null || true; rm -rf "$logs"' EXIT
(
  scripts/build.sh build-asan -DKV_SANITIZE=ON
  scripts/build.sh build-tsan -DKV_SANITIZE_THREAD=ON
  scripts/build.sh build-mingw-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKV_WINE_TESTS=ON
  scripts/build.sh build-mingw-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKV_WINE_TESTS=ON
  scripts/package.sh
  scripts/fuzz.sh build
) > "$logs/builds.log" 2>&1 &
builds=$!
(cd build && ctest -j"$jobs" --output-on-failure -E '\.Slow')

echo "== the sanitizer builds, the Windows programs for i686 and x86_64, the Windows package and the fuzzers"
if ! wait "$builds"; then
  cat "$logs/builds.log"
  exit 1
fi
grep -E '^== ' "$logs/builds.log" || true

# The slow tests play in real time or wait out real time-outs: they run once
# the compilers have stopped.
if [ "${KV_SKIP_SLOW:-0}" != 1 ]; then
  echo "== the slow tests"
  (cd build && ctest -j"$jobs" --output-on-failure -R '\.Slow')
fi

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/ctest-sanitized.sh build-asan -j"$jobs" --output-on-failure "${filter[@]}"

echo "== tests under ThreadSanitizer, but the slow ones"
scripts/ctest-sanitized.sh build-tsan -j"$jobs" --output-on-failure -E '\.Slow'

# The two Wine suites (each in a prefix of its own; the i686 one also installs
# the setup file in a fresh prefix of its own) spend most of their time
# waiting, so they run side by side; each suite's output is shown whole when it
# has ended. The fuzzers come after them: with all of them at once, Wine once
# failed to create a top-level window (the instance window, error 0).
echo "== the Wine suites for i686 (with the package, both bitnesses in one prefix, and the setup file) and x86_64"
scripts/wine-test.sh build-mingw-i686 > "$logs/wine-i686.log" 2>&1 &
wine32=$!
scripts/wine-test.sh build-mingw-x86_64 > "$logs/wine-x86_64.log" 2>&1 &
wine64=$!
status=0
wait "$wine32" || status=1
cat "$logs/wine-i686.log"
wait "$wine64" || status=1
cat "$logs/wine-x86_64.log"

echo "== the fuzzers of the module's exports and of the registry import"
scripts/fuzz.sh 40 20 || status=1
exit "$status"
