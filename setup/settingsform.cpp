// The settings window's form, apart from the window (see settingsform.h).
#include "setup/settingsform.h"

#include <stdio.h>

#include "kvplatform.h"

const char* const kFormKeys[7] = {"SoundFont", "Gain", "Polyphony", "LatencyMs", "Reverb", "Chorus", "OutputDevice"};

namespace {

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The form's text for each key, in kFormKeys' order.
std::vector<std::string> texts(const SettingsForm& f) {
  return {trimmed(f.soundFont), trimmed(f.gain),      trimmed(f.polyphony),   trimmed(f.latencyMs),
          f.reverb ? "1" : "0", f.chorus ? "1" : "0", trimmed(f.outputDevice)};
}

}  // namespace

std::string gainText(double gain) {
  char text[32];
  snprintf(text, sizeof text, "%g", gain);
  return text;
}

SettingsForm formFor(const HostSettings& s) {
  SettingsForm f;
  f.soundFont = s.soundFont;
  f.gain = gainText(s.gain);
  f.polyphony = std::to_string(s.polyphony);
  f.latencyMs = std::to_string(s.latencyMs);
  f.reverb = s.reverb;
  f.chorus = s.chorus;
  f.outputDevice = s.outputDevice;
  return f;
}

bool formChanges(const SettingsForm& form, const HostSettings& machine, std::vector<SettingChange>* changes,
                 std::string* why) {
  std::vector<std::string> values = texts(form);
  for (size_t i = 0; i < values.size(); ++i) {
    // An empty number is the key's default to the host, but never what a
    // user means by clearing the field.
    bool text = i == 0 || i == 6;
    std::string wrong = !text && values[i].empty() ? std::string(kFormKeys[i]) + " needs a value"
                                                   : checkSetting(kFormKeys[i], values[i]);
    if (!wrong.empty()) {
      *why = wrong;
      return false;
    }
  }
  // The form read as the host reads it, to compare value with value (0.50 is 0.5).
  std::vector<std::string> said;
  HostSettings chosen = loadHostSettings(
      [&](const char* key) {
        for (size_t i = 0; i < values.size(); ++i)
          if (lstrcmpiA(key, kFormKeys[i]) == 0) return std::vector<SettingText>{{"", values[i]}};
        return std::vector<SettingText>();
      },
      &said);
  bool same[7] = {chosen.soundFont == machine.soundFont,
                  chosen.gain == machine.gain,
                  chosen.polyphony == machine.polyphony,
                  chosen.latencyMs == machine.latencyMs,
                  chosen.reverb == machine.reverb,
                  chosen.chorus == machine.chorus,
                  chosen.outputDevice == machine.outputDevice};
  changes->clear();
  for (size_t i = 0; i < values.size(); ++i) {
    SettingChange c;
    c.key = kFormKeys[i];
    c.remove = same[i];
    if (!c.remove) c.value = values[i];
    changes->push_back(c);
  }
  return true;
}

bool applyForm(const SettingsForm& form, const SettingsFiles& files, std::string* why) {
  std::vector<std::string> said;
  HostSettings machine = loadHostSettings(SettingsFiles{"", files.machine}, &said);
  std::vector<SettingChange> changes;
  if (!formChanges(form, machine, &changes, why)) return false;
  std::string file = files.user.empty() ? userSettingsFile(true) : files.user;
  if (file.empty()) {
    *why = "there is no application-data folder to keep your settings in";
    return false;
  }
  return writeUserSettings(file, changes, why);
}
