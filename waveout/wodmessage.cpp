// The wave output device "Kelvasong WaveOut (NT)": wodMessage, open and close
// against the host, the buffer queue, pause, restart, reset, position and volume.
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/shared.h"
#include "waveout/waveout.h"

WaveClient waveClient;
CRITICAL_SECTION csWaveQueue;

namespace {

const DWORD WAVE_OPEN_TIMEOUT_MS = 30000;

CRITICAL_SECTION csWaveOpen;
volatile LONG lWaveLocalGate = -1;
volatile LONG lWaveCloseGate = -1;

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

BOOL isOpen() { return (waveClient.dwClientFlags & WCF_OPEN) != 0; }

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

void releaseOpenGates() {
  InterlockedDecrement(&kvSharedDA.names.lWaveOpenGate);
  InterlockedDecrement(&lWaveLocalGate);
}

// Prepares the client record and the channel block for a new open.
void prepareOpen(const WAVEOPENDESC* pDesc, DWORD dwFlags) {
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

  memset((void*)&gkWaveOut, 0, sizeof(WaveChannel));
  gkWaveOut.dwRingSize = WAVE_RING_SIZE;
  gkWaveOut.dwVersion = CHANNEL_VERSION;
  if (wc.bSilence) memset(gkWaveOut.abRing, wc.bSilence, WAVE_RING_SIZE);
  memcpy(&gkWaveOut.wfFormat, pwf, sizeof(ChannelFormat));
}

// The host has accepted: start the pump. On failure the host is told to close.
DWORD startPump() {
  WaveClient& wc = waveClient;
  gkWaveOut.dwStatus = CHANNEL_OPEN;
  wc.hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (wc.hStopEvent) {
    wc.hPumpThread = CreateThread(nullptr, 0, wavePumpThread, nullptr, 0, &wc.dwPumpThreadId);
    if (wc.hPumpThread) {
      InterlockedOr(&wc.dwClientFlags, WCF_OPEN);
      waveNotify(WOM_OPEN, 0, 0);
      return MMSYSERR_NOERROR;
    }
    CloseHandle(wc.hStopEvent);
    wc.hStopEvent = nullptr;
  }
  sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE, 0, HOST_SEND_BLOCKING);
  return MMSYSERR_NODRIVER;
}

DWORD wodOpen(const WAVEOPENDESC* pDesc, DWORD dwFlags) {
  if (!pDesc || !pDesc->lpFormat) return MMSYSERR_INVALPARAM;
  if (!formatSupported(formatOf(pDesc))) return WAVERR_BADFORMAT;
  if (dwFlags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;

  EnterCriticalSection(&csWaveOpen);
  BOOL fLocal = takeGate(&lWaveLocalGate);
  LeaveCriticalSection(&csWaveOpen);
  if (!fLocal) return MMSYSERR_ALLOCATED;
  if (!takeGate(&kvSharedDA.names.lWaveOpenGate)) {
    InterlockedDecrement(&lWaveLocalGate);
    return MMSYSERR_ALLOCATED;
  }

  prepareOpen(pDesc, dwFlags);
  startWaveHost(WAVE_OPEN_TIMEOUT_MS);
  DWORD dwResult;
  switch (gkWaveOut.dwStatus) {
    case CHANNEL_ACCEPTED:
      dwResult = startPump();
      if (dwResult == MMSYSERR_NOERROR) return dwResult;
      break;
    case CHANNEL_REFUSED: dwResult = MMSYSERR_ALLOCATED; break;
    default: dwResult = MMSYSERR_NODRIVER; break;
  }
  releaseOpenGates();
  return dwResult;
}

DWORD wodReset() {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  WaveClient& wc = waveClient;
  EnterCriticalSection(&csWaveQueue);
  wc.qwSamplesSent = 0;
  while (wc.lpQueueHead) {
    WAVEHDR* pHdr = wc.lpQueueHead;
    wc.lpQueueHead = pHdr->lpNext;
    if (!(pHdr->dwFlags & WHDR_DONE)) {
      pHdr->dwFlags = (pHdr->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      waveNotify(WOM_DONE, (DWORD_PTR)pHdr, 0);
    }
  }
  LeaveCriticalSection(&csWaveQueue);
  return MMSYSERR_NOERROR;
}

DWORD wodClose() {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (!takeGate(&lWaveCloseGate)) return MMSYSERR_INVALHANDLE;
  WaveClient& wc = waveClient;
  sendHostCommand(gkWaveOut.hwndHost, gkWaveOut.uHostMsg, HOSTCMD_WAVE_CLOSE, 0, HOST_SEND_OR_POST);
  wodReset();
  InterlockedAnd(&wc.dwClientFlags, ~WCF_OPEN);
  // The pump has ended before the gates go and WOM_CLOSE is sent, so no
  // WOM_DONE can follow WOM_CLOSE.
  SetEvent(wc.hStopEvent);
  WaitForSingleObject(wc.hPumpThread, INFINITE);
  CloseHandle(wc.hPumpThread);
  CloseHandle(wc.hStopEvent);
  wc.hPumpThread = nullptr;
  wc.hStopEvent = nullptr;
  InterlockedDecrement(&lWaveCloseGate);
  EnterCriticalSection(&csWaveOpen);
  InterlockedDecrement(&lWaveLocalGate);
  LeaveCriticalSection(&csWaveOpen);
  InterlockedDecrement(&kvSharedDA.names.lWaveOpenGate);
  waveNotify(WOM_CLOSE, 0, 0);
  return MMSYSERR_NOERROR;
}

DWORD wodWrite(WAVEHDR* pHdr, DWORD cbHdr) {
  WaveClient& wc = waveClient;
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (cbHdr < sizeof(WAVEHDR) || !pHdr || IsBadReadPtr(pHdr, sizeof(WAVEHDR))) return MMSYSERR_INVALPARAM;
  if (!(pHdr->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (pHdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  DWORD cb = pHdr->dwBufferLength;
  if (cb != 0) {
    if (cb & ((1u << wc.bShift) - 1)) return MMSYSERR_INVALPARAM;
    if (!pHdr->lpData || IsBadReadPtr(pHdr->lpData, cb)) return MMSYSERR_INVALPARAM;
  }
  EnterCriticalSection(&csWaveQueue);
  pHdr->lpNext = nullptr;
  pHdr->dwFlags = (pHdr->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  if (!wc.lpQueueHead) {
    wc.lpQueueHead = pHdr;
    wc.lpPlayData = reinterpret_cast<BYTE*>(pHdr->lpData);
    wc.dwPlayRemain = cb;
  } else {
    WAVEHDR* pTail = wc.lpQueueHead;
    while (pTail->lpNext) pTail = pTail->lpNext;
    pTail->lpNext = pHdr;
  }
  LeaveCriticalSection(&csWaveQueue);
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

DWORD wodGetPos(MMTIME* pTime) {
  if (!isOpen()) return MMSYSERR_INVALHANDLE;
  if (!pTime) return MMSYSERR_INVALPARAM;
  WaveClient& wc = waveClient;
  switch (pTime->wType) {
    case TIME_MS:
      EnterCriticalSection(&csWaveQueue);
      pTime->u.ms = (DWORD)((wc.qwSamplesSent * 1000) / wc.dwSampleRate);
      LeaveCriticalSection(&csWaveQueue);
      break;
    case TIME_SAMPLES: pTime->u.sample = (DWORD)wc.qwSamplesSent; break;
    case TIME_BYTES: pTime->u.cb = (DWORD)wc.qwSamplesSent << wc.bShift; break;
    default:
      pTime->wType = TIME_SAMPLES;
      pTime->u.sample = (DWORD)wc.qwSamplesSent;
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
  if (wc.dwCallback == 0) return;
  DriverCallback(wc.dwCallback, HIWORD(wc.dwOpenFlags), (HDRVR)wc.hWave, uMessage, wc.dwInstance, dwParam1, dwParam2);
}

DWORD waveDeviceInit() {
  InitializeCriticalSection(&csWaveQueue);
  InitializeCriticalSection(&csWaveOpen);
  return 0;
}

DWORD waveDeviceShutdown() {
  wodClose();
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
    case WODM_CLOSE: return wodClose();
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
