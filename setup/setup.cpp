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
#include "host/synth.h"
#include "hostlink/hostlink.h"
#include "install/slots.h"
#include "kvplatform.h"
#include "setup/elevation.h"
#include "setup/mediadevice.h"
#include "setup/pending.h"

namespace {

int usage(FILE* out) {
  fprintf(out,
          "usage: KVSETUP.EXE /CONFIG 0 -w HWND HWND [/DIR DIRECTORY]\n"
          "       KVSETUP.EXE /DIR DIRECTORY\n"
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
          "and the synthesizer the host would use: FluidSynth's library (libfluidsynth-3.dll;\n"
          "FluidSynth= of KVHOST.INI in the install directory, else beside the host, else on\n"
          "the system's search path) and the SoundFont (SoundFont=, else the first .sf2 beside\n"
          "the host), each with where it was found and whether it loads.\n"
          "\n"
          "  /CONFIG 0 -w HWND HWND  how the driver's configuration command starts it; HWND\n"
          "                          is the number of the window that asked\n"
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

// The synthesizer the host in `dir` would use, found as the host finds it
// (its settings in KVHOST.INI there), and whether it loads.
void showSynthesizer(const std::string& dir) {
  std::vector<std::string> said;
  HostSettings settings = loadHostSettings(dir + "\\" + KV_HOST_INI_FILE, &said);
  settings.folder = dir;
  printf("synthesizer\n");
  FluidLibrary library;
  bool loaded = loadFluidSynth(settings, &library);
  printf("  %-13s %s (%s): %s\n", "FluidSynth", library.path.c_str(), library.source.c_str(),
         loaded ? "loads" : ("does not load: " + library.why).c_str());
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
  printf("driver KVDRVR32.DLL\n");
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

// ---- installation and removal -------------------------------------------------------

const char* const kMapperValues[] = {"CurrentInstrument",
                                     "UseScheme",
                                     "AutoScheme",
                                     "DeviceInterface",
                                     "RelativeIndex",
                                     "SetupPreferredAudioDevicesCount",
                                     "szPname"};

// A value as the user reads it: "text" for strings, the number for DWORDs.
std::string describeValue(DWORD type, const BYTE* data, DWORD size) {
  if (type == REG_DWORD && size == 4) {
    DWORD v;
    memcpy(&v, data, 4);
    return std::to_string(v);
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::string text(reinterpret_cast<const char*>(data), size);
    return "\"" + text.substr(0, text.find('\0')) + "\"";
  }
  return "(" + std::to_string(size) + " bytes of type " + std::to_string(type) + ")";
}

// The values of a key whose names pass `wanted`, described.
std::map<std::string, std::string> readValues(HKEY root, const char* path, bool (*wanted)(const char* name)) {
  std::map<std::string, std::string> values;
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[1024];
    DWORD cch = sizeof name, size = sizeof data, type = 0;
    LSTATUS st = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
    if (st == ERROR_MORE_DATA) continue;
    if (st != ERROR_SUCCESS) break;
    if (wanted(name)) values[name] = describeValue(type, data, size);
  }
  RegCloseKey(key);
  return values;
}

bool isAlias(const char* name) {
  char prefix[5] = {};
  lstrcpynA(prefix, name, sizeof prefix);
  return lstrcmpiA(prefix, "midi") == 0 || lstrcmpiA(prefix, "wave") == 0;
}
bool isMapperValue(const char* name) {
  for (const char* v : kMapperValues)
    if (lstrcmpiA(v, name) == 0) return true;
  return false;
}

bool keyExists(HKEY root, const char* path) {
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What installation and removal change, looked at before and after.
struct MachineState {
  std::map<std::string, std::string> aliases;
  std::map<std::string, std::string> mapper;
  bool mapperSaved = false;
  std::vector<PendingOperation> pending;
  std::string installDir;
  bool hostCopies[2] = {};
};

const char* const kHostCopies[] = {"KVMIDI" KV_PROGRAM_DIGITS ".EXE", "KVWAVE" KV_PROGRAM_DIGITS ".EXE"};

MachineState lookAtMachine() {
  MachineState s;
  s.aliases = readValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, isAlias);
  s.mapper = readValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, isMapperValue);
  s.mapperSaved = keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY);
  s.pending = pendingFileOperations();
  char dir[MAX_PATH];
  getInstallDir(dir, sizeof dir);
  s.installDir = dir;
  for (int i = 0; i < 2; ++i) s.hostCopies[i] = dir[0] && fileExists(s.installDir + "\\" + kHostCopies[i]);
  return s;
}

std::string valueOr(const std::map<std::string, std::string>& m, const std::string& name, const char* absent) {
  auto it = m.find(name);
  return it == m.end() ? absent : it->second;
}

// Says, in plain words, what differs between before and after.
void tellChanges(const MachineState& before, const MachineState& after) {
  printf("driver aliases (HKLM\\%s):\n", KV_DRIVERS32_KEY);
  bool any = false;
  for (auto& a : after.aliases) {
    std::string old = valueOr(before.aliases, a.first, "");
    if (old == a.second) continue;
    any = true;
    if (old.empty())
      printf("  %-8s registered: %s\n", a.first.c_str(), a.second.c_str());
    else
      printf("  %-8s changed from %s to %s\n", a.first.c_str(), old.c_str(), a.second.c_str());
  }
  for (auto& b : before.aliases) {
    if (after.aliases.count(b.first)) continue;
    any = true;
    printf("  %-8s unregistered (it was %s)\n", b.first.c_str(), b.second.c_str());
  }
  if (!any) printf("  unchanged\n");

  printf("MIDI mapper (HKCU\\%s):\n", KV_MIDIMAP_KEY);
  any = false;
  for (const char* name : kMapperValues) {
    std::string old = valueOr(before.mapper, name, "(none)"), now = valueOr(after.mapper, name, "(none)");
    if (old == now) continue;
    any = true;
    printf("  %-33s %s -> %s\n", name, old.c_str(), now.c_str());
  }
  if (!any) printf("  unchanged\n");
  if (after.mapperSaved && !before.mapperSaved) printf("  your settings are saved for the removal\n");
  if (!after.mapperSaved && before.mapperSaved) printf("  your saved settings were given back\n");

  printf("waiting for the next system start:\n");
  for (size_t i = 0; i < after.pending.size(); ++i) {
    const PendingOperation& op = after.pending[i];
    bool isNew = i >= before.pending.size();
    if (op.target.empty())
      printf("  delete %s%s\n", op.source.c_str(), isNew ? "" : " (from before)");
    else
      printf("  replace %s with %s%s\n", op.target.c_str(), op.source.c_str(), isNew ? "" : " (from before)");
  }
  if (after.pending.empty()) printf("  nothing\n");

  printf("host copies in %s:\n", after.installDir.empty() ? "(no install directory)" : after.installDir.c_str());
  any = false;
  for (int i = 0; i < 2; ++i) {
    if (before.hostCopies[i] == after.hostCopies[i]) continue;
    any = true;
    printf("  %s %s\n", kHostCopies[i], after.hostCopies[i] ? "made" : "deleted");
  }
  if (!any) printf("  unchanged\n");
}

// True for a described alias value whose file name is this driver's.
bool namesDriver(const std::string& described) {
  std::string upper = described;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  size_t at = upper.rfind("KVDRVR32.DLL\"");
  return at != std::string::npos && (at == 1 || upper[at - 1] == '\\' || upper[at - 1] == '/' || upper[at - 1] == ':');
}

// Whether this driver holds a MIDI or a wave alias.
void ownAliases(const MachineState& s, bool& midi, bool& wave) {
  midi = wave = false;
  for (auto& a : s.aliases) {
    if (!namesDriver(a.second)) continue;
    (lstrcmpiA(a.first.substr(0, 4).c_str(), "midi") == 0 ? midi : wave) = true;
  }
}

// What an installation that answered -1 did not get done.
void tellInstallFailures(const MachineState& after) {
  bool midi, wave;
  ownAliases(after, midi, wave);
  bool replacement = false;
  for (auto& op : after.pending)
    if (!op.target.empty() &&
        lstrcmpiA(op.target.substr(op.target.size() >= 12 ? op.target.size() - 12 : 0).c_str(), "KVDRVR32.DLL") == 0)
      replacement = true;
  printf("what failed:\n");
  if (!midi) printf("  no MIDI alias could be registered (all ten names taken, or the registry refused)\n");
  if (!wave) printf("  no wave alias could be registered (all ten names taken, or the registry refused)\n");
  if (!replacement) printf("  the module's copy into the system directory is not waiting for the system start\n");
  if (!after.mapperSaved) printf("  the mapper settings were not saved, so the mapper was left as it was\n");
}

// What a removal that answered -1 did not get done.
void tellRemoveFailures(const MachineState& before, const MachineState& after) {
  bool midiBefore, waveBefore, midi, wave;
  ownAliases(before, midiBefore, waveBefore);
  ownAliases(after, midi, wave);
  printf("what failed:\n");
  if (after.mapperSaved)
    printf("  the saved mapper settings could not all be given back; they are kept for the next removal\n");
  else if (!midiBefore)
    printf("  no MIDI alias of this driver is registered (is it installed?)\n");
  else if (midi)
    printf("  the MIDI alias could not be unregistered\n");
  else if (wave)
    printf("  the wave alias could not be unregistered; the module stays in the system directory\n");
  if (!midiBefore && waveBefore) printf("  the driver's wave alias stays\n");
}

// The restart-proof media device: registered with the aliases the
// installation chose, removed with the last registration.
void tellMediaDevice(const MachineState& after, bool installing) {
  std::string said;
  if (installing) {
    std::string midi, wave;
    for (auto& a : after.aliases) {
      if (!namesDriver(a.second)) continue;
      (lstrcmpiA(a.first.substr(0, 4).c_str(), "midi") == 0 ? midi : wave) = a.first;
    }
    said = registerMediaDevice(midi, wave);
  } else {
    said = removeMediaDevice();
  }
  if (!said.empty()) printf("restart-proof device:\n  %s\n", said.c_str());
}

// The length of an install directory too long for the paths of the host
// copies in it (a separator, the name and a terminator within MAX_PATH),
// which makes the driver refuse to install or remove anything; 0 when it fits.
size_t tooLongInstallDir(size_t& longest) {
  size_t name = 0;
  for (const char* copy : kHostCopies) name = strlen(copy) > name ? strlen(copy) : name;
  longest = MAX_PATH - 2 - name;
  std::vector<char> dir(MAX_PATH);
  while (strlen(getInstallDir(dir.data(), (DWORD)dir.size())) + 2 >= dir.size()) dir.resize(dir.size() * 2);
  size_t length = strlen(dir.data());
  return length > longest ? length : 0;
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
  if (module.empty()) module = ownDirectory() + "KVDRVR32.DLL";
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
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return dir + "x64\\KVSETUP.EXE";
  if (sizeof(void*) == 8 && dir.size() > 4 && lstrcmpiA(dir.substr(dir.size() - 4).c_str(), "x64\\") == 0)
    return dir.substr(0, dir.size() - 4) + "KVSETUP.EXE";
  return "";
}

// Runs the other bitness's setup program on its own module, its report going
// where this one's goes; answers its exit code, or 1 when it cannot start.
int runOtherSetup(const std::string& program, const char* verb, const char* report) {
  std::string module = program.substr(0, program.size() - strlen("KVSETUP.EXE")) + "KVDRVR32.DLL";
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
const char kRunValue[] = "KelvasongInstance";

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
    if (RegSetValueExA(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                       (DWORD)line.size() + 1) == ERROR_SUCCESS)
      printf("instance window: started at your logon (HKCU\\%s, %s)\n", kRunKey, kRunValue);
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
    bool removed = RegDeleteValueA(key, kRunValue) == ERROR_SUCCESS;
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

}  // namespace

int main(int argc, char** argv) {
  const char* hwnd = nullptr;
  const char* newDir = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "/?") == 0) return usage(stdout);
    bool installing = lstrcmpiA(argv[i], "/INSTALL") == 0;
    if (installing || lstrcmpiA(argv[i], "/REMOVE") == 0)
      return installOrRemove(installing, std::vector<std::string>(argv + i, argv + argc));
    if (lstrcmpiA(argv[i], "/CONFIG") == 0 && i + 4 < argc && strcmp(argv[i + 2], "-w") == 0) {
      hwnd = argv[i + 3];
      i += 4;
    } else if (lstrcmpiA(argv[i], "/DIR") == 0 && i + 1 < argc) {
      newDir = argv[++i];
    } else {
      return usage(stderr);
    }
  }
  if (newDir && setDirectory(newDir) != 0) return 1;
  return showConfiguration(hwnd);
}
