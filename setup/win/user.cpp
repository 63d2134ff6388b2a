// The user on Windows. An elevated run entered with an administrator's
// credentials runs as the administrator, in the session of the user who asked
// for it: that session's user (the terminal services' answer, the account
// looked up by name) is the one whose settings are meant. Its registry is
// loaded below HKEY_USERS while it is logged on, and the registry's override
// of a predefined key makes it this process's HKEY_CURRENT_USER, also for the
// driver module's exports called in this process.
// clang-format off
#include "kvplatform.h"
#include <sddl.h>
#include <wtsapi32.h>
// clang-format on

#include "setup/user.h"

namespace {

std::string sidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "";
  std::string s = text;
  LocalFree(text);
  return s;
}

std::string sessionText(WTS_INFO_CLASS what) {
  LPSTR text = nullptr;
  DWORD size = 0;
  if (!WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, what, &text, &size) || !text)
    return "";
  std::string s = text;
  WTSFreeMemory(text);
  return s;
}

}  // namespace

std::string processUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } info;
  DWORD size = 0;
  std::string sid;
  if (GetTokenInformation(token, TokenUser, &info, sizeof info, &size)) sid = sidText(info.user.User.Sid);
  CloseHandle(token);
  return sid;
}

std::string sessionUserSid() {
  std::string user = sessionText(WTSUserName);
  if (user.empty()) return "";
  std::string domain = sessionText(WTSDomainName);
  std::string account = domain.empty() ? user : domain + "\\" + user;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  char referenced[256];
  DWORD referencedSize = sizeof referenced;
  SID_NAME_USE use;
  if (!LookupAccountNameA(nullptr, account.c_str(), sid, &sidSize, referenced, &referencedSize, &use)) return "";
  return sidText(sid);
}

bool useRegistryOf(const std::string& sid, std::string* why) {
  HKEY hive = nullptr;
  LSTATUS st = RegOpenKeyExA(HKEY_USERS, sid.c_str(), 0, KEY_ALL_ACCESS, &hive);
  if (st != ERROR_SUCCESS) {
    *why = st == ERROR_FILE_NOT_FOUND ? "the account's registry is not loaded (is it logged on?)"
                                      : "its registry cannot be opened (error " + std::to_string(st) + ")";
    return false;
  }
  st = RegOverridePredefKey(HKEY_CURRENT_USER, hive);
  RegCloseKey(hive);
  if (st != ERROR_SUCCESS) {
    *why = "HKEY_CURRENT_USER cannot be pointed at it (error " + std::to_string(st) + ")";
    return false;
  }
  return true;
}
