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

}  // namespace

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
  s.ignoreClose = readValue(file, "OnClose", "idle") == "ignore";
  std::string crash = readValue(file, "Crash", "never");
  if (crash == "after-accept") s.crash = HostSettings::CRASH_AFTER_ACCEPT;
  if (crash == "on-first-byte") s.crash = HostSettings::CRASH_ON_FIRST_BYTE;
  s.midiRecord = readValue(file, "MidiRecord", "KVMIDIIN");
  s.waveRecord = readValue(file, "WaveRecord", "KVWAVEOUT");
  return s;
}
