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

#include "host/fluidbind.h"
#include "host/synth.h"
#include "hostlink/hostlink.h"
#include "install/slots.h"
#include "kvplatform.h"
#include "setup/pending.h"

namespace {

const char kIni[] = "KELVASON.INI";

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
          "found there (KVTSK16.EXE and its copies KVMIDI16.EXE and KVWAVE16.EXE), and the\n"
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
          "                          Both tell what changed and answer 0, or 1 when the\n"
          "                          module could not be loaded or its answer was -1.\n"
          "                          A damaged registry is told about, and nothing is\n"
          "                          changed (answer 1).\n"
          "  --help                  this text\n");
  return out == stdout ? 0 : 2;
}

bool iniHas(const char* section) {
  char value[MAX_PATH];
  GetPrivateProfileStringA(section, "KVDirectory", "\x01", value, sizeof value, kIni);
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
  HostSettings settings = loadHostSettings(dir + "\\KVHOST.INI", &said);
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
  printf("  read from        %s\\%s, section [%s]\n", winDir, kIni,
         iniHas("DEBUG")            ? "DEBUG"
         : iniHas("KelvasongSetup") ? "KelvasongSetup"
                                    : "none");
  if (dir[0]) {
    printf("host programs\n");
    showProgram(dir, "KVTSK16.EXE");
    showProgram(dir, "KVMIDI16.EXE");
    showProgram(dir, "KVWAVE16.EXE");
    showSynthesizer(dir);
  }
  printf("driver KVDRVR32.DLL\n");
  if (registryDamaged()) return 1;
  showAlias("MIDI output", getKVMidiNumber(), "midi");
  showAlias("wave output", getKVWaveNumber(), "wave");
  return 0;
}

int setDirectory(const char* dir) {
  if (!WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", dir, kIni)) {
    fprintf(stderr, "KVSETUP: cannot write %s (error %u)\n", kIni, (unsigned)GetLastError());
    return 1;
  }
  if (iniHas("DEBUG")) printf("note: the [DEBUG] section's KVDirectory still overrides it\n");
  return 0;
}

// ---- installation and removal -------------------------------------------------------

const char kDrivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const char kMidiMap[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap";
const char kMidiMapSave[] = "Software\\Orvellin\\Kelvasong\\MIDIMapSave";
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

const char* const kHostCopies[] = {"KVMIDI16.EXE", "KVWAVE16.EXE"};

MachineState lookAtMachine() {
  MachineState s;
  s.aliases = readValues(HKEY_LOCAL_MACHINE, kDrivers32, isAlias);
  s.mapper = readValues(HKEY_CURRENT_USER, kMidiMap, isMapperValue);
  s.mapperSaved = keyExists(HKEY_CURRENT_USER, kMidiMapSave);
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
  printf("driver aliases (HKLM\\%s):\n", kDrivers32);
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

  printf("MIDI mapper (HKCU\\%s):\n", kMidiMap);
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

typedef int(WINAPI* InstallExport)(void);

int runExport(const char* exportName, const char* modulePath, bool installing) {
  std::string module = modulePath ? modulePath : "";
  if (module.empty()) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string me(self, n < sizeof self ? n : 0);
    size_t sep = me.find_last_of("\\/");
    // Beside this program, with the separator its own path uses.
    module = (sep == std::string::npos ? std::string() : me.substr(0, sep + 1)) + "KVDRVR32.DLL";
  }
  if (registryDamaged()) return 1;
  HMODULE h = LoadLibraryA(module.c_str());
  if (!h) {
    fprintf(stderr, "KVSETUP: cannot load the driver module %s (error %u)\n", module.c_str(), (unsigned)GetLastError());
    return 1;
  }
  InstallExport fn = reinterpret_cast<InstallExport>(reinterpret_cast<void*>(GetProcAddress(h, exportName)));
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

}  // namespace

int main(int argc, char** argv) {
  const char* hwnd = nullptr;
  const char* newDir = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "/?") == 0) return usage(stdout);
    bool installing = lstrcmpiA(argv[i], "/INSTALL") == 0;
    if (installing || lstrcmpiA(argv[i], "/REMOVE") == 0) {
      if (argc > i + 2) return usage(stderr);
      return runExport(installing ? "kvInstallDriverNT" : "kvRemoveDriverNT", i + 1 < argc ? argv[i + 1] : nullptr,
                       installing);
    }
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
