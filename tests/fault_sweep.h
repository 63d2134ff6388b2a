// What the fault sweep's test (fault_sweep_test.cpp) and its client process
// (fault_sweep_client.cpp) share: the steps of a session and their deadlines,
// and the platform calls a process has counted.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "kv/plat.h"

namespace faultsweep {

typedef std::map<std::string, unsigned> Counts;

inline const char* const kMidiSteps[] = {"open", "short", "long", "close"};
inline const char* const kWaveSteps[] = {"open", "write", "reset", "close"};
inline const int kStepDeadlineMs[] = {35000, 5000, 8000, 8000};

// What this process has counted so far.
inline Counts countedOps() {
  Counts c;
  char name[128];
  for (unsigned i = 0;; ++i) {
    unsigned n = platFaultCountedOp(i, name, sizeof name);
    if (n == 0) break;
    c[name] = n;
  }
  return c;
}

// The steps of a session of the device.
inline std::vector<std::string> steps(bool wave) {
  std::vector<std::string> out;
  for (const char* s : wave ? kWaveSteps : kMidiSteps) out.push_back(s);
  return out;
}

}  // namespace faultsweep
