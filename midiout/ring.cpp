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

BOOL takeWriteLock(MidiChannel& ch) {
  if (InterlockedIncrement(&ch.lWriteLock) == 0) return TRUE;
  // Keep this caller's increment while sleeping; give it back and take it
  // anew on each retry, so the counter returns to -1 when nobody wants it.
  DWORD t0 = timeGetTime();
  for (;;) {
    Sleep(1);
    InterlockedDecrement(&ch.lWriteLock);
    if (InterlockedIncrement(&ch.lWriteLock) == 0) return TRUE;
    if (timeGetTime() - t0 >= WRITE_LOCK_LIMIT_MS) {
      InterlockedDecrement(&ch.lWriteLock);
      return FALSE;
    }
  }
}

// Waits for room in the ring; FALSE when the host took nothing for 1000 ms.
BOOL waitForRoom(MidiChannel& ch) {
  if ((DWORD)ch.dwRingCount < ch.dwRingSize) return TRUE;
  DWORD t1 = timeGetTime();
  while ((DWORD)ch.dwRingCount >= ch.dwRingSize) {
    Sleep(1);
    if (timeGetTime() - t1 >= RING_FULL_LIMIT_MS) return FALSE;
  }
  return TRUE;
}

}  // namespace

DWORD midiWriteBytes(const BYTE* pbData, DWORD cbData) {
  MidiChannel& ch = gkMidiOut;
  if (ch.dwStatus != CHANNEL_OPEN) return MMSYSERR_ERROR;
  if (cbData == 0) return MMSYSERR_NOERROR;
  if (ch.dwStallMs >= STALL_GATE_MS) return MIDIERR_NOTREADY;
  if (!takeWriteLock(ch)) return MIDIERR_NOTREADY;

  for (DWORD i = 0; i < cbData; ++i) {
    if (!waitForRoom(ch)) {
      ch.dwStallMs = ch.dwStallMs + RING_FULL_LIMIT_MS;
      InterlockedDecrement(&ch.lWriteLock);
      return MIDIERR_NOTREADY;
    }
    ch.dwStallMs = 0;
    // Only an outside writer can leave a position beyond the ring; it is taken
    // modulo the ring's size, so no store ever falls outside abRing.
    DWORD dwPos = ch.dwWritePos % MIDI_RING_SIZE;
    BYTE b = pbData[i];
    ch.abRing[dwPos] = b;
    ch.dwWritePos = (dwPos + 1) % MIDI_RING_SIZE;
    // The byte is stored before it is counted: the interlocked increment is a
    // full barrier, so a host that takes only counted bytes sees it complete.
    InterlockedIncrement(&ch.dwRingCount);
    if (b >= 0x80 && b <= 0xF7) reinterpret_cast<BYTE*>(&ch.dwRunningStatus)[0] = b;
  }
  InterlockedDecrement(&ch.lWriteLock);
  return MMSYSERR_NOERROR;
}

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
  return midiWriteBytes(ab, cb);
}
