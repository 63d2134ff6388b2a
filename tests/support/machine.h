// The machine the tests, the fuzzer and the benchmarks run the product on: the
// machine root made, the install directory C:\KV named in KELVASON.INI, and the
// build's host in it under its own name and the names the driver starts it by.
// No test framework here: the fuzzer and the benchmarks use it too.
#pragma once

#include <string>

namespace kvtest {

// The install directory, as KELVASON.INI names it.
const char kInstallDir[] = "C:\\KV";

// Sets up the machine of the current root for the build in `buildDir`, with
// KELVASON.INI naming the install directory as `iniDir` (C:\KV, with or
// without a trailing separator); answers "" or the step that failed.
std::string setUpProductMachine(const std::string& buildDir, const char* iniDir = kInstallDir);

}  // namespace kvtest
