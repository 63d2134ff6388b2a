// The MIDI host's intake under a flood: a client that sends faster than the
// synthesizer applies is held back by the ring, as by a full ring, and every
// message it sent is played.
#include <string>

#include "kv/plat.h"
#include "product.h"

namespace {

class MidiIntakeTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    hostSetting("SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2");
    hostSetting("SoundServer", "none");
    hostSetting("MidiRecord", "KVMIDIIN");
  }
  DWORD send(DWORD message) { return drv.modMessage(0, MODM_DATA, 0, message, 0); }
  // The number in the record's note line that ends in `what`; -1 without one.
  long long recordedCount(const std::string& what) {
    std::string text = readInstallFile("KVMIDIIN.TXT");
    size_t at = text.find(" " + what + "\n");
    if (at == std::string::npos) return -1;
    size_t line = text.rfind("\n# ", at);
    return atoll(text.c_str() + (line == std::string::npos ? 2 : line + 3));
  }
  size_t recordedLines(const std::string& name) {
    std::string text = readInstallFile("KVMIDIIN.TXT");
    size_t n = 0;
    for (size_t at = text.find(" ms  " + name + " "); at != std::string::npos;
         at = text.find(" ms  " + name + " ", at + 1))
      ++n;
    return n;
  }
};

}  // namespace

// Each control change takes the synthesizer a while: the client sends far more
// of them than it applies in the time, more than any queue of the host holds.
// None is lost (a note-off lost would leave a note hanging), and the note
// after them still sounds.
TEST_F(MidiIntakeTest, AFloodFasterThanTheSynthesizerWaitsInTheRingAndLosesNothing) {
  hostSetting("SlowMessage", "B0");
  hostSetting("SlowMessageUs", "1");
  MIDIOPENDESC desc = {};
  ASSERT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  const int kFlood = 90000;
  for (int i = 0; i < kFlood; ++i) ASSERT_EQ(send(0xB0u | (i % 16) | 0x0700u | (DWORD)(i % 128) << 16), 0u) << i;
  ASSERT_EQ(send(0x643C90), 0u);
  ASSERT_EQ(send(0x003C80), 0u);
  ASSERT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 120000)) << "the host ended after the close";

  EXPECT_EQ(recordedLines("control-change"), (size_t)kFlood) << "the host took every message";
  EXPECT_EQ(recordedCount("messages not played: the synthesizer fell behind"), -1) << "and applied every one";
  EXPECT_EQ(recordedCount("note-ons played"), 1) << "the note after the flood sounded";
}
