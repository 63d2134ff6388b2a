// The host's MIDI parser, in both suites: the host parses the ring's stream the
// same way on every system.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/midiparse.h"

namespace {

// The parser's messages for `bytes`, each as its name and its bytes in hex.
std::vector<std::string> parse(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> out;
  MidiParser parser([&](const MidiMessage& m) {
    std::string s = midiMessageName(m);
    for (size_t i = 0; i < m.size; ++i) {
      char hex[4];
      snprintf(hex, sizeof hex, " %02X", m.bytes[i]);
      s += hex;
    }
    out.push_back(s);
  });
  for (uint8_t b : bytes) parser.feed(b);
  return out;
}

}  // namespace

TEST(HostMidiParseTest, RunningStatusAndRealTimeBytesBetweenDataBytes) {
  EXPECT_EQ(parse({0x90, 0x3C, 0x7F, 0x3E, 0x00, 0xC1, 0x05, 0x06, 0x90, 0xF8, 0x40, 0xFE, 0x01}),
            (std::vector<std::string>{"note-on 90 3C 7F", "note-on 90 3E 00", "program-change C1 05",
                                      "program-change C1 06", "clock F8", "active-sensing FE", "note-on 90 40 01"}));
}

TEST(HostMidiParseTest, SystemMessagesEndRunningStatusAndCutASysexShort) {
  EXPECT_EQ(parse({0x90, 0x3C, 0x7F, 0xF3, 0x05, 0x3C, 0xF0, 0x01, 0x02, 0xB0, 0x07, 0x64, 0xF0, 0x7E, 0xF7, 0xF7}),
            (std::vector<std::string>{"note-on 90 3C 7F", "song-select F3 05", "stray 3C", "sysex-cut F0 01 02",
                                      "control-change B0 07 64", "sysex F0 7E F7", "stray F7"}));
}
