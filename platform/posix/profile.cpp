// INI profiles: the API over the INI files of ini.cpp, where a bare file name
// lives in the Windows directory.
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace {

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
  std::string path = existingProfilePath(lpFileName);
  if (!lpAppName || !lpKeyName) return answerList(plat::iniNames(path, lpAppName), lpReturnedString, nSize);
  std::string value;
  if (plat::iniValue(path, lpAppName, lpKeyName, value)) {
    SetLastError(ERROR_SUCCESS);
    return answerString(value, lpReturnedString, nSize);
  }
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
  return plat::iniWrite(path, lpAppName, lpKeyName, lpString) ? TRUE : plat::failErrno(FALSE);
}
