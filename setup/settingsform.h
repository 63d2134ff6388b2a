// What the settings window lets a user choose, apart from the window: the
// values its controls hold, filled from the settings the host would use, and
// what Apply writes into the user's own KVHOST.INI. Each key whose value
// differs from the machine's setting is kept in the user's file; each key
// whose value is the machine's is taken out of it, so that a later change of
// the machine's setting reaches the user again.
#pragma once

#include <string>
#include <vector>

#include "host/settings.h"
#include "host/settingsfiles.h"

struct SettingsForm {
  std::string soundFont;  // SoundFont: a bank's path; empty: the first beside the hosts, else the system's
  std::string gain;       // Gain, as typed
  std::string polyphony;  // Polyphony
  std::string latencyMs;  // LatencyMs
  bool reverb = true;
  bool chorus = true;
  std::string outputDevice;  // OutputDevice: a device's name; empty: the system's default
};

// The keys the window sets, in the order it writes them.
extern const char* const kFormKeys[7];

// The form for the settings the host would use.
SettingsForm formFor(const HostSettings& settings);
// A gain as the form shows it ("0.5").
std::string gainText(double gain);
// The changes Apply makes in the user's file for `form`, measured against the
// machine's settings. False, with why in `why`, when a value is not one the
// host can use: then nothing is to be written.
bool formChanges(const SettingsForm& form, const HostSettings& machine, std::vector<SettingChange>* changes,
                 std::string* why);
// Apply: the user's file of `files` made to hold `form`, whole or not at all.
bool applyForm(const SettingsForm& form, const SettingsFiles& files, std::string* why);
