// The emulated machine: the translation of Windows paths into host paths below
// its root, its code page setting, the liveness tokens of its processes and the
// file operations pending until the next system start.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace {

const char kWindowsDir[] = "C:\\WINDOWS";
const char kSystemDir[] = "C:\\WINDOWS\\system32";
const char kPendingFile[] = "pending-file-operations";

bool isSep(char c) { return c == '\\' || c == '/'; }

bool isDrivePrefix(const char* p) {
  return ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
}

// Appends `component` to the host directory `dir`, matching an existing entry
// without regard to case when there is no entry of exactly that name, as the
// platform's file systems do.
std::string joinComponent(const std::string& dir, const std::string& component) {
  std::string exact = dir.empty() ? component : (dir == "/" ? "/" + component : dir + "/" + component);
  if (component == "." || component == "..") return exact;
  struct stat st;
  if (lstat(exact.c_str(), &st) == 0) return exact;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return exact;
  std::string found;
  while (struct dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, component.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  if (found.empty()) return exact;
  return dir.empty() ? found : (dir == "/" ? "/" + found : dir + "/" + found);
}

// Follows the components of `rest` from the host directory `base`. The second
// byte of a double-byte character of the machine's code page is never a
// separator, also when it is 0x5C. On a drive, "." stays and ".." goes up but
// never above the drive's root, as on the platform (C:\.. is C:\); a relative
// host path keeps both for the host to follow.
std::string resolveComponents(std::string base, const char* rest, bool onDrive) {
  std::string component;
  std::vector<size_t> above;  // on a drive: the length of `base` before each component
  UINT codePage = 0;
  for (const char* p = rest;; ++p) {
    if ((BYTE)*p >= 0x80 && p[1] != '\0') {
      if (!codePage) codePage = GetACP();
      if (IsDBCSLeadByteEx(codePage, (BYTE)*p)) {
        component += *p++;
        component += *p;
        continue;
      }
    }
    if (*p == '\0' || isSep(*p)) {
      if (onDrive && component == "..") {
        if (!above.empty()) {
          base.resize(above.back());
          above.pop_back();
        }
      } else if (!component.empty() && !(onDrive && component == ".")) {
        above.push_back(base.size());
        base = joinComponent(base, component);
      }
      component.clear();
      if (*p == '\0') break;
    } else {
      component += *p;
    }
  }
  return base;
}

}  // namespace

namespace plat {

bool isUncOrDevicePath(const char* win) { return win && win[0] == '\\' && isSep(win[1]); }

std::string hostPath(const char* win) {
  if (!win || !*win || isUncOrDevicePath(win)) return std::string();
  if (win[0] == '/') return win;
  if (isDrivePrefix(win)) {
    char drive = (char)(win[0] | 0x20);
    return resolveComponents(machineRoot() + "/drive_" + drive, win + 2, true);
  }
  if (isSep(win[0])) return resolveComponents(machineRoot() + "/drive_c", win, true);
  // Relative to a current directory on a drive, as a path from that drive's root.
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd)) {
    std::string onDrive = winPathFromHost(cwd);
    if (isDrivePrefix(onDrive.c_str())) return hostPath((onDrive + "\\" + win).c_str());
  }
  return resolveComponents(std::string(), win, false);
}

bool hostPathFor(const char* win, std::string& host) {
  if (isUncOrDevicePath(win)) return fail(ERROR_BAD_PATHNAME, false);
  host = hostPath(win);
  return true;
}

std::string winPathFromHost(const std::string& host) {
  std::string prefix = machineRoot() + "/drive_";
  if (host.compare(0, prefix.size(), prefix) != 0 || host.size() < prefix.size() + 1) return host;
  char drive = host[prefix.size()];
  size_t restAt = prefix.size() + 1;
  if (restAt < host.size() && host[restAt] != '/') return host;
  std::string win;
  win += (char)(drive & ~0x20);
  win += ':';
  std::string rest = host.substr(restAt);
  if (rest.empty()) rest = "/";
  for (char& c : rest)
    if (c == '/') c = '\\';
  return win + rest;
}

std::string windowsDirHost() { return hostPath(kWindowsDir); }
std::string systemDirHost() { return hostPath(kSystemDir); }

namespace {

// Removes the entries of processes that have ended, however they ended: an
// entry stays until then, so that its absence always means an ended process.
// An entry not yet named is one whose process was killed between creating and
// locking it, unless that process still runs.
void sweepProcessEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string& name : names) {
    if (name[0] != '.') {
      processAlive(name);
    } else if (kill((pid_t)atoi(name.c_str() + 1), 0) != 0 && errno == ESRCH) {
      unlink((dir + "/" + name).c_str());
    }
  }
}

}  // namespace

const std::string& processToken() {
  // Never destroyed: modules' process detach at exit still asks for it.
  static std::mutex& lock = *new std::mutex;
  static std::string& token = *new std::string;
  static std::string& tokenRoot = *new std::string;
  std::lock_guard<std::mutex> g(lock);
  std::string root = machineRoot();
  if (!token.empty() && tokenRoot == root) return token;
  std::string dir = root + "/procs";
  makeDirs(dir);
  sweepProcessEntries(dir);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::string name = std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "-" + std::to_string(ts.tv_nsec);
  // The exclusive lock lives as long as the process: the kernel drops it when
  // the process ends, however it ends. The file gets its name only once it is
  // locked, so nobody can see it unlocked and take it for a dead process's.
  std::string pending = dir + "/." + name;
  int fd = open(pending.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0 && flock(fd, LOCK_EX) == 0) rename(pending.c_str(), (dir + "/" + name).c_str());
  token = name;
  tokenRoot = root;
  return token;
}

bool processAlive(const std::string& token) {
  if (token.empty()) return false;
  std::string path = machineRoot() + "/procs/" + token;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool alive = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  if (!alive) unlink(path.c_str());
  return alive;
}

}  // namespace plat

extern "C" BOOL platMachineInit(void) {
  std::string root = plat::machineRoot();
  bool ok = plat::makeDirs(root + "/drive_c") && plat::makeDirs(plat::windowsDirHost()) &&
            plat::makeDirs(plat::systemDirHost()) && plat::makeDirs(root + "/objects") &&
            plat::makeDirs(root + "/procs");
  return ok ? TRUE : plat::failErrno(FALSE);
}

extern "C" BOOL platHostPath(LPCSTR winPath, char* out, DWORD cbHost) {
  std::string host;
  if (!plat::hostPathFor(winPath, host)) return FALSE;
  if (host.size() + 1 > cbHost) return plat::fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  memcpy(out, host.c_str(), host.size() + 1);
  return TRUE;
}

extern "C" BOOL platSetAnsiCodePage(UINT codePage) {
  if (!platMachineInit()) return FALSE;
  std::string ini = plat::machineRoot() + "/" + plat::kMachineIni;
  bool ok = plat::iniWrite(ini, "machine", "acp", std::to_string(codePage).c_str());
  plat::forgetAnsiCodePage();
  return ok ? TRUE : plat::failErrno(FALSE);
}

// ---- file operations pending until the next system start ------------------------
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
