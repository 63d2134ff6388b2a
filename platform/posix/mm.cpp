// The multimedia layer: driver modules loaded and opened the way the platform
// does it, device handles of client programs, the header preparation the
// layer does for drivers that leave it to the layer, error texts, and the
// services for drivers (DriverCallback, DefDriverProc).
//
// No lock of the layer is held while a driver runs: a driver notifies from
// threads of its own, and a client's callback may call back into the layer.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"

namespace {

typedef LRESULT(CALLBACK* DriverProcFn)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1, LPARAM lParam2);
typedef DWORD(APIENTRY* DeviceMessageFn)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                         DWORD_PTR dwParam2);

enum DeviceType { kMidiOut = 0, kWaveOut = 1, kDeviceTypes = 2 };

const char* const kTypeNames[kDeviceTypes] = {"midi", "wave"};
const char* const kEntryNames[kDeviceTypes] = {"modMessage", "wodMessage"};
const UINT kGetNumDevs[kDeviceTypes] = {MODM_GETNUMDEVS, WODM_GETNUMDEVS};

struct Driver {
  std::string path;
  HMODULE module = nullptr;
  DriverProcFn proc = nullptr;
  DeviceMessageFn entry[kDeviceTypes] = {};
  UINT devices[kDeviceTypes] = {};
  DWORD_PTR driverId = 0;
  HDRVR hdrvr() { return reinterpret_cast<HDRVR>(this); }
};

struct Device {
  DeviceType type;
  std::shared_ptr<Driver> driver;
  UINT id;
  DWORD_PTR dwUser = 0;  // the driver's instance value, set by it at open
  MIDIOPENDESC midiDesc = {};
  WAVEOPENDESC waveDesc = {};
};

struct Layer {
  std::mutex lock;
  bool chosen[kDeviceTypes] = {};
  std::string chosenPath[kDeviceTypes];
  // The drivers of each type in the order their devices are numbered; a module
  // that serves both types is loaded once and listed for both.
  bool found[kDeviceTypes] = {};
  std::vector<std::shared_ptr<Driver>> drivers[kDeviceTypes];
  std::map<ULONG_PTR, std::shared_ptr<Device>> handles;
  ULONG_PTR nextHandle = 0x1000;
  bool exitHookSet = false;
};

Layer& layer() {
  static Layer* l = new Layer;  // outlives the exit work that unloads drivers
  return *l;
}

bool listed(const Layer& l, const std::shared_ptr<Driver>& d) {
  for (const auto& list : l.drivers)
    if (std::find(list.begin(), list.end(), d) != list.end()) return true;
  return false;
}

std::atomic<PLAT_DEFDRIVERPROC_HOOK> defDriverProcHook{nullptr};

// Which driver files serve a device type. The one place that decides it.
// The drivers of the type's aliases registered under Drivers32 (midi, midi1
// ... midi9; wave ...), in that order, as the platform finds its installed
// drivers. A bare file name is found by the module search, the system
// directory among its places. A registry store that is damaged leaves the list
// unknown: `unread` tells it, rather than an empty list as if no driver were
// installed.
std::vector<std::string> registeredDriverPaths(DeviceType type, bool& unread) {
  std::vector<std::string> paths;
  HKEY key;
  LSTATUS st = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0,
                             KEY_READ, &key);
  unread = st == ERROR_REGISTRY_CORRUPT;
  if (st != ERROR_SUCCESS) return paths;
  for (int n = 0; n <= 9 && !unread; ++n) {
    std::string alias = kTypeNames[type];
    if (n) alias += std::to_string(n);
    char data[MAX_PATH];
    DWORD size = sizeof data - 1, valueType = 0;
    st = RegQueryValueExA(key, alias.c_str(), nullptr, &valueType, reinterpret_cast<BYTE*>(data), &size);
    unread = st == ERROR_REGISTRY_CORRUPT;
    if (st != ERROR_SUCCESS || (valueType != REG_SZ && valueType != REG_EXPAND_SZ) || size == 0) continue;
    data[size] = '\0';
    if (data[0]) paths.push_back(data);
  }
  RegCloseKey(key);
  if (unread) paths.clear();
  return paths;
}

std::vector<std::string> driverPathsFor(Layer& l, DeviceType type, bool& unread) {
  unread = false;
  if (l.chosen[type]) return {l.chosenPath[type]};
  const char* env = getenv(PLAT_MM_DRIVERS_ENV);
  if (!env) return registeredDriverPaths(type, unread);
  std::string list(env), prefix = std::string(kTypeNames[type]) + "=";
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(';', pos);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(pos, end - pos);
    if (item.compare(0, prefix.size(), prefix) == 0) return {item.substr(prefix.size())};
    pos = end + 1;
  }
  return registeredDriverPaths(type, unread);
}

std::shared_ptr<Driver> loadDriver(const std::string& path) {
  auto d = std::make_shared<Driver>();
  d->path = path;
  d->module = LoadLibraryA(path.c_str());
  if (!d->module) return nullptr;
  d->proc = reinterpret_cast<DriverProcFn>(reinterpret_cast<void*>(GetProcAddress(d->module, "DriverProc")));
  for (int t = 0; t < kDeviceTypes; ++t)
    d->entry[t] = reinterpret_cast<DeviceMessageFn>(reinterpret_cast<void*>(GetProcAddress(d->module, kEntryNames[t])));
  if (!d->proc || !d->proc(0, d->hdrvr(), DRV_LOAD, 0, 0)) {
    FreeLibrary(d->module);
    return nullptr;
  }
  d->proc(0, d->hdrvr(), DRV_ENABLE, 0, 0);
  d->driverId = (DWORD_PTR)d->proc(0, d->hdrvr(), DRV_OPEN, 0, 0);
  if (!d->driverId) {
    d->proc(0, d->hdrvr(), DRV_DISABLE, 0, 0);
    d->proc(0, d->hdrvr(), DRV_FREE, 0, 0);
    FreeLibrary(d->module);
    return nullptr;
  }
  for (int t = 0; t < kDeviceTypes; ++t) {
    if (!d->entry[t]) continue;
    d->entry[t](0, DRVM_INIT, 0, 0, 0);
    d->devices[t] = d->entry[t](0, kGetNumDevs[t], 0, 0, 0);
  }
  return d;
}

void unloadDriver(const std::shared_ptr<Driver>& d) {
  for (int t = 0; t < kDeviceTypes; ++t)
    if (d->entry[t]) d->entry[t](0, DRVM_EXIT, 0, 0, 0);
  d->proc(d->driverId, d->hdrvr(), DRV_CLOSE, 0, 0);
  d->proc(0, d->hdrvr(), DRV_DISABLE, 0, 0);
  d->proc(0, d->hdrvr(), DRV_FREE, 0, 0);
  FreeLibrary(d->module);
}

void unloadAtExit() {
  Layer& l = layer();
  std::vector<std::shared_ptr<Driver>> all;
  {
    std::lock_guard<std::mutex> g(l.lock);
    for (auto& list : l.drivers) {
      for (auto& d : list)
        if (std::find(all.begin(), all.end(), d) == all.end()) all.push_back(d);
      list.clear();
    }
    l.handles.clear();
  }
  for (auto& d : all) unloadDriver(d);
}

// The drivers of a device type, loaded into the process on first use. One
// that cannot be loaded is left out. While the registry store is damaged the
// list is unknown: `unread` says so and the next call reads it again.
std::vector<std::shared_ptr<Driver>> driversFor(DeviceType type, bool& unread) {
  Layer& l = layer();
  std::vector<std::string> paths;
  std::vector<std::shared_ptr<Driver>> known;
  {
    std::lock_guard<std::mutex> g(l.lock);
    unread = false;
    if (l.found[type]) return l.drivers[type];
    paths = driverPathsFor(l, type, unread);
    if (unread) return {};
    for (auto& list : l.drivers) known.insert(known.end(), list.begin(), list.end());
  }
  // Loading runs the modules' process attach and DriverProc outside the lock.
  std::vector<std::shared_ptr<Driver>> drivers, loaded;
  for (const std::string& path : paths) {
    std::shared_ptr<Driver> d;
    for (auto& k : known)
      if (k->path == path) d = k;
    if (!d) {
      d = loadDriver(path);
      if (!d) continue;
      known.push_back(d);
      loaded.push_back(d);
    }
    if (std::find(drivers.begin(), drivers.end(), d) == drivers.end()) drivers.push_back(d);
  }
  std::vector<std::shared_ptr<Driver>> extra;
  {
    std::lock_guard<std::mutex> g(l.lock);
    if (l.found[type]) {
      drivers = l.drivers[type];  // another thread was quicker
    } else {
      l.drivers[type] = drivers;
      l.found[type] = true;
      if (!l.exitHookSet) {
        // Registered after the platform library's own start-up, so it runs
        // before the modules' process detach at exit.
        atexit(unloadAtExit);
        l.exitHookSet = true;
      }
    }
    for (auto& d : loaded)
      if (!listed(l, d)) extra.push_back(d);
  }
  for (auto& d : extra) unloadDriver(d);
  return drivers;
}

// The driver of device `id` of a type and the device's number within it:
// devices are numbered across the type's drivers in their order. Without one,
// `why` is MMSYSERR_BADDB when the driver list could not be read from a
// damaged registry store, otherwise `badId`.
std::shared_ptr<Driver> driverOfDevice(DeviceType type, UINT_PTR id, UINT& local, MMRESULT& why, MMRESULT badId) {
  bool unread;
  why = badId;
  std::vector<std::shared_ptr<Driver>> drivers = driversFor(type, unread);
  if (unread) why = MMSYSERR_BADDB;
  for (auto& d : drivers) {
    UINT n = d->entry[type] ? d->devices[type] : 0;
    if (id < n) {
      local = (UINT)id;
      return d;
    }
    id -= n;
  }
  return nullptr;
}

UINT deviceCount(DeviceType type) {
  UINT n = 0;
  bool unread;
  for (auto& d : driversFor(type, unread))
    if (d->entry[type]) n += d->devices[type];
  return n;
}

std::shared_ptr<Device> deviceOf(const void* handle, DeviceType type) {
  Layer& l = layer();
  std::lock_guard<std::mutex> g(l.lock);
  auto it = l.handles.find((ULONG_PTR)handle);
  if (it == l.handles.end() || it->second->type != type) return nullptr;
  return it->second;
}

ULONG_PTR addDevice(const std::shared_ptr<Device>& dev) {
  Layer& l = layer();
  std::lock_guard<std::mutex> g(l.lock);
  ULONG_PTR h = l.nextHandle;
  l.nextHandle += 4;
  l.handles[h] = dev;
  return h;
}

void removeDevice(ULONG_PTR h) {
  Layer& l = layer();
  std::lock_guard<std::mutex> g(l.lock);
  l.handles.erase(h);
}

MMRESULT deviceMessage(const void* handle, DeviceType type, UINT msg, DWORD_PTR p1, DWORD_PTR p2) {
  std::shared_ptr<Device> dev = deviceOf(handle, type);
  if (!dev) return MMSYSERR_INVALHANDLE;
  return dev->driver->entry[type](dev->id, msg, dev->dwUser, p1, p2);
}

// A message that names a device by handle or, where the platform allows it,
// by its id.
MMRESULT deviceOrIdMessage(UINT_PTR handleOrId, DeviceType type, UINT msg, DWORD_PTR p1, DWORD_PTR p2, MMRESULT badId) {
  if (std::shared_ptr<Device> dev = deviceOf((const void*)handleOrId, type))
    return dev->driver->entry[type](dev->id, msg, dev->dwUser, p1, p2);
  UINT local = 0;
  MMRESULT why;
  std::shared_ptr<Driver> d = driverOfDevice(type, handleOrId, local, why, badId);
  if (!d) return why;
  return d->entry[type](local, msg, 0, p1, p2);
}

MMRESULT checkCallback(DWORD_PTR dwCallback, DWORD fdwOpen) {
  if ((fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_WINDOW && dwCallback && !IsWindow((HWND)dwCallback))
    return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

MMRESULT closeDevice(const void* handle, DeviceType type, UINT closeMsg, MMRESULT stillPlaying) {
  std::shared_ptr<Device> dev = deviceOf(handle, type);
  if (!dev) return MMSYSERR_INVALHANDLE;
  MMRESULT r = dev->driver->entry[type](dev->id, closeMsg, dev->dwUser, 0, 0);
  // As on the platform, only buffers still playing keep the handle open.
  if (r != stillPlaying) removeDevice((ULONG_PTR)handle);
  return r;
}

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

void capsPnameToAnsi(const WCHAR* wide, CHAR* ansi) {
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, MAXPNAMELEN, nullptr, nullptr) == 0) ansi[MAXPNAMELEN - 1] = 0;
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
  MIDIOUTCAPSA ansi = {};
  ansi.wMid = wide.wMid;
  ansi.wPid = wide.wPid;
  ansi.vDriverVersion = wide.vDriverVersion;
  capsPnameToAnsi(wide.szPname, ansi.szPname);
  ansi.wTechnology = wide.wTechnology;
  ansi.wVoices = wide.wVoices;
  ansi.wNotes = wide.wNotes;
  ansi.wChannelMask = wide.wChannelMask;
  ansi.dwSupport = wide.dwSupport;
  memcpy(pmoc, &ansi, cbmoc < sizeof ansi ? cbmoc : sizeof ansi);
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
  WAVEOUTCAPSA ansi = {};
  ansi.wMid = wide.wMid;
  ansi.wPid = wide.wPid;
  ansi.vDriverVersion = wide.vDriverVersion;
  capsPnameToAnsi(wide.szPname, ansi.szPname);
  ansi.dwFormats = wide.dwFormats;
  ansi.wChannels = wide.wChannels;
  ansi.wReserved1 = wide.wReserved1;
  ansi.dwSupport = wide.dwSupport;
  memcpy(pwoc, &ansi, cbwoc < sizeof ansi ? cbwoc : sizeof ansi);
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
