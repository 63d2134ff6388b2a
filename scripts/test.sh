#!/usr/bin/env bash
# Sets up and runs every test: the tests (many start real processes), the same
# tests once more under AddressSanitizer and UndefinedBehaviorSanitizer, the wave
# device's tests under ThreadSanitizer, the module's cross-builds for 32- and
# 64-bit Windows, and the format check.
# KV_SKIP_SLOW=1 leaves out the tests named *Slow* (they wait out long time-outs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

filter=()
[ "${KV_SKIP_SLOW:-0}" = 1 ] && filter=(-E Slow)

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for arch in i686 x86_64; do
  echo "== module for $arch Windows"
  scripts/build.sh "build-mingw-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$arch.cmake -DCMAKE_BUILD_TYPE=Release
done

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DKV_SANITIZE=ON
(cd build-asan && ctest -j"$(nproc)" --output-on-failure "${filter[@]}")

echo "== wave device and module entry tests under ThreadSanitizer"
scripts/build.sh build-tsan -DKV_SANITIZE_THREAD=ON
(cd build-tsan && ctest -j"$(nproc)" --output-on-failure -R '^(WaveDeviceTest|DriverEntryTest)\.' -E Slow)

echo "== tests"
scripts/build.sh build
(cd build && ctest -j"$(nproc)" --output-on-failure "${filter[@]}")
