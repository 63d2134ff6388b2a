#!/usr/bin/env bash
# Runs the Wine suite: wine-test.sh [BUILD_DIR] [GTEST_FILTER]
# (KV_WINE_SHOW=1: show every test's output, not only a failing one's)
# BUILD_DIR is a Windows build with -DKV_WINE_TESTS=ON (default
# build-mingw-x86_64, built here when it lacks the suite; a directory named
# *i686* is built for 32-bit Windows). A fresh 64-bit Wine prefix inside it,
# headless, with the programs where an installation puts them: a 32-bit build's
# module in SysWOW64, as on 64-bit Windows. Each
# test runs alone under a time limit, and the prefix's wineserver is ended
# after each test and at the end, so that nothing a test left running (a host,
# a held gate) reaches the next one. The settings window's tests
# (WineSettingsWindowTest) need a display: they run last, with Wine's X11
# driver on an X server of their own (Xvfb), and leave their screenshots in
# BUILD_DIR. When the setup file has been made, the 32-bit suite's setup file
# tests run in a second fresh prefix, where nothing of the product was put
# (KV_WINE_SETUP_TEST_TIMEOUT, 300 s, each).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-mingw-x86_64}
filter=${2:-*}
per_test_limit=${KV_WINE_TEST_TIMEOUT:-120}

if [ ! -f "$build/kvwinetests.exe" ]; then
  arch=x86_64
  case "$(basename "$build")" in *i686*) arch=i686 ;; esac
  scripts/build.sh "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKV_WINE_TESTS=ON
fi
build=$(cd "$build" && pwd)
# The build's bitness, from the suite's own file header.
if x86_64-w64-mingw32-objdump -f "$build/kvwinetests.exe" | grep -q 'pei-i386'; then
  system_dir_name=syswow64
  digits=16
  echo "== 32-bit programs, module in SysWOW64"
else
  system_dir_name=system32
  digits=64
  echo "== 64-bit programs, module in System32"
fi

export WINEARCH=win64
export WINEDEBUG=-all
# No runtime installers on first start (the suite needs neither), and no menu
# entries written into the user's desktop.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

end_wineserver() { wineserver -k 2> /dev/null || true; wineserver -w 2> /dev/null || true; }
# A sound server of the suite's own: PulseAudio with a null sink "kvtest",
# reached through PULSE_SERVER, so that every program under Wine plays to it
# through Wine's pulse driver (winekv.drv passes the audio layer's calls on to
# it) and none to the user's own server. For the tests whose names hold "Heard",
# parec records the sink's monitor (mono, 44100 Hz, 16-bit) into the file
# KV_WINE_MONITOR names, from before the test starts until it has ended.
pulse_dir="$build/pulse"
pulse_pid=
monitor_pid=
end_monitor() {
  if [ -n "$monitor_pid" ]; then kill "$monitor_pid" 2> /dev/null || true; wait "$monitor_pid" 2> /dev/null || true; fi
  monitor_pid=
}
xvfb_pid=""
end_all() {
  end_wineserver
  end_monitor
  if [ -n "$pulse_pid" ]; then kill "$pulse_pid" 2> /dev/null || true; wait "$pulse_pid" 2> /dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2> /dev/null || true; fi
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
pactl info > /dev/null 2>&1 || { echo "the suite's PulseAudio server did not start"; exit 1; }
export KV_WINE_MONITOR="$build/monitor.raw"

# A fresh prefix, headless, whose multimedia layer reaches the product's
# module through the suite's winekv.drv (put there by the caller).
make_prefix() {
  export WINEPREFIX=$1
  rm -rf "$WINEPREFIX"
  echo "== Wine prefix $WINEPREFIX"
  timeout 300 wineboot -i > /dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
  # Wine's multimedia layer loads wine<Audio>.drv: the suite's driver, which
  # forwards to the product's module.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d kv /f > /dev/null 2>&1
  # The desktop process started with a display; it starts again without one.
  end_wineserver
}

# The tests that the GoogleTest filter `$1` names, of the suite `$2` only
# when given, as the current prefix's suite lists them.
list_tests() {
  wine 'C:\kvtests\kvwinetests.exe' --gtest_list_tests "--gtest_filter=$1" 2> /dev/null | tr -d '\r' |
    awk -v only="${2:-}" '/^[^ ]/ { suite = $1 } /^  / && (only == "" || suite == only ".") { print suite $1 }'
  end_wineserver
}

# Runs each of the tests `$1` in the current prefix, alone, under `$2` seconds.
count=0
failed=()
run_tests() {
  local t start
  for t in $1; do
    count=$((count + 1))
    start=$(date +%s)
    rm -f "$KV_WINE_MONITOR"
    case "$t" in
      *Heard*)
        parec -d kvtest.monitor --raw --format=s16le --rate=44100 --channels=1 --latency-msec=10 > "$KV_WINE_MONITOR" &
        monitor_pid=$!
        ;;
    esac
    if (cd "$WINEPREFIX/drive_c/kvtests" && timeout -k 10 "$2" wine 'C:\kvtests\kvwinetests.exe' "--gtest_filter=$t" \
        > "$build/wine-test.log" 2>&1); then
      echo "ok    $t ($(($(date +%s) - start)) s)"
      [ "${KV_WINE_SHOW:-0}" = 1 ] && tr -d '\r' < "$build/wine-test.log" | grep -v '^\[ \|^\[-\|^Note: \|^$\|wine32\|multiarch\|dpkg' || true
    else
      echo "FAIL  $t ($(($(date +%s) - start)) s)"
      grep -v '^it looks like wine32\|^multiarch needs\|^execute "dpkg\|^apt-get install wine32' "$build/wine-test.log" |
        tr -d '\r' || true
      failed+=("$t")
    fi
    grep '^screenshot of ' "$build/wine-test.log" | tr -d '\r' || true
    end_wineserver
    end_monitor
  done
}

# Runs the tests `$1` with Wine's X11 driver on an X server of their own (the
# two suites of scripts/test.sh run side by side), which says its display
# number once it takes connections.
run_windowed_tests() {
  rm -f "$build/xvfb.display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$build/xvfb.display" 2> "$build/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 300); do
    [ -s "$build/xvfb.display" ] && break
    kill -0 "$xvfb_pid" 2> /dev/null || break
    sleep 0.1
  done
  if [ ! -s "$build/xvfb.display" ]; then
    echo "FAIL  the X server for the settings window did not start"
    cat "$build/xvfb.log"
    for t in $1; do
      count=$((count + 1))
      failed+=("$t")
    done
  else
    export DISPLAY=":$(head -n1 "$build/xvfb.display")"
    echo "== the settings window, on the X server $DISPLAY"
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f > /dev/null 2>&1
    end_wineserver
    run_tests "$1" "$per_test_limit"
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
    end_wineserver
    unset DISPLAY
  fi
  kill "$xvfb_pid" 2> /dev/null || true
  wait "$xvfb_pid" 2> /dev/null || true
  xvfb_pid=""
}

make_prefix "$build/wine-prefix"

drive_c="$WINEPREFIX/drive_c"
cp "$build/KVDRVR32.DLL" "$build/winekv.drv" "$drive_c/windows/$system_dir_name/"
mkdir -p "$drive_c/KV" "$drive_c/kvtests"
cp "$build/KVTSK$digits.EXE" "$build/KVSETUP.EXE" "$drive_c/KV/"
cp "$build/KVTSK$digits.EXE" "$drive_c/KV/KVMIDI$digits.EXE"
cp "$build/KVTSK$digits.EXE" "$drive_c/KV/KVWAVE$digits.EXE"
cp "$build/KVDRVR32.DLL" "$drive_c/KV/"
printf '[KelvasongSetup]\r\nKVDirectory=C:\\KV\r\n' > "$drive_c/windows/KELVASON.INI"
# The suite reads the host's records, which it keeps only when told to.
printf '[Host]\r\nMidiRecord=KVMIDIIN\r\nWaveRecord=KVWAVEOUT\r\n' > "$drive_c/KV/KVHOST.INI"
cp "$build/kvwinetests.exe" "$drive_c/kvtests/"
# The Windows package (scripts/package.sh), when made: the 32-bit suite
# installs it whole with its own setup program and plays from clients of both
# bitnesses, the 64-bit one being the x86_64 suite's binary (KV_WINE_PACKAGE:
# another package folder).
package=${KV_WINE_PACKAGE:-build-package/Kelvasong}
if [ "$digits" = 16 ] && [ -f "$package/KVSETUP.EXE" ] && [ -f build-mingw-x86_64/kvwinetests.exe ]; then
  echo "== the package $package in C:\PKG"
  cp -r "$package" "$drive_c/PKG"
  mkdir -p "$drive_c/kvtests/x64"
  cp build-mingw-x86_64/kvwinetests.exe "$drive_c/kvtests/x64/"
  cp build-mingw-x86_64/winekv.drv "$drive_c/windows/system32/"
fi

# The setup file's tests have a prefix of their own, below; the settings
# window's run last, on a display.
case "$filter" in
  *-*) main_filter="$filter:WineSetupFileTest.*:WineSettingsWindowTest.*" ;;
  *) main_filter="$filter-WineSetupFileTest.*:WineSettingsWindowTest.*" ;;
esac
setup_file_tests=$(list_tests "$filter" WineSetupFileTest)
windowed_tests=$(list_tests "$filter" WineSettingsWindowTest)
run_tests "$(list_tests "$main_filter")" "$per_test_limit"
[ -n "$windowed_tests" ] && run_windowed_tests "$windowed_tests"

# The setup file (scripts/package.sh), when made: the 32-bit suite installs it
# in a fresh prefix of its own, where nothing of the product was put, and
# plays from clients of both bitnesses (KV_WINE_SETUP_FILE: another file,
# beside its package folder).
setup_file=${KV_WINE_SETUP_FILE:-$(dirname "$package")/KelvasongSetup.exe}
if [ "$digits" = 16 ] && [ -n "$setup_file_tests" ] && [ -f "$setup_file" ] && [ -f "$package/KVSETUP.EXE" ] &&
  [ -f build-mingw-x86_64/kvwinetests.exe ]; then
  make_prefix "$build/wine-prefix-setup"
  drive_c="$WINEPREFIX/drive_c"
  echo "== the setup file $setup_file in C:\SETUP"
  cp "$build/winekv.drv" "$drive_c/windows/syswow64/"
  cp build-mingw-x86_64/winekv.drv "$drive_c/windows/system32/"
  mkdir -p "$drive_c/kvtests/x64" "$drive_c/SETUP"
  cp "$build/kvwinetests.exe" "$drive_c/kvtests/"
  cp build-mingw-x86_64/kvwinetests.exe "$drive_c/kvtests/x64/"
  cp "$setup_file" "$drive_c/SETUP/KelvasongSetup.exe"
  # What the setup file holds, to compare the installation with.
  cp -r "$package" "$drive_c/SETUP/Kelvasong"
  run_tests "$setup_file_tests" "${KV_WINE_SETUP_TEST_TIMEOUT:-300}"
fi
echo "== Wine suite: $count tests, ${#failed[@]} failed"
[ "$count" -gt 0 ] && [ ${#failed[@]} -eq 0 ]
