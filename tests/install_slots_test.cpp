// The driver slot lookup: which Drivers32 alias names this driver, and the
// file-name rule with double-byte code pages.
#include <string.h>

#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "install/slots.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::MachineTest;

namespace {

const char kSystemPath[] = "C:\\WINDOWS\\system32\\kvdrvr32.dll";

struct Alias {
  std::string name;
  std::string data;  // stored as given, terminators included
  DWORD type = REG_SZ;
};

Alias text(const std::string& name, const std::string& file) { return {name, file + '\0', REG_SZ}; }

class SlotTest : public MachineTest {
 protected:
  void TearDown() override {
    platFaultClear();
    MachineTest::TearDown();
  }

  // Replaces the Drivers32 key by one holding `aliases`, created in this order.
  void registerAliases(const std::vector<Alias>& aliases) {
    HKEY key = nullptr;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY);
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    for (const Alias& a : aliases)
      ASSERT_EQ(RegSetValueExA(key, a.name.c_str(), 0, a.type, reinterpret_cast<const BYTE*>(a.data.data()),
                               (DWORD)a.data.size()),
                ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

}  // namespace

TEST_F(SlotTest, AliasNumberComesFromTheName) {
  const DWORD dword = 1;
  const std::string dwordData(reinterpret_cast<const char*>(&dword), 4);
  struct Case {
    const char* what;
    std::vector<Alias> aliases;
    int midi;
  } cases[] = {
      {"full lower-case path", {text("midi3", kSystemPath)}, 3},
      {"bare name", {text("MIDI", "KVDRVR32.DLL")}, 0},
      {"number zero", {text("midi0", "kvdrvr32.dll")}, 0},
      {"letter after the prefix", {text("midiX", "kvdrvr32.dll")}, -1},
      {"digits then a letter", {text("midi1x", "kvdrvr32.dll")}, 1},
      {"another driver first", {text("midi2", "C:\\other\\mmdrv.dll"), text("midi5", kSystemPath)}, 5},
      {"a DWORD", {{"midi", dwordData, REG_DWORD}, text("midi6", "kvdrvr32.dll")}, 6},
      {"longer file name", {text("midi", "KVDRVR32.DLL.OLD"), text("midi1", "XKVDRVR32.DLL")}, -1},
      {"expandable path", {{"midi4", std::string("%SystemRoot%\\system32\\KVDRVR32.DLL") + '\0', REG_EXPAND_SZ}}, 4},
      {"multi-string judged by its first", {{"midi7", std::string("kvdrvr32.dll\0x\0", 16), REG_MULTI_SZ}}, 7},
      {"multi-string naming it second", {{"midi7", std::string("x.dll\0kvdrvr32.dll\0", 20), REG_MULTI_SZ}}, -1},
      {"no terminator", {{"midi", "KVDRVR32.DLL", REG_SZ}}, -1},
      {"first enumerated wins", {text("midi4", "kvdrvr32.dll"), text("midi1", "kvdrvr32.dll")}, 4},
      {"short name", {text("mid", "kvdrvr32.dll")}, -1},
      {"number beyond int", {text("midi99999999999", "kvdrvr32.dll"), text("midi8", "kvdrvr32.dll")}, 8},
      {"name too long for the buffer",
       {text("midi" + std::string(28, '1'), "kvdrvr32.dll"), text("midi9", "a\\kvdrvr32.dll")},
       9},
      {"data too long for the buffer",
       {text("midi1", std::string(260, 'x') + "\\kvdrvr32.dll"), text("midi2", "kvdrvr32.dll")},
       2},
      {"wave alias only", {text("wave2", "kvdrvr32.dll")}, -1},
  };
  for (const Case& c : cases) {
    registerAliases(c.aliases);
    EXPECT_EQ(getKVMidiNumber(), c.midi) << c.what;
  }

  registerAliases({text("midi", "kvdrvr32.dll"), text("Wave2", kSystemPath)});
  EXPECT_EQ(getKVWaveNumber(), 2);
  EXPECT_EQ(findDriverSlot("MIDI"), 0);
}

TEST_F(SlotTest, AMissingOrUnreadableKeyAnswersMinusOne) {
  EXPECT_EQ(getKVMidiNumber(), -1);
  registerAliases({text("midi1", "kvdrvr32.dll")});
  platFaultInject("RegOpenKeyExA", 1, 1);
  EXPECT_EQ(getKVMidiNumber(), -1);
  // An enumeration that keeps failing ends the search instead of looping.
  platFaultInject("RegEnumValueA", 1, 0);
  EXPECT_EQ(getKVMidiNumber(), -1);
  platFaultClear();
  EXPECT_EQ(getKVMidiNumber(), 1);
}

TEST_F(SlotTest, FileNameTailSplitsAtSeparators) {
  EXPECT_EQ(fileNameTail(nullptr), nullptr);
  const char path[] = "C:dir\\sub/name.dll";
  EXPECT_EQ(fileNameTail(path), path + 10);
  const char bare[] = "name.dll";
  EXPECT_EQ(fileNameTail(bare), bare);
  const char dir[] = "C:\\dir\\";
  EXPECT_EQ(fileNameTail(dir), dir + 7);
  EXPECT_STREQ(fileNameTail(dir), "");
}

TEST_F(SlotTest, DoubleByteCharactersAreNotSplitAtTheirTrailByte) {
  // In code page 932, 0x95 0x5C is one character whose second byte is '\'.
  const char path[] = "C:\\\x95\x5C\\\x95\x5C";
  const char dangling[] = "C:\\dir\\\x95";
  const std::string alias = std::string("C:\\\x95\x5C") + "kvdrvr32.dll";

  EXPECT_STREQ(fileNameTail(path), "");  // 1252 has no lead bytes
  registerAliases({text("midi3", alias)});
  EXPECT_EQ(getKVMidiNumber(), 3);

  ASSERT_TRUE(platSetAnsiCodePage(932));
  EXPECT_STREQ(fileNameTail(path), "\x95\x5C");
  // A lead byte just before the end is a byte of its own.
  EXPECT_STREQ(fileNameTail(dangling), "\x95");
  // The alias's file name is now "\x95\x5Ckvdrvr32.dll".
  EXPECT_EQ(getKVMidiNumber(), -1);
}
