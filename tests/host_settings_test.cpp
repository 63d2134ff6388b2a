// The host's settings against values it cannot use: each is said, naming the
// key, the value and the default taken instead, and the default is used.
#include <math.h>

#include <string>
#include <vector>

#include "host/settings.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

namespace {

const char kIni[] = "C:\\KV\\KVHOST.INI";

class HostSettingsTest : public kvtest::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(platMachineInit());
    ASSERT_TRUE(CreateDirectoryA("C:\\KV", nullptr));
  }
  HostSettings load(const char* key, const char* value) {
    EXPECT_TRUE(WritePrivateProfileStringA("Host", key, value, kIni));
    said.clear();
    return loadHostSettings(kIni, &said);
  }
  std::vector<std::string> said;
};

struct Numeric {
  const char* key;
  double (*get)(const HostSettings&);
  double def;
};

const Numeric kNumeric[] = {
    {"Gain", [](const HostSettings& s) { return s.gain; }, 0.5},
    {"Polyphony", [](const HostSettings& s) { return (double)s.polyphony; }, 256},
    {"SampleRate", [](const HostSettings& s) { return (double)s.sampleRate; }, 44100},
    {"BlockFrames", [](const HostSettings& s) { return (double)s.blockFrames; }, 64},
    {"LatencyMs", [](const HostSettings& s) { return (double)s.latencyMs; }, 20},
    {"Reverb", [](const HostSettings& s) { return (double)s.reverb; }, 1},
    {"Chorus", [](const HostSettings& s) { return (double)s.chorus; }, 1},
    {"AnswerDelayMs", [](const HostSettings& s) { return (double)s.answerDelayMs; }, 0},
    {"NeverLingerMs", [](const HostSettings& s) { return (double)s.neverLingerMs; }, 25000},
    {"SlowByteUs", [](const HostSettings& s) { return (double)s.slowByteUs; }, 1000},
};

}  // namespace

TEST_F(HostSettingsTest, ANumberTheHostCannotUseIsSaidAndReplacedByItsDefault) {
  const char* hostile[] = {"nan",  "NaN", "inf",         "-inf",  "abc", "12abc", "1e3x", "-1",
                           "-0.5", "1 2", "99999999999", "1e999", "0x",  "+",     "."};
  for (const Numeric& n : kNumeric) {
    for (const char* value : hostile) {
      HostSettings s = load(n.key, value);
      EXPECT_EQ(n.get(s), n.def) << n.key << "=" << value;
      ASSERT_EQ(said.size(), 1u) << n.key << "=" << value;
      EXPECT_NE(said[0].find(std::string(n.key) + "=" + value + " "), std::string::npos) << said[0];
      char def[32];
      snprintf(def, sizeof def, "%g", n.def);
      EXPECT_NE(said[0].find(std::string("default ") + def), std::string::npos) << said[0];
    }
    ASSERT_TRUE(WritePrivateProfileStringA("Host", n.key, nullptr, kIni));
  }
}

TEST_F(HostSettingsTest, ValuesOutsideTheirRangeAreReplacedNotClamped) {
  struct Case {
    const char* key;
    const char* value;
  } cases[] = {{"Gain", "10.5"},         {"Polyphony", "0"},
               {"Polyphony", "65536"},   {"SampleRate", "7999"},
               {"SampleRate", "192000"}, {"BlockFrames", "8"},
               {"LatencyMs", "0"},       {"Reverb", "2"},
               {"Chorus", "5"},          {"AnswerDelayMs", "4294967296"},
               {"SlowByteUs", "1000001"}};
  for (const Case& c : cases) {
    HostSettings s = load(c.key, c.value);
    EXPECT_EQ(said.size(), 1u) << c.key << "=" << c.value;
    for (const Numeric& n : kNumeric) {
      if (std::string(n.key) == c.key) {
        EXPECT_EQ(n.get(s), n.def) << c.key << "=" << c.value;
      }
    }
    ASSERT_TRUE(WritePrivateProfileStringA("Host", c.key, nullptr, kIni));
  }
}

TEST_F(HostSettingsTest, UsableValuesAreTakenWithoutAWord) {
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "Gain", "2.25", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "Polyphony", "64", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "SampleRate", "48000", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "BlockFrames", "1024", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "Reverb", "0", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "AnswerDelayMs", "3000", kIni));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "SlowByteUs", "20", kIni));
  HostSettings s = load("Answer", "0x10");
  EXPECT_EQ(said, std::vector<std::string>());
  EXPECT_EQ(s.gain, 2.25);
  EXPECT_EQ(s.polyphony, 64u);
  EXPECT_EQ(s.sampleRate, 48000u);
  EXPECT_EQ(s.blockFrames, 1024u);
  EXPECT_FALSE(s.reverb);
  EXPECT_EQ(s.answerDelayMs, 3000u);
  EXPECT_EQ(s.slowByteUs, 20u);
  EXPECT_EQ(s.answer, HostSettings::OTHER);
  EXPECT_EQ(s.otherAnswer, 16u);
  EXPECT_TRUE(s.midiRecord.empty()) << "no record unless one is named";
  EXPECT_TRUE(s.waveRecord.empty());
  // A status byte is written as MIDI writes it, in hexadecimal.
  EXPECT_EQ(load("SlowMessage", "C0").slowStatus, 0xC0u);
  EXPECT_EQ(load("SlowMessage", "90").slowStatus, 0x90u);
  EXPECT_EQ(said, std::vector<std::string>());
  EXPECT_EQ(load("SlowMessage", "G0").slowStatus, 0u);
  EXPECT_EQ(said.size(), 1u) << "G0 is no status byte";
}

TEST_F(HostSettingsTest, AWordAKeyDoesNotTakeIsSaidAndReplacedByItsDefault) {
  HostSettings s = load("Answer", "acept");
  EXPECT_EQ(s.answer, HostSettings::ACCEPT);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("Answer=acept "), std::string::npos) << said[0];
  s = load("Consume", "slowly");
  EXPECT_EQ(s.consume, HostSettings::CONSUME_NORMAL);
  EXPECT_EQ(said.size(), 2u) << "the Answer too";
  EXPECT_EQ(load("Crash", "on-first-byte").crash, HostSettings::CRASH_ON_FIRST_BYTE);
}
