// The MIDI output device "Kelvasong (NT)": modMessage, the system-wide open and
// close handshake with the host, long data and client notifications.
//
// One client in the whole system has the device at a time: lMidiLocalGate stops
// a second open in this process, lMidiOpenGate in the shared names block stops
// other processes, and the named owner mutex, owned by the opening thread from
// the start of the open until the close, lets a later opener tell whether that
// owner still lives.
#include <stddef.h>
#include <string.h>

#include "hostlink/protocol.h"
#include "hostlink/hostlink.h"
#include "hostlink/shared.h"
#include "midiout/midiout.h"

namespace {

const DWORD MIDI_OPEN_TIMEOUT_MS = 20000;

struct MidiClient {
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  HMIDI hMidi;
  DWORD dwOpenFlags;
};

CRITICAL_SECTION csMidi;  // guards fMidiAttached and the taking of lMidiLocalGate
DWORD fMidiAttached = 0;
volatile LONG lMidiLocalGate = -1;
HANDLE hMidiOwnerMutex = nullptr;
// The host window of this process's open channel: while hwndHost still names
// it, the channel is this process's; once another open has taken it over, it
// names that open's host.
DWORD dwMidiSessionHost = 0;
MidiClient midiClient;

const MIDIOUTCAPSW MIDI_CAPS = {
    0xF001, 0x4000, 0xA5, {'K', 'e', 'l', 'v', 'a', 's', 'o', 'n', 'g', ' ', '(', 'N', 'T', ')'}, MOD_SYNTH, 128,
    128,    0xFFFF, 0,
};

void midiNotify(UINT uMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
  if (midiClient.dwCallback == 0) return;
  DriverCallback(midiClient.dwCallback, HIWORD(midiClient.dwOpenFlags) | DCB_NOSWITCH, (HDRVR)midiClient.hMidi,
                 (WORD)uMessage, midiClient.dwInstance, dwParam1, dwParam2);
}

void releaseOwnerMutex(HANDLE hMutex) {
  ReleaseMutex(hMutex);
  CloseHandle(hMutex);
}

// The gate is held, but this thread owns the owner mutex: whoever holds the
// gate has gone. Its channel is taken over when its host has gone (its window
// no longer exists, so it cannot answer) or is idle, or goes idle when told to
// close. Also an idle channel's host is told: it may be one that the gone
// owner started and that has not answered yet.
BOOL hostLeftChannel() {
  return hostLeavesChannel(&gkMidiOut.dwStatus, gkMidiOut.hwndHost, gkMidiOut.uHostMsg, HOSTCMD_MIDI_CLOSE);
}

// The host of an open channel looks whether the channel's owner has gone by
// acquiring the owner mutex for a moment. An open that finds the mutex owned
// waits a little for it before it takes it for a live owner's: otherwise a
// look that happens to meet it would refuse an open that is due.
const DWORD OWNER_LOOK_MS = 50;

BOOL acquireOwnerMutex(HANDLE hMutex) {
  DWORD dwWait = WaitForSingleObject(hMutex, 0);
  if (dwWait == WAIT_TIMEOUT) dwWait = WaitForSingleObject(hMutex, OWNER_LOOK_MS);
  return dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
}

// Claims the channel for the whole system and has the host started. The
// owner mutex is taken first and kept from then on, so that an open under way
// is told apart from one whose thread has gone.
DWORD midiOpenChannel() {
  // A mutex that outlived its creator (a process whose opening thread ended
  // keeps its handle) is not owned by its creator: it is acquired as it is,
  // abandoned or not, unless a live thread of another open owns it.
  CHAR szMutex[sizeof KV_OWNER_MUTEX_NAMESPACE + sizeof kvSharedDA.names.szMidiMutex];
  wsprintfA(szMutex, "%s%.31s", KV_OWNER_MUTEX_NAMESPACE, kvSharedDA.names.szMidiMutex);
  HANDLE hMutex = CreateMutexA(nullptr, TRUE, szMutex);
  // One that cannot be opened (another user's) is taken for a live owner's.
  if (!hMutex) return MMSYSERR_ALLOCATED;
  if (GetLastError() == ERROR_ALREADY_EXISTS && !acquireOwnerMutex(hMutex)) {
    CloseHandle(hMutex);
    return MMSYSERR_ALLOCATED;
  }
  if (InterlockedIncrement(&kvSharedDA.names.lMidiOpenGate) != 0) {
    InterlockedDecrement(&kvSharedDA.names.lMidiOpenGate);
    // The gate stays held by the gone owner; this open carries on holding it.
    if (!hostLeftChannel()) {
      releaseOwnerMutex(hMutex);
      return MMSYSERR_ALLOCATED;
    }
  }

  memset((void*)&gkMidiOut, 0, sizeof(MidiChannel));
  gkMidiOut.dwRingSize = MIDI_RING_SIZE;
  gkMidiOut.lWriteLock = -1;
  gkMidiOut.dwVersion = CHANNEL_VERSION;

  if (startMidiHost(KV_VERB_MIDI, MIDI_OPEN_TIMEOUT_MS) != 0) gkMidiOut.dwStatus = CHANNEL_IDLE;

  // The launcher takes the host's acceptance by storing CHANNEL_OPEN itself,
  // in one step with reading it (the owner mutex is this thread's already).
  DWORD dwStatus = gkMidiOut.dwStatus;
  if (dwStatus == CHANNEL_ACCEPTED &&
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&gkMidiOut.dwStatus), (LONG)CHANNEL_OPEN,
                                 (LONG)CHANNEL_ACCEPTED) == (LONG)CHANNEL_ACCEPTED) {
    dwStatus = CHANNEL_OPEN;
  }
  if (dwStatus == CHANNEL_OPEN) {
    hMidiOwnerMutex = hMutex;
    dwMidiSessionHost = gkMidiOut.hwndHost;
    return MMSYSERR_NOERROR;
  }
  InterlockedDecrement(&kvSharedDA.names.lMidiOpenGate);
  releaseOwnerMutex(hMutex);
  return dwStatus == CHANNEL_REFUSED ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR;
}

// The fields of the open description that the open reads.
const UINT_PTR MIDI_OPEN_DESC_READ = offsetof(MIDIOPENDESC, dnDevNode);

DWORD modOpen(const MIDIOPENDESC* pDesc, DWORD dwFlags) {
  // Tested before anything is claimed or started: the description is read
  // only once the host has accepted.
  if (!pDesc || IsBadReadPtr(pDesc, MIDI_OPEN_DESC_READ)) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&csMidi);
  if (!fMidiAttached) {
    LeaveCriticalSection(&csMidi);
    return MMSYSERR_ALLOCATED;
  }
  if (InterlockedIncrement(&lMidiLocalGate) != 0) {
    InterlockedDecrement(&lMidiLocalGate);
    LeaveCriticalSection(&csMidi);
    return MMSYSERR_ALLOCATED;
  }
  LeaveCriticalSection(&csMidi);

  DWORD dwResult = midiOpenChannel();
  if (dwResult != MMSYSERR_NOERROR) {
    InterlockedDecrement(&lMidiLocalGate);
    return dwResult;
  }
  midiClient.dwCallback = pDesc->dwCallback;
  midiClient.dwInstance = pDesc->dwInstance;
  midiClient.hMidi = pDesc->hMidi;
  midiClient.dwOpenFlags = dwFlags;
  midiNotify(MOM_OPEN, 0, 0);
  return MMSYSERR_NOERROR;
}

DWORD modClose() {
  EnterCriticalSection(&csMidi);
  if (!fMidiAttached || lMidiLocalGate != 0) {
    LeaveCriticalSection(&csMidi);
    return MMSYSERR_INVALHANDLE;
  }
  LeaveCriticalSection(&csMidi);
  midiCloseChannel();
  // MOM_CLOSE goes out while the process still counts as open, so an open from
  // inside the callback is refused.
  midiNotify(MOM_CLOSE, 0, 0);
  lMidiLocalGate = -1;
  return MMSYSERR_NOERROR;
}

DWORD modLongData(MIDIHDR* pHdr) {
  if (!pHdr || IsBadReadPtr(pHdr, sizeof(MIDIHDR))) return MMSYSERR_INVALPARAM;
  if (!(pHdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  DWORD cb = pHdr->dwBufferLength;
  if (cb != 0 && (!pHdr->lpData || IsBadReadPtr(pHdr->lpData, cb))) return MMSYSERR_INVALPARAM;
  // The buffer is finished at once, whatever the ring write answers.
  DWORD dwResult = midiWriteBytes(reinterpret_cast<const BYTE*>(pHdr->lpData), pHdr->dwBufferLength);
  pHdr->dwFlags |= MHDR_DONE;
  midiNotify(MOM_DONE, (DWORD_PTR)pHdr, 0);
  return dwResult;
}

// A reset turns every note off, as callers of the multimedia layer rely on
// (a player that stops without closing, a stream's stop). The driver holds no
// buffer, so that is all it does. It speaks only for this process's client
// while that client has the channel open: a channel that another process
// opened, or took over since, is left alone, and the reset answers 0 as it
// does on a closed channel. A ring write that gave up is said.
DWORD modReset() {
  if (dwMidiSessionHost == 0 || gkMidiOut.hwndHost != dwMidiSessionHost) return MMSYSERR_NOERROR;
  DWORD dwResult = midiWriteNotesOff();
  return dwResult == MIDIERR_NOTREADY ? MIDIERR_NOTREADY : MMSYSERR_NOERROR;
}

}  // namespace

DWORD modGetDevCaps(BYTE* pbCaps, DWORD cbCaps) {
  DWORD cb = cbCaps < sizeof MIDI_CAPS ? cbCaps : (DWORD)sizeof MIDI_CAPS;
  memcpy(pbCaps, &MIDI_CAPS, cb);
  return cb;
}

DWORD midiCloseChannel() {
  HANDLE hMutex = hMidiOwnerMutex;
  DWORD dwHost = dwMidiSessionHost;
  hMidiOwnerMutex = nullptr;
  dwMidiSessionHost = 0;
  if (gkMidiOut.hwndHost == dwHost) {
    // Whatever the status says, the host is told and the gate freed. A host
    // that never got the command learns it from the status.
    if (!sendHostCommand(gkMidiOut.hwndHost, gkMidiOut.uHostMsg, HOSTCMD_MIDI_CLOSE, 0, HOST_SEND_OR_POST)) {
      gkMidiOut.dwStatus = CHANNEL_IDLE;
    }
    kvSharedDA.names.lMidiOpenGate = -1;
  }
  // A channel taken over by another open is that open's: this process only
  // lets go of its own handle, which no longer owns the mutex.
  if (hMutex) releaseOwnerMutex(hMutex);
  return MMSYSERR_NOERROR;
}

void midiDeviceInit(HMODULE hModule) {
  InitializeCriticalSection(&csMidi);
  EnterCriticalSection(&csMidi);
  lMidiLocalGate = -1;
  fMidiAttached = 1;
  ghModule = hModule;
  LeaveCriticalSection(&csMidi);
}

void midiDeviceShutdown(void (*inner)(void)) {
  EnterCriticalSection(&csMidi);
  inner();
  BOOL fWasOpen = lMidiLocalGate == 0;
  fMidiAttached = 0;
  lMidiLocalGate = -1;
  LeaveCriticalSection(&csMidi);
  if (fWasOpen) midiCloseChannel();
  DeleteCriticalSection(&csMidi);
}

extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2) {
  (void)dwUser;
  if (uDeviceID != 0) return MMSYSERR_BADDEVICEID;
  switch (uMsg) {
    case MODM_GETNUMDEVS: return 1;
    case MODM_GETDEVCAPS:
      if (!dwParam1) return MMSYSERR_INVALPARAM;
      modGetDevCaps(reinterpret_cast<BYTE*>(dwParam1), LOWORD(dwParam2));
      return MMSYSERR_NOERROR;
    case MODM_OPEN: return modOpen(reinterpret_cast<const MIDIOPENDESC*>(dwParam1), (DWORD)dwParam2);
    case MODM_CLOSE: return modClose();
    case MODM_PREPARE: return MMSYSERR_NOTSUPPORTED;  // the multimedia layer prepares headers itself
    case MODM_UNPREPARE: return MMSYSERR_NOTSUPPORTED;
    case MODM_DATA: return midiSendShort((DWORD)dwParam1);
    case MODM_LONGDATA: return modLongData(reinterpret_cast<MIDIHDR*>(dwParam1));
    case MODM_RESET: return modReset();
    default: return MMSYSERR_NOTSUPPORTED;
  }
}
