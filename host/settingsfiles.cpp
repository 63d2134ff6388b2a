// The host's two settings files (see settingsfiles.h): where they are, and
// the user's written whole or not at all.
#include "host/settingsfiles.h"

// The shell's declarations need the system's own first.
// clang-format off
#include "kvplatform.h"
#include <shlobj.h>
// clang-format on

#include "hostlink/protocol.h"

const char kMachineSettingsLabel[] = "KVHOST.INI";
const char kUserSettingsLabel[] = "the user's KVHOST.INI";

namespace {

const char kNewSuffix[] = ".new";

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool sameName(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// The section a header line names; false for any other line.
bool sectionHeader(const std::string& line, std::string* name) {
  std::string t = trim(line);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  *name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// The key a key line sets; false for comments and other lines.
bool keyLine(const std::string& line, std::string* key) {
  std::string t = trim(line);
  size_t eq = t.find('=');
  if (t.empty() || t[0] == ';' || eq == std::string::npos) return false;
  *key = trim(t.substr(0, eq));
  return true;
}

std::string errorText(const char* what, const std::string& path) {
  return std::string("cannot ") + what + " " + path + " (error " + std::to_string(GetLastError()) + ")";
}

// The whole file; "" for a file that is not there. False when it is there but
// cannot be read: then nothing may be written over it.
bool readWhole(const std::string& path, std::string* text, std::string* why) {
  text->clear();
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    *why = errorText("read", path);
    return false;
  }
  char buffer[4096];
  DWORD n = 0;
  bool ok;
  while ((ok = ReadFile(f, buffer, sizeof buffer, &n, nullptr) != 0) && n > 0) text->append(buffer, n);
  if (!ok) *why = errorText("read", path);
  CloseHandle(f);
  return ok;
}

}  // namespace

std::string userSettingsFile(bool create) {
  char folder[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0), nullptr, SHGFP_TYPE_CURRENT,
                       folder) != S_OK)
    return "";
  std::string own = std::string(folder) + "\\" + KV_USER_SETTINGS_FOLDER;
  if (create && !CreateDirectoryA(own.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return "";
  return own + "\\" + KV_HOST_INI_FILE;
}

SettingsFiles settingsFiles(const std::string& installDir) {
  SettingsFiles files;
  files.user = userSettingsFile(false);
  files.machine = installDir + "\\" + KV_HOST_INI_FILE;
  return files;
}

bool settingIn(const std::string& file, const char* key, std::string* value) {
  if (file.empty()) return false;
  // A value cannot hold a line break, so this default is never a value.
  const char absent[] = "\n";
  char text[MAX_PATH * 2];
  GetPrivateProfileStringA(KV_HOST_INI_SECTION, key, absent, text, sizeof text, file.c_str());
  if (text[0] == '\n' && text[1] == '\0') return false;
  *value = text;
  return true;
}

std::string editIniSection(const std::string& text, const char* section, const std::vector<SettingChange>& changes) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  std::vector<bool> done(changes.size(), false);
  std::vector<std::string> out;
  bool inSection = false, seen = false;
  size_t sectionEnd = 0;  // in `out`, after the section's last line that is not blank
  for (const std::string& line : lines) {
    std::string name, key;
    if (sectionHeader(line, &name)) {
      inSection = !seen && sameName(name, section);
      if (inSection) {
        seen = true;
        sectionEnd = out.size() + 1;
      }
    } else if (inSection && keyLine(line, &key)) {
      size_t i = 0;
      while (i < changes.size() && !sameName(changes[i].key, key)) ++i;
      if (i < changes.size()) {
        if (!done[i] && !changes[i].remove) {
          out.push_back(changes[i].key + "=" + changes[i].value);
          sectionEnd = out.size();
        }
        done[i] = true;
        continue;
      }
    }
    out.push_back(line);
    if (inSection && !trim(line).empty()) sectionEnd = out.size();
  }
  std::vector<std::string> added;
  for (size_t i = 0; i < changes.size(); ++i)
    if (!done[i] && !changes[i].remove) added.push_back(changes[i].key + "=" + changes[i].value);
  if (!seen) {
    if (!out.empty() && !trim(out.back()).empty()) out.push_back("");
    out.push_back(std::string("[") + section + "]");
    sectionEnd = out.size();
  }
  out.insert(out.begin() + (long)sectionEnd, added.begin(), added.end());
  std::string result;
  for (const std::string& line : out) result += line + "\r\n";
  return result;
}

bool writeUserSettings(const std::string& file, const std::vector<SettingChange>& changes, std::string* why) {
  for (const SettingChange& c : changes) {
    if (c.value.find_first_of("\r\n") != std::string::npos || c.key.find_first_of("\r\n=[];") != std::string::npos) {
      *why = "a setting cannot hold a line break: " + c.key;
      return false;
    }
  }
  std::string old;
  if (!readWhole(file, &old, why)) return false;
  std::string text = editIniSection(old, KV_HOST_INI_SECTION, changes);
  // The user's folder of the product is made with the first settings.
  size_t sep = file.find_last_of("\\/");
  if (sep != std::string::npos) CreateDirectoryA(file.substr(0, sep).c_str(), nullptr);
  std::string fresh = file + kNewSuffix;
  HANDLE f = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    *why = errorText("create", fresh);
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size();
  if (!ok) *why = errorText("write", fresh);
  if (ok && !(ok = FlushFileBuffers(f) != 0)) *why = errorText("flush", fresh);
  CloseHandle(f);
  // One replace: a reader finds the old file or the new one, whole.
  if (ok && !(ok = MoveFileExA(fresh.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0))
    *why = errorText("replace", file);
  if (!ok) {
    DWORD error = GetLastError();
    DeleteFileA(fresh.c_str());
    SetLastError(error);
  }
  return ok;
}
