// The machine root: the host directory the emulated machine lives in.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "internal.h"

namespace {

std::string defaultRoot() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state && *state) return std::string(state) + "/kvmachine";
  const char* home = getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/state/kvmachine";
  return "/tmp/kvmachine-" + std::to_string(getuid());
}

}  // namespace

namespace plat {

std::string machineRoot() {
  const char* env = getenv(PLAT_ROOT_ENV);
  std::string root = (env && *env) ? env : defaultRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

bool makeDirs(const std::string& path) {
  if (path.empty()) return true;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeDirs(path.substr(0, slash))) return false;
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace plat

extern "C" const char* platMachineRoot(void) {
  // A plain buffer: it still works while a module's process detach runs at
  // exit, after the thread's thread_local objects have been destroyed.
  static thread_local char root[PATH_MAX];
  std::string r = plat::machineRoot();
  snprintf(root, sizeof root, "%s", r.c_str());
  return root;
}

extern "C" BOOL platMachineInit(void) {
  std::string root = plat::machineRoot();
  bool ok = plat::makeDirs(root + "/drive_c") && plat::makeDirs(plat::windowsDirHost()) &&
            plat::makeDirs(plat::systemDirHost()) && plat::makeDirs(root + "/objects") &&
            plat::makeDirs(root + "/procs");
  return ok ? TRUE : plat::failErrno(FALSE);
}
