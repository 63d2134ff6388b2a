#!/usr/bin/env bash
# Sets up and runs every test: the tests (many start real processes), the same
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer and
# under ThreadSanitizer (the programs they start built so too; a report from any
# process fails the stage, see scripts/ctest-sanitized.sh), the Windows
# programs' cross-builds for 32- and 64-bit Windows, the Wine suite on each
# (both in a 64-bit prefix, as on 64-bit Windows), and the format check.
# KV_SKIP_SLOW=1 leaves out the tests whose names start with Slow (they wait
# out long real time-outs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

filter=()
[ "${KV_SKIP_SLOW:-0}" = 1 ] && filter=(-E '\.Slow')

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows programs for i686 and x86_64 with their Wine suites, and the Windows package"
scripts/build.sh build-mingw-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKV_WINE_TESTS=ON
scripts/build.sh build-mingw-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKV_WINE_TESTS=ON
scripts/package.sh
echo "== the Wine suite for i686 (with the package, both bitnesses in one prefix)"
scripts/wine-test.sh build-mingw-i686
echo "== the Wine suite for x86_64"
scripts/wine-test.sh build-mingw-x86_64

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DKV_SANITIZE=ON
scripts/ctest-sanitized.sh build-asan -j"$(nproc)" --output-on-failure "${filter[@]}"

echo "== fuzzers of the module's exports and of the registry import, for a bounded time"
scripts/fuzz.sh

echo "== tests under ThreadSanitizer, but the slow ones"
scripts/build.sh build-tsan -DKV_SANITIZE_THREAD=ON
scripts/ctest-sanitized.sh build-tsan -j"$(nproc)" --output-on-failure -E '\.Slow'

echo "== tests"
scripts/build.sh build
(cd build && ctest -j"$(nproc)" --output-on-failure "${filter[@]}")
