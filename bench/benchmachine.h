// The machine a benchmark runs on: a fresh emulated machine of its own, with
// the synthesizer host copied into the install directory C:\KV.
#pragma once

#include <stdlib.h>

#include <string>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "tests/support/machine.h"

// The build directory, from the benchmark's own path (BUILD/bench/NAME).
inline std::string benchBuildDir(const char* argv0) {
  std::string dir = argv0;
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir.substr(0, dir.find_last_of('/'));
}

// Makes a new machine root below /tmp for this process and installs the
// product's host there, as the tests do; the root's path, or "" when that
// failed.
inline std::string benchMachine(const std::string& buildDir) {
  char root[] = "/tmp/kvbench-XXXXXX";
  if (!mkdtemp(root)) return "";
  setenv(PLAT_ROOT_ENV, root, 1);
  return kvtest::setUpProductMachine(buildDir).empty() ? root : "";
}
