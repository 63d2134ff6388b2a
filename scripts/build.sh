#!/usr/bin/env bash
# Configures and builds one build directory: build.sh DIR [CMAKE OPTIONS...]
# The compilers run through ccache when it is there (scripts/setup.sh installs
# it): the test command builds the tree six ways, and a checkout that changed a
# few files recompiles those alone, in whatever directory it was cloned to.
set -euo pipefail
dir=$1
shift
source "$(dirname "$0")/ccache.sh"
cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=Debug "${KV_LAUNCHER[@]}" "$@" > /dev/null
cmake --build "$dir" -j"$(nproc)"
