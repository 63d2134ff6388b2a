// The multimedia layer's API: the MIDI and wave output functions of client
// programs, the header preparation the layer does for drivers that leave it to
// the layer, error texts, and the services for drivers (DriverCallback,
// DefDriverProc). The drivers and device handles are in mm_drivers.cpp.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "mm_drivers.h"

using namespace plat::mm;

namespace {

std::atomic<PLAT_DEFDRIVERPROC_HOOK> defDriverProcHook{nullptr};

// ---- error texts --------------------------------------------------------------------

struct ErrorText {
  MMRESULT code;
  const char* text;
};

const ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The specified command was carried out."},
    {MMSYSERR_ERROR, "Undefined external error."},
    {MMSYSERR_BADDEVICEID, "A device ID has been used that is out of range for your system."},
    {MMSYSERR_NOTENABLED, "The driver was not enabled."},
    {MMSYSERR_ALLOCATED, "The specified device is already in use. Wait until it is free, and then try again."},
    {MMSYSERR_INVALHANDLE, "The specified device handle is invalid."},
    {MMSYSERR_NODRIVER, "There is no driver installed on your system."},
    {MMSYSERR_NOMEM,
     "Not enough memory available for this task. Quit one or more applications to increase available memory, and "
     "then try again."},
    {MMSYSERR_NOTSUPPORTED,
     "This function is not supported. Use the Capabilities function to determine which functions and messages the "
     "driver supports."},
    {MMSYSERR_BADERRNUM, "An error number was specified that is not defined in the system."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed to a system function."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed to a system function."},
    {MMSYSERR_BADDB, "The registry is damaged, so the installed drivers cannot be read."},
    {WAVERR_BADFORMAT,
     "The specified format is not supported or cannot be translated. Use the Capabilities function to determine the "
     "supported formats."},
    {WAVERR_STILLPLAYING,
     "Cannot perform this operation while media data is still playing. Reset the device, or wait until the data is "
     "finished playing."},
    {WAVERR_UNPREPARED,
     "The wave header was not prepared. Use the Prepare function to prepare the header, and then try again."},
    {WAVERR_SYNC, "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, and then try again."},
    {MIDIERR_UNPREPARED,
     "The MIDI header was not prepared. Use the Prepare function to prepare the header, and then try again."},
    {MIDIERR_STILLPLAYING,
     "Cannot perform this operation while media data is still playing. Reset the device, or wait until the data is "
     "finished playing."},
    {MIDIERR_NOMAP,
     "A MIDI map was not found. There may be a problem with the driver, or the MIDIMAP.CFG file may be corrupt or "
     "missing."},
    {MIDIERR_NOTREADY,
     "The port is transmitting data to the device. Wait until the data has been transmitted, and then try again."},
    {MIDIERR_NODEVICE,
     "The current MIDI Mapper setup refers to a MIDI device that is not installed on the system. Use MIDI Mapper to "
     "edit the setup."},
    {MIDIERR_INVALIDSETUP,
     "The current MIDI setup is damaged. Copy the original MIDIMAP.CFG file to the Windows SYSTEM directory, and then "
     "try again."},
};

// Each device family knows the general codes and its own.
MMRESULT errorText(MMRESULT code, MMRESULT familyBase, LPSTR text, UINT cch) {
  if (cch == 0) return MMSYSERR_NOERROR;
  if (!text) return MMSYSERR_INVALPARAM;
  bool general = code < WAVERR_BASE;
  bool family = code >= familyBase && code < familyBase + 32;
  for (const ErrorText& e : kErrorTexts) {
    if (e.code != code || !(general || family)) continue;
    lstrcpynA(text, e.text, (int)cch);
    return MMSYSERR_NOERROR;
  }
  return MMSYSERR_BADERRNUM;
}

// The ANSI capability record of a wide one, copied to the caller's record as
// far as it reaches: the same fields, the device name in the ANSI code page.
// The fields after the name have the same layout in both records.
template <typename Ansi, typename Wide>
void capsToAnsi(const Wide& wide, void* out, UINT cbOut) {
  Ansi ansi = {};
  ansi.wMid = wide.wMid;
  ansi.wPid = wide.wPid;
  ansi.vDriverVersion = wide.vDriverVersion;
  if (WideCharToMultiByte(CP_ACP, 0, wide.szPname, -1, ansi.szPname, MAXPNAMELEN, nullptr, nullptr) == 0)
    ansi.szPname[MAXPNAMELEN - 1] = 0;
  const size_t wideTail = offsetof(Wide, szPname) + sizeof wide.szPname;
  const size_t ansiTail = offsetof(Ansi, szPname) + sizeof ansi.szPname;
  static_assert(sizeof(Wide) - wideTail == sizeof(Ansi) - ansiTail, "the fields after the name match");
  memcpy(reinterpret_cast<char*>(&ansi) + ansiTail, reinterpret_cast<const char*>(&wide) + wideTail,
         sizeof(Ansi) - ansiTail);
  memcpy(out, &ansi, cbOut < sizeof ansi ? cbOut : sizeof ansi);
}

}  // namespace

// ---- services for drivers --------------------------------------------------------

namespace {
std::atomic<PLAT_DRIVERCALLBACK_HOOK> driverCallbackHook{nullptr};
}

extern "C" void platSetDriverCallbackHook(PLAT_DRIVERCALLBACK_HOOK hook) { driverCallbackHook = hook; }

extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                                      DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
  if (PLAT_DRIVERCALLBACK_HOOK hook = driverCallbackHook.load())
    hook(dwCallback, dwFlags, hDevice, dwMsg, dwUser, dwParam1, dwParam2);
  if (plat::faultHit("DriverCallback")) return FALSE;
  switch (dwFlags & DCB_TYPEMASK) {
    case DCB_FUNCTION:
      if (!dwCallback) return FALSE;
      reinterpret_cast<DRVCALLBACK>(dwCallback)(hDevice, dwMsg, dwUser, dwParam1, dwParam2);
      return TRUE;
    case DCB_EVENT: return SetEvent((HANDLE)dwCallback);
    case DCB_WINDOW: return PostMessageA((HWND)dwCallback, dwMsg, (WPARAM)hDevice, (LPARAM)dwParam1);
    case DCB_TASK: return PostThreadMessageA((DWORD)dwCallback, dwMsg, (WPARAM)hDevice, (LPARAM)dwParam1);
    default: return FALSE;
  }
}

extern "C" LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                                        LPARAM lParam2) {
  if (PLAT_DEFDRIVERPROC_HOOK hook = defDriverProcHook.load())
    return hook(dwDriverIdentifier, hdrvr, uMsg, lParam1, lParam2);
  switch (uMsg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_INSTALL:
    case DRV_REMOVE: return 1;
    default: return 0;
  }
}

extern "C" void platSetDefDriverProcHook(PLAT_DEFDRIVERPROC_HOOK hook) { defDriverProcHook = hook; }

extern "C" BOOL platMmUseDriver(const char* type, const char* path) {
  int t = -1;
  for (int i = 0; i < kDeviceTypes; ++i)
    if (type && strcmp(type, kTypeNames[i]) == 0) t = i;
  if (t < 0) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  Layer& l = layer();
  std::vector<std::shared_ptr<Driver>> unused;
  {
    std::lock_guard<std::mutex> g(l.lock);
    for (auto& h : l.handles)
      if (h.second->type == t) return plat::fail(ERROR_BUSY, FALSE);
    l.chosen[t] = path != nullptr;
    l.chosenPath[t] = path ? path : "";
    unused = std::move(l.drivers[t]);
    l.drivers[t].clear();
    l.found[t] = false;
    // A module that still serves the other type stays loaded.
    unused.erase(std::remove_if(unused.begin(), unused.end(), [&](const auto& d) { return listed(l, d); }),
                 unused.end());
  }
  for (auto& d : unused) unloadDriver(d);
  return TRUE;
}

// ---- MIDI output -------------------------------------------------------------------

extern "C" UINT WINAPI midiOutGetNumDevs(void) { return deviceCount(kMidiOut); }

extern "C" MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
  if (!pmoc) return MMSYSERR_INVALPARAM;
  return deviceOrIdMessage(uDeviceID, kMidiOut, MODM_GETDEVCAPS, (DWORD_PTR)pmoc, cbmoc, MMSYSERR_BADDEVICEID);
}

extern "C" MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
  if (!pmoc) return MMSYSERR_INVALPARAM;
  MIDIOUTCAPSW wide = {};
  MMRESULT r = midiOutGetDevCapsW(uDeviceID, &wide, sizeof wide);
  if (r != MMSYSERR_NOERROR) return r;
  capsToAnsi<MIDIOUTCAPSA>(wide, pmoc, cbmoc);
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                                       DWORD fdwOpen) {
  if (plat::faultHit("midiOutOpen")) return MMSYSERR_NOMEM;
  if (!phmo) return MMSYSERR_INVALPARAM;
  *phmo = nullptr;
  MMRESULT r = checkCallback(dwCallback, fdwOpen);
  if (r != MMSYSERR_NOERROR) return r;
  UINT local = 0;
  std::shared_ptr<Driver> d = driverOfDevice(kMidiOut, uDeviceID, local, r, MMSYSERR_BADDEVICEID);
  if (!d) return r;
  auto dev = std::make_shared<Device>();
  dev->type = kMidiOut;
  dev->driver = d;
  dev->id = local;
  ULONG_PTR h = addDevice(dev);
  dev->midiDesc.hMidi = (HMIDI)h;
  dev->midiDesc.dwCallback = dwCallback;
  dev->midiDesc.dwInstance = dwInstance;
  r = d->entry[kMidiOut](local, MODM_OPEN, (DWORD_PTR)&dev->dwUser, (DWORD_PTR)&dev->midiDesc, fdwOpen);
  if (r != MMSYSERR_NOERROR) {
    removeDevice(h);
    return r;
  }
  *phmo = (HMIDIOUT)h;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
  return closeDevice(hmo, kMidiOut, MODM_CLOSE, MIDIERR_STILLPLAYING);
}

extern "C" MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  return deviceMessage(hmo, kMidiOut, MODM_DATA, dwMsg, 0);
}

extern "C" MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  if (!pmh || cbmh < offsetof(MIDIHDR, dwOffset)) return MMSYSERR_INVALPARAM;
  return deviceMessage(hmo, kMidiOut, MODM_LONGDATA, (DWORD_PTR)pmh, cbmh);
}

extern "C" MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  if (plat::faultHit("midiOutPrepareHeader")) return MMSYSERR_NOMEM;
  if (!pmh || cbmh < offsetof(MIDIHDR, dwOffset)) return MMSYSERR_INVALPARAM;
  MMRESULT r = deviceMessage(hmo, kMidiOut, MODM_PREPARE, (DWORD_PTR)pmh, cbmh);
  if (r != MMSYSERR_NOTSUPPORTED) return r;
  pmh->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  if (!pmh || cbmh < offsetof(MIDIHDR, dwOffset)) return MMSYSERR_INVALPARAM;
  if (!(pmh->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
  MMRESULT r = deviceMessage(hmo, kMidiOut, MODM_UNPREPARE, (DWORD_PTR)pmh, cbmh);
  if (r != MMSYSERR_NOTSUPPORTED) return r;
  if (pmh->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  pmh->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) { return deviceMessage(hmo, kMidiOut, MODM_RESET, 0, 0); }

extern "C" MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
  return errorText(mmrError, MIDIERR_BASE, pszText, cchText);
}

// ---- wave output --------------------------------------------------------------------

extern "C" UINT WINAPI waveOutGetNumDevs(void) { return deviceCount(kWaveOut); }

extern "C" MMRESULT WINAPI waveOutGetDevCapsW(UINT_PTR uDeviceID, LPWAVEOUTCAPSW pwoc, UINT cbwoc) {
  if (!pwoc) return MMSYSERR_INVALPARAM;
  return deviceOrIdMessage(uDeviceID, kWaveOut, WODM_GETDEVCAPS, (DWORD_PTR)pwoc, cbwoc, MMSYSERR_BADDEVICEID);
}

extern "C" MMRESULT WINAPI waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc) {
  if (!pwoc) return MMSYSERR_INVALPARAM;
  WAVEOUTCAPSW wide = {};
  MMRESULT r = waveOutGetDevCapsW(uDeviceID, &wide, sizeof wide);
  if (r != MMSYSERR_NOERROR) return r;
  capsToAnsi<WAVEOUTCAPSA>(wide, pwoc, cbwoc);
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                                       DWORD_PTR dwInstance, DWORD fdwOpen) {
  if (plat::faultHit("waveOutOpen")) return MMSYSERR_NOMEM;
  bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
  if (!pwfx || (!phwo && !query)) return MMSYSERR_INVALPARAM;
  if (phwo) *phwo = nullptr;
  MMRESULT r = checkCallback(dwCallback, fdwOpen);
  if (r != MMSYSERR_NOERROR) return r;
  UINT local = 0;
  std::shared_ptr<Driver> d = driverOfDevice(kWaveOut, uDeviceID, local, r, MMSYSERR_BADDEVICEID);
  if (!d) return r;
  auto dev = std::make_shared<Device>();
  dev->type = kWaveOut;
  dev->driver = d;
  dev->id = local;
  ULONG_PTR h = addDevice(dev);
  dev->waveDesc.hWave = (HWAVE)h;
  dev->waveDesc.lpFormat = const_cast<LPWAVEFORMATEX>(pwfx);
  dev->waveDesc.dwCallback = dwCallback;
  dev->waveDesc.dwInstance = dwInstance;
  r = d->entry[kWaveOut](local, WODM_OPEN, (DWORD_PTR)&dev->dwUser, (DWORD_PTR)&dev->waveDesc, fdwOpen);
  if (r != MMSYSERR_NOERROR || query) {
    removeDevice(h);
    return r;
  }
  *phwo = (HWAVEOUT)h;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI waveOutClose(HWAVEOUT hwo) {
  return closeDevice(hwo, kWaveOut, WODM_CLOSE, WAVERR_STILLPLAYING);
}

extern "C" MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  if (plat::faultHit("waveOutPrepareHeader")) return MMSYSERR_NOMEM;
  if (!pwh || cbwh < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  MMRESULT r = deviceMessage(hwo, kWaveOut, WODM_PREPARE, (DWORD_PTR)pwh, cbwh);
  if (r != MMSYSERR_NOTSUPPORTED) return r;
  if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  pwh->dwFlags = (pwh->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  if (!pwh || cbwh < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (!(pwh->dwFlags & WHDR_PREPARED)) return MMSYSERR_NOERROR;
  MMRESULT r = deviceMessage(hwo, kWaveOut, WODM_UNPREPARE, (DWORD_PTR)pwh, cbwh);
  if (r != MMSYSERR_NOTSUPPORTED) return r;
  if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  pwh->dwFlags = (pwh->dwFlags & ~WHDR_PREPARED) | WHDR_DONE;
  return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  return deviceMessage(hwo, kWaveOut, WODM_WRITE, (DWORD_PTR)pwh, cbwh);
}

extern "C" MMRESULT WINAPI waveOutPause(HWAVEOUT hwo) { return deviceMessage(hwo, kWaveOut, WODM_PAUSE, 0, 0); }
extern "C" MMRESULT WINAPI waveOutRestart(HWAVEOUT hwo) { return deviceMessage(hwo, kWaveOut, WODM_RESTART, 0, 0); }
extern "C" MMRESULT WINAPI waveOutReset(HWAVEOUT hwo) { return deviceMessage(hwo, kWaveOut, WODM_RESET, 0, 0); }

extern "C" MMRESULT WINAPI waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
  if (!pmmt || cbmmt < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  return deviceMessage(hwo, kWaveOut, WODM_GETPOS, (DWORD_PTR)pmmt, cbmmt);
}

extern "C" MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume) {
  if (!pdwVolume) return MMSYSERR_INVALPARAM;
  return deviceOrIdMessage((UINT_PTR)hwo, kWaveOut, WODM_GETVOLUME, (DWORD_PTR)pdwVolume, 0, MMSYSERR_INVALHANDLE);
}

extern "C" MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
  return deviceOrIdMessage((UINT_PTR)hwo, kWaveOut, WODM_SETVOLUME, dwVolume, 0, MMSYSERR_INVALHANDLE);
}

extern "C" MMRESULT WINAPI waveOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
  return errorText(mmrError, WAVERR_BASE, pszText, cchText);
}
