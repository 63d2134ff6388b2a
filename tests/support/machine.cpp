#include "machine.h"

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace kvtest {

std::string setUpProductMachine(const std::string& buildDir, const char* iniDir) {
  if (!platMachineInit()) return "the machine root cannot be made";
  if (!CreateDirectoryA(kInstallDir, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return "no C:\\KV";
  if (!WritePrivateProfileStringA(KV_INI_SECTION, KV_INI_DIR_KEY, iniDir, KV_INI_FILE)) return "no KELVASON.INI";
  const std::string host = buildDir + "/KVTSK16.EXE";
  for (const char* name : {"KVTSK16.EXE", "KVMIDI16.EXE", "KVWAVE16.EXE"}) {
    std::string target = std::string(kInstallDir) + "\\" + name;
    if (!CopyFileA(host.c_str(), target.c_str(), FALSE)) return std::string("cannot copy the host as ") + name;
  }
  return "";
}

}  // namespace kvtest
