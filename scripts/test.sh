#!/usr/bin/env bash
# Sets up and runs every test: the tests (many start real processes), the same
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer, the wave
# device's tests under ThreadSanitizer, the Windows programs' cross-builds for
# 32- and 64-bit Windows, the Wine suite on the 64-bit ones, and the format
# check.
# KV_SKIP_SLOW=1 leaves out the tests named *Slow* (they wait out long time-outs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

filter=()
[ "${KV_SKIP_SLOW:-0}" = 1 ] && filter=(-E Slow)

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Windows programs for i686"
scripts/build.sh build-mingw-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
echo "== Windows programs and the Wine suite for x86_64"
scripts/build.sh build-mingw-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKV_WINE_TESTS=ON
scripts/wine-test.sh build-mingw-x86_64

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DKV_SANITIZE=ON
(cd build-asan && ctest -j"$(nproc)" --output-on-failure "${filter[@]}")

echo "== fuzzer of the module's exports, for a bounded time"
scripts/fuzz.sh

echo "== wave device and module entry tests under ThreadSanitizer"
scripts/build.sh build-tsan -DKV_SANITIZE_THREAD=ON
(cd build-tsan && ctest -j"$(nproc)" --output-on-failure -R '^(WaveDeviceTest|DriverEntryTest)\.' -E Slow)

echo "== tests"
scripts/build.sh build
(cd build && ctest -j"$(nproc)" --output-on-failure "${filter[@]}")
