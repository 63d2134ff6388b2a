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

// Says why a place's value is not taken: a typo in KVHOST.INI must not give a
// host that is silent (Gain=nan) or that never answers, with no word of why.
// `instead` tells what is taken: the next place's value, or the default.
void reject(std::vector<std::string>* said, const SettingText& bad, const char* key, const char* wanted,
            const std::string& instead) {
  said->push_back((bad.from.empty() ? "" : bad.from + ": ") + key + "=" + bad.text + " is not " + wanted + "; using " +
                  instead);
}

// The first usable value of `key`: `parse` takes a text into `out`; an empty
// text is the default. Each unusable value before it is said.
template <typename T, typename Parse>
T readLayered(const SettingsSource& source, const char* key, T def, const std::string& defText, const char* wanted,
              Parse parse, std::vector<std::string>* said) {
  std::vector<SettingText> bad;
  T value = def;
  std::string instead = "the default " + defText;
  for (const SettingText& place : source(key)) {
    if (place.text.empty()) break;
    if (parse(place.text, &value)) {
      instead = place.from + "'s " + place.text;
      break;
    }
    value = def;
    bad.push_back(place);
  }
  for (const SettingText& b : bad) reject(said, b, key, wanted, instead);
  return value;
}

// A text as it is, from the first place that has the key.
std::string readValue(const SettingsSource& source, const char* key, std::string* from = nullptr) {
  std::vector<SettingText> places = source(key);
  if (places.empty()) return "";
  if (from) *from = places[0].from;
  return places[0].text;
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

unsigned readNumber(const SettingsSource& source, const char* key, unsigned def, unsigned lo, unsigned hi,
                    std::vector<std::string>* said) {
  std::string wanted = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  return readLayered(
      source, key, def, std::to_string(def), wanted.c_str(),
      [&](const std::string& text, unsigned* out) {
        unsigned long long v = 0;
        if (!parseWhole(text, 10, hi, &v) || v < lo) return false;
        *out = (unsigned)v;
        return true;
      },
      said);
}

double readReal(const SettingsSource& source, const char* key, double def, double lo, double hi,
                std::vector<std::string>* said) {
  char wanted[64], shown[32];
  snprintf(wanted, sizeof wanted, "a number from %g to %g", lo, hi);
  snprintf(shown, sizeof shown, "%g", def);
  return readLayered(
      source, key, def, shown, wanted,
      [&](const std::string& text, double* out) {
        errno = 0;
        char* end = nullptr;
        double v = strtod(text.c_str(), &end);
        // nan fails every comparison, so it is refused by name with the infinities.
        if (isspace((unsigned char)text[0]) || errno != 0 || *end != '\0' || !isfinite(v) || !(v >= lo && v <= hi))
          return false;
        *out = v;
        return true;
      },
      said);
}

// One of the words a key takes; the first is its default.
int readChoice(const SettingsSource& source, const char* key, std::initializer_list<const char*> words,
               std::vector<std::string>* said) {
  std::string wanted;
  int n = 0;
  for (const char* w : words) {
    wanted += (n ? n + 1 == (int)words.size() ? " or " : ", " : "") + std::string(w);
    ++n;
  }
  return readLayered(
      source, key, 0, *words.begin(), wanted.c_str(),
      [&](const std::string& text, int* out) {
        int i = 0;
        for (const char* w : words) {
          if (text == w) {
            *out = i;
            return true;
          }
          ++i;
        }
        return false;
      },
      said);
}

// The places of a key in the files, the user's first.
SettingsSource filesSource(const SettingsFiles& files) {
  return [files](const char* key) {
    std::vector<SettingText> places;
    std::string value;
    if (settingIn(files.user, key, &value)) places.push_back({kUserSettingsLabel, value});
    if (settingIn(files.machine, key, &value)) places.push_back({kMachineSettingsLabel, value});
    return places;
  };
}

}  // namespace

HostSettings loadHostSettings(const SettingsSource& file, std::vector<std::string>* said) {
  HostSettings s;
  struct Answer {
    HostSettings::Answer answer;
    unsigned status;
  };
  Answer answer = readLayered(
      file, "Answer", Answer{HostSettings::ACCEPT, 0}, "accept", "accept, refuse, never or a status number",
      [](const std::string& text, Answer* out) {
        unsigned long long status = 0;
        if (text == "accept" || text == "refuse" || text == "never") {
          *out = {text == "accept"   ? HostSettings::ACCEPT
                  : text == "refuse" ? HostSettings::REFUSE
                                     : HostSettings::NEVER,
                  0};
        } else if (parseWhole(text, 0, 0xFFFFFFFFull, &status)) {
          *out = {HostSettings::OTHER, (unsigned)status};
        } else {
          return false;
        }
        return true;
      },
      said);
  s.answer = answer.answer;
  s.otherAnswer = answer.status;
  s.answerDelayMs = readNumber(file, "AnswerDelayMs", s.answerDelayMs, 0, 600000, said);
  s.neverLingerMs = readNumber(file, "NeverLingerMs", s.neverLingerMs, 0, 600000, said);
  static const HostSettings::Consume consumes[] = {HostSettings::CONSUME_NORMAL, HostSettings::CONSUME_STOPPED,
                                                   HostSettings::CONSUME_SLOW};
  s.consume = consumes[readChoice(file, "Consume", {"normal", "stop", "slow"}, said)];
  s.slowByteUs = readNumber(file, "SlowByteUs", s.slowByteUs, 0, 1000000, said);
  s.slowStatus = readLayered(
      file, "SlowMessage", 0u, "none", "a status byte in hexadecimal",
      [](const std::string& text, unsigned* out) {
        unsigned long long status = 0;
        if (!parseWhole(text, 16, 0xFF, &status)) return false;
        *out = (unsigned)status;
        return true;
      },
      said);
  s.slowMessageUs = readNumber(file, "SlowMessageUs", 0, 0, 10000000, said);
  s.serverStallMs = readNumber(file, "ServerStallMs", 0, 0, 60000, said);
  s.ignoreClose = readChoice(file, "OnClose", {"idle", "ignore"}, said) == 1;
  static const HostSettings::Crash crashes[] = {HostSettings::CRASH_NEVER, HostSettings::CRASH_AFTER_ACCEPT,
                                                HostSettings::CRASH_ON_FIRST_BYTE};
  s.crash = crashes[readChoice(file, "Crash", {"never", "after-accept", "on-first-byte"}, said)];
  s.midiRecord = readValue(file, "MidiRecord");
  s.waveRecord = readValue(file, "WaveRecord");
  s.fluidSynth = readValue(file, "FluidSynth", &s.fluidSynthFrom);
  s.soundFont = readValue(file, "SoundFont", &s.soundFontFrom);
  s.polyphony = readNumber(file, "Polyphony", s.polyphony, 1, 65535, said);
  s.reverb = readNumber(file, "Reverb", 1, 0, 1, said) != 0;
  s.chorus = readNumber(file, "Chorus", 1, 0, 1, said) != 0;
  s.gain = readReal(file, "Gain", s.gain, 0, 10, said);
  s.sampleRate = readNumber(file, "SampleRate", s.sampleRate, 8000, 96000, said);
  s.blockFrames = readNumber(file, "BlockFrames", s.blockFrames, 16, 8192, said);
  s.latencyMs = readNumber(file, "LatencyMs", s.latencyMs, 1, 1000, said);
  s.keepDeviceMs = readNumber(file, "KeepDeviceMs", s.keepDeviceMs, 0, 3600000, said);
  s.soundServer = readValue(file, "SoundServer");
  s.outputDevice = readValue(file, "OutputDevice");
  return s;
}

HostSettings loadHostSettings(const SettingsFiles& files, std::vector<std::string>* said) {
  return loadHostSettings(filesSource(files), said);
}

HostSettings loadHostSettings(const std::string& iniFile, std::vector<std::string>* said) {
  return loadHostSettings(SettingsFiles{"", iniFile}, said);
}

std::string checkSetting(const char* key, const std::string& text) {
  std::string wanted = key;
  std::vector<std::string> said;
  loadHostSettings(
      [&](const char* asked) {
        return lstrcmpiA(asked, wanted.c_str()) == 0 ? std::vector<SettingText>{{"", text}}
                                                     : std::vector<SettingText>();
      },
      &said);
  if (said.empty()) return "";
  return said[0].substr(0, said[0].find("; using "));
}

HostSettings loadHostSettings() {
  char dir[MAX_PATH];
  GetCurrentDirectoryA(sizeof dir, dir);
  std::vector<std::string> said;
  HostSettings s = loadHostSettings(settingsFiles(dir), &said);
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
