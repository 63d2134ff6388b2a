#include "host/settings.h"

#include <stdlib.h>
#include <string.h>

#include "kvplatform.h"

namespace {

std::string readValue(const std::string& file, const char* key, const char* def) {
  char value[MAX_PATH];
  GetPrivateProfileStringA("Host", key, def, value, sizeof value, file.c_str());
  return value;
}

unsigned readNumber(const std::string& file, const char* key, unsigned def, unsigned lo, unsigned hi) {
  std::string text = readValue(file, key, "");
  if (text.empty()) return def;
  unsigned long v = strtoul(text.c_str(), nullptr, 10);
  return v < lo ? lo : v > hi ? hi : (unsigned)v;
}

}  // namespace

const char* const kDefaultSoundFonts[] = {
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    nullptr,
};

HostSettings loadHostSettings() {
  char dir[MAX_PATH];
  GetCurrentDirectoryA(sizeof dir, dir);
  std::string file = std::string(dir) + "\\KVHOST.INI";
  HostSettings s;
  std::string answer = readValue(file, "Answer", "accept");
  if (answer == "refuse") {
    s.answer = HostSettings::REFUSE;
  } else if (answer == "never") {
    s.answer = HostSettings::NEVER;
  } else if (answer != "accept") {
    s.answer = HostSettings::OTHER;
    s.otherAnswer = (unsigned)strtoul(answer.c_str(), nullptr, 0);
  }
  s.answerDelayMs = (unsigned)strtoul(readValue(file, "AnswerDelayMs", "0").c_str(), nullptr, 10);
  s.neverLingerMs = (unsigned)strtoul(readValue(file, "NeverLingerMs", "25000").c_str(), nullptr, 10);
  std::string consume = readValue(file, "Consume", "normal");
  if (consume == "stop") s.consume = HostSettings::CONSUME_STOPPED;
  if (consume == "slow") s.consume = HostSettings::CONSUME_SLOW;
  s.slowByteUs = (unsigned)strtoul(readValue(file, "SlowByteUs", "1000").c_str(), nullptr, 10);
  s.slowStatus = (unsigned)strtoul(readValue(file, "SlowMessage", "0").c_str(), nullptr, 16) & 0xFF;
  s.slowMessageUs = readNumber(file, "SlowMessageUs", 0, 0, 10000000);
  s.serverStallMs = readNumber(file, "ServerStallMs", 0, 0, 60000);
  s.ignoreClose = readValue(file, "OnClose", "idle") == "ignore";
  std::string crash = readValue(file, "Crash", "never");
  if (crash == "after-accept") s.crash = HostSettings::CRASH_AFTER_ACCEPT;
  if (crash == "on-first-byte") s.crash = HostSettings::CRASH_ON_FIRST_BYTE;
  s.midiRecord = readValue(file, "MidiRecord", "KVMIDIIN");
  s.waveRecord = readValue(file, "WaveRecord", "KVWAVEOUT");
  s.soundFont = readValue(file, "SoundFont", "");
  s.polyphony = readNumber(file, "Polyphony", s.polyphony, 1, 65535);
  s.reverb = readNumber(file, "Reverb", 1, 0, 1) != 0;
  s.chorus = readNumber(file, "Chorus", 1, 0, 1) != 0;
  std::string gain = readValue(file, "Gain", "");
  if (!gain.empty()) {
    double g = strtod(gain.c_str(), nullptr);
    s.gain = g < 0 ? 0 : g > 10 ? 10 : g;
  }
  s.sampleRate = readNumber(file, "SampleRate", s.sampleRate, 8000, 96000);
  s.blockFrames = readNumber(file, "BlockFrames", s.blockFrames, 16, 8192);
  s.latencyMs = readNumber(file, "LatencyMs", s.latencyMs, 1, 1000);
  s.soundServer = readValue(file, "SoundServer", "");
  return s;
}
