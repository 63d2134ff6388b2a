// The emulated machine has no device classes, and it keeps Drivers32 across
// its system starts: the registration there is all the driver needs.
#include "setup/mediadevice.h"

std::string registerMediaDevice(const std::string&, const std::string&) { return ""; }

std::string removeMediaDevice() { return ""; }
