// The registry's store as the machine's tools see it (kvmachine, kvreg, the
// setup program's report): where it is, whether it is intact, and a new store
// in place of a damaged one, which is kept beside it.
#include <string.h>

#include <string>

#include "registry_store.h"

namespace {

bool putText(const std::string& text, LPSTR buffer, DWORD cb) {
  if (!buffer || text.size() >= cb) return false;
  memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

extern "C" BOOL platRegistryStorePath(LPSTR path, DWORD cbPath) {
  return putText(plat::reg::storePathOf(plat::machineRoot()), path, cbPath);
}

extern "C" LSTATUS platRegistryCheck(void) { return plat::reg::checkStore(plat::machineRoot()); }

extern "C" LSTATUS platRegistryRenew(LPSTR aside, DWORD cbAside) {
  if (aside && cbAside) aside[0] = '\0';
  std::string name;
  LSTATUS st = plat::reg::renewStore(plat::machineRoot(), name);
  if (!name.empty()) putText(name, aside, cbAside);
  return st;
}
