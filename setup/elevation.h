// Elevation for installation and removal, which change the machine's
// registered drivers and system directory: whether this process may, and
// running this program again elevated, with the user's consent.
#pragma once

#include <string>
#include <vector>

// Whether this process runs elevated (may change the machine's settings).
bool processElevated();

// Runs this program again, elevated, with `args` and "/REPORT FILE", waits
// for it and shows the report it wrote to FILE; answers its exit code. When
// the user refuses, says to run it as administrator and answers 1: nothing was
// changed.
int runElevatedWithReport(const std::vector<std::string>& args);
