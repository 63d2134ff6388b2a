// The module's answers that need no host and no open device: the MIDI
// capability record, device ids and messages it does not support, and the
// setters' exchanges of words inside the shared blocks.
#include <string.h>

#include <vector>

#include "kv/plat.h"
#include "product.h"

namespace {

// The capability record byte for byte: ids, version, the UTF-16 name padded
// with zeros to 32 units, MOD_SYNTH, 128 voices, 128 notes, all channels.
std::vector<unsigned char> capsTemplate() {
  std::vector<unsigned char> t = {0x01, 0xF0, 0x00, 0x40, 0xA5, 0x00, 0x00, 0x00};
  const char name[] = "Kelvasong (NT)";
  for (size_t i = 0; i < 32; ++i) {
    t.push_back(i < sizeof name - 1 ? (unsigned char)name[i] : 0);
    t.push_back(0);
  }
  for (unsigned char b : {2, 0, 128, 0, 128, 0, 0xFF, 0xFF, 0, 0, 0, 0}) t.push_back(b);
  return t;
}

class ModuleExportsTest : public kvtest::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(drv.load());
  }

  kvtest::DriverModule drv;
};

}  // namespace

TEST_F(ModuleExportsTest, CapabilitiesAreTheTemplateCutToTheLowWordOfTheSize) {
  unsigned char caps[100];
  memset(caps, 0xEE, sizeof caps);
  const std::vector<unsigned char> expected = capsTemplate();
  ASSERT_EQ(expected.size(), 84u);
  EXPECT_EQ(drv.modMessage(0, MODM_GETDEVCAPS, 0, (DWORD_PTR)caps, 200), 0u);
  EXPECT_EQ(memcmp(caps, expected.data(), 84), 0);
  EXPECT_EQ(caps[84], 0xEE);
  memset(caps, 0xEE, sizeof caps);
  EXPECT_EQ(drv.modMessage(0, MODM_GETDEVCAPS, 0, (DWORD_PTR)caps, 10 + 65536), 0u);
  EXPECT_EQ(memcmp(caps, expected.data(), 10), 0);
  EXPECT_EQ(caps[10], 0xEE);
  EXPECT_EQ(drv.modMessage(0, MODM_GETDEVCAPS, 0, 0, 84), (DWORD)MMSYSERR_INVALPARAM);
}

TEST_F(ModuleExportsTest, OnlyDeviceZeroExistsAndUnlistedMessagesAreNotSupported) {
  for (UINT msg = 0; msg <= 20; ++msg) EXPECT_EQ(drv.modMessage(1, msg, 0, 0, 0), (DWORD)MMSYSERR_BADDEVICEID) << msg;
  EXPECT_EQ(drv.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u);
  for (UINT msg : {0u, 5u, 6u, 10u, 11u, 0x4000u}) EXPECT_EQ(drv.modMessage(0, msg, 0, 0, 0), 8u) << msg;
  EXPECT_EQ(drv.modMessage(0, MODM_RESET, 0, 0, 0), 0u);
}

TEST_F(ModuleExportsTest, SettersExchangeWordsInsideTheirBlockOnly) {
  drv.midi->dwStatus = CHANNEL_ACCEPTED;
  EXPECT_EQ(drv.setMidiLong(0, CHANNEL_OPEN), CHANNEL_ACCEPTED);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  drv.wave->dwVolume = 0x11112222;
  EXPECT_EQ(drv.setWaveLong(0x24, 0xFFFF8000), 0x11112222u);
  EXPECT_EQ(drv.wave->dwVolume, 0xFFFF8000u);
  // The last whole word of a block is reachable, nothing after it.
  EXPECT_EQ(drv.setMidiLong(sizeof(MidiChannel) - 4, 0x12345678), 0u);
  EXPECT_EQ(drv.midi->dwRunningStatus, 0x12345678u);
  BYTE after[4];
  memcpy(after, reinterpret_cast<BYTE*>(drv.midi) + sizeof(MidiChannel), 4);
  EXPECT_EQ(drv.setMidiLong(sizeof(MidiChannel) - 3, 0xAAAAAAAA), 0u);
  EXPECT_EQ(drv.setMidiLong(0xFFFFFFFF, 0xAAAAAAAA), 0u);
  EXPECT_EQ(drv.setWaveLong(sizeof(WaveChannel), 0xAAAAAAAA), 0u);
  EXPECT_EQ(memcmp(after, reinterpret_cast<BYTE*>(drv.midi) + sizeof(MidiChannel), 4), 0);
  EXPECT_EQ(drv.midi->dwRunningStatus, 0x12345678u);
  // An unaligned offset is a plain byte count: bytes 1 to 4.
  drv.midi->dwRingSize = 0xAB;
  EXPECT_EQ(drv.setMidiLong(1, 0), 0xAB000000u);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(drv.midi->dwRingSize, 0u);
}
