// The multimedia layer's drivers and devices: which driver modules serve each
// device type, loading and opening them the way the platform does, and the
// device handles of client programs. The layer's API (mm.cpp) is built on it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace plat {
namespace mm {

typedef LRESULT(CALLBACK* DriverProcFn)(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1, LPARAM lParam2);
typedef DWORD(APIENTRY* DeviceMessageFn)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                         DWORD_PTR dwParam2);

enum DeviceType { kMidiOut = 0, kWaveOut = 1, kDeviceTypes = 2 };

// "midi" and "wave", the aliases' stems under Drivers32.
extern const char* const kTypeNames[kDeviceTypes];

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

Layer& layer();
// Whether a driver is listed for either type.
bool listed(const Layer& l, const std::shared_ptr<Driver>& d);
void unloadDriver(const std::shared_ptr<Driver>& d);
// The driver of device `id` of a type and the device's number within it:
// devices are numbered across the type's drivers in their order. Without one,
// `why` is MMSYSERR_BADDB when the driver list could not be read from a
// damaged registry store, otherwise `badId`.
std::shared_ptr<Driver> driverOfDevice(DeviceType type, UINT_PTR id, UINT& local, MMRESULT& why, MMRESULT badId);
UINT deviceCount(DeviceType type);
std::shared_ptr<Device> deviceOf(const void* handle, DeviceType type);
ULONG_PTR addDevice(const std::shared_ptr<Device>& dev);
void removeDevice(ULONG_PTR h);
MMRESULT deviceMessage(const void* handle, DeviceType type, UINT msg, DWORD_PTR p1, DWORD_PTR p2);
// A message that names a device by handle or, where the platform allows it,
// by its id.
MMRESULT deviceOrIdMessage(UINT_PTR handleOrId, DeviceType type, UINT msg, DWORD_PTR p1, DWORD_PTR p2, MMRESULT badId);
MMRESULT checkCallback(DWORD_PTR dwCallback, DWORD fdwOpen);
// Closes a device; only buffers still playing keep its handle open.
MMRESULT closeDevice(const void* handle, DeviceType type, UINT closeMsg, MMRESULT stillPlaying);

}  // namespace mm
}  // namespace plat
