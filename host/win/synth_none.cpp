// The synthesizer on Windows: none in this build; the MIDI side keeps its
// record.
#include "host/synth.h"

std::unique_ptr<Synth> createSynth(const HostSettings&, std::string* why) {
  if (why) *why = "this build has no synthesizer";
  return nullptr;
}
