// A small multimedia driver module for the tests of the multimedia layer: one
// MIDI output and one wave output device that make no sound, record every call
// they get as a line in <machine root>/testdriver.log, and notify their client
// through DriverCallback as a real driver does.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kv/plat.h"
#include "kvplatform.h"

namespace {

// What the driver answers to DRV_OPEN, and the instance values it hands the
// layer at open: the layer must give them back unchanged.
const DWORD_PTR kDriverId = 0x5150;
const DWORD_PTR kMidiInstance = 0x7E570001;
const DWORD_PTR kWaveInstance = 0x7E570002;

void record(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  std::string path = std::string(platMachineRoot()) + "/testdriver.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  (void)!write(fd, line, (size_t)n);
  close(fd);
}

struct Client {
  bool open = false;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  HDRVR handle = nullptr;
  DWORD flags = 0;
  void notify(UINT msg, DWORD_PTR p1) const {
    if (callback) DriverCallback(callback, HIWORD(flags), handle, msg, instance, p1, 0);
  }
};

Client midiClient;
Client waveClient;
WAVEHDR* waveQueue = nullptr;
DWORD waveBytes = 0;
DWORD waveVolume = 0xFFFFFFFF;

void fillName(WCHAR* out, const char* name) {
  for (int i = 0; i < MAXPNAMELEN; ++i) out[i] = 0;
  for (int i = 0; name[i] && i < MAXPNAMELEN - 1; ++i) out[i] = (WCHAR)name[i];
}

DWORD copyCaps(const void* caps, size_t capsSize, DWORD_PTR out, DWORD_PTR size) {
  size_t n = (size_t)(size & 0xFFFF) < capsSize ? (size_t)(size & 0xFFFF) : capsSize;
  memcpy((void*)out, caps, n);
  return MMSYSERR_NOERROR;
}

DWORD midiOpen(DWORD_PTR dwUser, const MIDIOPENDESC* desc, DWORD flags) {
  if (midiClient.open) return MMSYSERR_ALLOCATED;
  midiClient = Client{true, desc->dwCallback, desc->dwInstance, (HDRVR)desc->hMidi, flags};
  *(DWORD_PTR*)dwUser = kMidiInstance;
  midiClient.notify(MOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

DWORD midiLongData(MIDIHDR* hdr) {
  if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  hdr->dwFlags |= MHDR_DONE;
  midiClient.notify(MOM_DONE, (DWORD_PTR)hdr);
  return MMSYSERR_NOERROR;
}

DWORD waveOpen(DWORD_PTR dwUser, const WAVEOPENDESC* desc, DWORD flags) {
  const WAVEFORMATEX* f = desc->lpFormat;
  if (f->wFormatTag != WAVE_FORMAT_PCM || (f->nChannels != 1 && f->nChannels != 2)) return WAVERR_BADFORMAT;
  if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  if (waveClient.open) return MMSYSERR_ALLOCATED;
  waveClient = Client{true, desc->dwCallback, desc->dwInstance, (HDRVR)desc->hWave, flags};
  waveQueue = nullptr;
  waveBytes = 0;
  *(DWORD_PTR*)dwUser = kWaveInstance;
  waveClient.notify(WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

DWORD waveWrite(WAVEHDR* hdr) {
  if (!(hdr->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (hdr->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  hdr->lpNext = nullptr;
  hdr->dwFlags = (hdr->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
  WAVEHDR** tail = &waveQueue;
  while (*tail) tail = &(*tail)->lpNext;
  *tail = hdr;
  waveBytes += hdr->dwBufferLength;
  return MMSYSERR_NOERROR;
}

// Returns every queued buffer, in queue order.
void waveReturnAll() {
  while (WAVEHDR* hdr = waveQueue) {
    waveQueue = hdr->lpNext;
    hdr->dwFlags = (hdr->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    waveClient.notify(WOM_DONE, (DWORD_PTR)hdr);
  }
}

DWORD waveGetPos(MMTIME* t) {
  t->wType = TIME_BYTES;
  t->u.cb = waveBytes;
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD fdwReason, LPVOID) {
  if (fdwReason == DLL_PROCESS_ATTACH) record("attach");
  if (fdwReason == DLL_PROCESS_DETACH) record("detach");
  return TRUE;
}

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1, LPARAM lParam2) {
  record("drv %lx %u %lx %lx", (unsigned long)dwDriverId, msg, (long)lParam1, (long)lParam2);
  switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE: return 1;
    case DRV_OPEN: return (LRESULT)kDriverId;
    default: return DefDriverProc(dwDriverId, hdrvr, msg, lParam1, lParam2);
  }
}

extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2) {
  record("mod %u %u %lx %lx %lx", uDeviceID, uMsg, (unsigned long)dwUser, (unsigned long)dwParam1,
         (unsigned long)dwParam2);
  if (uDeviceID != 0) return MMSYSERR_BADDEVICEID;
  MIDIOUTCAPSW caps = {};
  switch (uMsg) {
    case MODM_GETNUMDEVS: return 1;
    case MODM_GETDEVCAPS:
      caps.wMid = 0xF001;
      caps.wPid = 0x0001;
      caps.vDriverVersion = 0x0100;
      fillName(caps.szPname, "KV Test MIDI");
      caps.wTechnology = MOD_SYNTH;
      caps.wChannelMask = 0xFFFF;
      return copyCaps(&caps, sizeof caps, dwParam1, dwParam2);
    case MODM_OPEN: return midiOpen(dwUser, (const MIDIOPENDESC*)dwParam1, (DWORD)dwParam2);
    case MODM_CLOSE:
      if (!midiClient.open) return MMSYSERR_INVALHANDLE;
      midiClient.open = false;
      midiClient.notify(MOM_CLOSE, 0);
      return MMSYSERR_NOERROR;
    case MODM_DATA: return midiClient.open ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    case MODM_LONGDATA: return midiLongData((MIDIHDR*)dwParam1);
    case MODM_RESET: return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
  }
}

extern "C" DWORD APIENTRY wodMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2) {
  record("wod %u %u %lx %lx %lx", uDeviceID, uMsg, (unsigned long)dwUser, (unsigned long)dwParam1,
         (unsigned long)dwParam2);
  if (uDeviceID != 0) return MMSYSERR_BADDEVICEID;
  WAVEOUTCAPSW caps = {};
  if (uMsg != WODM_GETNUMDEVS && uMsg != WODM_GETDEVCAPS && uMsg != WODM_OPEN && uMsg != DRVM_INIT &&
      uMsg != DRVM_EXIT && !waveClient.open)
    return MMSYSERR_INVALHANDLE;
  switch (uMsg) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_GETDEVCAPS:
      caps.wMid = 0xF001;
      caps.wPid = 0x0002;
      caps.vDriverVersion = 0x0100;
      fillName(caps.szPname, "KV Test Wave");
      caps.dwFormats = 0xFFF;
      caps.wChannels = 2;
      return copyCaps(&caps, sizeof caps, dwParam1, dwParam2);
    case WODM_OPEN: return waveOpen(dwUser, (const WAVEOPENDESC*)dwParam1, (DWORD)dwParam2);
    case WODM_CLOSE:
      waveReturnAll();
      waveClient.open = false;
      waveClient.notify(WOM_CLOSE, 0);
      return MMSYSERR_NOERROR;
    case WODM_WRITE: return waveWrite((WAVEHDR*)dwParam1);
    case WODM_PAUSE:
    case WODM_RESTART: return MMSYSERR_NOERROR;
    case WODM_RESET: waveReturnAll(); return MMSYSERR_NOERROR;
    case WODM_GETPOS: return waveGetPos((MMTIME*)dwParam1);
    case WODM_GETVOLUME: *(DWORD*)dwParam1 = waveVolume; return MMSYSERR_NOERROR;
    case WODM_SETVOLUME: waveVolume = (DWORD)dwParam1; return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
  }
}
