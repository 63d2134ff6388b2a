// winekv.drv: the test suite's way into Wine's multimedia layer. Wine's winmm
// loads no driver from Drivers32; it loads "wine<name>.drv" for each name in
// the Audio value of HKCU\Software\Wine\Drivers. This driver forwards the MIDI
// output messages to KVDRVR32.DLL in the system directory, so that MIDI goes
// through the layer as it does on Windows.
//
// Two things Wine's layer needs that Windows does not:
// - its audio device enumerator takes the same driver and refuses one without
//   the entry points below, and winmm then finds no device at all. They pass
//   the calls on to Wine's own PulseAudio driver, winepulse.drv, loaded by
//   name (Wine's loader does not follow a forwarded export to a .drv), so that
//   programs (the host among them) play to the server PULSE_SERVER names;
//   where that driver finds no server, this one offers no audio endpoint;
// - midiOutPrepareHeader does not mark the header prepared itself when the
//   driver answers MMSYSERR_NOTSUPPORTED, as Windows does, so this driver does.
#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include "hostlink/module.h"

namespace {

KvModule gModule;

DeviceMessageFn driverModMessage() {
  if (!gModule.handle) loadKvModule("KVDRVR32.DLL", &gModule);
  return gModule.modMessage;
}

}  // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
  switch (uMsg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_ENABLE:
    case DRV_DISABLE: return 1;
    default: return DefDriverProc(dwDriverId, hdrvr, uMsg, lParam1, lParam2);
  }
}

extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2) {
  MIDIHDR* hdr = reinterpret_cast<MIDIHDR*>(dwParam1);
  switch (uMsg) {
    case MODM_PREPARE:
      if (!hdr || dwParam2 < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
      hdr->dwFlags |= MHDR_PREPARED;
      return MMSYSERR_NOERROR;
    case MODM_UNPREPARE:
      if (!hdr || dwParam2 < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
      if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
      hdr->dwFlags &= ~MHDR_PREPARED;
      return MMSYSERR_NOERROR;
  }
  DeviceMessageFn forward = driverModMessage();
  if (!forward) return uMsg == MODM_GETNUMDEVS ? 0 : MMSYSERR_NODRIVER;
  return forward(uDeviceID, uMsg, dwUser, dwParam1, dwParam2);
}

// The audio device enumerator's entry points, as Wine's audio layer calls
// them (its priorities: 0 unavailable, 1 low).
typedef int(WINAPI* PriorityFn)(void);
typedef HRESULT(WINAPI* EndpointIdsFn)(int flow, WCHAR*** ids, GUID** guids, UINT* num, UINT* defIndex);
typedef HRESULT(WINAPI* AudioEndpointFn)(void* guid, void* device, void** client);
typedef HRESULT(WINAPI* SessionManagerFn)(void* device, void** manager);
typedef HRESULT(WINAPI* PropValueFn)(GUID* guid, const void* prop, void* out);

namespace {

HMODULE gPulse;
bool gPulseServes;

void* pulseEntry(const char* name) { return gPulse ? reinterpret_cast<void*>(GetProcAddress(gPulse, name)) : nullptr; }

}  // namespace

// Asked first, once a process: whether Wine's pulse driver reaches a server.
extern "C" int WINAPI GetPriority(void) {
  if (!gPulse) gPulse = LoadLibraryA("winepulse.drv");
  PriorityFn priority = reinterpret_cast<PriorityFn>(pulseEntry("GetPriority"));
  int answer = priority ? priority() : 0;
  gPulseServes = answer > 0 && pulseEntry("GetEndpointIDs") && pulseEntry("GetAudioEndpoint") &&
                 pulseEntry("GetAudioSessionManager");
  return gPulseServes ? answer : 1;
}

extern "C" HRESULT WINAPI GetEndpointIDs(int flow, WCHAR*** ids, GUID** guids, UINT* num, UINT* defIndex) {
  if (gPulseServes)
    return reinterpret_cast<EndpointIdsFn>(pulseEntry("GetEndpointIDs"))(flow, ids, guids, num, defIndex);
  *ids = nullptr;
  *guids = nullptr;
  *num = 0;
  *defIndex = 0;
  return S_OK;
}

extern "C" HRESULT WINAPI GetAudioEndpoint(void* guid, void* device, void** client) {
  if (gPulseServes) return reinterpret_cast<AudioEndpointFn>(pulseEntry("GetAudioEndpoint"))(guid, device, client);
  *client = nullptr;
  return E_NOTIMPL;
}

extern "C" HRESULT WINAPI GetAudioSessionManager(void* device, void** manager) {
  if (gPulseServes) return reinterpret_cast<SessionManagerFn>(pulseEntry("GetAudioSessionManager"))(device, manager);
  *manager = nullptr;
  return E_NOTIMPL;
}

extern "C" HRESULT WINAPI GetPropValue(GUID* guid, const void* prop, void* out) {
  PropValueFn value = gPulseServes ? reinterpret_cast<PropValueFn>(pulseEntry("GetPropValue")) : nullptr;
  return value ? value(guid, prop, out) : E_NOTIMPL;
}
