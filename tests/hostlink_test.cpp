// The host link's own operations: the install directory and the host launch
// (command line, fallback, time-outs), with stand-in host programs.
#include <string.h>

#include <string>

#include "clock.h"
#include "hostlink/hostlink.h"
#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"

namespace {

std::string installDirFor(const char* value, const char* debugValue = nullptr) {
  WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", value, "KELVASON.INI");
  WritePrivateProfileStringA("DEBUG", "KVDirectory", debugValue, "KELVASON.INI");
  char dir[MAX_PATH];
  memset(dir, 'x', sizeof dir);
  return getInstallDir(dir, sizeof dir);
}

}  // namespace

class InstallDirTest : public kvtest::MachineTest {};

TEST_F(InstallDirTest, TrailingSeparatorsAreCut) {
  EXPECT_EQ(installDirFor("C:\\KV\\"), "C:\\KV");
  EXPECT_EQ(installDirFor("C:\\KV\\\\/"), "C:\\KV");
  EXPECT_EQ(installDirFor("C:/KV/"), "C:/KV");
  EXPECT_EQ(installDirFor("C:\\"), "C:");
  EXPECT_EQ(installDirFor("\\\\"), "");
  EXPECT_EQ(installDirFor("C:\\KV\\Sub"), "C:\\KV\\Sub");
  EXPECT_EQ(installDirFor("C:\\K\\V\\"), "C:\\K\\V") << "only the trailing run goes";
}

TEST_F(InstallDirTest, TheDebugSectionWins) {
  EXPECT_EQ(installDirFor("C:\\KV", "D:\\Debug\\"), "D:\\Debug");
  EXPECT_EQ(installDirFor(nullptr, "D:\\Debug"), "D:\\Debug");
  EXPECT_EQ(installDirFor(nullptr, nullptr), "");
}

TEST_F(InstallDirTest, DoubleByteCharactersEndingIn5CStayWhole) {
  ASSERT_TRUE(platSetAnsiCodePage(932));
  // 0x95 0x5C is one character; the separator before it is no trailing one.
  EXPECT_EQ(installDirFor("C:\\KV\\\x95\\"), "C:\\KV\\\x95\\");
  EXPECT_EQ(installDirFor("C:\\KV\\\x95\\\\"), "C:\\KV\\\x95\\");
  // A lead byte right before the end is an ordinary byte.
  EXPECT_EQ(installDirFor("C:\\KV\\\x95"), "C:\\KV\\\x95");
  ASSERT_TRUE(platSetAnsiCodePage(1252));
  EXPECT_EQ(installDirFor("C:\\KV\\\x95\\"), "C:\\KV\\\x95");
}

class HostLaunchTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
  }
  std::string shortModulePath() {
    char path[MAX_PATH];
    GetModuleFileNameA(drv.handle, path, sizeof path);
    GetShortPathNameA(path, path, sizeof path);
    return path;
  }
  MIDIOPENDESC desc = {};
};

TEST_F(HostLaunchTest, CommandLineNamesTheHostCopyTheVerbAndTheModule) {
  installProgram("RECARGS.EXE", "KVMIDI16.EXE");
  EXPECT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0), (DWORD)MMSYSERR_ALLOCATED);
  std::string args = readInstallFile("KVMIDI16.EXE.ARGS");
  EXPECT_EQ(args, "C:\\KV\\KVMIDI16.EXE /OpenKvMidiOut$ " + shortModulePath() + "\nC:\\KV\n");
}

TEST_F(HostLaunchTest, WithoutTheHostCopyTheBaseHostRuns) {
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVMIDI16.EXE"));
  installProgram("RECARGS.EXE", "KVTSK16.EXE");
  EXPECT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0), (DWORD)MMSYSERR_ALLOCATED);
  EXPECT_EQ(readInstallFile("KVTSK16.EXE.ARGS"),
            "C:\\KV\\KVTSK16.EXE /OpenKvMidiOut$ " + shortModulePath() + "\nC:\\KV\n");
}

TEST_F(HostLaunchTest, BothWaitsEndWhenTheHostEndsWithoutAnswering) {
  hostSetting("Answer", "never");
  hostSetting("NeverLingerMs", "200");
  // The clock stands still: only the host's end can end the waits.
  DWORD result = 99;
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0); }))
      << "not the 20 s of a host that might still answer";
  EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);

  HWND instance = kvtest::openInstanceWindow();
  ASSERT_NE(instance, nullptr);
  WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
  WAVEOPENDESC waveDesc = {};
  waveDesc.lpFormat = &wf;
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&waveDesc, 0); }))
      << "not the 30 s of a host that might still answer";
  EXPECT_NE(result, 0u);
  DestroyWindow(instance);
}

// Installed machines keep the user's data under these names: the saved mapper
// settings, the install directory's INI value, the host's settings and the
// logon value. Every other test compares with the header's own constants, so a
// slip there would pass them all and lose what users saved; here each name is
// pinned to its literal text.
TEST(ProtocolNamesTest, TheNamesInstalledMachinesKeepDataUnderStayAsTheyWere) {
  EXPECT_STREQ(KV_MIDIMAP_SAVE_KEY, "Software\\Orvellin\\Kelvasong\\MIDIMapSave");
  EXPECT_STREQ(KV_PRODUCT_KEY, "Software\\Orvellin\\Kelvasong");
  EXPECT_STREQ(KV_MAKER_KEY, "Software\\Orvellin");
  EXPECT_STREQ(KV_MIDIMAP_KEY, "Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap");
  const char* const mapperValues[] = {"CurrentInstrument",
                                      "UseScheme",
                                      "AutoScheme",
                                      "DeviceInterface",
                                      "RelativeIndex",
                                      "SetupPreferredAudioDevicesCount",
                                      "szPname"};
  ASSERT_EQ(sizeof KV_MIDIMAP_VALUES / sizeof KV_MIDIMAP_VALUES[0], sizeof mapperValues / sizeof mapperValues[0]);
  for (size_t i = 0; i < sizeof mapperValues / sizeof mapperValues[0]; ++i)
    EXPECT_STREQ(KV_MIDIMAP_VALUES[i].szName, mapperValues[i]) << "in the order they are saved";
  EXPECT_STREQ(KV_INI_FILE, "KELVASON.INI");
  EXPECT_STREQ(KV_INI_SECTION, "KelvasongSetup");
  EXPECT_STREQ(KV_INI_DEBUG_SECTION, "DEBUG");
  EXPECT_STREQ(KV_INI_DIR_KEY, "KVDirectory");
  EXPECT_STREQ(KV_HOST_INI_FILE, "KVHOST.INI");
  EXPECT_STREQ(KV_HOST_INI_SECTION, "Host");
  EXPECT_STREQ(KV_INSTANCE_RUN_VALUE, "KelvasongInstance");
  EXPECT_STREQ(KV_DRIVER_FILE, "KVDRVR32.DLL");
  EXPECT_STREQ(KV_MIDI_OWNER_MUTEX, "Global\\$_RT_MutexForKVDRVR32-modOpen_$");
}
