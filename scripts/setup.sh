#!/usr/bin/env bash
# Installs what the build, the tests and the cross-builds need, on a fresh Debian
# machine; does nothing where everything is present.
set -euo pipefail
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3
          libsndfile1-dev mingw-w64 clang-format wine wine64 googletest
          libfluidsynth3 timgm6mb-soundfont libpulse-dev pulseaudio pulseaudio-utils
          clang libclang-rt-14-dev ccache nsis
          xvfb imagemagick)
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
# Wine for 32-bit programs, from the i386 architecture: the Wine suite runs the
# 32-bit build too. Its own call, without recommends: with them apt would take
# away development packages above (their JACK libraries conflict).
if ! dpkg -s wine32:i386 > /dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
    wine32:i386
fi
