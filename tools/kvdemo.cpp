// End-to-end demonstration on an emulated machine: the driver module loaded into
// two processes shares its channel blocks between them, a process started with
// a Windows command line finds its directory and the product's INI file, and a
// named event hands over between the two.
#include <stdio.h>
#include <string.h>

#include <string>

#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const char kReadyEvent[] = "kvdemo-child-wrote";

struct Module {
  HMODULE handle;
  DWORD* midi;  // the first words of gkMidiOut
};

bool loadModule(const char* path, Module& m) {
  m.handle = LoadLibraryA(path);
  m.midi = m.handle ? reinterpret_cast<DWORD*>(GetProcAddress(m.handle, "gkMidiOut")) : nullptr;
  if (!m.midi) fprintf(stderr, "kvdemo: cannot load %s (error %u)\n", path, GetLastError());
  return m.midi != nullptr;
}

int child(const char* modulePath) {
  Module m;
  if (!loadModule(modulePath, m)) return 1;
  char dir[MAX_PATH];
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", dir, sizeof dir, "KELVASON.INI");
  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  printf("child:  command line \"%s\"\n", GetCommandLineA());
  printf("child:  current directory %s, install directory from KELVASON.INI %s\n", cwd, dir);
  m.midi[1] = 4096;        // dwRingSize
  m.midi[5] = 0x11111120;  // dwVersion
  printf("child:  wrote dwRingSize and dwVersion into gkMidiOut\n");
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
  return ready && SetEvent(ready) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--child") == 0) return child(argv[2]);

  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string module = std::string(self).substr(0, std::string(self).find_last_of("\\/")) + "/KVDRVR32.DLL";
  printf("machine root %s\n", platMachineRoot());
  if (!platMachineInit() || !CreateDirectoryA("C:\\KV", nullptr) || !CopyFileA(self, "C:\\KV\\KVDEMO.EXE", FALSE) ||
      !WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV\\", "KELVASON.INI")) {
    fprintf(stderr, "kvdemo: cannot prepare the machine (error %u)\n", GetLastError());
    return 1;
  }
  Module m;
  if (!loadModule(module.c_str(), m)) return 1;
  printf("parent: gkMidiOut dwRingSize %u dwVersion 0x%08X before\n", m.midi[1], m.midi[5]);

  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
  char line[1024];
  wsprintfA(line, "C:\\KV\\KVDEMO.EXE --child %s", module.c_str());
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!ready || !CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0x1020, nullptr, "C:\\KV", &si, &pi)) {
    fprintf(stderr, "kvdemo: cannot start the child (error %u)\n", GetLastError());
    return 1;
  }
  fflush(stdout);
  bool handedOver = WaitForSingleObject(ready, 10000) == WAIT_OBJECT_0;
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  printf("parent: gkMidiOut dwRingSize %u dwVersion 0x%08X after the child's writes\n", m.midi[1], m.midi[5]);
  bool shared = handedOver && m.midi[1] == 4096 && m.midi[5] == 0x11111120;
  printf("%s\n", shared ? "the two processes share the channel block" : "FAILED: the block is not shared");
  return shared ? 0 : 1;
}
