// The setup program's repair and check of a registration that Windows cut
// short (its MIDI repair deletes the driver's midiN value, updates have dropped
// the Drivers32 entries), its removal of such a registration, and the
// instance window's offer of the repair at logon.
#include <stdio.h>

#include <filesystem>
#include <set>
#include <string>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

class SetupRepairTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    // The keys Windows always has, where the installation adds its values.
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      for (const char* path : {kRunKey, KV_DRIVERS32_KEY, KV_USER_INSTALLABLE_KEY, KV_RELATED_DESC_KEY,
                               KV_DRIVERS_DESC_KEY, KV_MIDIMAP_KEY}) {
        if ((root == HKEY_CURRENT_USER) != (path == KV_MIDIMAP_KEY)) continue;
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr), ERROR_SUCCESS);
        RegCloseKey(key);
      }
    }
  }
  void TearDown() override {
    HWND instance = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr);
    if (instance) PostMessageA(instance, WM_CLOSE, 0, 0);
    ProductTest::TearDown();
  }
  int setup(const std::vector<std::string>& args, std::string& out) {
    return kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", args, &out);
  }
  void install() {
    std::string out;
    ASSERT_EQ(setup({"/INSTALL"}, out), 0) << out;
    ASSERT_EQ(platSystemStart(), 0);
    endInstanceWindow();
  }
  // The instance window the installation and the repair start ends with the
  // session, before the next logon.
  void endInstanceWindow() {
    HWND window = nullptr;
    ASSERT_TRUE(
        kvtest::waitUntil([&] { return (window = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) != nullptr; }));
    DWORD pid = 0;
    ASSERT_NE(GetWindowThreadProcessId(window, &pid), 0u);
    PostMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(kvtest::processEnds((int)pid, 10000));
  }
  // Deletes the driver's alias `name` ("midi", "wave") from Drivers32.
  void deleteAlias(const char* name) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, name), ERROR_SUCCESS) << name;
    RegCloseKey(key);
  }
  std::string alias(const char* name) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return value;
  }
  // A client that finds the device through the multimedia layer, as programs
  // do, by the registered drivers: the layer's device count, then the open's,
  // a note's and the close's answers.
  std::string playThroughTheLayer() {
    std::string out;
    kvtest::runProgram(kvtest::selfPath(),
                       {"--kv-helper", "device_client", "devices", "open midi", "send 7F3C90 003C90", "close", "exit"},
                       &out, false);
    return out;
  }
  bool repairOffered() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool offered = RegQueryValueExA(key, KV_REPAIR_OFFERED_VALUE, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return offered;
  }
  // The system directory's names, as the main job lists them.
  std::string systemDirectory() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/drive_c/WINDOWS/system32"))
      names.insert(entry.path().filename().string());
    std::string list;
    for (const std::string& name : names) list += name + "\n";
    return list;
  }
};

}  // namespace

// A program's standard output, line by line, for the test: the instance
// window's program runs until its window is closed.
KV_HELPER(relay) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += std::string(i > 1 ? " " : "") + "'" + argv[i] + "'";
  FILE* program = popen(line.c_str(), "r");
  if (!program) return 1;
  char buffer[1024];
  while (fgets(buffer, sizeof buffer, program)) {
    std::string said = buffer;
    while (!said.empty() && said.back() == '\n') said.pop_back();
    // An empty line would read as the end.
    if (!said.empty()) kvtest::say(said);
  }
  return pclose(program) == 0 ? 0 : 1;
}

namespace {

// The instance window's program as logon starts it, beside the setup program
// it asks; its lines until one holding `until`.
class LogonInstance {
 public:
  LogonInstance() : relay_("relay", {kvtest::buildDir() + "/KVTSK16.EXE", KV_VERB_LOGON}) {}
  std::string linesUntil(const std::string& until) {
    std::string lines;
    for (;;) {
      std::string line = relay_.expectLine(20000);
      lines += line + "\n";
      if (line.empty() || has(line, until)) return lines;
    }
  }
  // Closes its window; its exit code once it has ended.
  int end() {
    HWND window = nullptr;
    kvtest::waitUntil([&] { return (window = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) != nullptr; });
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kvtest::processEnds((int)pid, 10000));
    return relay_.wait();
  }

 private:
  kvtest::Child relay_;
};

}  // namespace

// /CHECK tells, by its answer, whether a registration is whole (0), lost (3)
// or not there (4); /REPAIR registers a lost one again, whether Windows' MIDI
// repair deleted the MIDI alias or an update dropped every entry, and has
// nothing to do otherwise.
TEST_F(SetupRepairTest, CheckAndRepairPutBackWhatWindowsDeleted) {
  std::string out;
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_NOT_INSTALLED) << out;
  EXPECT_TRUE(has(out, "registration for 64-bit programs: not installed")) << out;
  EXPECT_EQ(setup({"/REPAIR"}, out), KV_SETUP_DONE) << out;
  EXPECT_TRUE(has(out, "Nothing to repair: the driver is not installed.")) << out;

  install();
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_DONE) << out;
  EXPECT_TRUE(has(out, "registration for 64-bit programs: whole\n  MIDI alias  midi\n  wave alias  wave\n")) << out;

  deleteAlias("midi");
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_NEEDS_REPAIR) << out;
  EXPECT_TRUE(has(out, "lost, a repair puts it back\n  MIDI alias  gone\n  wave alias  wave\n")) << out;
  EXPECT_EQ(setup({"/REPAIR"}, out), KV_SETUP_DONE) << out;
  EXPECT_TRUE(has(out, "The repair succeeded")) << out;
  EXPECT_EQ(alias("midi"), "KVDRVR32.DLL") << out;
  EXPECT_EQ(alias("wave"), "KVDRVR32.DLL") << out;
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_DONE) << out;
  EXPECT_EQ(setup({"/REPAIR"}, out), KV_SETUP_DONE) << out;
  EXPECT_TRUE(has(out, "Nothing to repair.\n")) << out;

  // An update that drops both entries leaves the module in the system directory.
  ASSERT_EQ(platSystemStart(), 0);
  deleteAlias("midi");
  deleteAlias("wave");
  EXPECT_EQ(playThroughTheLayer(), "0\n2\n5\n5\n") << "programs no longer find the device";
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_NEEDS_REPAIR) << out;
  EXPECT_EQ(setup({"/REPAIR"}, out), KV_SETUP_DONE) << out;
  EXPECT_EQ(alias("midi"), "KVDRVR32.DLL") << out;
  EXPECT_EQ(alias("wave"), "KVDRVR32.DLL") << out;
  EXPECT_EQ(playThroughTheLayer(), "1\n0\n0\n0\n") << "a note plays again";

  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  EXPECT_EQ(setup({"/CHECK"}, out), KV_SETUP_NOT_INSTALLED) << "the module's deletion waits for the system start\n"
                                                            << out;
}

// Without its MIDI alias the module's removal stops before the wave alias and
// the module's file: the setup program registers it again first, so that the
// removal leaves the registry and the system directory as they were.
TEST_F(SetupRepairTest, RemovalAfterWindowsRepairLeavesNothingBehind) {
  const std::string registryBefore = kvtest::registryDump();
  const std::string systemBefore = systemDirectory();
  install();
  deleteAlias("midi");
  std::string out;
  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  EXPECT_TRUE(has(out, "registered again\nfirst, so that the removal finds all of it")) << out;
  ASSERT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::registryDump(), registryBefore);
  EXPECT_EQ(systemDirectory(), systemBefore);
}

// At logon the instance window's program asks the setup program whether the
// registration is whole; a lost one it offers to repair once, not at every
// logon, and forgets that it did once the registration is whole again. The
// removal leaves nothing of that note behind.
TEST_F(SetupRepairTest, TheLogonOffersTheRepairOnce) {
  const std::string registryBefore = kvtest::registryDump();
  install();
  {
    LogonInstance logon;
    std::string said = logon.linesUntil("KVTSK16: the driver's registration is whole");
    EXPECT_FALSE(has(said, "repair")) << "a whole registration is not offered a repair\n" << said;
    EXPECT_EQ(logon.end(), 0);
  }
  deleteAlias("midi");
  {
    LogonInstance logon;
    std::string said = logon.linesUntil("it is not offered again");
    EXPECT_TRUE(has(said, "KVTSK16: the driver's registration is lost; its repair is offered\n")) << said;
    EXPECT_TRUE(has(said, "Repair it now?")) << said;
    EXPECT_TRUE(has(said, "KVTSK16: the repair was declined; it is not offered again\n")) << said;
    EXPECT_TRUE(repairOffered());
    EXPECT_EQ(logon.end(), 0);
  }
  {
    LogonInstance logon;
    std::string said = logon.linesUntil("not offered again");
    EXPECT_TRUE(has(said, "its repair was offered at an earlier logon, and is not offered again")) << said;
    EXPECT_FALSE(has(said, "Repair it now?")) << said;
    EXPECT_EQ(logon.end(), 0);
  }
  std::string out;
  ASSERT_EQ(setup({"/REPAIR"}, out), 0) << out;
  endInstanceWindow();
  {
    LogonInstance logon;
    logon.linesUntil("KVTSK16: the driver's registration is whole");
    EXPECT_FALSE(repairOffered()) << "the note goes once the registration is whole";
    EXPECT_EQ(logon.end(), 0);
  }
  // Lost and offered again, then removed: the note goes with the product.
  deleteAlias("midi");
  {
    LogonInstance logon;
    logon.linesUntil("it is not offered again");
    EXPECT_EQ(logon.end(), 0);
  }
  ASSERT_TRUE(repairOffered());
  ASSERT_EQ(setup({"/REMOVE"}, out), 0) << out;
  ASSERT_EQ(platSystemStart(), 0);
  EXPECT_EQ(kvtest::registryDump(), registryBefore);
}
