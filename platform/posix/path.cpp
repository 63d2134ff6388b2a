// Path names: the machine's directories, full and short path names.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

// Copies `text` out with the platform's rule for path queries: the length
// without terminator when it fits, otherwise the size needed with terminator
// and the buffer left alone.
DWORD answerPath(const std::string& text, LPSTR out, DWORD size) {
  if (text.size() + 1 > size) return (DWORD)text.size() + 1;
  memcpy(out, text.c_str(), text.size() + 1);
  return (DWORD)text.size();
}

bool isSep(char c) { return c == '\\' || c == '/'; }

// Removes "." and ".." components; `prefix` chars at the front are kept as the root.
std::string normalise(const std::string& path, size_t prefix, char sep) {
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = prefix; i <= path.size(); ++i) {
    if (i == path.size() || isSep(path[i])) {
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part += path[i];
    }
  }
  std::string out = path.substr(0, prefix);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  if (!path.empty() && isSep(path.back()) && !parts.empty()) out += sep;
  return out;
}

std::string currentDirectory() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) return std::string();
  return plat::winPathFromHost(buf);
}

// Directory for the blank-free names that stand for paths with blanks.
std::string shortNameDir() {
  std::string root = plat::machineRoot();
  if (root.find_first_of(" \t") == std::string::npos) return root + "/shortnames";
  return "/tmp/kvshortnames-" + std::to_string(getuid());
}

}  // namespace

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (plat::faultHit("GetSystemDirectoryA")) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  platMachineInit();
  return answerPath(plat::winPathFromHost(plat::systemDirHost()), lpBuffer, uSize);
}

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  if (plat::faultHit("GetWindowsDirectoryA")) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  platMachineInit();
  return answerPath(plat::winPathFromHost(plat::windowsDirHost()), lpBuffer, uSize);
}

extern "C" DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  if (plat::faultHit("GetCurrentDirectoryA")) return plat::fail(ERROR_ACCESS_DENIED, 0u);
  std::string cwd = currentDirectory();
  if (cwd.empty()) return plat::failErrno(0u);
  return answerPath(cwd, lpBuffer, nBufferLength);
}

extern "C" DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  if (plat::faultHit("GetFullPathNameA")) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  if (!lpFileName || !*lpFileName) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  if (plat::isUncOrDevicePath(lpFileName)) return plat::fail(ERROR_BAD_PATHNAME, 0u);
  std::string in = lpFileName, full;
  if (in[0] == '/') {
    full = normalise(in, 1, '/');
  } else if (in.size() >= 2 && in[1] == ':') {
    std::string rest = in.size() > 2 && isSep(in[2]) ? in.substr(2) : "\\" + in.substr(2);
    full = normalise(in.substr(0, 2) + rest, 3, '\\');
  } else if (isSep(in[0])) {
    full = normalise("C:" + in, 3, '\\');
  } else {
    std::string cwd = currentDirectory();
    char sep = cwd.empty() || cwd[0] == '/' ? '/' : '\\';
    full = normalise(cwd + sep + in, sep == '/' ? 1 : 3, sep);
  }
  DWORD n = answerPath(full, lpBuffer, nBufferLength);
  if (lpFilePart && n < nBufferLength) {
    size_t sep = full.find_last_of("\\/");
    size_t at = sep == std::string::npos ? 0 : sep + 1;
    *lpFilePart = at < full.size() ? lpBuffer + at : nullptr;
  }
  return n;
}

// The file system has no short names. A path without blanks is its own short
// name; a path with blanks gets a blank-free link in the machine that locates
// the same file, so it can stand as one token on a command line.
extern "C" DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer) {
  if (plat::faultHit("GetShortPathNameA")) return plat::fail(ERROR_FILE_NOT_FOUND, 0u);
  if (!lpszLongPath) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  std::string longPath = lpszLongPath, host;
  if (!plat::hostPathFor(longPath.c_str(), host)) return 0;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return plat::failErrno(0u);
  if (longPath.find_first_of(" \t") == std::string::npos) return answerPath(longPath, lpszShortPath, cchBuffer);

  char real[PATH_MAX];
  if (!realpath(host.c_str(), real)) return plat::failErrno(0u);
  unsigned long long h = 1469598103934665603ull;
  for (const char* p = real; *p; ++p) h = (h ^ (unsigned char)*p) * 1099511628211ull;
  std::string base = strrchr(real, '/') + 1;
  for (char& c : base)
    if (c == ' ' || c == '\t') c = '_';
  char dirName[32];
  snprintf(dirName, sizeof dirName, "%016llx", h);
  std::string dir = shortNameDir() + "/" + dirName;
  std::string link = dir + "/" + base;
  if (!plat::makeDirs(dir)) return plat::failErrno(0u);
  char target[PATH_MAX];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n < 0 || std::string(target, (size_t)n) != real) {
    unlink(link.c_str());
    if (symlink(real, link.c_str()) != 0 && errno != EEXIST) return plat::failErrno(0u);
  }
  return answerPath(plat::winPathFromHost(link), lpszShortPath, cchBuffer);
}
