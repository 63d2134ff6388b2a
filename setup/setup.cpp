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
#include "setup/registration.h"
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
          "       KVSETUP.EXE /REPAIR [MODULE]\n"
          "       KVSETUP.EXE /CHECK [MODULE]\n"
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
          "                          changed (answer 1). A registration whose MIDI alias\n"
          "                          Windows deleted is registered again before it is\n"
          "                          removed, so that the removal takes all of it.\n"
          "  /REPAIR [MODULE]        register the driver again for each bitness whose\n"
          "                          registration is lost (Windows' MIDI repair deletes\n"
          "                          its midiN value, updates have dropped its Drivers32\n"
          "                          entries): answers 0 when it repaired or there was\n"
          "                          nothing to repair, 1 when it failed\n"
          "  /CHECK [MODULE]         tell what of the registration is there: answers 0\n"
          "                          when it is whole, 3 when /REPAIR would put something\n"
          "                          back, 4 when nothing of it is there (not installed),\n"
          "                          1 when it cannot tell\n"
          "  Unelevated, /INSTALL, /REMOVE and /REPAIR (when there is something to\n"
          "  repair) ask for elevation, and show the elevated run's report. The MIDI\n"
          "  mapper's settings are the user's at the desktop, also when an administrator's\n"
          "  credentials were given (/USER SID names another account).\n"
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
    if (isRegistrationVerb(argv[i])) return runRegistrationVerb(std::vector<std::string>(argv + i, argv + argc));
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
