// KVSETUP.EXE, the product's setup program. The driver's configuration command
// starts it as "KVSETUP.EXE /CONFIG 0 -w HWND HWND"; it shows the product's
// configuration and lets the user set the install directory. With /INSTALL and
// /REMOVE it loads the driver module and calls its installation exports, then
// tells what changed. It does not open the driver's devices.
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "host/fluidbind.h"
#include "host/modulecheck.h"
#include "host/synth.h"
#include "hostlink/hostlink.h"
#include "install/slots.h"
#include "kvplatform.h"
#include "setup/console.h"
#include "setup/elevation.h"
#include "setup/mediadevice.h"
#include "setup/pending.h"
#include "setup/report.h"
#include "setup/settingswindow.h"
#include "setup/state.h"

namespace {

int usage(FILE* out) {
  fprintf(out,
          "usage: KVSETUP.EXE /CONFIG [0 -w HWND HWND] [/DIR DIRECTORY]\n"
          "       KVSETUP.EXE /DIR DIRECTORY\n"
          "       KVSETUP.EXE /STATE\n"
          "       KVSETUP.EXE /INSTALL [MODULE]\n"
          "       KVSETUP.EXE /REMOVE [MODULE]\n"
          "       KVSETUP.EXE --help\n"
          "\n"
          "Shows the configuration of the synthesizer: the install directory and where it\n"
          "is read from (key KVDirectory of section [KelvasongSetup] of KELVASON.INI in the\n"
          "Windows directory; a KVDirectory key in section [DEBUG] wins), the host programs\n"
          "found there (KVTSK" KV_PROGRAM_DIGITS ".EXE and its copies KVMIDI" KV_PROGRAM_DIGITS
          ".EXE and KVWAVE" KV_PROGRAM_DIGITS
          ".EXE), and the\n"
          "driver's registration (its MIDI and wave aliases among the registered drivers),\n"
          "and the synthesizer the hosts would use: FluidSynth's library (libfluidsynth-3.dll;\n"
          "FluidSynth= of KVHOST.INI in the install directory, else beside the host, else in\n"
          "the folder of the host's bitness below it, x86 or x64, else on the system's\n"
          "search path; a library of the other bitness is passed over) and the SoundFont\n"
          "(SoundFont=, else the first .sf2 beside the host, else the system's own General\n"
          "MIDI bank, drivers\\gm.dls in the system directory), each with where it was found\n"
          "and why, and whether it loads. The other bitness's host is shown the library it\n"
          "would take.\n"
          "\n"
          "  /CONFIG 0 -w HWND HWND  how the driver's configuration command starts it; HWND\n"
          "                          is the number of the window that asked. On Windows\n"
          "                          it opens the settings window (so does /CONFIG alone,\n"
          "                          as the Start menu's Kelvasong Settings runs it):\n"
          "                          your own settings, kept in KVHOST.INI in the folder\n"
          "                          Kelvasong of your application data (%%APPDATA%%),\n"
          "                          which win key by key over the machine's\n"
          "  /STATE                  the state of this program's bitness: registration,\n"
          "                          host programs, FluidSynth's library and the bank\n"
          "  /DIR DIRECTORY          store DIRECTORY as the install directory\n"
          "  /INSTALL [MODULE]       install the driver: MODULE (KVDRVR32.DLL beside this\n"
          "                          program when not given) is copied into the system\n"
          "                          directory at the next system start, registered as\n"
          "                          a MIDI and a wave driver, and made the MIDI mapper's\n"
          "                          device; the host copies are made\n"
          "  /REMOVE [MODULE]        remove the driver again, with the mapper settings\n"
          "                          from before the installation\n"
          "                          Without MODULE on 64-bit Windows, the module of the\n"
          "                          other bitness goes too, by its own setup program\n"
          "                          (x64\\KVSETUP.EXE beside the 32-bit one).\n"
          "                          Both tell what changed and answer 0, or 1 when the\n"
          "                          module could not be loaded or its answer was -1.\n"
          "                          A damaged registry is told about, and nothing is\n"
          "                          changed (answer 1).\n"
          "  --help                  this text\n");
  return out == stdout ? 0 : 2;
}

bool iniHas(const char* section) {
  char value[MAX_PATH];
  GetPrivateProfileStringA(section, KV_INI_DIR_KEY, "\x01", value, sizeof value, KV_INI_FILE);
  return strcmp(value, "\x01") != 0;
}

void showProgram(const std::string& dir, const char* name) {
  std::string path = dir + "\\" + name;
  bool present = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  printf("  %-13s %s\n", name, present ? "present" : "missing");
}

void showAlias(const char* what, int number, const char* prefix) {
  if (number < 0) {
    printf("  %-13s not registered\n", what);
  } else if (number == 0) {
    printf("  %-13s registered as %s\n", what, prefix);
  } else {
    printf("  %-13s registered as %s%d\n", what, prefix, number);
  }
}

// The synthesizer the hosts in `dir` would use, found as they find it (their
// settings in KVHOST.INI there): for the host of this program's bitness,
// whether it loads; for the other bitness's host beside it, the library it
// would take, by the files' headers (this program cannot load it).
void showSynthesizer(const std::string& dir) {
  std::vector<std::string> said;
  HostSettings settings = loadHostSettings(settingsFiles(dir), &said);
  settings.folder = dir;
  printf("synthesizer\n");
  FluidLibrary library;
  bool loaded = loadFluidSynth(settings, &library);
  for (const std::string& line : library.passedOver) printf("  %-13s %s\n", "passed over", line.c_str());
  printf("  %-13s %s (%s): %s\n", "FluidSynth", library.path.c_str(), library.source.c_str(),
         loaded ? "loads" : ("does not load: " + library.why).c_str());
  int otherBits = hostBits() == 64 ? 32 : 64;
  std::string otherHost = otherBits == 64 ? "KVTSK64.EXE" : "KVTSK16.EXE";
  if (fileExists(dir + "\\" + otherHost)) {
    FluidLibrary theirs;
    findFluidSynth(settings, otherBits, &theirs);
    int bits = moduleFileBits(theirs.path.c_str());
    std::string what = bits ? "a " + std::to_string(bits) + "-bit library" : fileExists(theirs.path) ? "a library" : "";
    for (const std::string& line : theirs.passedOver) printf("  %-13s %s\n", "passed over", line.c_str());
    printf("  %-13s %s (%s): %s\n", otherHost.c_str(), theirs.path.c_str(), theirs.source.c_str(),
           what.empty() ? "not there" : (what + ", for that host to load").c_str());
  }
  SoundFontChoice font;
  if (!findSoundFont(settings, &font)) {
    printf("  %-13s %s\n", "SoundFont", font.why.c_str());
    return;
  }
  std::string why;
  std::string result = !loaded                       ? "not tried without FluidSynth"
                       : createSynth(settings, &why) ? "loads"
                                                     : "does not load: " + why;
  printf("  %-13s %s (%s): %s\n", "SoundFont", font.path.c_str(), font.source.c_str(), result.c_str());
}

// Tells, in plain words, that the registry cannot be read because its store is
// damaged; true then. Nothing is read from it or written to it after that.
bool registryDamaged() {
  if (RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_REGISTRY_CORRUPT)
    return false;
  fprintf(stderr,
          "KVSETUP: the registry store is damaged: %s\n"
          "KVSETUP: the driver's registration cannot be read, and nothing was changed.\n",
          registryStoreName().c_str());
  std::string mend = registryStoreMend();
  if (!mend.empty()) fprintf(stderr, "KVSETUP: %s.\n", mend.c_str());
  return true;
}

int showConfiguration(const char* hwnd) {
  char winDir[MAX_PATH];
  GetWindowsDirectoryA(winDir, sizeof winDir);
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  printf("Kelvasong setup%s%s\n", hwnd ? ", asked by window " : "", hwnd ? hwnd : "");
  printf("install directory  %s\n", dir[0] ? dir : "(not set)");
  printf("  read from        %s\\%s, section [%s]\n", winDir, KV_INI_FILE,
         iniHas(KV_INI_DEBUG_SECTION) ? KV_INI_DEBUG_SECTION
         : iniHas(KV_INI_SECTION)     ? KV_INI_SECTION
                                      : "none");
  if (dir[0]) {
    printf("host programs\n");
    showProgram(dir, "KVTSK" KV_PROGRAM_DIGITS ".EXE");
    showProgram(dir, "KVMIDI" KV_PROGRAM_DIGITS ".EXE");
    showProgram(dir, "KVWAVE" KV_PROGRAM_DIGITS ".EXE");
    showSynthesizer(dir);
  }
  printf("driver %s\n", KV_DRIVER_FILE);
  if (registryDamaged()) return 1;
  showAlias("MIDI output", getKVMidiNumber(), "midi");
  showAlias("wave output", getKVWaveNumber(), "wave");
  return 0;
}

int setDirectory(const char* dir) {
  if (!WritePrivateProfileStringA(KV_INI_SECTION, KV_INI_DIR_KEY, dir, KV_INI_FILE)) {
    fprintf(stderr, "KVSETUP: cannot write %s (error %u)\n", KV_INI_FILE, (unsigned)GetLastError());
    return 1;
  }
  if (iniHas(KV_INI_DEBUG_SECTION)) printf("note: the [DEBUG] section's KVDirectory still overrides it\n");
  return 0;
}

// This program's directory, with the separator its own path uses after it.
std::string ownDirectory() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string me(self, n < sizeof self ? n : 0);
  size_t sep = me.find_last_of("\\/");
  return sep == std::string::npos ? std::string() : me.substr(0, sep + 1);
}

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

// Runs the other bitness's setup program on its own module, its report going
// where this one's goes; answers its exit code, or 1 when it cannot start.
int runOtherSetup(const std::string& program, const char* verb, const char* report) {
  std::string module = program.substr(0, program.size() - strlen(KV_SETUP_PROGRAM)) + KV_DRIVER_FILE;
  std::string line = "\"" + program + "\" " + verb + " \"" + module + "\"";
  // An elevated run's report goes to its file, which the other one adds to.
  if (report) line += std::string(" /REPORT \"") + report + "\"";
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

// ---- the instance window ----------------------------------------------------------------

// The wave device opens only while the instance window exists. The package's
// installation has it started at the user's logon and starts it now; removal
// ends it.
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

void startInstanceWindow() {
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  if (!dir[0]) {
    printf("instance window: no install directory, so nothing starts it (KVTSK%s.EXE /Instance)\n", KV_PROGRAM_DIGITS);
    return;
  }
  std::string program = std::string(dir) + "\\KVTSK" KV_PROGRAM_DIGITS ".EXE";
  std::string line = "\"" + program + "\" /Instance";
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    if (RegSetValueExA(key, KV_INSTANCE_RUN_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                       (DWORD)line.size() + 1) == ERROR_SUCCESS)
      printf("instance window: started at your logon (HKCU\\%s, %s)\n", kRunKey, KV_INSTANCE_RUN_VALUE);
    RegCloseKey(key);
  }
  if (FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) return;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, dir, &si, &pi)) {
    printf("instance window: cannot start %s (error %u)\n", program.c_str(), (unsigned)GetLastError());
    return;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  printf("instance window: started\n");
}

void endInstanceWindow() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    bool removed = RegDeleteValueA(key, KV_INSTANCE_RUN_VALUE) == ERROR_SUCCESS;
    if (removed) printf("instance window: no longer started at logon\n");
    // The installation made the key where there was none: left empty, it goes
    // too, so that the removal leaves the registry as it found it.
    DWORD subkeys = 1, values = 1;
    bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                                  nullptr, nullptr) == ERROR_SUCCESS &&
                 subkeys == 0 && values == 0;
    RegCloseKey(key);
    if (removed && empty) RegDeleteKeyA(HKEY_CURRENT_USER, kRunKey);
  }
  HWND window = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr);
  if (window && PostMessageA(window, WM_CLOSE, 0, 0)) printf("instance window: closed\n");
}

// /INSTALL and /REMOVE without a module: the module beside this program, and
// on 64-bit Windows the other bitness's too, each by its own setup program.
int runBoth(bool installing, const char* report) {
  const char* verb = installing ? "/INSTALL" : "/REMOVE";
  int own = runExport(installing ? "kvInstallDriverNT" : "kvRemoveDriverNT", nullptr, installing);
  int theirs = 0;
  std::string other = otherSetupProgram();
  if (!other.empty() && !fileExists(other)) {
    printf("note: %s is not there, so only programs of this program's bitness were served\n", other.c_str());
  } else if (!other.empty()) {
    printf("\nThe module of the other bitness, with %s:\n", other.c_str());
    theirs = runOtherSetup(other, verb, report);
  }
  if (installing && own == 0)
    startInstanceWindow();
  else if (!installing)
    endInstanceWindow();
  return own == 0 && theirs == 0 ? 0 : 1;
}

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

// /INSTALL or /REMOVE [MODULE] [/REPORT FILE]. Unelevated, the program asks
// for elevation and shows the elevated run's report, which that run appends
// to FILE.
int installOrRemove(bool installing, const std::vector<std::string>& args) {
  const char* module = nullptr;
  const char* report = nullptr;
  for (size_t i = 1; i < args.size(); ++i) {
    if (lstrcmpiA(args[i].c_str(), "/REPORT") == 0) {
      if (report || i + 1 >= args.size()) return usage(stderr);
      report = args[++i].c_str();
    } else if (!module) {
      module = args[i].c_str();
    } else {
      return usage(stderr);
    }
  }
  if (report) {
    // Both streams append, so that what each writes stays in order.
    if (!freopen(report, "a", stdout) || !freopen(report, "a", stderr)) return 1;
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
  } else if (!processElevated()) {
    return runElevatedWithReport(args);
  }
  if (!mayChangeDrivers()) return 1;
  if (!module) return runBoth(installing, report);
  return runExport(installing ? "kvInstallDriverNT" : "kvRemoveDriverNT", module, installing);
}

// What the settings window shows of this program's bitness.
int showState() {
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  for (const std::string& line : describeState(ownBitnessState(dir, settingsFiles(dir)))) printf("%s\n", line.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool printing = connectOutput();
  const char* hwnd = nullptr;
  const char* newDir = nullptr;
  bool config = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "/?") == 0) return usage(stdout);
    bool installing = lstrcmpiA(argv[i], "/INSTALL") == 0;
    if (installing || lstrcmpiA(argv[i], "/REMOVE") == 0)
      return installOrRemove(installing, std::vector<std::string>(argv + i, argv + argc));
    if (lstrcmpiA(argv[i], "/STATE") == 0 && argc == 2) return showState();
    if (lstrcmpiA(argv[i], "/CONFIG") == 0) {
      config = true;
      if (i + 4 < argc && strcmp(argv[i + 2], "-w") == 0) {
        hwnd = argv[i + 3];
        i += 4;
      }
    } else if (lstrcmpiA(argv[i], "/DIR") == 0 && i + 1 < argc) {
      newDir = argv[++i];
    } else {
      return usage(stderr);
    }
  }
  if (newDir && setDirectory(newDir) != 0) return 1;
  // Started without a command line to print to (from Explorer), the program
  // opens its window too.
  if (config || (argc == 1 && !printing)) {
    int ended = runSettingsWindow(hwnd);
    if (ended >= 0) return ended;
  }
  return showConfiguration(hwnd);
}
