// The module's entry: process attach and detach, and the installable-driver
// procedure DriverProc with the configuration command.
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/protocol.h"
#include "midiout/midiout.h"
#include "waveout/waveout.h"

namespace {

// Starts the setup program with the parent window's number; it runs on by itself.
LRESULT launchSetup(DWORD dwParentWindow) {
  char szDir[MAX_PATH];
  char szCmd[1024];
  getInstallDir(szDir, MAX_PATH);
  wsprintfA(szCmd, "%s\\%s /CONFIG 0 -w %u %u", szDir, KV_SETUP_PROGRAM, dwParentWindow, dwParentWindow);
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(nullptr, szCmd, nullptr, nullptr, FALSE, CREATE_SHARED_WOW_VDM | NORMAL_PRIORITY_CLASS, nullptr,
                      szDir, &si, &pi))
    return DRVCNF_CANCEL;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return DRVCNF_OK;
}

void shutdownWaveDevice(void) { waveDeviceShutdown(); }

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
  (void)lpvReserved;
  switch (fdwReason) {
    case DLL_PROCESS_ATTACH: midiDeviceInit(hinstDLL); return waveDeviceInit() == 0;
    case DLL_PROCESS_DETACH:
      // First the wave device, completely (its close command to the host, its
      // buffers back with WOM_DONE, WOM_CLOSE), inside csMidi; then, outside
      // it, the MIDI channel if this process has it open (no MOM_CLOSE).
      midiDeviceShutdown(shutdownWaveDevice);
      return TRUE;
    default: return TRUE;
  }
}

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
  switch (uMsg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_QUERYCONFIGURE: return 1;
    case DRV_CONFIGURE: return launchSetup((DWORD)lParam1);
    case DRV_INSTALL:
    case DRV_REMOVE: return DRVCNF_RESTART;  // registration is the installer's work
    default: return DefDriverProc(dwDriverId, hdrvr, uMsg, lParam1, lParam2);
  }
}
