// The look at the registration at logon; see logon.h.
#include "host/logon.h"

#include <string.h>

#include <string>
#include <vector>

#include "host/ask.h"
#include "host/say.h"
#include "hostlink/protocol.h"
#include "kvplatform.h"

namespace {

const char kQuestion[] =
    "The Kelvasong driver's registration is no longer complete: Windows' MIDI repair or a Windows update "
    "removed part of it, and programs may not find the device \"Kelvasong (NT)\".\n\n"
    "Repair it now? Windows asks for an administrator's consent.\n\n"
    "You are asked this once. The Repair button of Kelvasong Settings puts it back later.";

std::string setupProgram() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, n < sizeof self ? n : 0);
  size_t sep = path.find_last_of("\\/");
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1) + KV_SETUP_PROGRAM;
}

// Runs the setup program with `verb`, without a window of its own (its report
// is for a console, which the user at logon does not have), and answers its
// exit code; -1 when it cannot be started.
long runSetup(const std::string& program, const char* verb) {
  std::string line = "\"" + program + "\" " + verb;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  fflush(stdout);
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                      &pi))
    return -1;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return (long)code;
}

bool repairOffered() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  bool offered = RegQueryValueExA(key, KV_REPAIR_OFFERED_VALUE, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return offered;
}

void noteRepairOffered() {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  DWORD one = 1;
  RegSetValueExA(key, KV_REPAIR_OFFERED_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
}

// The note goes once the registration is whole, so that a later loss is
// offered again; so does the product key when the note was all it held (the
// maker's key above it too), as the removal leaves it.
void forgetRepairOffer() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return;
  bool removed = RegDeleteValueA(key, KV_REPAIR_OFFERED_VALUE) == ERROR_SUCCESS;
  DWORD subkeys = 1, values = 1;
  bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_SUCCESS &&
               subkeys == 0 && values == 0;
  RegCloseKey(key);
  if (!removed || !empty) return;
  RegDeleteKeyA(HKEY_CURRENT_USER, KV_PRODUCT_KEY);
  if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_MAKER_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr) == ERROR_SUCCESS &&
          subkeys == 0 && values == 0;
  RegCloseKey(key);
  if (empty) RegDeleteKeyA(HKEY_CURRENT_USER, KV_MAKER_KEY);
}

void checkRegistration() {
  std::string setup = setupProgram();
  long code = runSetup(setup, "/CHECK");
  if (code == KV_SETUP_DONE || code == KV_SETUP_NOT_INSTALLED) {
    forgetRepairOffer();
    hostSayTo(stdout, code == KV_SETUP_DONE ? "the driver's registration is whole" : "the driver is not installed");
    return;
  }
  if (code != KV_SETUP_NEEDS_REPAIR) {
    hostSayTo(stdout, "the driver's registration cannot be checked: %s %s", setup.c_str(),
              code < 0 ? "cannot be started" : ("answered " + std::to_string(code)).c_str());
    return;
  }
  if (repairOffered()) {
    hostSayTo(stdout,
              "the driver's registration is lost; its repair was offered at an earlier logon, and is not offered "
              "again (KVSETUP.EXE /REPAIR puts it back)");
    return;
  }
  // Noted before the question: a user who logs off with it unanswered has
  // been asked.
  noteRepairOffered();
  hostSayTo(stdout, "the driver's registration is lost; its repair is offered");
  if (!askUser(kQuestion)) {
    hostSayTo(stdout, "the repair was declined; it is not offered again");
    return;
  }
  code = runSetup(setup, "/REPAIR");
  hostSayTo(stdout, "KVSETUP.EXE /REPAIR answered %ld", code);
  if (code == KV_SETUP_DONE) {
    tellUser("The Kelvasong driver is registered again. Programs started from now on find the device.");
  } else {
    std::string text = "The repair did not succeed (KVSETUP.EXE /REPAIR answered " + std::to_string(code) +
                       "). Run KVSETUP.EXE /REPAIR as administrator in the Kelvasong folder to see why, or use the "
                       "Repair button of Kelvasong Settings.";
    tellUser(text.c_str());
  }
}

DWORD WINAPI logonCheckThread(LPVOID) {
  checkRegistration();
  return 0;
}

}  // namespace

void startLogonCheck() {
  HANDLE thread = CreateThread(nullptr, 0, logonCheckThread, nullptr, 0, nullptr);
  if (thread)
    CloseHandle(thread);
  else
    hostSay("cannot check the driver's registration (error %u)", (unsigned)GetLastError());
}
