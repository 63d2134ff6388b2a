// Pending file operations on Windows: the session manager's list, pairs of
// NT paths in one multi-string; an empty target is a deletion, a target with
// a leading '!' replaces an existing file, and current Windows puts a "*1"
// (a star and digits) before some paths.
#include "kvplatform.h"
#include "setup/pending.h"

namespace {

std::string dosPath(std::string path) {
  for (;;) {
    if (!path.empty() && path[0] == '!') {
      path.erase(0, 1);
    } else if (!path.empty() && path[0] == '*') {
      size_t digits = path.find_first_not_of("0123456789", 1);
      path.erase(0, digits == std::string::npos ? path.size() : digits);
    } else {
      break;
    }
  }
  if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
  return path;
}

}  // namespace

std::vector<PendingOperation> pendingFileOperations() {
  std::vector<PendingOperation> ops;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ops;
  DWORD size = 0, type = 0;
  std::string data;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ && size > 0) {
    data.resize(size);
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                         &size) != ERROR_SUCCESS)
      data.clear();
    data.resize(size);
  }
  RegCloseKey(key);
  std::vector<std::string> strings;
  for (size_t pos = 0; pos < data.size();) {
    size_t end = data.find('\0', pos);
    if (end == std::string::npos) end = data.size();
    strings.push_back(data.substr(pos, end - pos));
    pos = end + 1;
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    if (strings[i].empty()) break;
    ops.push_back({dosPath(strings[i]), dosPath(strings[i + 1])});
  }
  return ops;
}

std::string registryStoreName() { return "the system registry"; }

std::string registryStoreMend() { return ""; }
