// The driver slot lookup: which Drivers32 alias names this driver's file.
#include "install/slots.h"

#include "hostlink/protocol.h"

namespace {

const DWORD cchAliasName = 32;
const DWORD cbAliasData = 260;
const int cchPrefix = 4;
const int nLargestSlot = 0x7FFFFFFF;

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the first cch characters, or the whole strings when shorter, with
// ASCII case folding only: the alias names and file names are ASCII, and the
// code page's own folding would differ between machines.
bool equalsAsciiNoCase(LPCSTR szA, LPCSTR szB, int cch) {
  for (int i = 0; i < cch; ++i) {
    if (asciiUpper(szA[i]) != asciiUpper(szB[i])) return false;
    if (szA[i] == '\0') return true;
  }
  return true;
}

bool isStringType(DWORD dwType) { return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ; }

// The alias number of a qualifying name: 0 for the bare prefix, else the digits
// after it up to the first non-digit. -1 for a number no int can hold.
int slotNumber(LPCSTR szName) {
  int nSlot = 0;
  for (LPCSTR p = szName + cchPrefix; isDigit(*p); ++p) {
    int nDigit = *p - '0';
    if (nSlot > (nLargestSlot - nDigit) / 10) return -1;
    nSlot = nSlot * 10 + nDigit;
  }
  return nSlot;
}

bool namesThisDriver(LPCSTR szPrefix, DWORD dwType, LPCSTR szName, DWORD cchName, const BYTE* pbData, DWORD cbData) {
  if (!isStringType(dwType)) return false;
  if (cbData == 0 || cchName == 0) return false;
  if (!equalsAsciiNoCase(szName, szPrefix, cchPrefix)) return false;
  if (szName[cchPrefix] != '\0' && !isDigit(szName[cchPrefix])) return false;
  // Data stored without its terminator is not taken; a multi-string is judged
  // by its first string.
  if (pbData[cbData - 1] != '\0') return false;
  return namesDriverFile((LPCSTR)pbData);
}

}  // namespace

LPCSTR fileNameTail(LPCSTR szPath) {
  if (!szPath) return NULL;
  LPCSTR szTail = szPath;
  for (LPCSTR p = szPath; *p != '\0'; ++p) {
    if (IsDBCSLeadByte((BYTE)*p) && p[1] != '\0') {
      ++p;  // the pair's second byte is never a separator
    } else if (*p == ':' || *p == '\\' || *p == '/') {
      szTail = p + 1;
    }
  }
  return szTail;
}

bool namesDriverFile(LPCSTR szPath) {
  LPCSTR szFile = fileNameTail(szPath);
  return szFile && equalsAsciiNoCase(szFile, KV_DRIVER_FILE, (int)sizeof KV_DRIVER_FILE);
}

int lookupDriverAlias(LPCSTR szPrefix, LPSTR szAlias, DWORD cchAlias, BOOL* pfFailed) {
  if (pfFailed) *pfFailed = FALSE;
  HKEY hKey;
  LONG lOpen = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ, &hKey);
  if (lOpen != ERROR_SUCCESS) {
    if (pfFailed) *pfFailed = lOpen != ERROR_FILE_NOT_FOUND;
    return -1;
  }
  int nResult = -1;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    CHAR szName[cchAliasName];
    BYTE abData[cbAliasData];
    DWORD cchName = cchAliasName, cbData = cbAliasData, dwType = REG_NONE;
    LONG lResult = RegEnumValueA(hKey, dwIndex, szName, &cchName, NULL, &dwType, abData, &cbData);
    // A value whose name or data does not fit the buffers is not ours; any
    // other failure is one of the key and would repeat at every index.
    if (lResult == ERROR_MORE_DATA) continue;
    if (lResult != ERROR_SUCCESS) {
      if (pfFailed) *pfFailed = lResult != ERROR_NO_MORE_ITEMS;
      break;
    }
    if (!namesThisDriver(szPrefix, dwType, szName, cchName, abData, cbData)) continue;
    nResult = slotNumber(szName);
    if (nResult < 0) continue;
    if (szAlias && cchAlias > 0) {
      // The name fits: the enumeration took it into a buffer of this size.
      if (cchName + 1 > cchAlias)
        nResult = -1;
      else
        lstrcpyA(szAlias, szName);
    }
    break;
  }
  RegCloseKey(hKey);
  return nResult;
}

int findDriverAlias(LPCSTR szPrefix, LPSTR szAlias, DWORD cchAlias) {
  return lookupDriverAlias(szPrefix, szAlias, cchAlias, NULL);
}

int findDriverSlot(LPCSTR szPrefix) { return findDriverAlias(szPrefix, NULL, 0); }

extern "C" int WINAPI getKVMidiNumber(void) { return findDriverSlot("MIDI"); }

int getKVWaveNumber(void) { return findDriverSlot("WAVE"); }
