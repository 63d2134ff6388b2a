// The synthesizer the MIDI side renders with: it takes parsed messages and
// renders stereo in floating point, full scale at 1.0 (the renderer limits it
// and makes 16-bit samples of it). The back end lives in a file of its own; a build
// without one renders nothing and keeps the records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "host/settings.h"

class Synth {
 public:
  virtual ~Synth() {}
  // Applies a complete message (status first; a system-exclusive buffer with
  // its 0xF0 and 0xF7) at the current point of the output.
  virtual void message(const uint8_t* bytes, size_t size) = 0;
  // Silences every voice at once and returns every channel to its power-on
  // state, as a General MIDI reset does.
  virtual void reset() = 0;
  // Ends every note with its release, those the sustain and sostenuto pedals
  // hold too, and lifts the pedals; programs and the other controllers stay.
  virtual void notesOff() = 0;
  // Renders `count` interleaved stereo frames.
  virtual void render(float* frames, size_t count) = 0;
  virtual unsigned activeVoices() = 0;
  // The frames it renders at a time: a message takes effect at a step's start.
  virtual unsigned step() const = 0;
  // What was loaded, for the record.
  virtual std::string description() const = 0;
};

// Where the synthesizer's parts were found, one line each: what was passed
// over on the way (a library of the other bitness), and the library and the
// SoundFont taken.
struct SynthOrigin {
  std::vector<std::string> passedOver;
  std::vector<std::string> found;
};
// The synthesizer the settings ask for; null with the reason in `why`.
std::unique_ptr<Synth> createSynth(const HostSettings& settings, std::string* why, SynthOrigin* origin = nullptr);
