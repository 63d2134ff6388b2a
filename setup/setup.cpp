// KVSETUP.EXE, the product's setup program. The driver's configuration command
// starts it as "KVSETUP.EXE /CONFIG 0 -w HWND HWND"; it shows the product's
// configuration and lets the user set the install directory. It does not open
// the driver's devices.
#include <stdio.h>
#include <string.h>

#include <string>

#include "hostlink/hostlink.h"
#include "install/slots.h"
#include "kvplatform.h"

namespace {

const char kIni[] = "KELVASON.INI";

int usage(FILE* out) {
  fprintf(out,
          "usage: KVSETUP.EXE /CONFIG 0 -w HWND HWND [/DIR DIRECTORY]\n"
          "       KVSETUP.EXE /DIR DIRECTORY\n"
          "       KVSETUP.EXE --help\n"
          "\n"
          "Shows the configuration of the synthesizer: the install directory and where it\n"
          "is read from (key KVDirectory of section [KelvasongSetup] of KELVASON.INI in the\n"
          "Windows directory; a KVDirectory key in section [DEBUG] wins), the host programs\n"
          "found there (KVTSK16.EXE and its copies KVMIDI16.EXE and KVWAVE16.EXE), and the\n"
          "driver's registration (its MIDI and wave aliases among the registered drivers).\n"
          "\n"
          "  /CONFIG 0 -w HWND HWND  how the driver's configuration command starts it; HWND\n"
          "                          is the number of the window that asked\n"
          "  /DIR DIRECTORY          store DIRECTORY as the install directory\n"
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
  }
  printf("driver KVDRVR32.DLL\n");
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

}  // namespace

int main(int argc, char** argv) {
  const char* hwnd = nullptr;
  const char* newDir = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "/?") == 0) return usage(stdout);
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
