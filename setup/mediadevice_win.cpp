// The MEDIA class root device through SetupAPI: created with a generated
// instance id under ROOT\MEDIA, hardware id ROOT\KVDRVR32, registered with
// DIF_REGISTERDEVICE, its values in its driver key; removed with DIF_REMOVE.
// SetupAPI refuses 32-bit callers on 64-bit Windows, so there the 64-bit
// setup program keeps the device.
// clang-format off
#include "hostlink/protocol.h"
#include "kvplatform.h"
#include <setupapi.h>
#include <devguid.h>
// clang-format on

#include <string.h>

#include "setup/mediadevice.h"

namespace {

const char kHardwareId[] = "ROOT\\KVDRVR32\0";

bool underWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string errorText(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// Finds the device by its hardware id in `set`; true with `data` filled.
bool findDevice(HDEVINFO set, SP_DEVINFO_DATA& data) {
  for (DWORD i = 0;; ++i) {
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set, i, &data)) return false;
    char ids[512] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                                          sizeof ids - 2, nullptr) &&
        lstrcmpiA(ids, kHardwareId) == 0)
      return true;
  }
}

bool writeValues(HKEY driverKey, const char* type, const std::string& alias) {
  std::string path = std::string("Drivers\\") + type + "\\" + KV_DRIVER_FILE;
  HKEY key;
  if (RegCreateKeyExA(driverKey, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  bool ok = RegSetValueExA(key, "Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>(KV_DRIVER_FILE),
                           sizeof KV_DRIVER_FILE) == ERROR_SUCCESS &&
            RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(KV_DRIVER_DESCRIPTION),
                           sizeof KV_DRIVER_DESCRIPTION) == ERROR_SUCCESS &&
            RegSetValueExA(key, "Alias", 0, REG_SZ, reinterpret_cast<const BYTE*>(alias.c_str()),
                           (DWORD)alias.size() + 1) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

// The media class's key, which Windows always has, holding the class's own
// values; Wine makes it for the first media device. Left empty by the removal
// of that device, it goes too.
void forgetEmptyClassKey() {
  const char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_SUCCESS &&
               subkeys == 0 && values == 0;
  RegCloseKey(key);
  if (empty) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClassKey);
}

// Whether the Drivers32 key of one registry view names the driver.
bool viewNamesDriver(REGSAM view) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  bool names = false;
  for (DWORD i = 0; !names; ++i) {
    char name[256], data[512];
    DWORD cchName = sizeof name, cbData = sizeof data - 1, type = 0;
    if (RegEnumValueA(key, i, name, &cchName, nullptr, &type, reinterpret_cast<BYTE*>(data), &cbData) != ERROR_SUCCESS)
      break;
    data[cbData] = '\0';
    size_t n = strlen(data);
    names = type == REG_SZ && n >= 12 && lstrcmpiA(data + n - 12, KV_DRIVER_FILE) == 0;
  }
  RegCloseKey(key);
  return names;
}

}  // namespace

std::string registerMediaDevice(const std::string& midiAlias, const std::string& waveAlias) {
  if (underWow64()) return "the 64-bit setup program registers the restart-proof device";
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_MEDIA, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return errorText("cannot list the media devices");
  std::string said;
  SP_DEVINFO_DATA data;
  bool existed = findDevice(set, data);
  if (!existed) {
    data.cbSize = sizeof data;
    if (!SetupDiCreateDeviceInfoA(set, "MEDIA", &GUID_DEVCLASS_MEDIA, KV_DRIVER_DESCRIPTION, nullptr, DICD_GENERATE_ID,
                                  &data) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareId),
                                           sizeof kHardwareId) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
      said = errorText("cannot register the device");
      SetupDiDestroyDeviceInfoList(set);
      return said;
    }
  }
  HKEY driverKey = SetupDiCreateDevRegKeyA(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
  if (driverKey == INVALID_HANDLE_VALUE) {
    said = errorText("cannot open the device's driver key");
  } else {
    bool ok = writeValues(driverKey, "midi", midiAlias) && writeValues(driverKey, "wave", waveAlias);
    RegCloseKey(driverKey);
    said = !ok       ? errorText("cannot write the device's values")
           : existed ? "the restart-proof media device (ROOT\\KVDRVR32) names the driver's aliases"
                     : "a restart-proof media device (ROOT\\KVDRVR32) was registered";
  }
  SetupDiDestroyDeviceInfoList(set);
  return said;
}

std::string removeMediaDevice() {
  if (underWow64()) return "";
  if (viewNamesDriver(KEY_WOW64_64KEY) || viewNamesDriver(KEY_WOW64_32KEY))
    return "the media device stays while a registry view still names the driver";
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_MEDIA, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return errorText("cannot list the media devices");
  std::string said;
  SP_DEVINFO_DATA data;
  if (findDevice(set, data)) {
    // Its driver key, where the installation wrote the driver's values, goes
    // with it, the values first: Wine's removal of the device leaves that key
    // behind, and deletes it only when it holds no subkey.
    HKEY driverKey = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    if (driverKey != INVALID_HANDLE_VALUE) {
      RegDeleteTreeA(driverKey, "Drivers");
      RegCloseKey(driverKey);
    }
    SetupDiDeleteDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV);
    said = SetupDiCallClassInstaller(DIF_REMOVE, set, &data) ? "the media device (ROOT\\KVDRVR32) was removed"
                                                             : errorText("cannot remove the media device");
    forgetEmptyClassKey();
  }
  SetupDiDestroyDeviceInfoList(set);
  return said;
}
