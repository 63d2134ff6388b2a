// The multimedia layer's drivers and devices (see mm_drivers.h).
//
// No lock of the layer is held while a driver runs: a driver notifies from
// threads of its own, and a client's callback may call back into the layer.
#include "mm_drivers.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace plat {
namespace mm {

const char* const kTypeNames[kDeviceTypes] = {"midi", "wave"};
static const char* const kEntryNames[kDeviceTypes] = {"modMessage", "wodMessage"};
static const UINT kGetNumDevs[kDeviceTypes] = {MODM_GETNUMDEVS, WODM_GETNUMDEVS};

Layer& layer() {
  static Layer* l = new Layer;  // outlives the exit work that unloads drivers
  return *l;
}

bool listed(const Layer& l, const std::shared_ptr<Driver>& d) {
  for (const auto& list : l.drivers)
    if (std::find(list.begin(), list.end(), d) != list.end()) return true;
  return false;
}

// Which driver files serve a device type. The one place that decides it.
// The drivers of the type's aliases registered under Drivers32 (midi, midi1
// ... midi9; wave ...), in that order, as the platform finds its installed
// drivers. A bare file name is found by the module search, the system
// directory among its places. A registry store that is damaged leaves the list
// unknown: `unread` tells it, rather than an empty list as if no driver were
// installed.
static std::vector<std::string> registeredDriverPaths(DeviceType type, bool& unread) {
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

static std::vector<std::string> driverPathsFor(Layer& l, DeviceType type, bool& unread) {
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

static std::shared_ptr<Driver> loadDriver(const std::string& path) {
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

static void unloadAtExit() {
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
static std::vector<std::shared_ptr<Driver>> driversFor(DeviceType type, bool& unread) {
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

}  // namespace mm
}  // namespace plat
