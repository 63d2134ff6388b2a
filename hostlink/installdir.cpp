// The install directory, from the product's INI file.
#include "hostlink/protocol.h"
#include "hostlink/hostlink.h"

char* getInstallDir(char* szDir, DWORD cbDir) {
  GetPrivateProfileStringA(KV_INI_SECTION, KV_INI_DIR_KEY, "", szDir, cbDir, KV_INI_FILE);
  // A value in the DEBUG section wins; without one the first value stays.
  GetPrivateProfileStringA(KV_INI_DEBUG_SECTION, KV_INI_DIR_KEY, szDir, szDir, cbDir, KV_INI_FILE);
  if (szDir[0] == '\0') return szDir;

  // Cut the trailing run of separators. The second byte of a double-byte
  // character may be 0x5C and is no separator.
  char* pMark = nullptr;
  char* p = szDir;
  do {
    if (IsDBCSLeadByte((BYTE)p[0]) && p[1] != '\0') {
      pMark = nullptr;
      p += 2;
    } else if (p[0] == '\\' || p[0] == '/') {
      if (!pMark) pMark = p;
      p += 1;
    } else {
      pMark = nullptr;
      p += 1;
    }
  } while (*p != '\0');
  if (pMark) *pMark = '\0';
  return szDir;
}
