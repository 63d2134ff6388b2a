// The file operations that wait for the next system start, as the setup
// program reports them. Each face of the platform keeps them its own way.
#pragma once

#include <string>
#include <vector>

struct PendingOperation {
  std::string source;
  std::string target;  // empty for a deletion
};

std::vector<PendingOperation> pendingFileOperations();
