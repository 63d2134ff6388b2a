// Starting the synthesizer host and waiting for its answer in the channel's
// status word. Every open starts a new host process; the driver keeps no handle
// to it after the wait and never ends it.
#include <string.h>

#include "hostlink/protocol.h"
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
  if (getModulePathForHost(szModule, MAX_PATH) == 0) return FALSE;
  GetShortPathNameA(szModule, szModule, MAX_PATH);
  wsprintfA(szCmd, "%s\\%s %s %s", szDir, szHost, szVerb, szModule);
  return TRUE;
}

// The host's full path is the program to start: the unquoted command line
// alone would start a C:\Program.exe for a host below C:\Program Files.
BOOL createHostProcess(char* szCmd, DWORD dwFlags, const char* szDir, const char* szHost, PROCESS_INFORMATION* pi) {
  char szProgram[MAX_PATH];
  if (lstrlenA(szDir) + 1 + lstrlenA(szHost) >= MAX_PATH) return FALSE;
  wsprintfA(szProgram, "%s\\%s", szDir, szHost);
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessA(szProgram, szCmd, nullptr, nullptr, FALSE, dwFlags, nullptr, szDir, &si, pi);
}

// The words of a channel block the launcher watches, and its close command.
struct ChannelWords {
  volatile DWORD* pdwStatus;
  volatile DWORD* phwndHost;
  volatile DWORD* puHostMsg;
  WPARAM wCloseCmd;
  // The open takes an acceptance by moving it on to CHANNEL_OPEN here.
  BOOL fTakeAcceptance;
};

// The open's handshake, as seen in one channel block (MIDI; the wave channel
// keeps the same order with its own gate, and its owner mutex is held by the
// open's pump thread). Who may write each word in each state; every other
// writer leaves the word alone.
//
// | state    | dwStatus   | hwndHost | gate   | owner mutex | who writes what                                   |
// |----------|------------|----------|--------|-------------|---------------------------------------------------|
// | free     | IDLE, or   | any      | -1, or | free, or    | an opener: the mutex (try-wait), then the gate    |
// |          | OPEN of a  |          | held by| abandoned   | (increment to 0); or, held by a gone owner, it    |
// |          | gone owner |          | it     |             | sends the close and goes on only on IDLE          |
// | cleared  | IDLE, or a | 0        | opener | opener      | opener: the clear. A host: hwndHost 0 -> self by  |
// |          | stray      |          |        |             | interlocked exchange, only while IDLE or ACCEPTED |
// |          | ACCEPTED   |          |        |             | (claim; it then serves under that acceptance)     |
// | claimed  | IDLE       | H        | opener | opener      | H: IDLE -> answer by interlocked exchange, only   |
// |          |            |          |        |             | while named. Opener, when H is not its host: the  |
// |          |            |          |        |             | close sent, then IDLE and hwndHost H -> 0         |
// |          |            |          |        |             | (dismissal: cleared), once H handled the close,   |
// |          |            |          |        |             | or its window has gone, or the status is IDLE;    |
// |          |            |          |        |             | else H keeps its name until a later pass. H gone  |
// |          |            |          |        |             | and IDLE: hwndHost H -> 0 by the opener           |
// | answered | ACCEPTED,  | H        | opener | opener      | opener (MIDI): ACCEPTED -> OPEN by interlocked    |
// |          | REFUSED or |          |        |             | exchange; a refusal or other answer counts once   |
// |          | other      |          |        |             | the opener's host has ended; then the gate and    |
// |          |            |          |        |             | mutex given back. A host no longer named: its own |
// |          |            |          |        |             | refusal or other answer -> IDLE by interlocked    |
// |          |            |          |        |             | exchange (taken back); an acceptance is left to   |
// |          |            |          |        |             | the named host                                    |
// | open     | OPEN       | H        | opener | opener      | H: OPEN -> IDLE on the close command, only while  |
// |          |            |          |        |             | named; the closer: gate -1, mutex released (free) |
//
// A late host of an earlier open is one that saw its name before a dismissal
// or a clear: its answer may land in "cleared" or in another host's "claimed"
// and, but for an acceptance, is taken back at once. An acceptance cannot be
// told from the named host's own (stored after a clear that came after the
// late one's), so none is taken back: the host the channel names serves under
// it (acceptChannel), and the open takes it in one interlocked step.
enum Answer { NO_ANSWER, OWN_ANSWER, FOREIGN_ANSWER };

// Whose answer the channel holds. The open has just cleared the block, so the
// status is CHANNEL_IDLE until a host answers. A host names its window before
// it answers; a live window of another process is a late host of an earlier
// open, whatever the status (it may have answered before this call looked).
// An acceptance without a window is a late host's too, stored as the open
// cleared the block: this open's host finds it and keeps it. A refusal
// without a window, or an answer whose window has gone, cannot be told apart
// and is taken as this open's.
Answer answerOf(const ChannelWords& ch, DWORD dwProcessId) {
  DWORD hwndHost = *ch.phwndHost;
  DWORD dwWindowProcess = 0;
  if (hwndHost != 0 && GetWindowThreadProcessId((HWND)(ULONG_PTR)hwndHost, &dwWindowProcess) != 0 &&
      dwWindowProcess != dwProcessId) {
    return FOREIGN_ANSWER;
  }
  DWORD dwStatus = *ch.pdwStatus;
  if (dwStatus == CHANNEL_IDLE) return NO_ANSWER;
  if (hwndHost == 0 && dwStatus == CHANNEL_ACCEPTED) return NO_ANSWER;
  return OWN_ANSWER;
}

// A late host took the channel before this open's host: it is told to close,
// and the channel is made ready again for the host this open started, which
// waits a while for a channel named for another host to come free. The name is
// freed only once no store of the late host can come: its close has been
// handled, its window has gone, or it has not answered (an answer it stores
// later finds it no longer named). A late host busy inside its close has
// checked its name and is about to store CHANNEL_IDLE; freed now, that store
// would land on this open's host's acceptance. It keeps its name, and a later
// pass sends the close again.
void dismissForeignHost(const ChannelWords& ch) {
  DWORD hwndHost = *ch.phwndHost;
  BOOL fHandled = sendHostCommand(hwndHost, *ch.puHostMsg, ch.wCloseCmd, 0, HOST_SEND_OR_POST);
  if (!fHandled && IsWindow((HWND)(ULONG_PTR)hwndHost) && *ch.pdwStatus != CHANNEL_IDLE) return;
  *ch.pdwStatus = CHANNEL_IDLE;
  InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(ch.phwndHost), 0, (LONG)hwndHost);
}

// A host that ended while the channel still named it (a late host whose close
// was handled after a pass that left it named) is done with the channel: a
// host destroys its window only after its last write. Its name is given back,
// or this open's host could never claim.
void freeNameOfEndedHost(const ChannelWords& ch) {
  DWORD hwndHost = *ch.phwndHost;
  if (hwndHost == 0 || *ch.pdwStatus != CHANNEL_IDLE || IsWindow((HWND)(ULONG_PTR)hwndHost)) return;
  InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(ch.phwndHost), 0, (LONG)hwndHost);
}

// Starts the host copy szHostCopy, or the base host when the copy cannot be
// started, then waits up to dwTimeoutMs for that host to answer in the channel.
int launchAndWait(const ChannelWords& ch, const char* szHostCopy, const char* szVerb, DWORD dwFlags, DWORD dwTimeoutMs,
                  BOOL fIdlePriority) {
  char szDir[MAX_PATH];
  char szCmd[1024];
  getInstallDir(szDir, MAX_PATH);
  if (!buildHostCommandLine(szCmd, szDir, szHostCopy, szVerb)) return -1;

  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!createHostProcess(szCmd, dwFlags, szDir, szHostCopy, &pi)) {
    if (!buildHostCommandLine(szCmd, szDir, kvSharedDA.names.szHostExe, szVerb)) return -1;
    if (!createHostProcess(szCmd, dwFlags, szDir, kvSharedDA.names.szHostExe, &pi)) return -1;
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
    Answer answer = answerOf(ch, pi.dwProcessId);
    // An acceptance is taken in one interlocked step: a late host, dismissed
    // after it had seen its own name, may store its acceptance over the
    // cleared status and take it back a moment later, when it finds itself
    // no longer named. Taken before, it serves as this open's (this open's
    // host finds the channel open and serves it); taken back before, the
    // status is idle again and the wait goes on for this open's own host.
    if (answer == OWN_ANSWER && ch.fTakeAcceptance && *ch.pdwStatus == CHANNEL_ACCEPTED &&
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(ch.pdwStatus), (LONG)CHANNEL_OPEN,
                                   (LONG)CHANNEL_ACCEPTED) != (LONG)CHANNEL_ACCEPTED) {
      answer = NO_ANSWER;
    }
    // A refusal (or any other answer) may be a late host's, stored over the
    // cleared status just before that host found itself no longer named and
    // took it back. A host always ends after it refuses, so only then is a
    // refusal this open's own.
    if (answer == OWN_ANSWER && *ch.pdwStatus != CHANNEL_ACCEPTED && *ch.pdwStatus != CHANNEL_OPEN &&
        WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) {
      answer = NO_ANSWER;
    }
    if (answer == OWN_ANSWER) break;
    if (answer == FOREIGN_ANSWER) dismissForeignHost(ch);
    if (answer == NO_ANSWER) freeNameOfEndedHost(ch);
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
  int nResult = answerOf(ch, pi.dwProcessId) == OWN_ANSWER ? 0 : -1;
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
  return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr;
}

}  // namespace

int startMidiHost(const char* szVerb, DWORD dwTimeoutMs) {
  const ChannelWords ch = {&gkMidiOut.dwStatus, &gkMidiOut.hwndHost, &gkMidiOut.uHostMsg, HOSTCMD_MIDI_CLOSE, TRUE};
  return launchAndWait(ch, kvSharedDA.names.szMidiHostExe, szVerb, MIDI_HOST_FLAGS, dwTimeoutMs, TRUE);
}

int startWaveHost(DWORD dwTimeoutMs) {
  if (!waveInstanceGateOpen()) {
    gkWaveOut.dwStatus = CHANNEL_REFUSED;
    return -1;
  }
  const ChannelWords ch = {&gkWaveOut.dwStatus, &gkWaveOut.hwndHost, &gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE, FALSE};
  return launchAndWait(ch, kvSharedDA.names.szWaveHostExe, KV_VERB_WAVE, WAVE_HOST_FLAGS, dwTimeoutMs, FALSE);
}
