// Starting the synthesizer host and waiting for its answer in the channel's
// status word. Every open starts a new host process; the driver keeps no handle
// to it after the wait and never ends it.
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/shared.h"

HMODULE ghModule = nullptr;

namespace {

const DWORD MIDI_HOST_FLAGS = CREATE_SHARED_WOW_VDM | NORMAL_PRIORITY_CLASS;
const DWORD WAVE_HOST_FLAGS = CREATE_DEFAULT_ERROR_MODE | CREATE_SHARED_WOW_VDM | CREATE_NEW_PROCESS_GROUP |
                              NORMAL_PRIORITY_CLASS | DETACHED_PROCESS;
const DWORD FIRST_WAIT_MS = 100;

// "dir\host verb module": nothing is quoted, so the module path is made short.
void buildHostCommandLine(char* szCmd, const char* szDir, const char* szHost, const char* szVerb) {
  char szModule[MAX_PATH];
  GetModuleFileNameA(ghModule, szModule, MAX_PATH);
  GetShortPathNameA(szModule, szModule, MAX_PATH);
  wsprintfA(szCmd, "%s\\%s %s %s", szDir, szHost, szVerb, szModule);
}

BOOL createHostProcess(char* szCmd, DWORD dwFlags, const char* szDir, PROCESS_INFORMATION* pi) {
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessA(nullptr, szCmd, nullptr, nullptr, FALSE, dwFlags, nullptr, szDir, &si, pi);
}

// Starts the host copy szHostCopy, or the base host when the copy cannot be
// started, then waits up to dwTimeoutMs for *pdwStatus to change.
int launchAndWait(volatile DWORD* pdwStatus, const char* szHostCopy, const char* szVerb, DWORD dwFlags,
                  DWORD dwTimeoutMs, BOOL fIdlePriority) {
  char szDir[MAX_PATH];
  char szCmd[1024];
  getInstallDir(szDir, MAX_PATH);
  buildHostCommandLine(szCmd, szDir, szHostCopy, szVerb);
  DWORD dwSaved = *pdwStatus;

  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!createHostProcess(szCmd, dwFlags, szDir, &pi)) {
    buildHostCommandLine(szCmd, szDir, kvSharedDA.names.szHostExe, szVerb);
    if (!createHostProcess(szCmd, dwFlags, szDir, &pi)) return -1;
  }

  DWORD dwStart = GetTickCount();
  int nOldPriority = THREAD_PRIORITY_ERROR_RETURN;
  BOOL fPrioritySet = FALSE;
  if (fIdlePriority) {
    nOldPriority = GetThreadPriority(GetCurrentThread());
    fPrioritySet = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
  }
  // A host that ends early only cuts this first wait short.
  WaitForSingleObject(pi.hProcess, dwTimeoutMs < FIRST_WAIT_MS ? dwTimeoutMs : FIRST_WAIT_MS);
  while (*pdwStatus == dwSaved) {
    if (GetTickCount() - dwStart > dwTimeoutMs) break;
    // Lets messages that other threads send to this thread's windows through,
    // without taking anything from its queue.
    MSG msg;
    PeekMessageA(&msg, (HWND)(LONG_PTR)-1, 0xFFFFFFFF, 0xFFFFFFFF, PM_NOREMOVE);
    Sleep(1);
  }
  if (fPrioritySet && nOldPriority != THREAD_PRIORITY_ERROR_RETURN) SetThreadPriority(GetCurrentThread(), nOldPriority);
  if (pi.hThread) CloseHandle(pi.hThread);
  if (pi.hProcess) CloseHandle(pi.hProcess);
  return *pdwStatus != dwSaved ? 0 : -1;
}

// The wave host is started only from a process that is not CSRSS.EXE and only
// while the product's instance window exists.
BOOL waveInstanceGateOpen() {
  char szExe[MAX_PATH];
  DWORD cch = GetModuleFileNameA(nullptr, szExe, MAX_PATH);
  if (cch != 0 && cch < MAX_PATH) {
    char szFull[MAX_PATH];
    char* pszName = nullptr;
    DWORD cchFull = GetFullPathNameA(szExe, MAX_PATH, szFull, &pszName);
    if (cchFull != 0 && cchFull < MAX_PATH && pszName && lstrcmpiA(pszName, "CSRSS.EXE") == 0) return FALSE;
  }
  return FindWindowA("KVInstWinClass", nullptr) != nullptr;
}

}  // namespace

int startMidiHost(const char* szVerb, DWORD dwTimeoutMs) {
  return launchAndWait(&gkMidiOut.dwStatus, kvSharedDA.names.szMidiHostExe, szVerb, MIDI_HOST_FLAGS, dwTimeoutMs, TRUE);
}

int startWaveHost(DWORD dwTimeoutMs) {
  if (!waveInstanceGateOpen()) {
    gkWaveOut.dwStatus = CHANNEL_REFUSED;
    return -1;
  }
  return launchAndWait(&gkWaveOut.dwStatus, kvSharedDA.names.szWaveHostExe, "/OpenKvWaveOut$", WAVE_HOST_FLAGS,
                       dwTimeoutMs, FALSE);
}
