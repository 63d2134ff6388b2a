// Pending file operations on the Linux platform: its own record, read through
// the platform's machine services.
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
