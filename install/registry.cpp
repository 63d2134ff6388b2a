// Registry value operations: the reads, writes and deletions that installation
// and removal are written on. Every key opened here is closed before the
// operation answers.
#include "install/registry.h"

namespace {

// The data that asks for a key to be deleted with its whole subtree.
const char szForceText[] = "Force";

// Subkey names are at most 255 characters.
const DWORD cchSubKeyName = 256;

bool isStringType(DWORD dwType) { return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ; }

// True when the cbData bytes at pbData, read as a string, are "Force".
bool isForceText(const BYTE* pbData, DWORD cbData) {
  if (!pbData) return false;
  DWORD i = 0;
  for (; i < cbData && szForceText[i] != '\0'; ++i)
    if (pbData[i] != (BYTE)szForceText[i]) return false;
  return szForceText[i] == '\0' && (i == cbData || pbData[i] == '\0');
}

int setValue(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, const BYTE* pbData, DWORD cbData, DWORD dwType) {
  HKEY hKey;
  if (RegCreateKeyExA(hRoot, szSubKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS) return -1;
  LONG lResult = RegSetValueExA(hKey, szValueName, 0, dwType, pbData, cbData);
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS ? 0 : -1;
}

int deleteValue(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName) {
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, szSubKey, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) return -1;
  LONG lResult = RegDeleteValueA(hKey, szValueName);
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS ? 0 : -1;
}

// Subkeys go before their parent, depth first. After a subkey is removed the
// next one has moved up to the same index; a subkey that stays is stepped
// over, so that the others still go. The answer is that of deleting the key.
int deleteKeyTree(HKEY hRoot, LPCSTR szSubKey) {
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &hKey) != ERROR_SUCCESS)
    return -1;
  CHAR szName[cchSubKeyName];
  DWORD dwIndex = 0;
  for (;;) {
    DWORD cchName = cchSubKeyName;
    LONG lResult = RegEnumKeyExA(hKey, dwIndex, szName, &cchName, NULL, NULL, NULL, NULL);
    if (lResult == ERROR_MORE_DATA) {
      ++dwIndex;
      continue;
    }
    // Any other failure is one of the key itself (deleted meanwhile, store
    // unreadable) and would repeat at every further index.
    if (lResult != ERROR_SUCCESS) break;
    if (regWriteString(hKey, szName, NULL, szForceText) != 0) ++dwIndex;
  }
  RegCloseKey(hKey);
  return RegDeleteKeyA(hRoot, szSubKey) == ERROR_SUCCESS ? 0 : -1;
}

int deleteEmptyKey(HKEY hRoot, LPCSTR szSubKey) {
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return -1;
  DWORD cSubKeys = 0, cValues = 0;
  LONG lResult = RegQueryInfoKeyA(hKey, NULL, NULL, NULL, &cSubKeys, NULL, NULL, &cValues, NULL, NULL, NULL, NULL);
  RegCloseKey(hKey);
  if (lResult != ERROR_SUCCESS || cSubKeys != 0 || cValues != 0) return -1;
  return RegDeleteKeyA(hRoot, szSubKey) == ERROR_SUCCESS ? 0 : -1;
}

}  // namespace

LPSTR copyBounded(LPSTR szDest, LPCSTR szSource, DWORD cbCount) {
  for (DWORD i = 0; i < cbCount; ++i) {
    szDest[i] = szSource[i];
    if (szSource[i] == '\0') break;
  }
  return szDest;
}

int regReadString(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPCSTR szDefault, LPSTR szDest, DWORD cbDest) {
  if (!szDest || cbDest == 0) return -1;
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
    DWORD dwType = REG_NONE, cbData = cbDest;
    LONG lResult = RegQueryValueExA(hKey, szValueName, NULL, &dwType, (LPBYTE)szDest, &cbData);
    RegCloseKey(hKey);
    if (lResult == ERROR_SUCCESS && cbData != 0 && cbData <= cbDest && isStringType(dwType)) {
      szDest[cbData - 1] = '\0';
      return 0;
    }
  }
  if (!szDefault) szDefault = "";
  DWORD cbDefault = (DWORD)lstrlenA(szDefault);
  if (cbDefault > cbDest - 1) cbDefault = cbDest - 1;
  copyBounded(szDest, szDefault, cbDefault);
  szDest[cbDefault] = '\0';
  return -1;
}

int regReadDword(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, DWORD dwDefault, LPDWORD pdwResult) {
  if (!pdwResult) return -1;
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
    DWORD dwType = REG_NONE, cbData = sizeof(DWORD);
    LONG lResult = RegQueryValueExA(hKey, szValueName, NULL, &dwType, (LPBYTE)pdwResult, &cbData);
    RegCloseKey(hKey);
    if (lResult == ERROR_SUCCESS && cbData == sizeof(DWORD) && dwType == REG_DWORD) return 0;
  }
  *pdwResult = dwDefault;
  return -1;
}

int regWriteValue(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, const BYTE* pbData, DWORD cbData, DWORD dwType) {
  if (szValueName && pbData) return setValue(hRoot, szSubKey, szValueName, pbData, cbData, dwType);
  if (szValueName) return deleteValue(hRoot, szSubKey, szValueName);
  // An empty path opens the root itself: a forced deletion would empty it.
  if (!szSubKey || szSubKey[0] == '\0') return -1;
  if (dwType == REG_SZ && isForceText(pbData, cbData)) return deleteKeyTree(hRoot, szSubKey);
  return deleteEmptyKey(hRoot, szSubKey);
}

int regWriteString(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPCSTR szText) {
  DWORD cbText = szText ? (DWORD)lstrlenA(szText) + 1 : 0;
  return regWriteValue(hRoot, szSubKey, szValueName, (const BYTE*)szText, cbText, REG_SZ);
}

int regWriteDword(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, DWORD dwValue) {
  return regWriteValue(hRoot, szSubKey, szValueName, (const BYTE*)&dwValue, sizeof(DWORD), REG_DWORD);
}

int regKeyExists(HKEY hRoot, LPCSTR szSubKey) {
  HKEY hKey;
  LONG lResult = RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ, &hKey);
  if (lResult == ERROR_FILE_NOT_FOUND) return 1;
  if (lResult != ERROR_SUCCESS) return -1;
  RegCloseKey(hKey);
  return 0;
}

int regValueInfo(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValueName, LPDWORD pdwType, LPDWORD pcbData) {
  HKEY hKey;
  LONG lResult = RegOpenKeyExA(hRoot, szSubKey, 0, KEY_READ, &hKey);
  if (lResult == ERROR_SUCCESS) {
    lResult = RegQueryValueExA(hKey, szValueName, NULL, pdwType, NULL, pcbData);
    RegCloseKey(hKey);
  }
  if (lResult == ERROR_FILE_NOT_FOUND) return 1;
  return lResult == ERROR_SUCCESS ? 0 : -1;
}

int regCreateKey(HKEY hRoot, LPCSTR szSubKey) {
  HKEY hKey;
  if (RegCreateKeyExA(hRoot, szSubKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS) return -1;
  RegCloseKey(hKey);
  return 0;
}

int regRootsReadable(void) {
  const HKEY ahRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
  for (HKEY hRoot : ahRoots)
    if (RegQueryInfoKeyA(hRoot, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
      return -1;
  return 0;
}
