#!/usr/bin/env bash
# Sets up, builds and runs the end-to-end demonstration on a machine of its own:
# installs the product with its setup program, carries out the system start,
# plays through the devices the installation registered, removes the product,
# starts the system again and shows that the registry and the system directory
# are as they were before.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
export KV_MACHINE_ROOT="${KV_MACHINE_ROOT:-$PWD/build/demo-machine}"
rm -rf "$KV_MACHINE_ROOT"
b=build
work="$KV_MACHINE_ROOT/demo"

step() { printf '\n== %s\n' "$*"; }

step "a machine with another synthesizer registered, and its user's MIDI mapper settings"
$b/kvmachine init
mkdir -p "$work" "$($b/kvmachine path 'C:\KV')"
cp $b/KVTSK16.EXE "$($b/kvmachine path 'C:\KV')/"
# The host keeps its records only when told to; the demonstration shows them.
printf '[Host]\r\nMidiRecord=KVMIDIIN\r\nWaveRecord=KVWAVEOUT\r\n' > "$($b/kvmachine path 'C:\KV')/KVHOST.INI"
$b/KVSETUP.EXE /DIR 'C:\KV' > /dev/null
printf '%s\r\n' 'REGEDIT4' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Drivers32]' \
  '"midi"="mmsynth.dll"' '"wave"="mmsynth.dll"' '"aux"="mmsynth.dll"' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Userinstallable.drivers]' \
  '"midi"="mmsynth.dll"' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\related.desc]' '"midi"=""' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\drivers.desc]' \
  '"mmsynth.dll"="Another synthesizer"' '' \
  '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\MIDI\mmsynth.dll<0000>]' \
  '"Active"="1"' '' \
  '[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap]' \
  '"CurrentInstrument"="mmsynth.dll<0000>"' '"UseScheme"=dword:00000001' '"AutoScheme"=dword:00000001' \
  '"szPname"="Another synthesizer"' '' > "$work/machine.reg"
$b/kvreg import "$work/machine.reg"
# The registry of everything installation and removal touch, and the system directory.
snapshot() {
  { $b/kvreg export 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
    $b/kvreg export 'HKLM\SYSTEM\CurrentControlSet\Control\MediaResources'
    $b/kvreg export 'HKCU\Software'; } > "$work/registry-$1.reg"
  ls -A "$($b/kvmachine path 'C:\WINDOWS\system32')" > "$work/system32-$1.txt"
}
snapshot before
tr -d '\r' < "$work/registry-before.reg" | sed -n '/Drivers32\]/,/^$/p'

step "KVSETUP.EXE /INSTALL"
$b/KVSETUP.EXE /INSTALL

step "system start"
$b/kvmachine start
echo "system directory: $(ls "$($b/kvmachine path 'C:\WINDOWS\system32')" | tr '\n' ' ')"

step "playing through the devices the installation registered"
$b/kvdemo

# The project's own short piece, played through the installed driver: heard on
# the user's sound server when one is reachable, and left as the rendered WAV
# next to the host's record.
play_piece() {
  local piece="$work/kvpiece.mid" kv
  $b/kvpiece "$piece"
  $b/kvplay "$piece"
  kv="$($b/kvmachine path 'C:\KV')"
  echo "the piece as the synthesizer rendered it: $kv/KVMIDIIN.WAV (the messages it received: $kv/KVMIDIIN.TXT)"
}
step "the project's own piece through the installed driver"
play_piece

step "KVSETUP.EXE /REMOVE"
$b/KVSETUP.EXE /REMOVE

step "system start"
$b/kvmachine start

step "the machine after removal"
snapshot after
if diff -u "$work/registry-before.reg" "$work/registry-after.reg"; then
  echo "registry: as before ($(grep -c '^\[' "$work/registry-after.reg") keys compared, exported to $work)"
else
  echo "registry: DIFFERS from before"; exit 1
fi
if diff -u "$work/system32-before.txt" "$work/system32-after.txt"; then
  echo "system directory: as before ($(wc -l < "$work/system32-after.txt") files)"
else
  echo "system directory: DIFFERS from before"; exit 1
fi
echo "host programs in C:\\KV: $(ls "$($b/kvmachine path 'C:\KV')" | grep -i '\.exe$' | tr '\n' ' ')"
echo
echo "demo complete"
