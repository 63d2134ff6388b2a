// Installation and removal of the driver, exported for the program that
// installs the product. Both run on the caller's thread and answer 0 when every
// essential step was done, or -1 at the first that failed; nothing is rolled
// back, except that a failing installation deletes the temporary copy of the
// module it made.
#pragma once

#include "kvplatform.h"

// Removes an earlier registration, stages a copy of this module in the system
// directory to replace KVDRVR32.DLL there at the next system start, registers
// a MIDI and a wave alias with their descriptions, saves the user's MIDI mapper
// settings and points the mapper at this driver, and makes the host copies.
extern "C" int WINAPI kvInstallDriverNT(void);

// Deletes the host copies, gives the user's mapper settings back, unregisters
// every alias of this driver with its descriptions and device entries, and
// records the deletion of KVDRVR32.DLL in the system directory for the next
// system start.
extern "C" int WINAPI kvRemoveDriverNT(void);
