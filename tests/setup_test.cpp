// The setup program's installation and removal: it loads the module, calls its
// exports and tells what changed and what failed.
#include <string.h>

#include <string>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"

namespace {

class SetupTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(DeleteFileA("C:\\KV\\KVMIDI16.EXE") && DeleteFileA("C:\\KV\\KVWAVE16.EXE"));
  }
  int setup(const std::vector<std::string>& args, std::string& out) {
    out.clear();
    return kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", args, &out);
  }
  void foreignAlias(const char* name) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("other.dll"), 10), ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST_F(SetupTest, InstallAndRemoveTellWhatChanged) {
  foreignAlias("midi");
  std::string out;
  ASSERT_EQ(setup({"/INSTALL"}, out), 0) << out;
  EXPECT_TRUE(has(out, "midi1    registered: \"KVDRVR32.DLL\"")) << out;
  EXPECT_TRUE(has(out, "wave     registered: \"KVDRVR32.DLL\"")) << out;
  EXPECT_TRUE(has(out, "szPname                           (none) -> \"Kelvasong (NT)\"")) << out;
  EXPECT_TRUE(has(out, "replace C:\\WINDOWS\\system32\\KVDRVR32.DLL with C:\\WINDOWS\\system32\\KVDRVR32.000")) << out;
  EXPECT_TRUE(has(out, "KVMIDI16.EXE made")) << out;
  EXPECT_TRUE(has(out, "The installation succeeded.")) << out;
  ASSERT_EQ(platSystemStart(), 0);

  ASSERT_EQ(setup({"/REMOVE", kvtest::driverModulePath()}, out), 0) << out;
  EXPECT_TRUE(has(out, "midi1    unregistered (it was \"KVDRVR32.DLL\")")) << out;
  EXPECT_TRUE(has(out, "szPname                           \"Kelvasong (NT)\" -> (none)")) << out;
  EXPECT_TRUE(has(out, "your saved settings were given back")) << out;
  EXPECT_TRUE(has(out, "delete C:\\WINDOWS\\system32\\KVDRVR32.DLL\n")) << out;
  EXPECT_TRUE(has(out, "KVWAVE16.EXE deleted")) << out;
  EXPECT_TRUE(has(out, "The removal succeeded.")) << out;

  ASSERT_EQ(setup({"/REMOVE"}, out), 1) << out;
  EXPECT_TRUE(has(out, "no MIDI alias of this driver is registered")) << out;
  EXPECT_TRUE(has(out, "The removal failed (kvRemoveDriverNT answered -1).")) << out;
}

TEST_F(SetupTest, FailedInstallationSaysWhatFailed) {
  for (const char* name : {"wave", "wave1", "wave2", "wave3", "wave4", "wave5", "wave6", "wave7", "wave8", "wave9"})
    foreignAlias(name);
  std::string out;
  ASSERT_EQ(setup({"/INSTALL"}, out), 1) << out;
  EXPECT_TRUE(has(out, "midi     registered: \"KVDRVR32.DLL\"")) << out;
  EXPECT_TRUE(has(out, "no wave alias could be registered")) << out;
  EXPECT_TRUE(has(out, "not waiting for the system start")) << out;
  EXPECT_TRUE(has(out, "the mapper settings were not saved")) << out;
  EXPECT_TRUE(has(out,
                  "MIDI mapper (HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap):\n"
                  "  unchanged"))
      << out;
  EXPECT_TRUE(has(out, "The installation failed (kvInstallDriverNT answered -1).")) << out;

  EXPECT_EQ(setup({"/INSTALL", "C:\\NOWHERE\\KVDRVR32.DLL"}, out), 1);
}

TEST_F(SetupTest, FailedRemovalSaysWhatFailed) {
  std::string out;
  ASSERT_EQ(setup({"/INSTALL"}, out), 0) << out;
  // No value can be deleted in the setup program's process: the settings that did not exist before cannot
  // be taken away again.
  setenv(PLAT_FAULTS_ENV, "RegDeleteValueA=1:0", 1);
  int status = setup({"/REMOVE"}, out);
  unsetenv(PLAT_FAULTS_ENV);
  ASSERT_EQ(status, 1) << out;
  EXPECT_TRUE(has(out, "the saved mapper settings could not all be given back; they are kept")) << out;
  EXPECT_TRUE(
      has(out, "driver aliases (HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32):\n  unchanged"))
      << out;
  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  EXPECT_TRUE(has(out, "your saved settings were given back")) << out;
  EXPECT_TRUE(has(out, "an earlier registration") == false) << out;
}

// Without write access to the registered drivers (an unelevated run), the
// setup program says to run it as administrator before it changes anything:
// not the user's mapper settings, not the host copies.
TEST_F(SetupTest, WithoutWriteAccessToTheDriversNothingIsChangedAndTheUserIsToldToElevate) {
  const std::string before = kvtest::registryDump();
  std::string out;
  setenv(PLAT_FAULTS_ENV, "RegOpenKeyExA=1", 1);
  int code = setup({"/INSTALL"}, out);
  unsetenv(PLAT_FAULTS_ENV);
  EXPECT_EQ(code, 1) << out;
  EXPECT_TRUE(has(out, "run it as administrator. Nothing was changed.")) << out;
  EXPECT_FALSE(has(out, "Installing")) << out;
  EXPECT_EQ(kvtest::registryDump(), before);
  EXPECT_EQ(GetFileAttributesA("C:\\KV\\KVMIDI16.EXE"), INVALID_FILE_ATTRIBUTES);
}

// An elevated run started by an unelevated one writes its whole report to the
// file the other one shows.
TEST_F(SetupTest, AReportFileTakesTheWholeReport) {
  const std::string report = root + "/report.txt";
  std::string out;
  ASSERT_EQ(setup({"/INSTALL", "/REPORT", report}, out), 0) << out;
  EXPECT_EQ(out, "");
  std::string text = kvtest::readFile(report);
  EXPECT_TRUE(has(text, "Installing the Kelvasong driver")) << text;
  EXPECT_TRUE(has(text, "wave     registered: \"KVDRVR32.DLL\"")) << text;
  EXPECT_TRUE(has(text, "The installation succeeded.")) << text;
  ASSERT_EQ(setup({"/REMOVE", kvtest::driverModulePath(), "/REPORT", report}, out), 0) << out;
  EXPECT_TRUE(has(kvtest::readFile(report), "The installation succeeded.")) << "appended";
  EXPECT_TRUE(has(kvtest::readFile(report), "The removal succeeded.")) << kvtest::readFile(report);
  EXPECT_EQ(setup({"/REMOVE", "/REPORT"}, out), 2) << "a report needs its file";
}

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The value under HKEY_LOCAL_MACHINE's Run key (or, with `root`, another
// root's) that starts the instance window; "" when there is none.
std::string runValue(HKEY root = HKEY_LOCAL_MACHINE) {
  HKEY key;
  if (RegOpenKeyExA(root, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  char value[MAX_PATH] = {};
  DWORD size = sizeof value - 1;
  LSTATUS st = RegQueryValueExA(key, "KelvasongInstance", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return st == ERROR_SUCCESS ? value : "";
}

void setRunValue(HKEY root, const char* name, const char* line) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(line), (DWORD)strlen(line) + 1),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace

// The wave device opens only while the instance window exists: the package's
// installation has it started at every user's logon, from the machine's Run
// key (written by the elevated installation, it reaches whoever logs on, not
// the account whose credentials were given), and starts it now. An earlier
// version's value under the user's own Run key goes. Removal undoes it all.
TEST_F(SetupTest, InstallationStartsTheInstanceWindowAtEveryLogonAndNowAndRemovalEndsIt) {
  setRunValue(HKEY_CURRENT_USER, "KelvasongInstance", "\"C:\\KV\\KVTSK16.EXE\" /Instance");
  std::string out;
  ASSERT_EQ(setup({"/INSTALL"}, out), 0) << out;
  EXPECT_EQ(runValue(), "\"C:\\KV\\KVTSK16.EXE\" /Logon") << out;
  EXPECT_EQ(runValue(HKEY_CURRENT_USER), "") << out;
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
      << "the user's Run key held nothing else";
  ASSERT_TRUE(kvtest::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }, 10000))
      << out;

  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  EXPECT_EQ(runValue(), "") << out;
  EXPECT_TRUE(has(out, "instance window: closed")) << "the removal waits until the instance has ended\n" << out;
  EXPECT_EQ(FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr), nullptr);
}

// Another program started at logon keeps its value.
TEST_F(SetupTest, RemovalLeavesTheRunValuesOfOtherPrograms) {
  setRunValue(HKEY_LOCAL_MACHINE, "Other", "C:\\OTHER.EXE");
  std::string out;
  ASSERT_EQ(setup({"/INSTALL"}, out), 0) << out;
  ASSERT_TRUE(kvtest::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }, 10000))
      << "the instance the installation started, for the removal to end";
  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  EXPECT_EQ(runValue(), "");
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key), ERROR_SUCCESS) << out;
  char value[MAX_PATH] = {};
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(key, "Other", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size), ERROR_SUCCESS);
  EXPECT_STREQ(value, "C:\\OTHER.EXE");
  RegCloseKey(key);
  EXPECT_TRUE(kvtest::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) == nullptr; }, 10000));
}

// A second instance (the installation's and the logon's) ends at once; the
// first keeps its window.
TEST_F(SetupTest, ASecondInstanceEndsAtOnce) {
  auto start = [](PROCESS_INFORMATION& pi) {
    std::string program = kvtest::buildDir() + "/KVTSK16.EXE";
    std::string line = "\"" + program + "\" /Instance";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    return CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
  };
  PROCESS_INFORMATION first = {}, second = {};
  ASSERT_TRUE(start(first));
  ASSERT_TRUE(kvtest::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }, 10000));
  ASSERT_TRUE(start(second));
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 10000), WAIT_OBJECT_0) << "the second instance stays";
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), (DWORD)WAIT_TIMEOUT);
  EXPECT_NE(FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr), nullptr);
  for (PROCESS_INFORMATION* pi : {&first, &second}) {
    TerminateProcess(pi->hProcess, 0);
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
  }
}
