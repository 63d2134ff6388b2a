// The main job on a Win32 implementation: the setup program installs the
// product into Wine's registry and system directory, the system start
// (wineboot -r) puts the module in place, a client plays through both devices,
// the setup program removes the product, and after the next system start the
// registry and the system directory are as they were.
#include <stdio.h>
#include <string.h>

#include <map>

#include "hostlink/protocol.h"
#include "support.h"

using kvwine::Child;

namespace {

// The device tests that play through both devices; the wave one last, so that
// its record stays.
const char kPlayingTests[] = "WineMidiTest.Messages*:WineWaveTest.Stream*";

std::string sz(const char* s) { return std::to_string(REG_SZ) + ":" + std::string(s, strlen(s) + 1); }
std::string dword(DWORD d) { return std::to_string(REG_DWORD) + ":" + std::to_string(d); }

class WineInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = kvwine::installDir();
    module = kvwine::systemDir() + "\\KVDRVR32.DLL";
    // A user with another synthesizer as the MIDI mapper's device.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char instrument[] = "mmsynth.dll<0000>";
    DWORD one = 1;
    RegSetValueExA(key, "CurrentInstrument", 0, REG_SZ, reinterpret_cast<const BYTE*>(instrument), sizeof instrument);
    RegSetValueExA(key, "UseScheme", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    RegCloseKey(key);
    // Nothing of the product in place but the host and the module beside the setup program.
    DeleteFileA(module.c_str());
    DeleteFileA(in(kvwine::kMidiHostExe).c_str());
    DeleteFileA(in(kvwine::kWaveHostExe).c_str());
  }
  void TearDown() override {
    // What the other tests find: the module in the system directory, the host copies.
    CopyFileA((dir + "\\KVDRVR32.DLL").c_str(), module.c_str(), FALSE);
    CopyFileA(in(kvwine::kHostExe).c_str(), in(kvwine::kMidiHostExe).c_str(), FALSE);
    CopyFileA(in(kvwine::kHostExe).c_str(), in(kvwine::kWaveHostExe).c_str(), FALSE);
  }
  void systemStart() {
    ASSERT_EQ(kvwine::runShown(kvwine::systemDir() + "\\wineboot.exe -r", kvwine::systemDir()), 0u);
  }

  // A program of the install directory.
  std::string in(const char* name) const { return dir + "\\" + name; }

  std::string dir;
  std::string module;
};

}  // namespace

TEST_F(WineInstallTest, InstallPlayAndRemoveLeaveTheRegistryAndTheSystemDirectoryAsTheyWere) {
  std::map<std::string, std::string> driversBefore = kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY);
  std::map<std::string, std::string> mapperBefore = kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY);
  ASSERT_EQ(mapperBefore["CurrentInstrument"], sz("mmsynth.dll<0000>"));

  ASSERT_EQ(kvwine::runShown(dir + "\\KVSETUP.EXE /INSTALL", dir), 0u);
  std::map<std::string, std::string> drivers = kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY);
  int aliases = 0;
  for (auto& v : drivers)
    if (v.second == sz("KVDRVR32.DLL")) ++aliases;
  EXPECT_EQ(aliases, 2) << "one MIDI and one wave alias";
  std::map<std::string, std::string> mapper = kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY);
  EXPECT_EQ(mapper["CurrentInstrument"], sz("KVDRVR32.DLL<0000>"));
  EXPECT_EQ(mapper["UseScheme"], dword(0));
  EXPECT_EQ(mapper["szPname"], sz("Kelvasong (NT)"));
  EXPECT_TRUE(kvwine::exists(in(kvwine::kMidiHostExe)) && kvwine::exists(in(kvwine::kWaveHostExe)))
      << "the host copies";
  // The media device that keeps the driver across a restart of current
  // Windows: SetupAPI serves no 32-bit installer on 64-bit Windows, so only a
  // 64-bit setup program registers it.
  std::string midiAlias;
  EXPECT_EQ(kvwine::mediaDevices(&midiAlias), sizeof(void*) == 8 ? 1 : 0);
  if (sizeof(void*) == 8) {
    EXPECT_EQ(midiAlias, "midi") << "the alias the installation chose";
    ASSERT_EQ(kvwine::runShown(dir + "\\KVSETUP.EXE /INSTALL", dir), 0u);
    EXPECT_EQ(kvwine::mediaDevices(), 1) << "found again, not made twice";
  }
  EXPECT_FALSE(kvwine::exists(module)) << "the module is put in place at the next system start only";

  systemStart();
  ASSERT_TRUE(kvwine::exists(module));
  EXPECT_TRUE(kvwine::readFile(module) == kvwine::readFile(dir + "\\KVDRVR32.DLL")) << "the installed module";
  EXPECT_FALSE(kvwine::exists(kvwine::systemDir() + "\\KVDRVR32.000")) << "the staged copy was moved";

  // A client of its own plays, so that this process never maps the module the
  // removal deletes: a system start deletes no module in use.
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  EXPECT_EQ(kvwine::runShown(std::string("\"") + self + "\" --gtest_brief=1 --gtest_filter=" + kPlayingTests, dir), 0u);
  printf("%s", kvwine::readFile(dir + "\\KVMIDIIN.TXT").substr(0, 300).c_str());
  printf("...\n%s", kvwine::readFile(dir + "\\KVWAVEOUT.TXT").c_str());

  ASSERT_EQ(kvwine::runShown(dir + "\\KVSETUP.EXE /REMOVE", dir), 0u);
  EXPECT_EQ(kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY), driversBefore);
  EXPECT_EQ(kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY), mapperBefore)
      << "the mapper values come back as they were";
  EXPECT_FALSE(kvwine::exists(in(kvwine::kMidiHostExe)) || kvwine::exists(in(kvwine::kWaveHostExe)))
      << "the host copies";
  EXPECT_EQ(kvwine::mediaDevices(), 0) << "the media device goes with the last registration";
  systemStart();
  EXPECT_FALSE(kvwine::exists(module)) << "the module leaves the system directory at the next system start";
  WIN32_FIND_DATAA found;
  HANDLE left = FindFirstFileA((kvwine::systemDir() + "\\KVDRVR32.*").c_str(), &found);
  EXPECT_EQ(left, INVALID_HANDLE_VALUE) << "left in the system directory: " << found.cFileName;
  if (left != INVALID_HANDLE_VALUE) FindClose(left);
}

// Current Windows writes some pending operations with a "*1" before the NT
// path; they are shown as the plain paths they name.
TEST_F(WineInstallTest, PendingOperationsWrittenWithAStarPrefixAreShownAsPlainPaths) {
  const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const char ops[] = "*1\\??\\C:\\Temp\\old.tmp\0\0*1\\??\\C:\\Temp\\new.dll\0!\\??\\C:\\Temp\\put.dll\0";
  ASSERT_EQ(RegSetValueExA(key, "PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(ops),
                           sizeof ops),
            ERROR_SUCCESS);
  Child setup(dir + "\\KVSETUP.EXE /REMOVE", dir);
  std::string output;
  setup.finish(output);
  RegDeleteValueA(key, "PendingFileRenameOperations");
  RegCloseKey(key);
  EXPECT_NE(output.find("  delete C:\\Temp\\old.tmp (from before)"), std::string::npos) << output;
  EXPECT_NE(output.find("  replace C:\\Temp\\put.dll with C:\\Temp\\new.dll (from before)"), std::string::npos)
      << output;
}
