// Pending file operations on the Linux platform: its own record, read through
// the platform's machine services; and the machine's registry store.
#include "kv/plat.h"
#include "kvplatform.h"
#include "setup/pending.h"

std::vector<PendingOperation> pendingFileOperations() {
  std::vector<PendingOperation> ops;
  char source[MAX_PATH], target[MAX_PATH];
  for (DWORD i = 0; platPendingFileOperation(i, source, sizeof source, target, sizeof target); ++i)
    ops.push_back({source, target});
  return ops;
}

std::string registryStoreName() {
  char path[4096];
  return platRegistryStorePath(path, sizeof path) ? path : platMachineRoot();
}

std::string registryStoreMend() {
  return "\"kvmachine renew-registry\" puts the damaged store aside (beside it) and starts a new, empty one; then "
         "install the driver again";
}
