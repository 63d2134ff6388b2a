// Installation, removal, repair and the check of the driver's registration,
// through the driver module's own exports: this program loads the module and
// calls kvInstallDriverNT or kvRemoveDriverNT, then tells what changed. On
// 64-bit Windows the other bitness's module is served by its own setup
// program, which this one runs. Around the exports it keeps the parts that are
// the package's, not the module's: the instance window's start at logon, and
// the user whose own settings an elevated run changes.
#include "setup/registration.h"

#include <stdio.h>
#include <string.h>

#include "host/modulecheck.h"
#include "hostlink/hostlink.h"
#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "install/slots.h"
#include "kvplatform.h"
#include "setup/elevation.h"
#include "setup/instance.h"
#include "setup/report.h"
#include "setup/user.h"

namespace {

// ---- the command line -------------------------------------------------------------

struct Request {
  std::string verb;
  const char* module = nullptr;  // one module alone, named by its path
  const char* user = nullptr;    // the account whose own settings change
  const char* report = nullptr;  // where an elevated run's report goes
};

const char kVerbInstall[] = "/INSTALL";
const char kVerbRemove[] = "/REMOVE";
const char kVerbRepair[] = "/REPAIR";
const char kVerbCheck[] = "/CHECK";

bool is(const std::string& arg, const char* verb) { return lstrcmpiA(arg.c_str(), verb) == 0; }

int usageError(const char* what) {
  fprintf(stderr, "KVSETUP: %s; KVSETUP.EXE --help tells how it is used\n", what);
  return KV_SETUP_USAGE;
}

// ---- the module's exports -----------------------------------------------------------

// This program's directory, with the separator its own path uses after it.
std::string ownDirectory() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string me(self, n < sizeof self ? n : 0);
  size_t sep = me.find_last_of("\\/");
  return sep == std::string::npos ? std::string() : me.substr(0, sep + 1);
}

const char* bitness() { return hostBits() == 64 ? "64-bit" : "32-bit"; }

int runExport(const char* exportName, const char* modulePath, bool installing) {
  std::string module = modulePath ? modulePath : "";
  if (module.empty()) module = ownDirectory() + KV_DRIVER_FILE;
  if (registryDamaged()) return 1;
  HMODULE h = LoadLibraryA(module.c_str());
  if (!h) {
    fprintf(stderr, "KVSETUP: cannot load the driver module %s (error %u)\n", module.c_str(), (unsigned)GetLastError());
    return 1;
  }
  InstallFn fn = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(GetProcAddress(h, exportName)));
  if (!fn) {
    fprintf(stderr, "KVSETUP: %s has no %s\n", module.c_str(), exportName);
    FreeLibrary(h);
    return 1;
  }
  printf("%s the Kelvasong driver with %s\n", installing ? "Installing" : "Removing", module.c_str());
  MachineState before = lookAtMachine();
  int answer = fn();
  MachineState after = lookAtMachine();
  if (installing) {
    bool midi, wave;
    ownAliases(before, midi, wave);
    if (midi || wave) printf("an earlier registration of the driver was removed first\n");
  }
  tellChanges(before, after);
  if (answer == 0) tellMediaDevice(after, installing);
  if (answer == 0) {
    printf(installing ? "The installation succeeded. The driver takes effect at the next system start.\n"
                      : "The removal succeeded. The module leaves the system directory at the next system start.\n");
  } else {
    size_t longest = 0, length = tooLongInstallDir(longest);
    if (length)
      printf(
          "what failed:\n  the install directory is %u characters long; at most %u are allowed, so that the\n"
          "  paths of the host programs in it fit\n",
          (unsigned)length, (unsigned)longest);
    else if (installing)
      tellInstallFailures(after);
    else
      tellRemoveFailures(before, after);
    printf("The %s failed (%s answered %d).\n", installing ? "installation" : "removal", exportName, answer);
  }
  FreeLibrary(h);
  return answer == 0 ? 0 : 1;
}

// ---- the registration of this program's bitness --------------------------------------

// What of the driver's registration this program's registry view and system
// directory hold. Whole: both aliases and the module (in place, or its
// replacement waiting for the system start). Lost: some of it, as Windows
// leaves it when its MIDI repair deletes the midiN values or an update drops
// the Drivers32 entries. Absent: none of it, the driver is not installed.
struct Registration {
  std::string midi, wave;  // the aliases, or empty
  std::string module;      // the module's path in the system directory
  bool moduleInPlace = false;
  enum Standing { WHOLE, LOST, ABSENT } standing = ABSENT;
};

// The system directory of this program's bitness, named as the file
// operations waiting for the system start name it: a 32-bit program on
// 64-bit Windows sees SysWOW64 as its system32, but the module names
// SysWOW64 itself.
std::string moduleSystemDirectory() {
  char dir[MAX_PATH];
  BOOL wow64 = FALSE;
  UINT n = IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? GetSystemWow64DirectoryA(dir, sizeof dir)
                                                                : GetSystemDirectoryA(dir, sizeof dir);
  return n > 0 && n < sizeof dir ? std::string(dir, n) : std::string();
}

std::string aliasName(const char* prefix) {
  char alias[32];
  return findDriverAlias(prefix, alias, sizeof alias) >= 0 ? alias : "";
}

Registration lookAtRegistration() {
  Registration r;
  r.midi = aliasName("MIDI");
  r.wave = aliasName("WAVE");
  char dir[MAX_PATH];
  UINT n = GetSystemDirectoryA(dir, sizeof dir);
  r.moduleInPlace = n > 0 && n < sizeof dir && fileExists(std::string(dir, n) + "\\" + KV_DRIVER_FILE);
  r.module = moduleSystemDirectory() + "\\" + KV_DRIVER_FILE;
  // The last operation on the module waiting for the system start decides.
  for (const PendingOperation& op : pendingFileOperations()) {
    if (lstrcmpiA(op.target.c_str(), r.module.c_str()) == 0)
      r.moduleInPlace = true;
    else if (op.target.empty() && lstrcmpiA(op.source.c_str(), r.module.c_str()) == 0)
      r.moduleInPlace = false;
  }
  bool all = !r.midi.empty() && !r.wave.empty() && r.moduleInPlace;
  bool any = !r.midi.empty() || !r.wave.empty() || r.moduleInPlace;
  r.standing = all ? Registration::WHOLE : any ? Registration::LOST : Registration::ABSENT;
  return r;
}

void tellRegistration(const Registration& r) {
  printf("registration for %s programs: ", bitness());
  if (r.standing == Registration::ABSENT) {
    printf("not installed\n");
    return;
  }
  printf("%s\n", r.standing == Registration::WHOLE ? "whole" : "lost, a repair puts it back");
  printf("  MIDI alias  %s\n", r.midi.empty() ? "gone" : r.midi.c_str());
  printf("  wave alias  %s\n", r.wave.empty() ? "gone" : r.wave.c_str());
  printf("  module      %s %s\n", r.module.c_str(), r.moduleInPlace ? "in place" : "gone");
}

// Removes the module. Without its MIDI alias the module's removal stops before
// the wave alias and the module's file, so a registration Windows has cut
// short is first made whole again by the module's own installation.
int removeModule(const char* module) {
  Registration r = lookAtRegistration();
  int repaired = 0;
  if (r.midi.empty() && r.standing == Registration::LOST) {
    printf(
        "The driver's MIDI alias is gone (Windows' MIDI repair deletes it): the driver is registered again\n"
        "first, so that the removal finds all of it.\n");
    repaired = runExport("kvInstallDriverNT", module, true);
  }
  int removed = runExport("kvRemoveDriverNT", module, false);
  return repaired == 0 && removed == 0 ? 0 : 1;
}

// ---- both bitnesses ------------------------------------------------------------------

// The package's setup program of the other bitness, which installs its own
// module into its own registry view and system directory: on 64-bit Windows,
// the 64-bit one in x64\ beside the 32-bit one, or the 32-bit one above a
// 64-bit one in x64\. Empty on a system with one bitness.
std::string otherSetupProgram() {
  std::string dir = ownDirectory();
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return dir + "x64\\" + KV_SETUP_PROGRAM;
  if (sizeof(void*) == 8 && dir.size() > 4 && lstrcmpiA(dir.substr(dir.size() - 4).c_str(), "x64\\") == 0)
    return dir.substr(0, dir.size() - 4) + KV_SETUP_PROGRAM;
  return "";
}

// Runs the other bitness's setup program on its own module, for the same
// user, its report going where this one's goes; answers its exit code, or 1
// when it cannot start.
int runOtherSetup(const std::string& program, const char* verb, const Request& request, const std::string& user) {
  std::string module = program.substr(0, program.size() - strlen(KV_SETUP_PROGRAM)) + KV_DRIVER_FILE;
  std::string line = "\"" + program + "\" " + verb + " \"" + module + "\"";
  if (!user.empty()) line += " /USER " + user;
  // An elevated run's report goes to its file, which the other one adds to.
  if (request.report) line += std::string(" /REPORT \"") + request.report + "\"";
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  fflush(stdout);
  fflush(stderr);
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  // It shares this program's console and standard streams.
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "KVSETUP: cannot start %s (error %u)\n", program.c_str(), (unsigned)GetLastError());
    return 1;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return (int)code;
}

// The other bitness's setup program when the package holds it; says so when it
// should and does not.
std::string otherSetupThere() {
  std::string other = otherSetupProgram();
  if (!other.empty() && !fileExists(other)) {
    printf("note: %s is not there, so only programs of this program's bitness were served\n", other.c_str());
    return "";
  }
  return other;
}

// ---- the user ----------------------------------------------------------------------

// The account whose own settings this run changes: the one named by /USER, or
// else the user at this session's desktop. An elevated run entered with an
// administrator's credentials runs as the administrator; the user who asked
// for it is still the one at the desktop. Empty: this process's own.
std::string gUser;
// Set when HKEY_CURRENT_USER was pointed at another account's registry.
bool gOtherAccount = false;

void chooseUser(const Request& request) {
  std::string own = processUserSid();
  std::string user = request.user ? request.user : sessionUserSid();
  if (user.empty() || lstrcmpiA(user.c_str(), own.c_str()) == 0) {
    gUser = own;
    return;
  }
  std::string why;
  if (useRegistryOf(user, &why)) {
    printf(
        "your own settings (the MIDI mapper's) are changed for %s, the user who asked for this,\n"
        "not for the account it runs as (%s)\n",
        user.c_str(), own.empty() ? "unknown" : own.c_str());
    gUser = user;
    gOtherAccount = true;
  } else {
    printf(
        "note: the settings of %s, the user who asked for this, cannot be reached: %s; the\n"
        "MIDI mapper's settings are changed for the account this runs as\n",
        user.c_str(), why.c_str());
    gUser = own;
  }
}

// ---- the instance window -------------------------------------------------------------

// The wave device opens only while the instance window exists. It is started
// for whoever logs on, from the machine's Run key, which the elevated
// installation may write (a value under the user's own key would be the
// elevating account's). It runs the host of the module's own bitness, which
// checks the registration as it starts. The 64-bit key is the one Windows
// reads; a 32-bit program reaches it by asking for that view.
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kInstanceProgram[] = "KVTSK" KV_PROGRAM_DIGITS ".EXE";

std::string instanceProgram() {
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  return dir[0] ? std::string(dir) + "\\" + kInstanceProgram : "";
}

// An earlier installation started it from the user's own Run key; the user
// whose settings this run changes loses that value.
void forgetUserRunValue() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  bool removed = RegDeleteValueA(key, KV_INSTANCE_RUN_VALUE) == ERROR_SUCCESS;
  if (removed) printf("instance window: no longer started from your own Run key, as an earlier version had it\n");
  // Made by that installation where there was none: left empty, it goes too,
  // so that the removal leaves the registry as it found it.
  DWORD subkeys = 1, values = 1;
  bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_SUCCESS &&
               subkeys == 0 && values == 0;
  RegCloseKey(key);
  if (removed && empty) RegDeleteKeyA(HKEY_CURRENT_USER, kRunKey);
}

void startAtLogon() {
  forgetUserRunValue();
  std::string program = instanceProgram();
  if (program.empty()) {
    printf("instance window: no install directory, so nothing starts it (%s /Instance)\n", kInstanceProgram);
    return;
  }
  std::string line = "\"" + program + "\" " + KV_VERB_LOGON;
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    printf("instance window: cannot have it started at logon (HKLM\\%s)\n", kRunKey);
    return;
  }
  if (RegSetValueExA(key, KV_INSTANCE_RUN_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                     (DWORD)line.size() + 1) == ERROR_SUCCESS)
    printf("instance window: started at every user's logon (HKLM\\%s, %s)\n", kRunKey, KV_INSTANCE_RUN_VALUE);
  RegCloseKey(key);
}

void startInstanceNow() {
  std::string program = instanceProgram();
  if (program.empty() || FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) return;
  std::string dir = program.substr(0, program.size() - strlen(kInstanceProgram) - 1);
  std::string line = "\"" + program + "\" " + KV_VERB_INSTANCE;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, dir.c_str(), &si,
                      &pi)) {
    printf("instance window: cannot start %s (error %u)\n", program.c_str(), (unsigned)GetLastError());
    return;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  printf("instance window: started\n");
}

// Starts the instance window now for the user who asked, where this run is
// that user's: a run elevated with another account's credentials would start
// it in the wrong account, and one started by an unelevated run of this
// program leaves it to that run.
void startInstanceForTheUser(const Request& request) {
  if (request.user)
    printf("instance window: the program that asked for elevation starts it\n");
  else if (gOtherAccount)
    printf("instance window: starts at the next logon (not now, under this account, which is not yours)\n");
  else
    startInstanceNow();
}

void endInstanceWindow() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
    if (RegDeleteValueA(key, KV_INSTANCE_RUN_VALUE) == ERROR_SUCCESS)
      printf("instance window: no longer started at logon\n");
    RegCloseKey(key);
  }
  forgetUserRunValue();
  HWND window = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr);
  if (!window) return;
  // Its program's file is deleted next, with the product's folder.
  if (closeAndAwait(window, 10000))
    printf("instance window: closed\n");
  else
    printf("instance window: asked to close, but its program has not ended yet\n");
}

// The instance window's note that it offered a repair, in the user's own key;
// the module's removal deletes that key when it holds nothing else.
void forgetRepairOffer() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, KV_REPAIR_OFFERED_VALUE);
  RegCloseKey(key);
}

// ---- the verbs ------------------------------------------------------------------------

// Whether this process may change the registered drivers; says, before
// anything is changed, what to do when it may not.
bool mayChangeDrivers() {
  HKEY key;
  LSTATUS st = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_SET_VALUE, &key);
  if (st == ERROR_SUCCESS) RegCloseKey(key);
  if (st != ERROR_ACCESS_DENIED) return true;
  fprintf(stderr,
          "KVSETUP: you may not change the registered drivers (HKLM\\%s):\n"
          "KVSETUP: run it as administrator. Nothing was changed.\n",
          KV_DRIVERS32_KEY);
  return false;
}

// Runs this program again elevated, telling that run who asked, and shows its
// report. The instance window the elevated run would start under another
// account starts here, under the user's own, when `startsInstance`.
int runElevated(const Request& request, const std::vector<std::string>& args, bool startsInstance) {
  std::vector<std::string> elevated = args;
  std::string user = processUserSid();
  if (!user.empty() && !request.user) elevated.insert(elevated.end(), {"/USER", user});
  int code = runElevatedWithReport(elevated);
  if (code == KV_SETUP_DONE && startsInstance) startInstanceNow();
  return code;
}

// /INSTALL and /REMOVE without a module: the module beside this program, and
// on 64-bit Windows the other bitness's too, each by its own setup program.
int installOrRemoveBoth(bool installing, const Request& request) {
  if (!installing) forgetRepairOffer();
  int own = installing ? runExport("kvInstallDriverNT", nullptr, true) : removeModule(nullptr);
  int theirs = 0;
  std::string other = otherSetupThere();
  if (!other.empty()) {
    printf("\nThe module of the other bitness, with %s:\n", other.c_str());
    theirs = runOtherSetup(other, installing ? kVerbInstall : kVerbRemove, request, gUser);
  }
  if (installing && own == 0) {
    startAtLogon();
    startInstanceForTheUser(request);
  } else if (!installing) {
    endInstanceWindow();
  }
  return own == 0 && theirs == 0 ? 0 : 1;
}

// The answer of /CHECK for one registration.
int checkAnswer(const Registration& r) {
  return r.standing == Registration::WHOLE  ? KV_SETUP_DONE
         : r.standing == Registration::LOST ? KV_SETUP_NEEDS_REPAIR
                                            : KV_SETUP_NOT_INSTALLED;
}

// The answer for two bitnesses: a lost registration first, then one that
// cannot be told, then a whole one; not installed only when neither is.
int combinedAnswer(int a, int b) {
  for (int answer : {KV_SETUP_NEEDS_REPAIR, KV_SETUP_FAILED, KV_SETUP_DONE})
    if (a == answer || b == answer) return answer;
  return a == KV_SETUP_NOT_INSTALLED && b == KV_SETUP_NOT_INSTALLED ? KV_SETUP_NOT_INSTALLED : KV_SETUP_FAILED;
}

// /CHECK [MODULE]: what is registered, for this program's bitness and, without
// a module, the other's.
int check(const Request& request) {
  if (registryDamaged()) return KV_SETUP_FAILED;
  Registration own = lookAtRegistration();
  tellRegistration(own);
  std::string other = request.module ? "" : otherSetupThere();
  if (other.empty()) return checkAnswer(own);
  return combinedAnswer(checkAnswer(own), runOtherSetup(other, kVerbCheck, request, ""));
}

// /REPAIR [MODULE]: registers again each bitness whose registration is lost,
// with the module's own installation; elevation is asked for only when there
// is something to repair.
int repair(const Request& request, const std::vector<std::string>& args) {
  if (registryDamaged()) return KV_SETUP_FAILED;
  Registration own = lookAtRegistration();
  tellRegistration(own);
  std::string other = request.module ? "" : otherSetupThere();
  int theirs = other.empty() ? KV_SETUP_NOT_INSTALLED : runOtherSetup(other, kVerbCheck, request, "");
  if (theirs != KV_SETUP_DONE && theirs != KV_SETUP_NEEDS_REPAIR && theirs != KV_SETUP_NOT_INSTALLED) {
    printf("The repair failed: the registration of the other bitness cannot be told.\n");
    return KV_SETUP_FAILED;
  }
  if (own.standing != Registration::LOST && theirs != KV_SETUP_NEEDS_REPAIR) {
    bool installed = own.standing == Registration::WHOLE || theirs == KV_SETUP_DONE;
    printf(installed ? "Nothing to repair.\n" : "Nothing to repair: the driver is not installed.\n");
    return KV_SETUP_DONE;
  }
  if (!request.report && !processElevated()) return runElevated(request, args, !request.module);
  if (!mayChangeDrivers()) return KV_SETUP_FAILED;
  chooseUser(request);
  int repaired = 0;
  if (own.standing == Registration::LOST) {
    printf("\nRegistering the driver for %s programs again:\n", bitness());
    repaired = runExport("kvInstallDriverNT", request.module, true);
  }
  if (theirs == KV_SETUP_NEEDS_REPAIR) {
    printf("\nThe module of the other bitness, with %s:\n", other.c_str());
    if (runOtherSetup(other, kVerbRepair, request, gUser) != KV_SETUP_DONE) repaired = 1;
  }
  if (!request.module && repaired == 0) {
    startAtLogon();
    startInstanceForTheUser(request);
  }
  printf(repaired == 0 ? "The repair succeeded: programs started from now on find the device.\n"
                       : "The repair failed.\n");
  return repaired == 0 ? KV_SETUP_DONE : KV_SETUP_FAILED;
}

// /INSTALL or /REMOVE. Unelevated, the program asks for elevation and shows
// the elevated run's report, which that run appends to its /REPORT file; it
// tells that run who asked.
int installOrRemove(bool installing, const Request& request, const std::vector<std::string>& args) {
  if (!request.report && !processElevated()) return runElevated(request, args, installing && !request.module);
  if (!mayChangeDrivers()) return 1;
  chooseUser(request);
  if (!request.module) return installOrRemoveBoth(installing, request);
  if (installing) return runExport("kvInstallDriverNT", request.module, true);
  forgetRepairOffer();
  return removeModule(request.module);
}

}  // namespace

bool isRegistrationVerb(const char* arg) {
  for (const char* verb : {kVerbInstall, kVerbRemove, kVerbRepair, kVerbCheck})
    if (lstrcmpiA(arg, verb) == 0) return true;
  return false;
}

int runRegistrationVerb(const std::vector<std::string>& args) {
  Request request;
  request.verb = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    if (is(args[i], "/REPORT") || is(args[i], "/USER")) {
      const char*& field = is(args[i], "/REPORT") ? request.report : request.user;
      if (field || i + 1 >= args.size()) return usageError((args[i] + " needs one argument").c_str());
      field = args[++i].c_str();
    } else if (!request.module) {
      request.module = args[i].c_str();
    } else {
      return usageError(("one module at most: " + args[i]).c_str());
    }
  }
  if (request.report) {
    // Both streams append, so that what each writes stays in order.
    if (!freopen(request.report, "a", stdout) || !freopen(request.report, "a", stderr)) return KV_SETUP_FAILED;
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
  }
  if (is(request.verb, kVerbCheck)) return check(request);
  if (is(request.verb, kVerbRepair)) return repair(request, args);
  return installOrRemove(is(request.verb, kVerbInstall), request, args);
}
