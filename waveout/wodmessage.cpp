// The wave output device "Kelvasong WaveOut (NT)": wodMessage, open and close
// against the host, the buffer queue, pause, restart, reset, position and volume.
#include <assert.h>
#include <stddef.h>
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/shared.h"
#include "waveout/waveout.h"

WaveClient waveClient;
CRITICAL_SECTION csWaveQueue;
WavePumpFlags wavePump = {0, PUMP_STARTING, 0, 0, 0, 0};

// The thread that holds csWaveQueue and how often it entered, for
// waveQueueHeld. Changed by the holder only; read by any thread.
static volatile LONG lWaveQueueOwner = 0;
static LONG lWaveQueueDepth = 0;

void waveQueueEnter() {
  EnterCriticalSection(&csWaveQueue);
  if (lWaveQueueDepth++ == 0) InterlockedExchange(&lWaveQueueOwner, (LONG)GetCurrentThreadId());
}

void waveQueueLeave() {
  assert(waveQueueHeld());
  if (--lWaveQueueDepth == 0) InterlockedExchange(&lWaveQueueOwner, 0);
  LeaveCriticalSection(&csWaveQueue);
}

BOOL waveQueueHeld() { return InterlockedOr(&lWaveQueueOwner, 0) == (LONG)GetCurrentThreadId(); }

namespace {

const DWORD WAVE_OPEN_TIMEOUT_MS = 30000;

CRITICAL_SECTION csWaveOpen;
volatile LONG lWaveLocalGate = -1;
volatile LONG lWaveCloseGate = -1;
// 1 while this process holds the system-wide gate (taken, or carried on from a
// gone owner); whoever clears it frees the gate.
volatile LONG lWaveHoldsGate = 0;
// The host window of this process's session: while hwndHost still names it,
// the channel is this process's.
DWORD dwWaveSessionHost = 0;
// The thread handle of a pump that finished a close itself; closed by the next
// open or at process detach.
HANDLE hWaveEndedPump = nullptr;
// The thread that returns buffers for a reset or close while it holds
// csWaveQueue, and so runs the client's callbacks under it; 0 otherwise.
// Read and written under csWaveQueue.
DWORD dwWaveReturningThread = 0;

const WAVEOUTCAPSW WAVE_CAPS = {
    0xF001,
    0x4000,
    0xA5,
    {'K', 'e', 'l', 'v', 'a', 's', 'o', 'n', 'g', ' ', 'W', 'a', 'v', 'e', 'O', 'u', 't', ' ', '(', 'N', 'T', ')'},
    0xFFF,  // every standard format, WAVE_FORMAT_1M08 to WAVE_FORMAT_4S16
    2,
    12,
    0,
};

BOOL takeGate(volatile LONG* plGate) {
  if (InterlockedIncrement(plGate) == 0) return TRUE;
  InterlockedDecrement(plGate);
  return FALSE;
}

BOOL isOpen() { return (waveFlags() & WCF_OPEN) != 0; }

void deliver(DWORD_PTR dwCallback, DWORD dwOpenFlags, HWAVE hWave, UINT uMessage, DWORD_PTR dwInstance,
             DWORD_PTR dwParam1) {
  if (dwCallback == 0) return;
  DriverCallback(dwCallback, HIWORD(dwOpenFlags), (HDRVR)hWave, uMessage, dwInstance, dwParam1, 0);
}

// The open description's format pointer is typed differently by different
// headers; the record behind it always begins as a WAVEFORMATEX does.
const WAVEFORMATEX* formatOf(const WAVEOPENDESC* pDesc) {
  return reinterpret_cast<const WAVEFORMATEX*>(pDesc->lpFormat);
}

BOOL formatSupported(const WAVEFORMATEX* pwf) {
  return pwf->wFormatTag == WAVE_FORMAT_PCM && (pwf->wBitsPerSample == 16 || pwf->wBitsPerSample == 8) &&
         (pwf->nChannels == 1 || pwf->nChannels == 2) && pwf->nSamplesPerSec >= 1000 && pwf->nSamplesPerSec <= 0xFFFF;
}

DWORD wodGetDevCaps(BYTE* pbCaps, DWORD cbCaps) {
  if (!pbCaps) return MMSYSERR_INVALPARAM;
  DWORD cb = LOWORD(cbCaps) < sizeof WAVE_CAPS ? LOWORD(cbCaps) : (DWORD)sizeof WAVE_CAPS;
  memcpy(pbCaps, &WAVE_CAPS, cb);
  return MMSYSERR_NOERROR;
}

// Prepares the client record for a new open.
void prepareClient(const WAVEOPENDESC* pDesc, DWORD dwFlags) {
  const WAVEFORMATEX* pwf = formatOf(pDesc);
  WaveClient& wc = waveClient;
  memset((void*)&wc, 0, sizeof wc);
  wc.dwSampleRate = pwf->nSamplesPerSec;
  LONG lFlags = 0;
  if (pwf->nChannels == 2) {
    lFlags |= WCF_STEREO;
    wc.bShift += 1;
  }
  if (pwf->wBitsPerSample == 16) {
    lFlags |= WCF_16BIT;
    wc.bShift += 1;
  } else {
    wc.bSilence = 0x80;
  }
  wc.dwClientFlags = lFlags;
  wc.dwCallback = pDesc->dwCallback;
  wc.dwInstance = pDesc->dwInstance;
  wc.hWave = pDesc->hWave;
  wc.dwOpenFlags = dwFlags;
}

// Prepares the channel block for a new open; the system-wide gate is held.
void prepareChannel(const WAVEOPENDESC* pDesc) {
  memset((void*)&gkWaveOut, 0, sizeof(WaveChannel));
  gkWaveOut.dwRingSize = WAVE_RING_SIZE;
  gkWaveOut.dwVersion = CHANNEL_VERSION;
  if (waveClient.bSilence) memset(gkWaveOut.abRing, waveClient.bSilence, WAVE_RING_SIZE);
  memcpy(&gkWaveOut.wfFormat, formatOf(pDesc), sizeof(ChannelFormat));
}

// Waits until the pump's answer moves on from lFrom, or the pump has ended;
// answers where it stands.
LONG waitForPump(LONG lFrom) {
  for (;;) {
    LONG lOwner = InterlockedOr(&wavePump.lState, 0);
    if (lOwner != lFrom) return lOwner;
    DWORD dwWait = WaitForSingleObject(waveClient.hPumpThread, 1);
    if (dwWait == WAIT_OBJECT_0) return InterlockedOr(&wavePump.lState, 0);
    if (dwWait == WAIT_FAILED) Sleep(1);
  }
}

void closeEvents() {
  WaveClient& wc = waveClient;
  if (wc.hStopEvent) CloseHandle(wc.hStopEvent);
  if (wc.hGoEvent) CloseHandle(wc.hGoEvent);
  wc.hStopEvent = nullptr;
  wc.hGoEvent = nullptr;
}

// Waits until no pump does the module's work any more, without waiting for a
// thread's end: during an unload that end needs the system's loader lock,
// which the unloading thread holds. A pump that the system has ended already
// (at process exit) counts as gone.
void waitPumpsGone(HANDLE hThread) {
  while (InterlockedOr(&wavePump.lRunning, 0) > 0) {
    DWORD dwWait = WaitForSingleObject(hThread, 1);
    if (dwWait == WAIT_OBJECT_0) return;
    if (dwWait == WAIT_FAILED) Sleep(1);
  }
}

// Stops the pump and waits for it; a failed signal or wait still ends in a
// stopped pump, as the pump also looks at wavePump.lStop every tick. A pump that
// has not started to play waits on its go event instead.
void stopPump(BOOL fDetach) {
  WaveClient& wc = waveClient;
  InterlockedExchange(&wavePump.lStop, 1);
  SetEvent(InterlockedOr(&wavePump.lGo, 0) ? wc.hStopEvent : wc.hGoEvent);
  if (fDetach || WaitForSingleObject(wc.hPumpThread, INFINITE) != WAIT_OBJECT_0) waitPumpsGone(wc.hPumpThread);
  CloseHandle(wc.hPumpThread);
  wc.hPumpThread = nullptr;
}

// Starts the pump, which takes the owner mutex and then waits for the open's
// word. MMSYSERR_ALLOCATED when a live owner or an open under way elsewhere
// holds the mutex.
DWORD startOwner() {
  WaveClient& wc = waveClient;
  InterlockedExchange(&wavePump.lStop, 0);
  InterlockedExchange(&wavePump.lGo, 0);
  InterlockedExchange(&wavePump.lState, PUMP_STARTING);
  wc.hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  wc.hGoEvent = wc.hStopEvent ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (wc.hGoEvent) {
    InterlockedIncrement(&wavePump.lRunning);
    wc.hPumpThread = CreateThread(nullptr, 0, wavePumpThread, nullptr, 0, &wc.dwPumpThreadId);
    if (wc.hPumpThread) {
      LONG lOwner = waitForPump(PUMP_STARTING);
      if (lOwner == PUMP_OWNS_MUTEX) return MMSYSERR_NOERROR;
      stopPump(FALSE);
      closeEvents();
      return lOwner == PUMP_MUTEX_TAKEN ? MMSYSERR_ALLOCATED : MMSYSERR_NODRIVER;
    }
    InterlockedDecrement(&wavePump.lRunning);
  }
  closeEvents();
  return MMSYSERR_NODRIVER;
}

// The host has accepted: the pump starts to play. Only once it has made its
// first tick is the channel marked open. On failure the host is told to close.
DWORD startPlaying() {
  WaveClient& wc = waveClient;
  dwWaveSessionHost = gkWaveOut.hwndHost;
  InterlockedExchange(&wavePump.lGo, 1);
  SetEvent(wc.hGoEvent);
  if (waitForPump(PUMP_OWNS_MUTEX) == PUMP_TICKED) {
    gkWaveOut.dwStatus = CHANNEL_OPEN;
    waveQueueEnter();
    InterlockedOr(&wc.dwClientFlags, WCF_OPEN);
    waveQueueLeave();
    waveNotify(WOM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
  }
  sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE, 0, HOST_SEND_BLOCKING);
  return MMSYSERR_NODRIVER;
}

// The system-wide gate is held, but this open's pump owns the owner mutex:
// whoever holds the gate has gone, in its session or while its open was under
// way. Its channel is taken over when its host has gone (its window no longer
// exists, so it cannot answer) or is idle, or goes idle when told to close.
// Also an idle channel's host is told: it may be one that the gone opener
// started and that has not answered yet.
BOOL hostLeftChannel() {
  return hostLeavesChannel(&gkWaveOut.dwStatus, gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE);
}

// The fields of the open description that the open reads, and of the format
// (its first 16 bytes are copied whole into the channel).
const UINT_PTR WAVE_OPEN_DESC_READ = offsetof(WAVEOPENDESC, uMappedDeviceID);
const UINT_PTR WAVE_FORMAT_READ = sizeof(ChannelFormat);

DWORD wodOpen(const WAVEOPENDESC* pDesc, DWORD dwFlags) {
  if (!pDesc || IsBadReadPtr(pDesc, WAVE_OPEN_DESC_READ)) return MMSYSERR_INVALPARAM;
  if (!pDesc->lpFormat || IsBadReadPtr(pDesc->lpFormat, WAVE_FORMAT_READ)) return MMSYSERR_INVALPARAM;
  if (!formatSupported(formatOf(pDesc))) return WAVERR_BADFORMAT;
  if (dwFlags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;

  EnterCriticalSection(&csWaveOpen);
  BOOL fLocal = takeGate(&lWaveLocalGate);
  LeaveCriticalSection(&csWaveOpen);
  if (!fLocal) return MMSYSERR_ALLOCATED;
  if (hWaveEndedPump) {
    CloseHandle(hWaveEndedPump);
    hWaveEndedPump = nullptr;
  }

  prepareClient(pDesc, dwFlags);
  DWORD dwResult = startOwner();
  if (dwResult != MMSYSERR_NOERROR) {
    InterlockedDecrement(&lWaveLocalGate);
    return dwResult;
  }
  // Taken over from a gone owner, the gate stays held and this open carries
  // on holding it.
  if (!takeGate(&kvSharedDA.names.lWaveOpenGate) && !hostLeftChannel()) {
    stopPump(FALSE);
    closeEvents();
    InterlockedDecrement(&lWaveLocalGate);
    return MMSYSERR_ALLOCATED;
  }
  dwWaveSessionHost = 0;
  InterlockedExchange(&lWaveHoldsGate, 1);

  prepareChannel(pDesc);
  startWaveHost(WAVE_OPEN_TIMEOUT_MS);
  switch (gkWaveOut.dwStatus) {
    case CHANNEL_ACCEPTED:
      dwResult = startPlaying();
      if (dwResult == MMSYSERR_NOERROR) return dwResult;
      break;
    case CHANNEL_REFUSED: dwResult = MMSYSERR_ALLOCATED; break;
    default: dwResult = MMSYSERR_NODRIVER; break;
  }
  // The pump frees the gate before it lets go of the mutex.
  stopPump(FALSE);
  closeEvents();
  InterlockedDecrement(&lWaveLocalGate);
  return dwResult;
}

// Returns every buffer queued when it begins, in order, with WOM_DONE;
// csWaveQueue is held. A buffer that the client writes from one of these
// notifications (a streaming client writes each buffer again as it comes
// back) stays queued and is played from its start: returning it too would
// never end. A reset made from a notification returns the rest itself.
void returnQueue() {
  assert(waveQueueHeld());
  WaveClient& wc = waveClient;
  LONG lReset = InterlockedIncrement(&wavePump.lResets);
  waveSetSamplesSent(0);
  WAVEHDR* pLast = wc.lpQueueHead;
  while (pLast && pLast->lpNext) pLast = pLast->lpNext;
  DWORD dwOuter = dwWaveReturningThread;  // a reset or close from a callback nests
  dwWaveReturningThread = GetCurrentThreadId();
  while (pLast && wc.lpQueueHead && InterlockedOr(&wavePump.lResets, 0) == lReset) {
    WAVEHDR* pHdr = wc.lpQueueHead;
    wc.lpQueueHead = pHdr->lpNext;
    waveReturnBuffer(pHdr);
    if (pHdr == pLast) break;
  }
  if (wc.lpQueueHead) {
    wc.lpPlayData = reinterpret_cast<BYTE*>(wc.lpQueueHead->lpData);
    wc.dwPlayRemain = wc.lpQueueHead->dwBufferLength;
  }
  dwWaveReturningThread = dwOuter;
}

DWORD wodReset() {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  waveQueueEnter();
  returnQueue();
  waveQueueLeave();
  return MMSYSERR_NOERROR;
}

// The close gate is held and the device open. WCF_OPEN is cleared under the
// queue lock, so a write either comes before and is returned here, or after
// and is refused.
DWORD closeDevice(BOOL fDetach) {
  WaveClient& wc = waveClient;
  // A channel that another open has taken over since (this process's pump was
  // ended by the system first) is that open's: its host is left alone.
  if (gkWaveOut.hwndHost == dwWaveSessionHost) {
    sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE, 0, HOST_SEND_OR_POST);
  }
  waveQueueEnter();
  InterlockedAnd(&wc.dwClientFlags, ~WCF_OPEN);
  returnQueue();
  // From a callback under a reset, this thread still holds the queue lock
  // when the close returns, and the pump may be waiting for it.
  BOOL fInsideReturn = dwWaveReturningThread == GetCurrentThreadId();
  waveQueueLeave();
  if (fInsideReturn || GetCurrentThreadId() == wc.dwPumpThreadId) {
    // From the client's callback on the pump thread, which cannot wait for
    // itself, or under a reset: the pump finishes the close once the callback
    // has returned.
    InterlockedExchange(&wavePump.lCloseOnPump, 1);
    InterlockedExchange(&wavePump.lStop, 1);
    SetEvent(wc.hStopEvent);
    return MMSYSERR_NOERROR;
  }
  // The pump has ended before the gates go and WOM_CLOSE is sent, so no
  // WOM_DONE can follow WOM_CLOSE.
  stopPump(fDetach);
  waveFinishClose(FALSE);
  return MMSYSERR_NOERROR;
}

// The close gate is taken before WCF_OPEN is tested: of two closes at once,
// the second finds the device closed.
DWORD wodClose(BOOL fDetach) {
  if (!takeGate(&lWaveCloseGate)) return MMSYSERR_INVALHANDLE;
  if (!isOpen()) {
    InterlockedDecrement(&lWaveCloseGate);
    return MMSYSERR_INVALHANDLE;
  }
  return closeDevice(fDetach);
}

DWORD wodWrite(WAVEHDR* pHdr, DWORD cbHdr) {
  WaveClient& wc = waveClient;
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (cbHdr < sizeof(WAVEHDR) || !pHdr || IsBadReadPtr(pHdr, sizeof(WAVEHDR))) return MMSYSERR_INVALPARAM;
  // The pump hands buffers back with interlocked stores, from its own thread.
  LONG lFlags = InterlockedOr(reinterpret_cast<volatile LONG*>(&pHdr->dwFlags), 0);
  if (!(lFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (lFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  DWORD cb = pHdr->dwBufferLength;
  if (cb != 0) {
    if (cb & ((1u << wc.bShift) - 1)) return MMSYSERR_INVALPARAM;
    if (!pHdr->lpData || IsBadReadPtr(pHdr->lpData, cb)) return MMSYSERR_INVALPARAM;
  }
  waveQueueEnter();
  // Tested again under the lock: a close clears WCF_OPEN under it.
  if (!isOpen()) {
    waveQueueLeave();
    return MMSYSERR_INVALHANDLE;
  }
  // A header still queued (its WHDR_INQUEUE cleared by the client) would
  // become its own successor.
  WAVEHDR* pTail = nullptr;
  for (WAVEHDR* p = wc.lpQueueHead; p; p = p->lpNext) {
    if (p == pHdr) {
      waveQueueLeave();
      return WAVERR_STILLPLAYING;
    }
    pTail = p;
  }
  pHdr->lpNext = nullptr;
  pHdr->dwFlags = (pHdr->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  if (!pTail) {
    wc.lpQueueHead = pHdr;
    wc.lpPlayData = reinterpret_cast<BYTE*>(pHdr->lpData);
    wc.dwPlayRemain = cb;
  } else {
    pTail->lpNext = pHdr;
  }
  waveQueueLeave();
  return MMSYSERR_NOERROR;
}

DWORD wodPause() {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  InterlockedOr(&waveClient.dwClientFlags, WCF_PAUSED);
  return MMSYSERR_NOERROR;
}

DWORD wodRestart() {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  InterlockedAnd(&waveClient.dwClientFlags, ~WCF_PAUSED);
  return MMSYSERR_NOERROR;
}

// In milliseconds under the queue lock, so that the answer comes after the
// pump's tick under way; in samples or bytes without it: a client that asks
// often (a player keeping its picture in time) and is preempted while it asks
// must not hold up the pump.
DWORD wodGetPos(MMTIME* pTime) {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (!pTime) return MMSYSERR_INVALPARAM;
  WaveClient& wc = waveClient;
  ULONGLONG qwSamples;
  if (pTime->wType == TIME_MS) {
    waveQueueEnter();
    qwSamples = wc.qwSamplesSent;
    waveQueueLeave();
  } else {
    qwSamples = waveSamplesSent();
  }
  switch (pTime->wType) {
    case TIME_MS: pTime->u.ms = (DWORD)((qwSamples * 1000) / wc.dwSampleRate); break;
    case TIME_SAMPLES: pTime->u.sample = (DWORD)qwSamples; break;
    case TIME_BYTES: pTime->u.cb = (DWORD)qwSamples << wc.bShift; break;
    default:
      pTime->wType = TIME_SAMPLES;
      pTime->u.sample = (DWORD)qwSamples;
      break;
  }
  return MMSYSERR_NOERROR;
}

DWORD wodGetVolume(DWORD* pdwVolume) {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (!pdwVolume) return MMSYSERR_INVALPARAM;
  // The host refreshes dwVolume while it handles the command; a host that
  // does not answer leaves the last value.
  sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_GETVOLUME, 0, HOST_SEND_TIMED);
  *pdwVolume = gkWaveOut.dwVolume;
  return MMSYSERR_NOERROR;
}

DWORD wodSetVolume(DWORD dwVolume) {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  gkWaveOut.dwVolume = dwVolume;
  sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_SETVOLUME, (LPARAM)dwVolume, HOST_SEND_OR_POST);
  return MMSYSERR_NOERROR;
}

}  // namespace

void waveNotify(UINT uMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
  WaveClient& wc = waveClient;
  (void)dwParam2;  // always 0
  deliver(wc.dwCallback, wc.dwOpenFlags, wc.hWave, uMessage, wc.dwInstance, dwParam1);
}

void waveReturnBuffer(WAVEHDR* pHdr) {
  assert(waveQueueHeld());  // WOM_DONE goes out under the queue lock
  volatile LONG* plFlags = reinterpret_cast<volatile LONG*>(&pHdr->dwFlags);
  LONG lFlags = InterlockedOr(plFlags, 0);
  if (lFlags & WHDR_DONE) return;
  InterlockedExchange(plFlags, (LONG)((lFlags & ~WHDR_INQUEUE) | WHDR_DONE));
  waveNotify(WOM_DONE, (DWORD_PTR)pHdr, 0);
}

void waveSetSamplesSent(ULONGLONG qwSamples) {
  assert(waveQueueHeld());
  waveClient.qwSamplesSent = qwSamples;
  InterlockedIncrement(&waveClient.position.lSeq);
  InterlockedExchange(&waveClient.position.lLow, (LONG)(DWORD)qwSamples);
  InterlockedExchange(&waveClient.position.lHigh, (LONG)(DWORD)(qwSamples >> 32));
  InterlockedIncrement(&waveClient.position.lSeq);
}

// A reader that meets the halves changing reads them again; one that keeps
// meeting them (its writer preempted between its stores) lets it run.
ULONGLONG waveSamplesSent() {
  for (DWORD n = 0;; ++n) {
    LONG lSeq = InterlockedOr(&waveClient.position.lSeq, 0);
    if (!(lSeq & 1)) {
      DWORD dwLow = (DWORD)InterlockedOr(&waveClient.position.lLow, 0);
      DWORD dwHigh = (DWORD)InterlockedOr(&waveClient.position.lHigh, 0);
      if (InterlockedOr(&waveClient.position.lSeq, 0) == lSeq) return ((ULONGLONG)dwHigh << 32) | dwLow;
    }
    Sleep(n < 16 ? 0 : 1);
  }
}

void waveReleaseSystemGate(BOOL fPumpGone) {
  if (!InterlockedExchange(&lWaveHoldsGate, 0)) return;
  if (fPumpGone && gkWaveOut.hwndHost != dwWaveSessionHost) return;
  InterlockedDecrement(&kvSharedDA.names.lWaveOpenGate);
}

void waveFinishClose(BOOL fOnPump) {
  WaveClient& wc = waveClient;
  closeEvents();
  // Freed already by the pump, unless the system ended it first; before the
  // local gate, after which a new open of this process may hold it again.
  waveReleaseSystemGate(TRUE);
  if (fOnPump) {
    if (hWaveEndedPump) CloseHandle(hWaveEndedPump);
    hWaveEndedPump = wc.hPumpThread;  // this very thread's handle
    wc.hPumpThread = nullptr;
  }
  // Once the gates are free a new open may clear the record.
  DWORD_PTR dwCallback = wc.dwCallback;
  DWORD_PTR dwInstance = wc.dwInstance;
  HWAVE hWave = wc.hWave;
  DWORD dwOpenFlags = wc.dwOpenFlags;
  InterlockedDecrement(&lWaveCloseGate);
  EnterCriticalSection(&csWaveOpen);
  InterlockedDecrement(&lWaveLocalGate);
  LeaveCriticalSection(&csWaveOpen);
  deliver(dwCallback, dwOpenFlags, hWave, WOM_CLOSE, dwInstance, 0);
}

DWORD waveDeviceInit() {
  InitializeCriticalSection(&csWaveQueue);
  InitializeCriticalSection(&csWaveOpen);
  return 0;
}

DWORD waveDeviceShutdown() {
  wodClose(TRUE);
  // A close made from the client's callback may still be finishing on the pump.
  // Without such a pump there is nothing more to wait for: when the process
  // ends, its other threads are gone before the detach, and a pump ended that
  // way never lowers the count.
  if (hWaveEndedPump) waitPumpsGone(hWaveEndedPump);
  if (hWaveEndedPump) CloseHandle(hWaveEndedPump);
  hWaveEndedPump = nullptr;
  DeleteCriticalSection(&csWaveOpen);
  DeleteCriticalSection(&csWaveQueue);
  return 0;
}

extern "C" DWORD APIENTRY wodMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2) {
  (void)dwUser;
  if (uDeviceID != 0) return MMSYSERR_BADDEVICEID;
  switch (uMsg) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_GETDEVCAPS: return wodGetDevCaps(reinterpret_cast<BYTE*>(dwParam1), (DWORD)dwParam2);
    case WODM_OPEN: return wodOpen(reinterpret_cast<const WAVEOPENDESC*>(dwParam1), (DWORD)dwParam2);
    case WODM_CLOSE: return wodClose(FALSE);
    case WODM_PREPARE: return MMSYSERR_NOTSUPPORTED;  // the multimedia layer prepares headers itself
    case WODM_UNPREPARE: return MMSYSERR_NOTSUPPORTED;
    case WODM_WRITE: return wodWrite(reinterpret_cast<WAVEHDR*>(dwParam1), (DWORD)dwParam2);
    case WODM_PAUSE: return wodPause();
    case WODM_RESTART: return wodRestart();
    case WODM_RESET: return wodReset();
    case WODM_GETPOS: return wodGetPos(reinterpret_cast<MMTIME*>(dwParam1));
    case WODM_GETVOLUME: return wodGetVolume(reinterpret_cast<DWORD*>(dwParam1));
    case WODM_SETVOLUME: return wodSetVolume((DWORD)dwParam1);
    case WODM_BREAKLOOP: return MMSYSERR_NOTSUPPORTED;  // looping is not supported
    default: return MMSYSERR_NOTSUPPORTED;              // pitch, playback rate and the rest
  }
}
