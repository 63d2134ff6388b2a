#!/usr/bin/env bash
# Makes the Windows package: package.sh [OUT_DIR] (default build-package).
# Builds the i686 and x86_64 Windows programs (build-mingw-i686 and
# build-mingw-x86_64, Release) and lays out OUT_DIR/Kelvasong, the folder a user
# copies to the machine and installs from:
#   KVSETUP.EXE KVDRVR32.DLL KVTSK16.EXE   the 32-bit setup program, module and host
#   KVTSK64.EXE                            the 64-bit host
#   x64\KVSETUP.EXE x64\KVDRVR32.DLL       the 64-bit setup program and module
#   README.TXT                             installing, removing, settings
# KVSETUP.EXE /INSTALL there installs both modules on 64-bit Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-package}
scripts/setup.sh
for arch in i686 x86_64; do
  scripts/build.sh "build-mingw-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release
done
dir="$out/Kelvasong"
rm -rf "$dir"
mkdir -p "$dir/x64"
cp build-mingw-i686/KVSETUP.EXE build-mingw-i686/KVDRVR32.DLL build-mingw-i686/KVTSK16.EXE "$dir/"
cp build-mingw-x86_64/KVTSK64.EXE "$dir/"
cp build-mingw-x86_64/KVSETUP.EXE build-mingw-x86_64/KVDRVR32.DLL "$dir/x64/"
# Windows line ends, for Notepad.
sed 's/$/\r/' package/README.TXT > "$dir/README.TXT"
echo "== the Windows package: $dir"
