// What the setup program reports that each face of the platform keeps its own
// way: the file operations that wait for the next system start, and where the
// registry lives.
#pragma once

#include <string>
#include <vector>

struct PendingOperation {
  std::string source;
  std::string target;  // empty for a deletion
};

std::vector<PendingOperation> pendingFileOperations();

// Where the registry is kept, for telling the user it is damaged, and what
// mends it, in plain words ("" when nothing does).
std::string registryStoreName();
std::string registryStoreMend();
