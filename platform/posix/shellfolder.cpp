// The shell's known folders: a user's application data below the machine's
// drive C, in the user's profile as Windows lays it out.
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "internal.h"
#include "kv/shell.h"

namespace {

// The account the process runs as names its profile, as on the platform.
std::string userName() {
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name[0])
    return found->pw_name;
  return "User";
}

}  // namespace

extern "C" HRESULT WINAPI SHGetFolderPathA(HWND, int csidl, HANDLE, DWORD, LPSTR pszPath) {
  if (!pszPath) return E_INVALIDARG;
  pszPath[0] = '\0';
  if ((csidl & ~CSIDL_FLAG_CREATE) != CSIDL_APPDATA) return E_INVALIDARG;
  if (plat::faultHit("SHGetFolderPathA")) return E_FAIL;
  std::string folder = "C:\\Users\\" + userName() + "\\AppData\\Roaming";
  if (folder.size() >= MAX_PATH || !plat::makeDirs(plat::hostPath(folder.c_str()))) return E_FAIL;
  memcpy(pszPath, folder.c_str(), folder.size() + 1);
  return S_OK;
}
