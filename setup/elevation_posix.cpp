// Elevation on the emulated machine: there is none. Its registry and system
// directory belong to the user who runs it, so every process may change them.
#include <stdio.h>

#include "setup/elevation.h"

bool processElevated() { return true; }

int runElevatedWithReport(const std::vector<std::string>&) {
  fprintf(stderr, "KVSETUP: this machine has no elevation\n");
  return 1;
}
