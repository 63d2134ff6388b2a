// INI profiles with the platform's rules: a bare file name lives in the Windows
// directory; section and key names match without regard to case; blanks around
// names and values are dropped and a value's surrounding quotes removed; the
// first section and the first key of a name win.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

struct Line {
  std::string text;     // as in the file
  std::string section;  // set on section headers
  std::string key;      // set on key lines
  std::string value;
  bool isSection = false, isKey = false;
};

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string unquote(const std::string& v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) return v.substr(1, v.size() - 2);
  return v;
}

std::string profilePath(LPCSTR fileName) {
  if (!strpbrk(fileName, "\\/:")) return plat::windowsDirHost() + "/" + fileName;
  return plat::hostPath(fileName);
}

// A file name without a path may differ in case from the file on disk.
std::string existingProfilePath(LPCSTR fileName) {
  if (!strpbrk(fileName, "\\/:"))
    return plat::hostPath((plat::winPathFromHost(plat::windowsDirHost()) + "\\" + fileName).c_str());
  return plat::hostPath(fileName);
}

std::vector<Line> parse(const std::string& path) {
  std::vector<Line> lines;
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return lines;
  char buf[4096];
  std::string raw;
  while (fgets(buf, sizeof buf, f)) {
    raw += buf;
    if (raw.back() != '\n' && !feof(f)) continue;
    Line line;
    line.text = raw;
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) line.text.pop_back();
    raw.clear();
    std::string t = trim(line.text);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      line.isSection = true;
      line.section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else if (!t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos) {
        line.isKey = true;
        line.key = trim(t.substr(0, eq));
        line.value = unquote(trim(t.substr(eq + 1)));
      }
    }
    lines.push_back(line);
  }
  fclose(f);
  return lines;
}

// Copies a double-NUL list of names, cut to fit as the platform cuts it.
DWORD answerList(const std::vector<std::string>& names, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  DWORD n = 0;
  for (const std::string& name : names) {
    for (char c : name) {
      if (n >= size - 2) {
        out[n] = out[n + 1] = '\0';
        return size - 2;
      }
      out[n++] = c;
    }
    if (n >= size - 2) {
      out[n] = out[n + 1] = '\0';
      return size - 2;
    }
    out[n++] = '\0';
  }
  out[n] = '\0';
  return n;
}

DWORD answerString(const std::string& value, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  DWORD n = (DWORD)value.size() < size - 1 ? (DWORD)value.size() : size - 1;
  memcpy(out, value.data(), n);
  out[n] = '\0';
  return n;
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (!lpFileName || !lpReturnedString) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  // The default loses its trailing blanks, as on the platform.
  std::string def = lpDefault ? lpDefault : "";
  while (!def.empty() && def.back() == ' ') def.pop_back();
  // A file that cannot be read answers the default, as a missing key does,
  // with the reason in the last error.
  if (plat::faultHit("GetPrivateProfileStringA")) {
    DWORD n =
        lpAppName && lpKeyName ? answerString(def, lpReturnedString, nSize) : answerList({}, lpReturnedString, nSize);
    return plat::fail(ERROR_ACCESS_DENIED, n);
  }
  std::vector<Line> lines = parse(existingProfilePath(lpFileName));
  if (!lpAppName) {
    std::vector<std::string> sections;
    for (const Line& l : lines)
      if (l.isSection) sections.push_back(l.section);
    return answerList(sections, lpReturnedString, nSize);
  }
  bool inSection = false, seen = false;
  std::vector<std::string> keys;
  for (const Line& l : lines) {
    if (l.isSection) {
      if (seen && inSection) break;  // only the first section of that name counts
      inSection = strcasecmp(l.section.c_str(), lpAppName) == 0;
      seen |= inSection;
      continue;
    }
    if (!inSection || !l.isKey) continue;
    if (!lpKeyName) {
      keys.push_back(l.key);
    } else if (strcasecmp(l.key.c_str(), lpKeyName) == 0) {
      SetLastError(ERROR_SUCCESS);
      return answerString(l.value, lpReturnedString, nSize);
    }
  }
  if (!lpKeyName) return answerList(keys, lpReturnedString, nSize);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return answerString(def, lpReturnedString, nSize);
}

extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                                  LPCSTR lpFileName) {
  if (plat::faultHit("WritePrivateProfileStringA")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpAppName || !lpFileName) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  if (plat::isUncOrDevicePath(lpFileName)) return plat::fail(ERROR_BAD_PATHNAME, FALSE);
  std::string path = existingProfilePath(lpFileName);
  if (access(path.c_str(), F_OK) != 0) path = profilePath(lpFileName);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && !plat::makeDirs(path.substr(0, slash))) return plat::failErrno(FALSE);

  // Writers of one file are serialised by a lock on a file beside it.
  int lockFd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) return plat::failErrno(FALSE);
  flock(lockFd, LOCK_EX);
  std::vector<Line> lines = parse(path);
  std::vector<std::string> out;
  bool inSection = false, sectionFound = false, done = false;
  size_t sectionEnd = 0;  // index in `out` after the last line of the section
  for (const Line& l : lines) {
    if (l.isSection) {
      inSection = !done && strcasecmp(l.section.c_str(), lpAppName) == 0;
      if (inSection) sectionFound = true;
      if (inSection && !lpKeyName) continue;  // the section goes, header and all
    } else if (inSection && !lpKeyName) {
      continue;
    } else if (inSection && l.isKey && !done && strcasecmp(l.key.c_str(), lpKeyName) == 0) {
      if (lpString) out.push_back(l.key + "=" + lpString);
      done = true;
      continue;
    }
    out.push_back(l.text);
    if (inSection && !l.text.empty()) sectionEnd = out.size();
  }
  if (lpKeyName && lpString && !done) {
    if (sectionFound) {
      out.insert(out.begin() + (long)sectionEnd, std::string(lpKeyName) + "=" + lpString);
    } else {
      out.push_back(std::string("[") + lpAppName + "]");
      out.push_back(std::string(lpKeyName) + "=" + lpString);
    }
  }
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "we");
  bool ok = f != nullptr;
  if (f) {
    for (const std::string& s : out) ok = ok && fprintf(f, "%s\r\n", s.c_str()) >= 0;
    ok = fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
  }
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) SetLastError(plat::win32FromErrno(errno));
  unlink(tmp.c_str());
  flock(lockFd, LOCK_UN);
  close(lockFd);
  return ok ? TRUE : FALSE;
}
