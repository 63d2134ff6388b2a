// The machine's ANSI code page, which its configuration (machine.ini in the
// machine root) names, read once for each root; and its lead bytes.
#include <stdlib.h>

#include <mutex>
#include <string>

#include "internal.h"

namespace {

struct AcpCache {
  std::mutex lock;
  std::string root;
  UINT acp = 0;
};

AcpCache& acpCache() {
  static AcpCache* c = new AcpCache;
  return *c;
}

bool leadByte(UINT cp, BYTE b) {
  switch (cp) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950: return b >= 0x81 && b <= 0xFE;
    default: return false;
  }
}

// The code page the machine's configuration names, 1252 when it names none.
UINT configuredCodePage() {
  std::string value;
  if (!plat::iniValue(plat::machineRoot() + "/" + plat::kMachineIni, "machine", "acp", value)) return 1252;
  UINT cp = (UINT)strtoul(value.c_str(), nullptr, 10);
  return cp ? cp : 1252;
}

// Read again at the next call: the machine's setting changed.
void forgetAnsiCodePage() {
  AcpCache& c = acpCache();
  std::lock_guard<std::mutex> g(c.lock);
  c.root.clear();
}

}  // namespace

namespace plat {

UINT resolveCodePage(UINT cp) {
  if (cp == CP_ACP || cp == CP_OEMCP) return GetACP();
  return cp;
}

}  // namespace plat

extern "C" UINT WINAPI GetACP(void) {
  AcpCache& c = acpCache();
  std::string root = plat::machineRoot();
  std::lock_guard<std::mutex> g(c.lock);
  if (c.root != root || !c.acp) {
    c.acp = configuredCodePage();
    c.root = root;
  }
  return c.acp;
}

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) { return leadByte(GetACP(), TestChar); }
extern "C" BOOL WINAPI IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar) {
  return leadByte(plat::resolveCodePage(CodePage), TestChar);
}

extern "C" BOOL platSetAnsiCodePage(UINT codePage) {
  if (!platMachineInit()) return FALSE;
  std::string ini = plat::machineRoot() + "/" + plat::kMachineIni;
  bool ok = plat::iniWrite(ini, "machine", "acp", std::to_string(codePage).c_str());
  forgetAnsiCodePage();
  return ok ? TRUE : plat::failErrno(FALSE);
}
