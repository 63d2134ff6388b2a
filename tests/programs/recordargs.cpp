// Stands in for a program the driver starts: writes the command line it was
// given and its current directory to NAME.ARGS in its current directory, NAME
// being its own file name. Started as a host ("VERB MODULE"), it refuses the
// channel at once, so the open that started it need not wait.
#include <stdio.h>
#include <string.h>

#include <string>

#include "hostlink/module.h"
#include "kvplatform.h"

int main(int argc, char** argv) {
  std::string self = argv[0];
  size_t sep = self.find_last_of("\\/");
  std::string name = sep == std::string::npos ? self : self.substr(sep + 1);
  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  FILE* f = fopen((name + ".ARGS").c_str(), "w");
  if (!f) return 1;
  fprintf(f, "%s\n%s\n", GetCommandLineA(), cwd);
  if (fclose(f) != 0) return 1;
  if (argc == 3 && argv[1][0] == '/') {
    bool midi = strcmp(argv[1], "/OpenKvMidiOut$") == 0;
    HMODULE module = LoadLibraryA(argv[2]);
    FARPROC setter = module ? GetProcAddress(module, midi ? "setgkMidiOutLong" : "setgkWaveOutLong") : nullptr;
    if (!setter) return 1;
    reinterpret_cast<SetLongFn>(reinterpret_cast<void*>(setter))(0, 2);
  }
  return 0;
}
