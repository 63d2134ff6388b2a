#!/usr/bin/env bash
# Note-to-sound latency of the Windows host under Wine (bench/wine_latency_bench.cpp):
#   wine-bench.sh [BUILD_DIR] [NOTES]
# BUILD_DIR is a Windows build with -DKV_WINE_TESTS=ON (default
# build-mingw-x86_64). The Wine suite's hearing test lays out the prefix and
# shows that the host is heard; then the benchmark runs in that prefix with a
# PulseAudio server of its own (a null sink), whose monitor parec records.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-mingw-x86_64}
notes=${2:-15}
scripts/wine-test.sh "$build" 'WineHeardTest.TheNoteIsHeardAtItsPitchThroughWasapi'
build=$(cd "$build" && pwd)

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
pulse_dir="$build/bench-pulse"
pulse_pid=
monitor_pid=
end_all() {
  wineserver -k 2> /dev/null || true
  wineserver -w 2> /dev/null || true
  for pid in $monitor_pid $pulse_pid; do kill "$pid" 2> /dev/null || true; wait "$pid" 2> /dev/null || true; done
}
trap end_all EXIT
rm -rf "$pulse_dir"
mkdir -m 700 -p "$pulse_dir"
XDG_RUNTIME_DIR="$pulse_dir" HOME="$pulse_dir" pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
  "--load=module-null-sink sink_name=kvtest rate=44100 channels=2" \
  "--load=module-native-protocol-unix auth-anonymous=1 socket=$pulse_dir/native" > /dev/null 2>&1 &
pulse_pid=$!
export PULSE_SERVER="unix:$pulse_dir/native"
for _ in $(seq 200); do pactl info > /dev/null 2>&1 && break; sleep 0.05; done
export KV_WINE_MONITOR="$build/bench-monitor.raw"
parec -d kvtest.monitor --raw --format=s16le --rate=44100 --channels=1 --latency-msec=10 > "$KV_WINE_MONITOR" &
monitor_pid=$!

# The synthesizer: the suite's stand-in, whose sine starts at full strength.
kv="$WINEPREFIX/drive_c/KV"
cp "$build/fakefluid.dll" "$kv/libfluidsynth-3.dll"
printf 'RIFF\004\000\000\000sfbk' > "$kv/GM.SF2"
cp "$build/kvwinebench.exe" "$WINEPREFIX/drive_c/kvtests/"
echo "== $(uptime)"
(cd "$WINEPREFIX/drive_c/kvtests" && wine 'C:\kvtests\kvwinebench.exe' "$notes" 2>&1 | tr -d '\r')
rm -f "$kv/libfluidsynth-3.dll" "$kv/GM.SF2" "$kv/FAKEFLUID.LOG"
