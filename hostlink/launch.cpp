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
// FALSE when the module's own path cannot be had: a host started without it
// could never find the channel.
BOOL buildHostCommandLine(char* szCmd, const char* szDir, const char* szHost, const char* szVerb) {
  char szModule[MAX_PATH];
  DWORD cch = GetModuleFileNameA(ghModule, szModule, MAX_PATH);
  if (cch == 0 || cch >= MAX_PATH) return FALSE;
  GetShortPathNameA(szModule, szModule, MAX_PATH);
  wsprintfA(szCmd, "%s\\%s %s %s", szDir, szHost, szVerb, szModule);
  return TRUE;
}

BOOL createHostProcess(char* szCmd, DWORD dwFlags, const char* szDir, PROCESS_INFORMATION* pi) {
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessA(nullptr, szCmd, nullptr, nullptr, FALSE, dwFlags, nullptr, szDir, &si, pi);
}

// Whether the status word, changed from dwSaved, is the answer of the host in
// process dwProcessId. The host names its window before it answers; a window
// of another live process is a late host of an earlier open. A host that named
// no window, or whose window has gone, cannot be told apart and is taken as
// this call's.
BOOL answeredBy(volatile DWORD* pdwStatus, DWORD dwSaved, volatile DWORD* phwndHost, DWORD dwProcessId) {
  if (*pdwStatus == dwSaved) return FALSE;
  DWORD dwWindowProcess = 0;
  if (*phwndHost == 0 || GetWindowThreadProcessId((HWND)(ULONG_PTR)*phwndHost, &dwWindowProcess) == 0) return TRUE;
  return dwWindowProcess == dwProcessId;
}

// Starts the host copy szHostCopy, or the base host when the copy cannot be
// started, then waits up to dwTimeoutMs for that host to change *pdwStatus.
int launchAndWait(volatile DWORD* pdwStatus, volatile DWORD* phwndHost, const char* szHostCopy, const char* szVerb,
                  DWORD dwFlags, DWORD dwTimeoutMs, BOOL fIdlePriority) {
  char szDir[MAX_PATH];
  char szCmd[1024];
  getInstallDir(szDir, MAX_PATH);
  if (!buildHostCommandLine(szCmd, szDir, szHostCopy, szVerb)) return -1;
  DWORD dwSaved = *pdwStatus;

  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!createHostProcess(szCmd, dwFlags, szDir, &pi)) {
    if (!buildHostCommandLine(szCmd, szDir, kvSharedDA.names.szHostExe, szVerb)) return -1;
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
  for (;;) {
    if (answeredBy(pdwStatus, dwSaved, phwndHost, pi.dwProcessId)) break;
    if (GetTickCount() - dwStart > dwTimeoutMs) break;
    // A host that has ended answers no more; what it stored before it ended
    // is read once more below.
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
    // Lets messages that other threads send to this thread's windows through,
    // without taking anything from its queue.
    MSG msg;
    PeekMessageA(&msg, (HWND)(LONG_PTR)-1, 0xFFFFFFFF, 0xFFFFFFFF, PM_NOREMOVE);
    Sleep(1);
  }
  if (fPrioritySet && nOldPriority != THREAD_PRIORITY_ERROR_RETURN) SetThreadPriority(GetCurrentThread(), nOldPriority);
  int nResult = answeredBy(pdwStatus, dwSaved, phwndHost, pi.dwProcessId) ? 0 : -1;
  if (pi.hThread) CloseHandle(pi.hThread);
  if (pi.hProcess) CloseHandle(pi.hProcess);
  return nResult;
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
  return launchAndWait(&gkMidiOut.dwStatus, &gkMidiOut.hwndHost, kvSharedDA.names.szMidiHostExe, szVerb,
                       MIDI_HOST_FLAGS, dwTimeoutMs, TRUE);
}

int startWaveHost(DWORD dwTimeoutMs) {
  if (!waveInstanceGateOpen()) {
    gkWaveOut.dwStatus = CHANNEL_REFUSED;
    return -1;
  }
  return launchAndWait(&gkWaveOut.dwStatus, &gkWaveOut.hwndHost, kvSharedDA.names.szWaveHostExe, "/OpenKvWaveOut$",
                       WAVE_HOST_FLAGS, dwTimeoutMs, FALSE);
}
