// The module's own path as the host, a process of the same bitness, must read
// it. A 32-bit module on 64-bit Windows may be told its path as system32 (its
// process sees SysWOW64 there); the host reads the module's file header with
// the redirection off, and would find the 64-bit module under that name.
#include <string.h>

#include "hostlink/hostlink.h"

DWORD getModulePathForHost(char* szPath, DWORD cchPath) {
  DWORD cch = GetModuleFileNameA(ghModule, szPath, cchPath);
  if (cch == 0 || cch >= cchPath) return 0;
  BOOL fWow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &fWow64) || !fWow64) return cch;
  char szSystem[MAX_PATH], szWow64[MAX_PATH];
  UINT cchSystem = GetSystemDirectoryA(szSystem, MAX_PATH);
  UINT cchWow64 = GetSystemWow64DirectoryA(szWow64, MAX_PATH);
  if (cchSystem == 0 || cchSystem >= MAX_PATH || cchWow64 == 0 || cchWow64 >= MAX_PATH) return cch;
  if (cch <= cchSystem || szPath[cchSystem] != '\\') return cch;
  char cSaved = szPath[cchSystem];
  szPath[cchSystem] = '\0';
  BOOL fInSystem = lstrcmpiA(szPath, szSystem) == 0;
  szPath[cchSystem] = cSaved;
  if (!fInSystem || cch - cchSystem + cchWow64 >= cchPath) return cch;
  memmove(szPath + cchWow64, szPath + cchSystem, cch - cchSystem + 1);
  memcpy(szPath, szWow64, cchWow64);
  return cch - cchSystem + cchWow64;
}
