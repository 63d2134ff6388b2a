#include "hostlink/protocol.h"
#include "host/settings.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/say.h"
#include "kvplatform.h"

namespace {

std::string readValue(const std::string& file, const char* key, const char* def) {
  char value[MAX_PATH];
  GetPrivateProfileStringA(KV_HOST_INI_SECTION, key, def, value, sizeof value, file.c_str());
  return value;
}

// A value the host cannot use is said, with the default taken instead: a typo
// in KVHOST.INI must not give a host that is silent (Gain=nan) or that never
// answers, with no word of why.
void reject(std::vector<std::string>* said, const char* key, const std::string& text, const char* wanted,
            const std::string& def) {
  said->push_back(std::string("KVHOST.INI: ") + key + "=" + text + " is not " + wanted + "; using the default " + def);
}

// A whole number and nothing else: no sign, no blanks, no trailing letters
// (strtoul alone takes "-1" for a huge number and "20ms" for 20). Base 0
// also takes 0x... for the status words; base 16 takes a status byte as
// it is written (C0).
bool parseWhole(const std::string& text, int base, unsigned long long hi, unsigned long long* out) {
  unsigned char first = text.empty() ? 0 : (unsigned char)text[0];
  if (!(base == 16 ? isxdigit(first) : isdigit(first))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > hi) return false;
  *out = v;
  return true;
}

unsigned readNumber(const std::string& file, const char* key, unsigned def, unsigned lo, unsigned hi,
                    std::vector<std::string>* said) {
  std::string text = readValue(file, key, "");
  if (text.empty()) return def;
  unsigned long long v = 0;
  if (!parseWhole(text, 10, hi, &v) || v < lo) {
    reject(said, key, text, ("a whole number from " + std::to_string(lo) + " to " + std::to_string(hi)).c_str(),
           std::to_string(def));
    return def;
  }
  return (unsigned)v;
}

double readReal(const std::string& file, const char* key, double def, double lo, double hi,
                std::vector<std::string>* said) {
  std::string text = readValue(file, key, "");
  if (text.empty()) return def;
  errno = 0;
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  // nan fails every comparison, so it is refused by name with the infinities.
  if (isspace((unsigned char)text[0]) || errno != 0 || *end != '\0' || !isfinite(v) || !(v >= lo && v <= hi)) {
    char wanted[64], shown[32];
    snprintf(wanted, sizeof wanted, "a number from %g to %g", lo, hi);
    snprintf(shown, sizeof shown, "%g", def);
    reject(said, key, text, wanted, shown);
    return def;
  }
  return v;
}

// One of the words a key takes; the first is its default.
int readChoice(const std::string& file, const char* key, std::initializer_list<const char*> words,
               std::vector<std::string>* said) {
  std::string text = readValue(file, key, "");
  if (text.empty()) return 0;
  int i = 0;
  std::string wanted;
  for (const char* w : words) {
    if (text == w) return i;
    wanted += (i ? i + 1 == (int)words.size() ? " or " : ", " : "") + std::string(w);
    ++i;
  }
  reject(said, key, text, wanted.c_str(), *words.begin());
  return 0;
}

}  // namespace

HostSettings loadHostSettings(const std::string& file, std::vector<std::string>* said) {
  HostSettings s;
  std::string answer = readValue(file, "Answer", "accept");
  if (answer == "refuse") {
    s.answer = HostSettings::REFUSE;
  } else if (answer == "never") {
    s.answer = HostSettings::NEVER;
  } else if (answer != "accept") {
    unsigned long long status = 0;
    if (parseWhole(answer, 0, 0xFFFFFFFFull, &status)) {
      s.answer = HostSettings::OTHER;
      s.otherAnswer = (unsigned)status;
    } else {
      reject(said, "Answer", answer, "accept, refuse, never or a status number", "accept");
    }
  }
  s.answerDelayMs = readNumber(file, "AnswerDelayMs", s.answerDelayMs, 0, 600000, said);
  s.neverLingerMs = readNumber(file, "NeverLingerMs", s.neverLingerMs, 0, 600000, said);
  static const HostSettings::Consume consumes[] = {HostSettings::CONSUME_NORMAL, HostSettings::CONSUME_STOPPED,
                                                   HostSettings::CONSUME_SLOW};
  s.consume = consumes[readChoice(file, "Consume", {"normal", "stop", "slow"}, said)];
  s.slowByteUs = readNumber(file, "SlowByteUs", s.slowByteUs, 0, 1000000, said);
  std::string slow = readValue(file, "SlowMessage", "");
  unsigned long long status = 0;
  if (!slow.empty() && parseWhole(slow, 16, 0xFF, &status))
    s.slowStatus = (unsigned)status;
  else if (!slow.empty())
    reject(said, "SlowMessage", slow, "a status byte in hexadecimal", "none");
  s.slowMessageUs = readNumber(file, "SlowMessageUs", 0, 0, 10000000, said);
  s.serverStallMs = readNumber(file, "ServerStallMs", 0, 0, 60000, said);
  s.ignoreClose = readChoice(file, "OnClose", {"idle", "ignore"}, said) == 1;
  static const HostSettings::Crash crashes[] = {HostSettings::CRASH_NEVER, HostSettings::CRASH_AFTER_ACCEPT,
                                                HostSettings::CRASH_ON_FIRST_BYTE};
  s.crash = crashes[readChoice(file, "Crash", {"never", "after-accept", "on-first-byte"}, said)];
  s.midiRecord = readValue(file, "MidiRecord", "");
  s.waveRecord = readValue(file, "WaveRecord", "");
  s.fluidSynth = readValue(file, "FluidSynth", "");
  s.soundFont = readValue(file, "SoundFont", "");
  s.polyphony = readNumber(file, "Polyphony", s.polyphony, 1, 65535, said);
  s.reverb = readNumber(file, "Reverb", 1, 0, 1, said) != 0;
  s.chorus = readNumber(file, "Chorus", 1, 0, 1, said) != 0;
  s.gain = readReal(file, "Gain", s.gain, 0, 10, said);
  s.sampleRate = readNumber(file, "SampleRate", s.sampleRate, 8000, 96000, said);
  s.blockFrames = readNumber(file, "BlockFrames", s.blockFrames, 16, 8192, said);
  s.latencyMs = readNumber(file, "LatencyMs", s.latencyMs, 1, 1000, said);
  s.keepDeviceMs = readNumber(file, "KeepDeviceMs", s.keepDeviceMs, 0, 3600000, said);
  s.soundServer = readValue(file, "SoundServer", "");
  return s;
}

HostSettings loadHostSettings() {
  char dir[MAX_PATH];
  GetCurrentDirectoryA(sizeof dir, dir);
  std::vector<std::string> said;
  HostSettings s = loadHostSettings(std::string(dir) + "\\" + KV_HOST_INI_FILE, &said);
  for (const std::string& line : said) hostSay("%s", line.c_str());
  s.said = said;
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n > 0 && n < sizeof self) {
    s.folder.assign(self, n);
    size_t cut = s.folder.find_last_of("\\/");
    s.folder.resize(cut == std::string::npos ? 0 : cut);
  }
  return s;
}
