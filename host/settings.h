// The host's settings, from section [Host] of the user's own KVHOST.INI and
// of the machine's in its current directory (the install directory); the
// user's win key by key (host/settingsfiles.h). Besides the sound and the
// output files they choose how the host answers and serves, so that every way
// a host can misbehave can be staged.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/settingsfiles.h"

struct HostSettings {
  enum Answer { ACCEPT, REFUSE, NEVER, OTHER };
  enum Consume { CONSUME_NORMAL, CONSUME_STOPPED, CONSUME_SLOW };
  enum Crash { CRASH_NEVER, CRASH_AFTER_ACCEPT, CRASH_ON_FIRST_BYTE };

  Answer answer = ACCEPT;
  unsigned otherAnswer = 0;        // Answer=<number>: the status word stored instead
  unsigned answerDelayMs = 0;      // AnswerDelayMs: wait before answering
  unsigned neverLingerMs = 25000;  // how long a host that never answers stays
  Consume consume = CONSUME_NORMAL;
  unsigned slowByteUs = 1000;  // SlowByteUs: pause after each byte when Consume=slow
  bool ignoreClose = false;    // OnClose=ignore: the close command changes nothing
  Crash crash = CRASH_NEVER;
  // A synthesizer that is slow on purpose: messages whose status (its high
  // four bits for channel messages, e.g. SlowMessage=C0) matches take
  // SlowMessageUs each to apply; and a sound server that holds the first
  // block written to it for ServerStallMs, as one resuming a sink does.
  unsigned slowStatus = 0;
  unsigned slowMessageUs = 0;
  unsigned serverStallMs = 0;
  // Records are a diagnostic, kept only when named: a host installed where the
  // user cannot write must still play. A name may be a Windows path.
  std::string midiRecord;  // MidiRecord: <name>.RAW, <name>.TXT and <name>.WAV; empty: none
  std::string waveRecord;  // WaveRecord: <name>.WAV and <name>.TXT; empty: none

  // The synthesizer and the sound output. FluidSynth's library and the
  // SoundFont are looked for in the host's own folder when not named.
  std::string fluidSynth;       // FluidSynth: its library, or the folder that holds libfluidsynth-3.dll
  std::string soundFont;        // SoundFont: a General MIDI SoundFont; empty: one beside the host, or installed
  unsigned polyphony = 256;     // Polyphony: voices at most
  bool reverb = true;           // Reverb: 1 or 0
  bool chorus = true;           // Chorus: 1 or 0
  double gain = 0.5;            // Gain: the synthesizer's output gain (0 to 10)
  unsigned sampleRate = 44100;  // SampleRate of the synthesizer's output
  unsigned blockFrames = 64;    // BlockFrames: frames the synthesizer renders at a time
  unsigned latencyMs = 20;      // LatencyMs: what the sound server keeps buffered
  std::string soundServer;      // SoundServer: empty for the user's server, "none", or a server address
  std::string outputDevice;     // OutputDevice: the output device's name or id; empty for the system's default
  // KeepDeviceMs: after this much silence the sound output gives its device
  // back, where other programs may want it to themselves (Windows); 0: never.
  unsigned keepDeviceMs = 10000;
  // The file FluidSynth= and SoundFont= came from, as it is told
  // (kMachineSettingsLabel or kUserSettingsLabel).
  std::string fluidSynthFrom = kMachineSettingsLabel;
  std::string soundFontFrom = kMachineSettingsLabel;

  // What the file held that the host could not use, and what the system
  // refused it, one line each: said on standard error and in the MIDI record,
  // where one is kept.
  std::vector<std::string> said;
  // The folder of the host program (not a setting).
  std::string folder;
};

// A key's value in each place that has it, in the order they count, each with
// the name of its place as it is told.
struct SettingText {
  std::string from;
  std::string text;
};
using SettingsSource = std::function<std::vector<SettingText>(const char* key)>;

// Reads every key from `source`. The first place that has a key gives its
// value; an empty value stands for the key's default. A value the host cannot
// use is said, with its place, key and value, in a line of `said`, and the
// next place's value is taken, or the key's default.
HostSettings loadHostSettings(const SettingsSource& source, std::vector<std::string>* said);
// Section [Host] of the files, the user's first.
HostSettings loadHostSettings(const SettingsFiles& files, std::vector<std::string>* said);
// Section [Host] of `iniFile` alone.
HostSettings loadHostSettings(const std::string& iniFile, std::vector<std::string>* said);
// The files of the current directory, with the folder of this program; what
// it says goes to standard error and into `said`.
HostSettings loadHostSettings();
// Whether the host can use `text` as the value of `key`: empty when it can,
// else why not ("Gain=loud is not a number from 0 to 10").
std::string checkSetting(const char* key, const std::string& text);
