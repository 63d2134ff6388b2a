#!/usr/bin/env bash
# Sets up, builds and runs the end-to-end demonstration on a machine of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
export KV_MACHINE_ROOT="${KV_MACHINE_ROOT:-$PWD/build/demo-machine}"
rm -rf "$KV_MACHINE_ROOT"
build/kvdemo

# The project's own short piece, played through the installed driver: heard on
# the user's sound server when one is reachable, and left as the rendered WAV
# next to the host's record.
play_piece() {
  local piece="$KV_MACHINE_ROOT/kvpiece.mid" kv
  build/kvpiece "$piece"
  build/kvplay "$piece"
  kv="$(build/kvmachine path 'C:\KV')"
  echo "the piece as the synthesizer rendered it: $kv/KVMIDIIN.WAV (the messages it received: $kv/KVMIDIIN.TXT)"
}
play_piece
