// Windows paths on the emulated machine: where a Windows path lies below the
// machine root (drive C: is <root>/drive_c), matched without regard to case as
// the platform's file systems match names, and the Windows path of a host path.
#include <dirent.h>
#include <limits.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

const char kDefaultWindowsDir[] = "C:\\WINDOWS";

// Where the machine's Windows is installed: its configuration may name another
// directory, as a machine installed elsewhere (D:\WINNT, or a long path) has.
std::string windowsDir() {
  std::string dir;
  if (!plat::iniValue(plat::machineRoot() + "/" + plat::kMachineIni, "machine", "windir", dir) || dir.empty())
    return kDefaultWindowsDir;
  return dir;
}

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

std::string windowsDirHost() { return hostPath(windowsDir().c_str()); }
std::string systemDirHost() { return hostPath((windowsDir() + "\\system32").c_str()); }

}  // namespace plat

extern "C" BOOL platHostPath(LPCSTR winPath, char* out, DWORD cbHost) {
  std::string host;
  if (!plat::hostPathFor(winPath, host)) return FALSE;
  if (host.size() + 1 > cbHost) return plat::fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  memcpy(out, host.c_str(), host.size() + 1);
  return TRUE;
}

extern "C" BOOL platSetWindowsDirectory(LPCSTR winDir) {
  std::string root = plat::machineRoot();
  if (!plat::makeDirs(root)) return plat::failErrno(FALSE);
  bool ok = plat::iniWrite(root + "/" + plat::kMachineIni, "machine", "windir", winDir && *winDir ? winDir : nullptr);
  return ok && platMachineInit() ? TRUE : plat::failErrno(FALSE);
}
