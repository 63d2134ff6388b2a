#!/usr/bin/env bash
# Makes the Windows package: package.sh [OUT_DIR] (default build-package).
# Builds the i686 and x86_64 Windows programs (build-mingw-i686 and
# build-mingw-x86_64, Release), FluidSynth with them, and lays out
# OUT_DIR/Kelvasong, the folder a user copies to the machine and installs from:
#   KVSETUP.EXE KVDRVR32.DLL KVTSK16.EXE   the 32-bit setup program, module and host
#   KVTSK64.EXE                            the 64-bit host
#   x86\libfluidsynth-3.dll                FluidSynth for the 32-bit host
#   x64\libfluidsynth-3.dll                FluidSynth for the 64-bit host
#   x64\KVSETUP.EXE x64\KVDRVR32.DLL       the 64-bit setup program and module
#   TimGM6mb.sf2 TimGM6mb-LICENSE.TXT      the General MIDI SoundFont and its licence
#   FLUIDSYNTH.TXT                         FluidSynth's licence and where its source is
#   SOURCE\fluidsynth-2.5.7.tar.gz         FluidSynth's source, as built
#   README.TXT                             installing, removing, sound, settings
# KVSETUP.EXE /INSTALL there installs both modules on 64-bit Windows.
# And OUT_DIR/KelvasongSetup.exe, the setup file (package/KelvasongSetup.nsi,
# made with NSIS's makensis): the same folder, installed into Program Files.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-package}
scripts/setup.sh
for arch in i686 x86_64; do
  scripts/build.sh "build-mingw-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release
done
dir="$out/Kelvasong"
rm -rf "$dir"
mkdir -p "$dir/x86" "$dir/x64" "$dir/SOURCE"
cp build-mingw-i686/KVSETUP.EXE build-mingw-i686/KVDRVR32.DLL build-mingw-i686/KVTSK16.EXE "$dir/"
cp build-mingw-x86_64/KVTSK64.EXE "$dir/"
cp build-mingw-x86_64/KVSETUP.EXE build-mingw-x86_64/KVDRVR32.DLL "$dir/x64/"
# Each bitness's FluidSynth in a folder of its own, where only the host of that
# bitness looks (after beside itself, where the package puts none), so
# neither host meets the other's library.
cp build-mingw-i686/fluidsynth/libfluidsynth-3.dll "$dir/x86/"
cp build-mingw-x86_64/fluidsynth/libfluidsynth-3.dll "$dir/x64/"
# The bank: the first .sf2 beside the hosts is theirs when KVHOST.INI names none.
bank=/usr/share/sounds/sf2/TimGM6mb.sf2
cp "$bank" "$dir/"
# Windows line ends, for Notepad.
crlf() { sed 's/\r*$/\r/'; }
{
  cat package/TIMGM6MB.TXT
  echo
  cat /usr/share/doc/timgm6mb-soundfont/copyright
  echo
  echo "The GNU General Public License, version 2:"
  echo
  cat /usr/share/common-licenses/GPL-2
} | crlf > "$dir/TimGM6mb-LICENSE.TXT"
# FluidSynth's source as built, from the checked archive, and its licence.
third_party=$(sed -n 's/^KV_THIRD_PARTY_DIR:PATH=//p' build-mingw-i686/CMakeCache.txt)
cp "$third_party/fluidsynth-2.5.7.tar.gz" "$dir/SOURCE/"
{
  cat package/FLUIDSYNTH.TXT
  echo
  cat build-mingw-i686/fluidsynth/src/fluidsynth-2.5.7/LICENSE
} | crlf > "$dir/FLUIDSYNTH.TXT"
crlf < package/README.TXT > "$dir/README.TXT"
echo "== the Windows package: $dir"
# The setup file carries the version the programs' version information names.
version=$(sed -n 's/.*VALUE "ProductVersion", "\(.*\)".*/\1/p' cmake/resources/version.rc.in)
# makensis reads the script's paths from the script's own folder.
makensis -V2 -DPACKAGE="$(cd "$dir" && pwd)" -DOUTFILE="$(cd "$out" && pwd)/KelvasongSetup.exe" -DVERSION="$version" \
  -DFLUIDSYNTH_ARCHIVE=fluidsynth-2.5.7.tar.gz package/KelvasongSetup.nsi
echo "== the setup file: $out/KelvasongSetup.exe"
