// The producer side of the MIDI ring in gkMidiOut. Everything it changes lies in
// the shared block, so writers in every process and the host see it at once.
#include "hostlink/shared.h"
#include "midiout/midiout.h"

namespace {

const DWORD WRITE_LOCK_LIMIT_MS = 50;
const DWORD RING_FULL_LIMIT_MS = 1000;
const DWORD STALL_GATE_MS = 10000;

// Bytes written for a status byte; 0 drops the message.
DWORD shortMessageLength(BYTE bStatus) {
  if (bStatus < 0xC0) return 3;  // note off and on, key pressure, control change
  if (bStatus < 0xE0) return 2;  // program change, channel pressure
  if (bStatus < 0xF0) return 3;  // pitch bend
  switch (bStatus) {
    case 0xF0:
    case 0xF7: return 0;  // system exclusive only travels in long buffers
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    default: return 1;  // 0xF4 to 0xF6 and the real-time bytes
  }
}

// The room the ring has now: none while the count is at its size or beyond
// it (or below 0: a count the host broke is taken for a full ring).
DWORD ringRoom(const MidiChannel& ch) {
  DWORD dwCount = (DWORD)ch.dwRingCount, dwSize = ch.dwRingSize;
  return dwCount < dwSize ? dwSize - dwCount : 0;
}

BOOL ringHasRoom(const MidiChannel& ch) { return ringRoom(ch) != 0; }

// A holder that stores nothing for this long while the ring has room cannot
// be writing: it was ended while it held the lock. Any live holder stores a
// byte at once when there is room, and releases within the ring-full limit
// when there is none.
const DWORD WRITE_LOCK_BREAK_MS = 2000;

// What this process last saw of a lock it could not take: the write position
// then, since when it has not moved and when the last refusal was. Refusals
// further apart than this start the watch afresh. Threads share it as a hint.
const DWORD WRITE_LOCK_WATCH_GAP_MS = 1000;
volatile DWORD fLockWatch = 0;
volatile DWORD dwLockWatchPos = 0;
volatile DWORD dwLockWatchSince = 0;
volatile DWORD dwLockWatchLast = 0;

// Frees a lock whose holder has stored nothing for WRITE_LOCK_BREAK_MS while the
// ring had room. Only a lock held with nobody else trying (counter 0) is
// freed, so every other caller's increment and decrement stay paired.
void breakDeadLock(MidiChannel& ch, DWORD dwNow) {
  DWORD dwPos = ch.dwWritePos;
  BOOL fGap = dwNow - dwLockWatchLast > WRITE_LOCK_WATCH_GAP_MS;
  dwLockWatchLast = dwNow;
  if (!ringHasRoom(ch) || !fLockWatch || fGap || dwLockWatchPos != dwPos) {
    dwLockWatchPos = dwPos;
    dwLockWatchSince = dwNow;
    fLockWatch = ringHasRoom(ch);
    return;
  }
  if (dwNow - dwLockWatchSince >= WRITE_LOCK_BREAK_MS) {
    fLockWatch = 0;
    InterlockedCompareExchange(&ch.lWriteLock, -1, 0);
  }
}

// The lock is a gate: a caller that does not get 0 gives its increment back at
// once, so the counter returns to -1 whenever the holder releases, however
// many wait. A waiter is refused only when the lock was held for 50 ms in which
// the ring did not move on with room in it: a holder that keeps releasing,
// as other writers do between messages, lets it wait on.
BOOL takeWriteLock(MidiChannel& ch) {
  if (InterlockedIncrement(&ch.lWriteLock) == 0) return TRUE;
  InterlockedDecrement(&ch.lWriteLock);
  DWORD t0 = timeGetTime();
  DWORD dwPos = ch.dwWritePos;
  for (DWORD n = 0;; ++n) {
    // The holder of a short write is done within microseconds: yield first.
    Sleep(n < 16 ? 0 : 1);
    if (InterlockedIncrement(&ch.lWriteLock) == 0) {
      fLockWatch = 0;
      return TRUE;
    }
    InterlockedDecrement(&ch.lWriteLock);
    DWORD dwNow = timeGetTime();
    if (ch.dwWritePos != dwPos && ringHasRoom(ch)) {
      dwPos = ch.dwWritePos;
      t0 = dwNow;
    }
    if (dwNow - t0 >= WRITE_LOCK_LIMIT_MS) {
      breakDeadLock(ch, dwNow);
      if (InterlockedIncrement(&ch.lWriteLock) == 0) {
        fLockWatch = 0;
        return TRUE;
      }
      InterlockedDecrement(&ch.lWriteLock);
      return FALSE;
    }
  }
}

// Waits for room in the ring; 0 when the host took nothing for 1000 ms.
DWORD waitForRoom(MidiChannel& ch) {
  DWORD dwRoom = ringRoom(ch);
  if (dwRoom) return dwRoom;
  DWORD t1 = timeGetTime();
  for (;;) {
    Sleep(1);
    if ((dwRoom = ringRoom(ch)) != 0) return dwRoom;
    if (timeGetTime() - t1 >= RING_FULL_LIMIT_MS) return 0;
  }
}

// The writer lock is held and the channel open: stores the bytes, each as the
// ring has room for it. Bytes that find room together are counted together,
// with one interlocked addition once all of them are stored, so that a host
// that takes only counted bytes sees each of them complete; a byte that meets
// a full ring waits for it, 1000 ms at most.
DWORD writeHeld(MidiChannel& ch, const BYTE* pbData, DWORD cbData) {
  // Only an outside writer can leave a position beyond the ring; it is taken
  // modulo the ring's size, so no store ever falls outside abRing.
  DWORD dwPos = ch.dwWritePos % MIDI_RING_SIZE;
  for (DWORD i = 0; i < cbData;) {
    DWORD cb = waitForRoom(ch);
    if (cb == 0) {
      ch.dwStallMs = ch.dwStallMs + RING_FULL_LIMIT_MS;
      return MIDIERR_NOTREADY;
    }
    if (cb > cbData - i) cb = cbData - i;
    if (ch.dwStallMs) ch.dwStallMs = 0;
    BYTE bStatus = 0;
    for (DWORD n = 0; n < cb; ++n, ++i) {
      BYTE b = pbData[i];
      ch.abRing[dwPos] = b;
      dwPos = (dwPos + 1) % MIDI_RING_SIZE;
      if (b >= 0x80 && b <= 0xF7) bStatus = b;
    }
    ch.dwWritePos = dwPos;
    if (bStatus) reinterpret_cast<BYTE*>(&ch.dwRunningStatus)[0] = bStatus;
    InterlockedExchangeAdd(&ch.dwRingCount, (LONG)cb);
  }
  return MMSYSERR_NOERROR;
}

// Everything after the test of the channel's status. `fForgetStatus`:
// running status is cleared before the lock goes, whatever was stored, so
// that no writer in between sees the status the bytes left.
DWORD writeOpen(const BYTE* pbData, DWORD cbData, BOOL fForgetStatus = FALSE) {
  MidiChannel& ch = gkMidiOut;
  if (cbData == 0) return MMSYSERR_NOERROR;
  if (ch.dwStallMs >= STALL_GATE_MS) return MIDIERR_NOTREADY;
  if (!takeWriteLock(ch)) return MIDIERR_NOTREADY;
  DWORD dwResult = writeHeld(ch, pbData, cbData);
  if (fForgetStatus) reinterpret_cast<BYTE*>(&ch.dwRunningStatus)[0] = 0;
  InterlockedDecrement(&ch.lWriteLock);
  return dwResult;
}

// What ends the notes of a channel at a reset: the sustain and sostenuto
// pedals lifted, then all notes off. A synthesizer keeps a note that a pedal
// holds through an all-notes-off, so the pedals go first. The notes end with
// their release, as at a note-off and as the system's own synthesizer ends
// them at a reset: all sound off would cut them, and their reverb, at once,
// with a click wherever a player stops.
const BYTE NOTES_OFF_CONTROLLERS[] = {64, 66, 123};
const DWORD NOTES_OFF_BYTES = 16 * sizeof NOTES_OFF_CONTROLLERS * 3;

}  // namespace

DWORD midiWriteBytes(const BYTE* pbData, DWORD cbData) {
  if (gkMidiOut.dwStatus != CHANNEL_OPEN) return MMSYSERR_ERROR;
  return writeOpen(pbData, cbData);
}

DWORD midiWriteNotesOff() {
  if (gkMidiOut.dwStatus != CHANNEL_OPEN) return MMSYSERR_ERROR;
  BYTE ab[NOTES_OFF_BYTES];
  DWORD cb = 0;
  for (BYTE bChannel = 0; bChannel < 16; ++bChannel) {
    for (BYTE bController : NOTES_OFF_CONTROLLERS) {
      ab[cb++] = (BYTE)(0xB0 | bChannel);
      ab[cb++] = bController;
      ab[cb++] = 0;
    }
  }
  return writeOpen(ab, cb, TRUE);
}

// The status is looked at once: a close that comes after the look is one
// that came after the message.
DWORD midiSendShort(DWORD dwMessage) {
  if (gkMidiOut.dwStatus != CHANNEL_OPEN) return MMSYSERR_ERROR;
  if (!(dwMessage & 0x80)) {
    BYTE bRunning = (BYTE)gkMidiOut.dwRunningStatus;
    if (!(bRunning & 0x80)) return MMSYSERR_NOERROR;
    dwMessage = (dwMessage << 8) | bRunning;
  }
  DWORD cb = shortMessageLength((BYTE)dwMessage);
  if (cb == 0) return MMSYSERR_NOERROR;
  const BYTE ab[3] = {(BYTE)dwMessage, (BYTE)(dwMessage >> 8), (BYTE)(dwMessage >> 16)};
  return writeOpen(ab, cb);
}
