// A module built from the driver's own shared-section definitions, exporting the
// names block as well, so tests can look at both sections from outside.
#include "hostlink/shared.h"

extern "C" __attribute__((visibility("default"))) SharedNames* sectionTestNames() { return &kvSharedDA.names; }
