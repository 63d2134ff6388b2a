#include "product.h"

#include <sys/stat.h>

#include <fstream>

#include "hostlink/protocol.h"
#include "kv/plat.h"

namespace kvtest {

std::string driverModulePath() { return buildDir() + "/KVDRVR32.DLL"; }

bool DriverModule::load(const std::string& path) {
  if (!loadKvModule(path.c_str(), this)) return false;
  return modMessage && midi && wave && setMidiLong && setWaveLong;
}

void ProductTest::SetUp() {
  MachineTest::SetUp();
  ASSERT_TRUE(platMachineInit());
  ASSERT_TRUE(CreateDirectoryA("C:\\KV", nullptr));
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV\\", "KELVASON.INI"));
  installProgram("KVTSK16.EXE", "KVTSK16.EXE");
  installProgram("KVTSK16.EXE", "KVMIDI16.EXE");
  installProgram("KVTSK16.EXE", "KVWAVE16.EXE");
  // The host keeps records only when told to; the tests read them.
  hostSetting("MidiRecord", "KVMIDIIN");
  hostSetting("WaveRecord", "KVWAVEOUT");
}

void ProductTest::hostSetting(const char* key, const char* value) {
  ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value, "C:\\KV\\KVHOST.INI"));
}

void ProductTest::installProgram(const char* buildName, const char* name) {
  std::string target = std::string("C:\\KV\\") + name;
  ASSERT_TRUE(CopyFileA((buildDir() + "/" + buildName).c_str(), target.c_str(), FALSE)) << name;
}

std::string ProductTest::readInstallFile(const char* name) const { return readFile(installDir() + "/" + name); }

void ProductTest::keepHostStderr() {
  for (const char* copy : {"KVMIDI16.EXE", "KVWAVE16.EXE"}) {
    std::string path = installDir() + "/" + copy;
    std::ofstream script(path, std::ios::trunc);
    script << "#!/bin/sh\nexec '" << buildDir() << "/KVTSK16.EXE' \"$@\" 2>>'" << root << "/host-stderr'\n";
    script.close();
    ASSERT_TRUE(script) << path;
    ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
  }
}

std::string ProductTest::hostSaid() const { return readFile(root + "/host-stderr"); }

void ProductTest::playMidiNote() {
  MIDIOPENDESC desc = {};
  ASSERT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL), 0u) << "the device opens";
  int pid = (int)kvtest::hostProcessOf(drv.midi->hwndHost);
  ASSERT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x7F3C90, 0), 0u);
  ASSERT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x003C90, 0), 0u);
  EXPECT_TRUE(kvtest::waitUntil([&] { return drv.midi->dwRingCount == 0; })) << "the host takes the bytes";
  ASSERT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
  ASSERT_TRUE(kvtest::processEnds(pid, 5000));
}

DWORD hostProcessOf(DWORD hwndHost) {
  DWORD pid = 0;
  if (hwndHost == 0 || GetWindowThreadProcessId((HWND)(ULONG_PTR)hwndHost, &pid) == 0) return 0;
  return pid;
}

HWND openInstanceWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = KV_INSTANCE_WINDOW_CLASS;
  RegisterClassA(&wc);
  return CreateWindowExA(0, KV_INSTANCE_WINDOW_CLASS, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

std::string openElsewhere(const char* device, const std::string& program) {
  std::string out;
  int status = runProgram(program,
                          {"--kv-helper", "device_client", "module " + driverModulePath(),
                           std::string("open ") + device, "status", "close", "exit"},
                          &out, false);
  if (status != 0 || out.compare(0, 7, "loaded\n") != 0) return "exit " + std::to_string(status) + ": " + out;
  std::string answers = out.substr(7, out.size() - 8);
  for (char& c : answers)
    if (c == '\n') c = ' ';
  return answers;
}

// Keeps the product's instance window open until its input closes or says "end".
KV_HELPER(instance_window) {
  (void)argc;
  (void)argv;
  kvtest::say(openInstanceWindow() ? "open" : "failed");
  std::string line;
  kvtest::hear(line);
  return 0;
}

void dumpKey(HKEY key, const std::string& path, std::string& out) {
  out += "[" + path + "]\n";
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[2048];
    DWORD cch = sizeof name, size = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    out +=
        std::string(name) + "=" + std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), size) + "\n";
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    dumpKey(sub, path + "\\" + name, out);
    RegCloseKey(sub);
  }
}

std::string registryDump() {
  std::string out;
  dumpKey(HKEY_LOCAL_MACHINE, "HKLM", out);
  dumpKey(HKEY_CURRENT_USER, "HKCU", out);
  return out;
}

}  // namespace kvtest
