// What installation and removal change on the machine (the driver's aliases,
// the mapper's values and their saved set, the file operations pending until
// the system start, the host copies in the install directory), and the setup
// program's report of it.
#pragma once

#include <stddef.h>

#include <map>
#include <string>
#include <vector>

#include "setup/pending.h"

// What installation and removal change, looked at before and after.
struct MachineState {
  std::map<std::string, std::string> aliases;
  std::map<std::string, std::string> mapper;
  bool mapperSaved = false;
  std::vector<PendingOperation> pending;
  std::string installDir;
  bool hostCopies[2] = {};
};

MachineState lookAtMachine();
// Tells, in plain words, that the registry cannot be read because its store is
// damaged; true then. Nothing is read from it or written to it after that.
bool registryDamaged();
bool fileExists(const std::string& path);
// Whether this driver holds a MIDI or a wave alias.
void ownAliases(const MachineState& s, bool& midi, bool& wave);
// Says, in plain words, what differs between before and after.
void tellChanges(const MachineState& before, const MachineState& after);
// What an installation that answered -1 did not get done.
void tellInstallFailures(const MachineState& after);
// What a removal that answered -1 did not get done.
void tellRemoveFailures(const MachineState& before, const MachineState& after);
// Registers the restart-proof media device with the aliases the installation
// chose, or removes it, and says what it did.
void tellMediaDevice(const MachineState& after, bool installing);
// The length of an install directory too long for the paths of the host
// copies in it, which makes the driver refuse to install or remove anything;
// 0 when it fits. `longest` is the longest that fits.
size_t tooLongInstallDir(size_t& longest);
