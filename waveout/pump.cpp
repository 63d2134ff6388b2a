// The pump thread: every 10 ms it fills the shared sample ring from the driver's
// write position up to 40 ms ahead of the host's read position, from the
// client's queued buffers or with silence, and returns the buffers it used up.
#include <assert.h>
#include <string.h>

#include "hostlink/protocol.h"
#include "hostlink/shared.h"
#include "waveout/waveout.h"

namespace {

const DWORD TICK_MS = 10;
const DWORD LEAD_MS = 40;
const DWORD RING_MASK = WAVE_RING_SIZE - 1;

// Fills from dwFillPos up to dwTarget, always forward, wrapping at the ring's end.
// Answers the number of buffers used up; lpPlayData and dwPlayRemain follow
// the walk from the head of the queue.
DWORD fillRing(DWORD dwTarget) {
  assert(waveQueueHeld());
  WaveClient& wc = waveClient;
  BYTE* abRing = gkWaveOut.abRing;
  WAVEHDR* pWalk = wc.lpQueueHead;
  DWORD cUsedUp = 0;
  while (wc.dwFillPos != dwTarget) {
    DWORD dwEnd = dwTarget > wc.dwFillPos ? dwTarget : WAVE_RING_SIZE;
    DWORD cbRoom = dwEnd - wc.dwFillPos;
    if (!pWalk || (waveFlags() & WCF_PAUSED)) {
      memset(abRing + wc.dwFillPos, wc.bSilence, cbRoom);
      wc.dwFillPos = (wc.dwFillPos + cbRoom) & RING_MASK;
      continue;
    }
    DWORD cb = cbRoom < wc.dwPlayRemain ? cbRoom : wc.dwPlayRemain;
    if (cb) memcpy(abRing + wc.dwFillPos, wc.lpPlayData, cb);  // an empty buffer may have no data at all
    wc.dwFillPos = (wc.dwFillPos + cb) & RING_MASK;
    wc.lpPlayData += cb;
    waveSetSamplesSent(wc.qwSamplesSent + (cb >> wc.bShift));
    wc.dwPlayRemain -= cb;
    if (wc.dwPlayRemain == 0) {
      ++cUsedUp;
      pWalk = pWalk->lpNext;
      if (pWalk) {
        wc.lpPlayData = reinterpret_cast<BYTE*>(pWalk->lpData);
        wc.dwPlayRemain = pWalk->dwBufferLength;
      }
    }
  }
  return cUsedUp;
}

// Returns used-up buffers from the head of the queue, in order, until a close
// asks the pump to stop. A reset made from the client's callback has returned
// the rest already, and whatever is queued after it was not played.
void returnBuffers(DWORD cUsedUp) {
  WaveClient& wc = waveClient;
  assert(waveQueueHeld());
  LONG lResets = InterlockedOr(&wavePump.lResets, 0);
  for (DWORD i = 0; i < cUsedUp && wc.lpQueueHead && lResets == InterlockedOr(&wavePump.lResets, 0); ++i) {
    WAVEHDR* pHdr = wc.lpQueueHead;
    wc.lpQueueHead = pHdr->lpNext;
    waveReturnBuffer(pHdr);
    if (wavePumpStopRequested()) return;
  }
}

// Owns the owner mutex for the open. Held by another thread, it belongs to a
// live owner or to an open under way: this open is refused at once, as it is
// when the mutex cannot be opened (another user's). Answers the pump's answer
// to the open when it cannot own it.
HANDLE takeOwnerMutex(LONG* plRefusal) {
  *plRefusal = PUMP_NO_MUTEX;
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, KV_WAVE_OWNER_MUTEX);
  if (!hMutex) {
    *plRefusal = PUMP_MUTEX_TAKEN;
    return nullptr;
  }
  DWORD dwWait = WaitForSingleObject(hMutex, 0);
  if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) return hMutex;
  if (dwWait == WAIT_TIMEOUT) *plRefusal = PUMP_MUTEX_TAKEN;
  CloseHandle(hMutex);
  return nullptr;
}

// Frees the gate while the mutex is still owned, so that no opener ever finds
// the gate held and the mutex free while this process lives.
void endOwnership(HANDLE hOwner) {
  waveReleaseSystemGate(FALSE);
  ReleaseMutex(hOwner);
  CloseHandle(hOwner);
}

// Waits while the open takes the gate and starts the host; TRUE when it tells
// the pump to play. The flags decide, the event only wakes: a signal that is
// not given still ends the wait at the next look.
BOOL waitForGo() {
  for (;;) {
    if (InterlockedOr(&wavePump.lStop, 0)) return FALSE;
    if (InterlockedOr(&wavePump.lGo, 0)) return TRUE;
    if (WaitForSingleObject(waveClient.hGoEvent, TICK_MS) == WAIT_FAILED) Sleep(TICK_MS);
  }
}

// Waits for the next tick; answers TRUE when the pump is to stop. A wait that
// fails neither stops the pump nor makes it spin: it sleeps instead.
BOOL waitForTick(DWORD dwMs) {
  DWORD dwWait = WaitForSingleObject(waveClient.hStopEvent, dwMs);
  if (dwWait == WAIT_OBJECT_0) return TRUE;
  if (dwWait != WAIT_TIMEOUT) Sleep(dwMs);
  return InterlockedOr(&wavePump.lStop, 0) != 0;
}

// A host that has ended reads no more. Once the read position has stood still
// this long and the host's window is gone, the pump moves the position on by
// the clock itself, at the stream's rate: the client's buffers come back at
// the pace they would have played, and no client waits for them for ever. The
// samples go nowhere; the next open starts a new host.
const DWORD HOST_GONE_CHECK_MS = 200;

struct ReadClock {
  BOOL fOwn;         // the host has gone: the pump keeps the time
  DWORD dwMovedAt;   // when the read position last moved
  DWORD dwStartMs;   // the pump's own clock: when it took over
  DWORD dwStartPos;  // and from which read position
};

// The read position to fill ahead of: the host's while it reads, else the
// pump's own.
DWORD readPosition(ReadClock& clock, DWORD dwPrevRead) {
  DWORD dwNow = timeGetTime();
  if (clock.fOwn) {
    const WaveClient& wc = waveClient;
    ULONGLONG qwBytes = ((ULONGLONG)(dwNow - clock.dwStartMs) * wc.dwSampleRate / 1000) << wc.bShift;
    return (clock.dwStartPos + (DWORD)qwBytes) & RING_MASK;
  }
  DWORD dwRead = gkWaveOut.dwReadPos;
  if (dwRead != dwPrevRead) {
    clock.dwMovedAt = dwNow;
  } else if (dwNow - clock.dwMovedAt >= HOST_GONE_CHECK_MS) {
    clock.dwMovedAt = dwNow;
    if (!IsWindow((HWND)(ULONG_PTR)gkWaveOut.hwndHost)) {
      clock.fOwn = TRUE;
      clock.dwStartMs = dwNow;
      clock.dwStartPos = dwRead & RING_MASK;
    }
  }
  return dwRead;
}

}  // namespace

BOOL wavePumpStopRequested() {
  if (InterlockedOr(&wavePump.lStop, 0)) return TRUE;
  return WaitForSingleObject(waveClient.hStopEvent, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI wavePumpThread(LPVOID lpParameter) {
  (void)lpParameter;
  WaveClient& wc = waveClient;
  LONG lRefusal;
  HANDLE hOwner = takeOwnerMutex(&lRefusal);
  if (!hOwner) {
    InterlockedExchange(&wavePump.lState, lRefusal);
    InterlockedDecrement(&wavePump.lRunning);
    return 1;
  }
  InterlockedExchange(&wavePump.lState, PUMP_OWNS_MUTEX);
  if (!waitForGo()) {
    endOwnership(hOwner);
    InterlockedDecrement(&wavePump.lRunning);
    return 0;
  }
  timeBeginPeriod(1);
  HANDLE hSelf = GetCurrentThread();
  SetThreadPriority(hSelf, THREAD_PRIORITY_ABOVE_NORMAL);
  SetThreadPriority(hSelf, THREAD_PRIORITY_HIGHEST);
  SetThreadPriority(hSelf, THREAD_PRIORITY_TIME_CRITICAL);

  const DWORD dwLead = ((wc.dwSampleRate * LEAD_MS) / 1000) << wc.bShift;
  DWORD dwPrevRead = 0xFFFFFFFF;
  // A host that reports a position beyond the ring must not move the writes
  // outside it: the position is taken modulo the ring's size.
  wc.dwFillPos = gkWaveOut.dwReadPos & RING_MASK;
  DWORD dwDeadline = timeGetTime();
  ReadClock clock = {FALSE, dwDeadline, 0, 0};
  BOOL fAnswered = FALSE;
  for (;;) {
    waveQueueEnter();
    DWORD dwRead = readPosition(clock, dwPrevRead);
    if (dwRead != dwPrevRead) {
      dwPrevRead = dwRead;
      returnBuffers(fillRing((dwRead + dwLead) & RING_MASK));
    }
    waveQueueLeave();
    // The open answers once the first tick has filled the lead with silence,
    // before the client can write.
    if (!fAnswered) {
      InterlockedExchange(&wavePump.lState, PUMP_TICKED);
      fAnswered = TRUE;
    }

    // A fixed schedule: after a late tick the next ones wait 1 ms until it is
    // caught up, and no tick waits longer than 10 ms.
    dwDeadline += TICK_MS;
    LONG lWait = (LONG)(dwDeadline - timeGetTime());
    if (lWait < 1) lWait = 1;
    if (lWait > (LONG)TICK_MS) lWait = TICK_MS;
    if (waitForTick((DWORD)lWait)) break;
  }
  timeEndPeriod(1);
  endOwnership(hOwner);
  // A close made from the client's callback on this thread is finished here,
  // now that nothing of this pump runs any more.
  if (InterlockedExchange(&wavePump.lCloseOnPump, 0)) waveFinishClose(TRUE);
  InterlockedDecrement(&wavePump.lRunning);
  return 0;
}
