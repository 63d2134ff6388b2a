#!/usr/bin/env bash
# Sets up, builds and runs the end-to-end demonstration on a machine of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
export KV_MACHINE_ROOT="${KV_MACHINE_ROOT:-$PWD/build/demo-machine}"
rm -rf "$KV_MACHINE_ROOT"
build/kvdemo
