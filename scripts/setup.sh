#!/usr/bin/env bash
# Installs what the build, the tests and the cross-builds need, on a fresh Debian
# machine; does nothing where everything is present.
set -euo pipefail
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3
          libsndfile1-dev mingw-w64 clang-format wine wine64 googletest
          libfluidsynth3 timgm6mb-soundfont libpulse-dev pulseaudio pulseaudio-utils
          clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" > /dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # Another installer may hold the package lock for a while.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
fi
