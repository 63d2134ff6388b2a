#!/usr/bin/env bash
# The main job on Wine: in a fresh headless prefix, the Windows setup program
# installs the product, Wine's system start puts the module in place, a client
# plays a phrase, a system-exclusive buffer and a stretch of sound through the
# two devices and checks what the host received, the setup program removes the
# product, and after the next system start the registry and the system
# directory are as they were.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build-mingw-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKV_WINE_TESTS=ON
KV_WINE_SHOW=1 scripts/wine-test.sh build-mingw-x86_64 'WineInstallTest.*'
