// Support for the Wine suite: the test binary as its own helper process
// ("--kv-helper NAME ARGS..."), talking to the test through lines on its
// standard streams; the product as an installation lays it out; the processes
// the driver starts.
#pragma once

#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostlink/module.h"

namespace kvwine {

// The host programs of this build's bitness: the 64-bit module has its own.
constexpr const char* kHostExe = sizeof(void*) == 8 ? "KVTSK64.EXE" : "KVTSK16.EXE";
constexpr const char* kMidiHostExe = sizeof(void*) == 8 ? "KVMIDI64.EXE" : "KVMIDI16.EXE";
constexpr const char* kWaveHostExe = sizeof(void*) == 8 ? "KVWAVE64.EXE" : "KVWAVE16.EXE";

// The product's install directory (KVDirectory of KELVASON.INI).
std::string installDir();
std::string systemDir();
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// The values of a registry key by name, as "type:data", a REG_DWORD's data as
// its number; `view` picks a registry view (KEY_WOW64_32KEY, ...), 0 this
// process's own.
std::map<std::string, std::string> keyValues(HKEY root, const char* path, REGSAM view = 0);
// Looks at `done` every 10 ms until it holds; false after `timeoutMs`, which
// only guards against a hang.
bool waitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);
// The multimedia layer's number for the product's MIDI device; -1 when it
// lists none.
int kelvasongMidiDevice();
// Removes what the hosts recorded in the install directory: the records named
// `name` (KVMIDIIN or KVWAVEOUT), or all of them.
void clearRecords(const char* name = nullptr);

// KVDRVR32.DLL from the system directory, loaded into this process.
struct Driver : KvModule {
  bool load();
};

using HelperFn = int (*)(int argc, char** argv);
struct HelperRegistration {
  HelperRegistration(const char* name, HelperFn fn);
};
#define KV_HELPER(name)                                                           \
  static int kvHelper_##name(int argc, char** argv);                              \
  static ::kvwine::HelperRegistration kvHelperReg_##name(#name, kvHelper_##name); \
  static int kvHelper_##name(int argc, char** argv)
// Runs the helper named by argv when the binary was started as one; -1 if not.
int runHelper(int argc, char** argv);

// In a helper: one line to the test, and one line from it (false at end of input).
void say(const std::string& line);
bool hear(std::string& line);

// A process started by a test with pipes to its standard streams: a helper of
// this binary, or any program.
class Child {
 public:
  static Child helper(const std::string& name, const std::vector<std::string>& args = {});
  // `errorsToo`: its standard error comes through the same pipe as its output.
  Child(const std::string& commandLine, const std::string& directory = "", bool errorsToo = false);
  Child(Child&& other) noexcept;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  HANDLE process() const { return process_; }
  void send(const std::string& line);
  // Next line from the child; empty with a test failure after `timeoutMs`.
  std::string expectLine(DWORD timeoutMs = 20000);
  // Waits for the child to end and answers its exit code; STILL_ACTIVE on time-out.
  DWORD wait(DWORD timeoutMs = 20000);
  // Collects the child's output until it ends; answers its exit code, or
  // STILL_ACTIVE on time-out.
  DWORD finish(std::string& output, DWORD timeoutMs = 60000);
  void terminate();

 private:
  HANDLE process_ = nullptr;
  HANDLE toChild_ = nullptr;
  HANDLE fromChild_ = nullptr;
  std::string buffered_;
};

// Runs a program to its end and shows its output; answers its exit code.
DWORD runShown(const std::string& commandLine, const std::string& directory = "", bool errorsToo = false);

// Starts the product's instance window (one the installation started serves
// as well) kept by `instance`, and waits until the window is there.
void startInstanceWindow(std::unique_ptr<Child>& instance);

// The media devices with the hardware id ROOT\KVDRVR32, and the MIDI alias
// the first one's driver key names (Drivers\midi\KVDRVR32.DLL, value Alias).
int mediaDevices(std::string* midiAlias = nullptr);

// Plays `steps` through the product's MIDI device from this process, each a
// short message in hexadecimal ("7F4590": A4 on channel 1) or "+MS" to let
// what sounds go on for MS milliseconds, as a player holds a note; then
// closes the device and waits until the host has ended, its records written.
// Empty, or what went wrong. The helper "play" does the same in a process of
// its own (the package test plays so from a client of each bitness).
std::string playSteps(const std::vector<std::string>& steps);

// The ids of the running processes whose executable is `exeName`.
std::vector<DWORD> processesNamed(const char* exeName);
// Waits until every process named `exeName` has ended; false on time-out.
bool waitForProcessesToEnd(const char* exeName, DWORD timeoutMs);

}  // namespace kvwine
