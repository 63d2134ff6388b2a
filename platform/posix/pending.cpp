// File operations pending until the next system start (MoveFileExA with
// MOVEFILE_DELAY_UNTIL_REBOOT), kept in pending-file-operations in the machine
// root, and the system start that carries them out in the order they were
// recorded.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

const char kPendingFile[] = "pending-file-operations";

}  // namespace

// One record per line: flags, tab, source host path, tab, target host path
// (empty for a deletion). Appends are serialised by an exclusive file lock.

namespace plat {

bool recordPendingFileOperation(const std::string& source, const std::string& target, DWORD flags) {
  if (!platMachineInit()) return false;
  std::string path = machineRoot() + "/" + kPendingFile;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  flock(fd, LOCK_EX);
  std::string line = std::to_string(flags) + "\t" + source + "\t" + target + "\n";
  bool ok = write(fd, line.data(), line.size()) == (ssize_t)line.size() && fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace plat

namespace {

struct PendingOperation {
  DWORD flags;
  std::string source, target;  // host paths; no target: a deletion
};

// The records of the open pending-operations file, in the order they were made.
std::vector<PendingOperation> readPendingOperations(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  std::vector<PendingOperation> ops;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) continue;
    ops.push_back({(DWORD)strtoul(line.c_str(), nullptr, 10), line.substr(t1 + 1, t2 - t1 - 1), line.substr(t2 + 1)});
  }
  return ops;
}

}  // namespace

extern "C" BOOL platPendingFileOperation(DWORD index, LPSTR source, DWORD cbSource, LPSTR target, DWORD cbTarget) {
  std::string path = plat::machineRoot() + "/" + kPendingFile;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return plat::fail(ERROR_NO_MORE_ITEMS, FALSE);
  flock(fd, LOCK_SH);
  std::vector<PendingOperation> ops = readPendingOperations(fd);
  close(fd);
  if (index >= ops.size()) return plat::fail(ERROR_NO_MORE_ITEMS, FALSE);
  const PendingOperation& op = ops[index];
  std::string from = plat::winPathFromHost(op.source);
  std::string to = op.target.empty() ? std::string() : plat::winPathFromHost(op.target);
  if (source && cbSource) lstrcpynA(source, from.c_str(), (int)cbSource);
  if (target && cbTarget) lstrcpynA(target, to.c_str(), (int)cbTarget);
  return TRUE;
}

extern "C" int platSystemStart(void) {
  std::string path = plat::machineRoot() + "/" + kPendingFile;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  flock(fd, LOCK_EX);
  int failures = 0;
  for (const PendingOperation& op : readPendingOperations(fd)) {
    bool ok;
    if (op.target.empty()) {
      // A file that is already gone is as deleted as it can be.
      ok = unlink(op.source.c_str()) == 0 || errno == ENOENT;
    } else {
      struct stat st;
      bool exists = stat(op.target.c_str(), &st) == 0;
      ok = (!exists || (op.flags & MOVEFILE_REPLACE_EXISTING)) && rename(op.source.c_str(), op.target.c_str()) == 0;
    }
    if (!ok) ++failures;
  }
  if (ftruncate(fd, 0) != 0) ++failures;
  close(fd);
  unlink(path.c_str());
  return failures;
}
