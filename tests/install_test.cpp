// Installation and removal through the module's exports, as the setup program
// calls them: what they write, what the system start then does, what a client
// reaches afterwards, and what failures at each step leave behind.
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"
#include "sweep.h"

using kvtest::Child;

namespace {

void setString(HKEY root, const char* path, const char* name, const std::string& text, DWORD type = REG_SZ) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), (DWORD)text.size() + 1),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void setDword(HKEY root, const char* path, const char* name, DWORD value) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
  RegCloseKey(key);
}

// The value's type and bytes, or "" when it does not exist.
std::string valueOf(HKEY root, const char* path, const char* name) {
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  BYTE data[1024];
  DWORD type = 0, size = sizeof data;
  LSTATUS st = RegQueryValueExA(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (st != ERROR_SUCCESS) return "";
  return std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), size);
}
std::string sz(const std::string& text) { return "1:" + text + std::string(1, '\0'); }

bool keyExists(HKEY root, const char* path) {
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Names and contents of the files in a host directory.
std::map<std::string, std::string> directoryFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(dir.c_str());
  if (!d) return files;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    files[e->d_name] = kvtest::readFile(dir + "/" + e->d_name);
  }
  closedir(d);
  return files;
}

std::string names(const std::map<std::string, std::string>& files) {
  std::string out;
  for (auto& f : files) out += f.first + " ";
  return out;
}

class InstallTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    unsetenv(PLAT_MM_DRIVERS_ENV);
    platFaultClear();
    ASSERT_TRUE(drv.load());
    install = drv.installDriver;
    remove = drv.removeDriver;
    ASSERT_TRUE(install && remove);
  }
  void TearDown() override {
    platFaultClear();
    ProductTest::TearDown();
  }

  // A machine as users have it: other drivers registered before this one (the
  // test driver, which loads, and one that does not), their descriptions, a
  // device entry of another driver, and the user's mapper settings.
  void seedTypicalMachine() {
    std::string testDriver = kvtest::buildDir() + "/KVTESTDRV.DLL";
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", testDriver);
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi1", "mmgone.dll");
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave", testDriver);
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "aux", "mmgone.dll");
    setString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi1", "mmgone.dll");
    setString(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "midi1", "");
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS_DESC_KEY, "mmgone.dll", "Another synthesizer");
    setString(HKEY_LOCAL_MACHINE, (std::string(KV_MEDIA_RESOURCES_KEY) + "\\mmgone.dll<0000>").c_str(), "Active", "1");
    seedMapper();
  }
  void seedMapper() {
    setString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "CurrentInstrument", "mmgone.dll<0000>");
    setDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "UseScheme", 1);
    setDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "AutoScheme", 1);
    setString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "szPname", "Another synthesizer");
    setDword(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "ConfigureCount", 3);
  }

  std::string mapperDump() {
    std::string out;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    kvtest::dumpKey(key, "MIDIMap", out);
    RegCloseKey(key);
    return out;
  }

  std::string systemDir() const { return root + "/drive_c/WINDOWS/system32"; }
  std::string pending() const { return kvtest::readFile(root + "/pending-file-operations"); }

  InstallFn install = nullptr;
  InstallFn remove = nullptr;
};

}  // namespace

TEST_F(InstallTest, FullCycleRegistersPlaysAndLeavesTheMachineAsBefore) {
  seedTypicalMachine();
  const std::string registryBefore = kvtest::registryDump();
  const auto systemBefore = directoryFiles(systemDir());
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVMIDI16.EXE") && DeleteFileA("C:\\KV\\KVWAVE16.EXE"));

  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi2"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave1"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi2"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "midi2"), sz(""));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS_DESC_KEY, "KVDRVR32.DLL"),
            sz("Kelvasong Software-WaveTable-Synthesizer"));
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "CurrentInstrument"), sz("KVDRVR32.DLL<0000>"));
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "szPname"), sz("Kelvasong (NT)"));
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "szPname"), sz("Another synthesizer"));
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "DeviceInterface"), "") << "it did not exist";
  EXPECT_EQ(readInstallFile("KVMIDI16.EXE"), readInstallFile("KVTSK16.EXE"));
  EXPECT_EQ(readInstallFile("KVWAVE16.EXE"), readInstallFile("KVTSK16.EXE"));
  EXPECT_FALSE(kvtest::fileExists(systemDir() + "/KVDRVR32.DLL")) << "replaced only at the system start";

  ASSERT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::readFile(systemDir() + "/KVDRVR32.DLL"), kvtest::readFile(kvtest::driverModulePath()));
  EXPECT_FALSE(kvtest::fileExists(systemDir() + "/KVDRVR32.000"));
  {
    // A client of the multimedia layer plays a phrase on the registered device.
    // The test driver's device comes first; the registered one is the second.
    // The host has written its record when it gives the channel back.
    Child client("device_client",
                 {"name 1", "devices", "open midi 1", "send 7F3C90 7F3D90 7F3E90 7F3F90", "close", "idle"});
    EXPECT_EQ(client.expectLine(), "Kelvasong (NT)");
    EXPECT_EQ(client.expectLine(), "2") << "devices";
    for (const char* step : {"open", "send", "close"}) EXPECT_EQ(client.expectLine(), "0") << step;
    EXPECT_EQ(client.expectLine(), "idle");
    EXPECT_EQ(client.wait(), 0);
  }
  std::string received = readInstallFile("KVMIDIIN.RAW");
  EXPECT_EQ(received.substr(0, 3), "\x90<\x7F") << "the host did not get the phrase";

  ASSERT_EQ(remove(), 0);
  EXPECT_FALSE(kvtest::fileExists(installDir() + "/KVMIDI16.EXE"));
  EXPECT_FALSE(kvtest::fileExists(installDir() + "/KVWAVE16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(installDir() + "/KVTSK16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(systemDir() + "/KVDRVR32.DLL")) << "deleted only at the system start";
  ASSERT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::registryDump(), registryBefore);
  EXPECT_EQ(names(directoryFiles(systemDir())), names(systemBefore));
}

TEST_F(InstallTest, InstallingTwiceKeepsTheSettingsFromBeforeTheFirst) {
  seedTypicalMachine();
  setString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "DeviceInterface", "expandable", REG_EXPAND_SZ);
  setString(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "UseScheme", "a string where a number belongs");
  const std::string before = mapperDump();
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "DeviceInterface"), sz("expandable")) << "saved as REG_SZ";
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "UseScheme"), "") << "a mistyped value is not saved";
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "szPname"), sz("Another synthesizer"));
  ASSERT_EQ(remove(), 0);
  std::string after = mapperDump();
  // Strings come back as REG_SZ, and a mistyped value that was not saved is gone.
  std::string expected = before;
  expected.replace(expected.find("DeviceInterface=2:"), 18, "DeviceInterface=1:");
  expected.erase(expected.find("UseScheme=1:"),
                 std::string("UseScheme=1:a string where a number belongs\n").size() + 1);
  EXPECT_EQ(after, expected);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvellin"));
}

TEST_F(InstallTest, AliasSearchTakesTheFirstFreeOrOwnName) {
  // Two foreign drivers: the third name.
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", "a.dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi1", "b.dll");
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi2"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave"), sz("KVDRVR32.DLL"));
  ASSERT_EQ(remove(), 0);

  // An empty value is free and comes before an absent one; a DWORD is free too.
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi1", "");
  setDword(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave", 7);
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi1"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave"), sz("KVDRVR32.DLL"));
  ASSERT_EQ(remove(), 0);

  // An alias that still names this driver, left behind by a removal that
  // stopped, is taken again.
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi1", "b.dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi3", "C:\\WINDOWS\\System32\\kvDrvr32.Dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi2", "c.dll");
  platFaultInject("RegDeleteValueA", 1, 1);
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi3"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi4"), "");
}

TEST_F(InstallTest, TenForeignWaveAliasesStopAfterTheMidiRegistration) {
  seedMapper();
  const std::string mapper = mapperDump();
  for (int i = 0; i < 10; ++i) {
    std::string alias = i ? "wave" + std::to_string(i) : "wave";
    setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, alias.c_str(), "other.dll");
  }
  ASSERT_EQ(install(), -1);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS_DESC_KEY, "KVDRVR32.DLL"),
            sz("Kelvasong Software-WaveTable-Synthesizer"));
  EXPECT_EQ(mapperDump(), mapper);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY));
  EXPECT_EQ(names(directoryFiles(systemDir())), "") << "the temporary copy is taken away again";
  EXPECT_EQ(pending(), "");
}

TEST_F(InstallTest, TakenTemporaryNamesAreSkippedAndLeftAlone) {
  for (int i = 0; i < 5; ++i) {
    std::ofstream(systemDir() + "/KVDRVR32.00" + std::to_string(i)) << "old " << i;
  }
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(kvtest::readFile(systemDir() + "/KVDRVR32.005"), kvtest::readFile(kvtest::driverModulePath()));
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(kvtest::readFile(systemDir() + "/KVDRVR32.00" + std::to_string(i)), "old " + std::to_string(i));
  EXPECT_NE(pending().find("KVDRVR32.005\t"), std::string::npos) << pending();
}

TEST_F(InstallTest, FailingInstallationsLeaveNoTemporaryCopies) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    platFaultInject("MoveFileExA", 1, 0);
    EXPECT_EQ(install(), -1);
    EXPECT_EQ(names(directoryFiles(systemDir())), "") << "attempt " << attempt;
    platFaultClear();
  }
  platFaultInject("CopyFileA", 1, 1);
  EXPECT_EQ(install(), -1);
  EXPECT_EQ(names(directoryFiles(systemDir())), "");
  EXPECT_EQ(pending().find("KVDRVR32.0"), std::string::npos) << pending();
}

TEST_F(InstallTest, FailingWaveAliasWriteIsReported) {
  // The alias, Userinstallable.drivers, related.desc and the description come
  // before it.
  platFaultInject("RegSetValueExA", 5, 1);
  EXPECT_EQ(install(), -1);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi"), sz("KVDRVR32.DLL"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave"), "");
  EXPECT_EQ(pending(), "") << "no replacement without the wave alias";
}

TEST_F(InstallTest, OverlongInstallDirectoryWritesNothing) {
  std::string dir = "C:\\" + std::string(299, 'D');
  ASSERT_EQ(dir.size(), 302u);
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", dir.c_str(), "KELVASON.INI"));
  seedMapper();
  const std::string registry = kvtest::registryDump();
  EXPECT_EQ(install(), -1);
  EXPECT_EQ(kvtest::registryDump(), registry);
  EXPECT_EQ(names(directoryFiles(systemDir())), "");
  EXPECT_EQ(pending(), "");

  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV", "KELVASON.INI"));
  ASSERT_EQ(install(), 0);
  ASSERT_EQ(platSystemStart(), 0);
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", (dir + "\\").c_str(), "KELVASON.INI"));
  const std::string installed = kvtest::registryDump();
  EXPECT_EQ(remove(), -1);
  EXPECT_EQ(kvtest::registryDump(), installed);
  EXPECT_EQ(pending(), "");
}

// The module's path in the system directory, and its temporary copies there,
// fit a 260-byte buffer while the system directory has at most 246
// characters; a Windows installed deeper makes the installation answer -1
// before it changes anything.
TEST_F(InstallTest, TheSystemDirectoryAtTheLengthItsPathsAllow) {
  for (size_t length : {246u, 247u}) {
    SCOPED_TRACE(length);
    const std::string winDir = "C:\\" + std::string(length - 3 - strlen("\\system32"), 'W');
    ASSERT_TRUE(platSetWindowsDirectory(winDir.c_str()));
    char systemDir[MAX_PATH];
    ASSERT_EQ(GetSystemDirectoryA(systemDir, sizeof systemDir), length);
    ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\KV", "KELVASON.INI"));
    seedMapper();
    const std::string registry = kvtest::registryDump();
    if (length == 247u) {
      EXPECT_EQ(install(), -1);
      EXPECT_EQ(kvtest::registryDump(), registry);
      EXPECT_EQ(pending(), "");
      continue;
    }
    ASSERT_EQ(install(), 0);
    ASSERT_EQ(platSystemStart(), 0);
    EXPECT_TRUE(GetFileAttributesA((std::string(systemDir) + "\\KVDRVR32.DLL").c_str()) != INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(remove(), 0);
    ASSERT_EQ(platSystemStart(), 0);
    EXPECT_TRUE(GetFileAttributesA((std::string(systemDir) + "\\KVDRVR32.DLL").c_str()) == INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(kvtest::registryDump().find("KVDRVR32"), std::string::npos) << "the removal took every alias";
  }
}

TEST_F(InstallTest, WithoutAnInstallDirectoryNoHostIsCopiedOrDeleted) {
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", nullptr, "KELVASON.INI"));
  for (const char* name : {"KVTSK16.EXE", "KVMIDI16.EXE", "KVWAVE16.EXE"}) installProgram("KVTSK16.EXE", name);
  ASSERT_TRUE(CopyFileA("C:\\KV\\KVTSK16.EXE", "C:\\KVTSK16.EXE", FALSE));
  ASSERT_EQ(install(), 0);
  EXPECT_FALSE(kvtest::fileExists(root + "/drive_c/KVMIDI16.EXE"));
  ASSERT_TRUE(CopyFileA("C:\\KV\\KVTSK16.EXE", "C:\\KVMIDI16.EXE", FALSE));
  ASSERT_EQ(remove(), 0);
  EXPECT_TRUE(kvtest::fileExists(root + "/drive_c/KVMIDI16.EXE"));
}

// Both bitnesses share the user's mapper settings, but each module sees only
// its own registration: the second module's installation finds the mapper
// pointed at the driver by the first one, and a saved set it must keep.
TEST_F(InstallTest, AnInstallationKeepsASetSavedByTheOtherBitness) {
  seedTypicalMachine();
  const std::string before = mapperDump();
  ASSERT_EQ(install(), 0);
  // The first module's registration, out of the second module's sight.
  for (const char* alias : {"midi2", "wave1"}) {
    ASSERT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, alias), sz("KVDRVR32.DLL")) << alias;
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, alias), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, "CurrentInstrument"), sz("mmgone.dll<0000>"));
  ASSERT_EQ(remove(), 0);
  EXPECT_EQ(mapperDump(), before) << "the user's own settings come back";
}

TEST_F(InstallTest, RemovalWithoutASavedSetLeavesTheMapperAlone) {
  seedMapper();
  const std::string mapper = mapperDump();
  EXPECT_EQ(remove(), -1) << "nothing is installed";
  EXPECT_EQ(mapperDump(), mapper);

  // A saving step that failed leaves no saved set, and the mapper untouched.
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", "a.dll");
  platFaultInject("RegSetValueExA", 6, 1);  // aliases and descriptions first, then the first saved value
  EXPECT_EQ(install(), -1);
  EXPECT_EQ(mapperDump(), mapper);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvellin"));
  EXPECT_EQ(remove(), 0);
  EXPECT_EQ(mapperDump(), mapper);
}

// A saved set that stayed behind empty would read, at the next removal, as "the
// user had none of these values", and that removal would delete them all.
TEST_F(InstallTest, ASavedSetThatCannotBeDeletedStaysWholeForTheNextRemoval) {
  seedMapper();
  const std::string mapper = mapperDump();
  ASSERT_EQ(install(), 0);
  for (const char* op : {"RegDeleteKeyA", "RegDeleteValueA"}) {
    platFaultInject(op, 1, 0);
    int answer = remove();
    platFaultClear();
    if (answer == 0) {
      EXPECT_EQ(mapperDump(), mapper) << op;
      EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY)) << op << ": removal said done";
      ASSERT_EQ(install(), 0);
      continue;
    }
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY)) << op;
    EXPECT_EQ(remove(), 0) << op;
    EXPECT_EQ(mapperDump(), mapper) << op << ": the second removal gave the same settings back";
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY)) << op;
    ASSERT_EQ(install(), 0);
  }
  ASSERT_EQ(remove(), 0);
  EXPECT_EQ(mapperDump(), mapper);
}

TEST_F(InstallTest, RemovalDeletesOnlyThisDriversAliases) {
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "MIDI", "mmdrv.dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi0", "kvdrvr32.dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi4", "C:\\WINDOWS\\system32\\KVDRVR32.DLL");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave", "mmdrv.dll");
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave01", "KVDRVR32.DLL");
  setString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "MIDI", "mmdrv.dll");
  setString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi0", "KVDRVR32.DLL");
  setString(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi4", "other.dll");
  setString(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "MIDI", "mmdrv");
  setString(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "midi0", "");
  ASSERT_EQ(remove(), 0);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "MIDI"), sz("mmdrv.dll"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi0"), "");
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi4"), "");
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave"), sz("mmdrv.dll"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave01"), "");
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "MIDI"), sz("mmdrv.dll"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi0"), "");
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_USER_INSTALLABLE_KEY, "midi4"), sz("other.dll"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "MIDI"), sz("mmdrv"));
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_RELATED_DESC_KEY, "midi0"), "");
}

TEST_F(InstallTest, WaveAliasWithoutMidiAliasStopsRemoval) {
  setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave3", "KVDRVR32.DLL");
  std::string dev = std::string(KV_MEDIA_RESOURCES_KEY) + "\\KVDRVR32.DLL<0001>";
  setString(HKEY_LOCAL_MACHINE, dev.c_str(), "Active", "1");
  EXPECT_EQ(remove(), -1);
  EXPECT_EQ(valueOf(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave3"), sz("KVDRVR32.DLL"));
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, dev.c_str()));
  EXPECT_EQ(pending(), "");
  EXPECT_FALSE(kvtest::fileExists(installDir() + "/KVMIDI16.EXE")) << "the host copies went first";
}

namespace {

// Which platform operations installation and removal make, with the number of
// calls a successful run makes of each.
const char* const kFaultOps[] = {"GetModuleFileNameA", "GetSystemDirectoryA", "CreateFileA",     "CopyFileA",
                                 "DeleteFileA",        "MoveFileExA",         "RegOpenKeyExA",   "RegCreateKeyExA",
                                 "RegSetValueExA",     "RegDeleteValueA",     "RegDeleteKeyA",   "RegQueryValueExA",
                                 "RegEnumValueA",      "RegEnumKeyExA",       "RegQueryInfoKeyA"};

}  // namespace

TEST_F(InstallTest, FaultAtEachStepLeavesAMachineThatInstallsAndRemovesAgain) {
  seedTypicalMachine();
  const std::string registryBefore = kvtest::registryDump();
  const std::string mapperBefore = mapperDump();
  const auto systemBefore = directoryFiles(systemDir());
  auto cycle = [&](const std::string& what) {
    ASSERT_EQ(install(), 0) << what;
    ASSERT_EQ(remove(), 0) << what;
    ASSERT_EQ(platSystemStart(), 0) << what << "\n" << pending();
    ASSERT_EQ(kvtest::registryDump(), registryBefore) << what;
    ASSERT_EQ(names(directoryFiles(systemDir())), names(systemBefore)) << what;
  };
  kvtest::SweepShare share("install and remove steps");
  unsigned index = 0;
  for (const char* op : kFaultOps) {
    for (int phase = 0; phase < 2; ++phase) {
      // How many calls of op the run makes without faults.
      if (phase == 1) {
        ASSERT_EQ(install(), 0);
      }
      platFaultClear();
      ASSERT_EQ((phase == 0 ? install : remove)(), 0);
      unsigned calls = platFaultCalls(op);
      if (phase == 0) {
        ASSERT_EQ(remove(), 0);
      }
      ASSERT_EQ(platSystemStart(), 0);
      for (unsigned nth = 1; nth <= calls; ++nth) {
        if (!share.takes(index++)) continue;
        std::string what = std::string(phase == 0 ? "install" : "remove") + " with " + op + " call " +
                           std::to_string(nth) + " failing";
        if (phase == 1) {
          ASSERT_EQ(install(), 0) << what;
        }
        platFaultClear();
        platFaultInject(op, nth, 1);
        int answer = (phase == 0 ? install : remove)();
        platFaultClear();
        EXPECT_TRUE(answer == 0 || answer == -1) << what;
        if (answer != 0 && phase == 0) {
          // A failed installation never touches the mapper, and keeps its
          // temporary copy only for a replacement it recorded.
          EXPECT_EQ(mapperDump(), mapperBefore) << what;
          for (auto& f : directoryFiles(systemDir())) {
            EXPECT_NE(pending().find(f.first + "\t"), std::string::npos) << what << ": " << f.first << " left";
          }
        }
        if (answer != 0 && phase == 1 && std::string(op) == "RegSetValueExA") {
          EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY)) << what << ": the saved set is kept";
        }
        cycle(what);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST_F(InstallTest, CodePage932NameAndDirectoryEndingInTrailByte5C) {
  ASSERT_TRUE(platSetAnsiCodePage(932));
  // U+8868 is 0x95 0x5C in code page 932: its second byte is a backslash.
  const std::string dir = "C:\\KV\\\x95\x5C";
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  ASSERT_TRUE(CopyFileA("C:\\KV\\KVTSK16.EXE", (dir + "\\KVTSK16.EXE").c_str(), FALSE));
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", dir.c_str(), "KELVASON.INI"));
  const std::string hostDir = installDir() + "/\x95\x5C";
  ASSERT_TRUE(kvtest::fileExists(hostDir + "/KVTSK16.EXE"));

  ASSERT_EQ(install(), 0);
  EXPECT_EQ(valueOf(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "szPname"), sz("Kelvasong (NT)"));
  EXPECT_TRUE(kvtest::fileExists(hostDir + "/KVMIDI16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(hostDir + "/KVWAVE16.EXE"));
  ASSERT_EQ(remove(), 0);
  EXPECT_FALSE(kvtest::fileExists(hostDir + "/KVMIDI16.EXE"));
  EXPECT_FALSE(kvtest::fileExists(hostDir + "/KVWAVE16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(hostDir + "/KVTSK16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(installDir() + "/KVMIDI16.EXE"))
      << "the parent directory's copies are not ours to delete";
}
