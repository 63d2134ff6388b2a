// The host's settings, from "KVHOST.INI" in its current directory (the install
// directory), section [Host]. Besides the output files they choose how the host
// answers and serves, so that every way a host can misbehave can be staged.
#pragma once

#include <string>

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
  std::string midiRecord = "KVMIDIIN";   // MidiRecord: <name>.RAW and <name>.TXT; empty: none
  std::string waveRecord = "KVWAVEOUT";  // WaveRecord: <name>.WAV and <name>.TXT; empty: none

  // The synthesizer and the sound output.
  std::string soundFont;        // SoundFont: a General MIDI SoundFont; empty: the first one installed
  unsigned polyphony = 256;     // Polyphony: voices at most
  bool reverb = true;           // Reverb: 1 or 0
  bool chorus = true;           // Chorus: 1 or 0
  double gain = 0.5;            // Gain: the synthesizer's output gain (0 to 10)
  unsigned sampleRate = 44100;  // SampleRate of the synthesizer's output
  unsigned blockFrames = 64;    // BlockFrames: frames the synthesizer renders at a time
  unsigned latencyMs = 20;      // LatencyMs: what the sound server keeps buffered
  std::string soundServer;      // SoundServer: empty for the user's server, "none", or a server address
};

// The SoundFonts tried, in order, when KVHOST.INI names none.
extern const char* const kDefaultSoundFonts[];

HostSettings loadHostSettings();
