// The driver slot lookup's buffers at their exact sizes: an alias name of 31
// characters and 260 bytes of data are read, one more of either skips the
// value and the lookup goes on.
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "install/slots.h"
#include "kvplatform.h"
#include "support.h"

namespace {

class SlotSizeTest : public kvtest::MachineTest {
 protected:
  // Replaces the Drivers32 key by one holding these REG_SZ values, in this order.
  void registerAliases(const std::vector<std::pair<std::string, std::string>>& aliases) {
    HKEY key = nullptr;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY);
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    for (const auto& a : aliases)
      ASSERT_EQ(RegSetValueExA(key, a.first.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(a.second.c_str()),
                               (DWORD)a.second.size() + 1),
                ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

// "midiN" padded with letters to cch characters.
std::string aliasName(char digit, size_t cch) { return "midi" + std::string(1, digit) + std::string(cch - 5, 'x'); }

// A path to the driver, cb bytes with its terminator.
std::string driverPath(size_t cb) { return "C:\\" + std::string(cb - 1 - 3 - 13, 'D') + "\\KVDRVR32.DLL"; }

}  // namespace

TEST_F(SlotSizeTest, AnAliasNameOf31CharactersIsReadAndOneOf32Skipped) {
  registerAliases({{aliasName('1', 32), "KVDRVR32.DLL"}, {aliasName('2', 31), "KVDRVR32.DLL"}});
  EXPECT_EQ(findDriverSlot("MIDI"), 2);
  registerAliases({{aliasName('1', 32), "KVDRVR32.DLL"}});
  EXPECT_EQ(findDriverSlot("MIDI"), -1);
}

TEST_F(SlotSizeTest, DataOf260BytesIsReadAndOf261Skipped) {
  ASSERT_EQ(driverPath(260).size() + 1, 260u);
  registerAliases({{"midi1", driverPath(261)}, {"midi2", driverPath(260)}});
  EXPECT_EQ(findDriverSlot("MIDI"), 2);
  registerAliases({{"midi1", driverPath(261)}});
  EXPECT_EQ(findDriverSlot("MIDI"), -1);
}
