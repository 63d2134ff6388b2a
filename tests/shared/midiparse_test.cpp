// The host's MIDI parser, in both suites: the host parses the ring's stream the
// same way on every system.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/midiparse.h"

namespace {

// The parser's messages for `bytes`, each as its name and its bytes in hex;
// fed a byte at a time, or (split) as stretches that end at `splits`.
std::vector<std::string> parse(const std::vector<uint8_t>& bytes, const std::vector<size_t>* splits = nullptr) {
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
  if (!splits) {
    for (uint8_t b : bytes) parser.feed(b);
    return out;
  }
  size_t from = 0;
  for (size_t to : *splits) {
    parser.feed(bytes.data() + from, to - from);
    from = to;
  }
  parser.feed(bytes.data() + from, bytes.size() - from);
  return out;
}

const std::vector<uint8_t> kStream = {0x90, 0x3C, 0x7F, 0x3E, 0x00, 0xC1, 0x05, 0x06, 0x90, 0xF8, 0x40, 0xFE,
                                      0x01, 0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xB2, 0x07, 0x64, 0xF0, 0x01,
                                      0xF8, 0x02, 0xF7, 0xE0, 0x00, 0x40, 0xF0, 0x03, 0x91, 0x3C, 0x40, 0xF3,
                                      0x05, 0x3C, 0xF7, 0xA0, 0x3C, 0xF0, 0x7F, 0xF7, 0x10};

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

// The ring hands the parser stretches that end anywhere: inside a message,
// between a status and its data, inside a system-exclusive buffer. However the
// stream is cut, the messages are those of a byte at a time.
TEST(HostMidiParseTest, StretchesCutAnywhereGiveTheMessagesOfSingleBytes) {
  const std::vector<std::string> expected = parse(kStream);
  ASSERT_EQ(expected.size(), 19u);
  std::vector<size_t> none;
  EXPECT_EQ(parse(kStream, &none), expected) << "one stretch";
  for (size_t cut = 1; cut < kStream.size(); ++cut) {
    std::vector<size_t> one = {cut};
    EXPECT_EQ(parse(kStream, &one), expected) << "cut at " << cut;
    for (size_t second = cut + 1; second < kStream.size(); ++second) {
      std::vector<size_t> two = {cut, second};
      ASSERT_EQ(parse(kStream, &two), expected) << "cut at " << cut << " and " << second;
    }
  }
}
