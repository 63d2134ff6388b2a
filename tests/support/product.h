// Test support for the driver module: a machine with the product installed
// (install directory, KELVASON.INI, host copies, host settings) and the
// module's exports, loaded into the test process as a client would load it.
#pragma once

#include <string>

#include "hostlink/module.h"
#include "hostlink/shared.h"
#include "kvplatform.h"
#include "support.h"

namespace kvtest {

std::string driverModulePath();

// Whether the device has handed the buffer back: the device's pump thread stores
// WHDR_DONE with an interlocked operation, and a client that polls the flags
// reads them with one.
inline DWORD headerFlags(WAVEHDR& h) { return (DWORD)InterlockedOr(reinterpret_cast<volatile LONG*>(&h.dwFlags), 0); }
inline bool headerDone(WAVEHDR& h) { return (headerFlags(h) & WHDR_DONE) != 0; }

struct DriverModule : KvModule {
  // Loads KVDRVR32.DLL of the build (or the module at `path`) into this process.
  bool load(const std::string& path = driverModulePath());
};

class ProductTest : public MachineTest {
 protected:
  void SetUp() override;
  // Writes a [Host] setting of KVHOST.INI in the install directory.
  void hostSetting(const char* key, const char* value);
  // Copies a program of the build into the install directory under `name`.
  void installProgram(const char* buildName, const char* name);
  std::string installDir() const { return root + "/drive_c/KV"; }
  std::string readInstallFile(const char* name) const;
  // The driver starts its hosts without standard streams. After this, the
  // host copies in the install directory are scripts that start the build's
  // host with its standard error appended to a file, which hostSaid() reads.
  void keepHostStderr();
  std::string hostSaid() const;
  // Opens the MIDI device, plays a note on and off, waits until the host has
  // taken the bytes, closes and waits for the host to end.
  void playMidiNote();
  DriverModule drv;
};

// The process of a channel's host window; 0 when the window is gone or none
// is named.
DWORD hostProcessOf(DWORD hwndHost);

// Opens a window of the product's instance class in this process, which lets
// wave opens start their host; nullptr when it cannot.
HWND openInstanceWindow();

// Opens `device` ("midi", "wave") from a device client in a process of its
// own (`program`: this test binary or a copy of it), reads the channel's
// status and closes: "OPEN STATUS CLOSE", the three answers.
std::string openElsewhere(const char* device, const std::string& program = selfPath());

// Every key and value below `key`, one line each, in enumeration order.
void dumpKey(HKEY key, const std::string& path, std::string& out);
// The whole registry, HKLM and then HKCU, as dumpKey writes it.
std::string registryDump();

}  // namespace kvtest
