// A note played from a client of either bitness through the installed
// product, and what the host's record says of it.
#pragma once

#include <string>
#include <vector>

namespace kvwine {

// The 64-bit suite's binary, which the 32-bit suite runs as its 64-bit client.
constexpr const char* kOtherSuite = "C:\\kvtests\\x64\\kvwinetests.exe";

// Plays `steps` (as the helper "play" takes them) from a client of that
// bitness (`wide`: the 64-bit suite's binary, else this one) through the
// product installed in `dir`, whose KVHOST.INI names the MIDI record; answers
// the samples of the host's WAV record, its text in `text`.
std::vector<double> playFrom(bool wide, const std::string& dir, const std::string& steps, std::string* text,
                             unsigned* rate);

// A4 from a client of that bitness sounds at its pitch, within 3 Hz, through
// the FluidSynth of that bitness in its folder below `dir` and the SoundFont
// beside the hosts.
void expectA4From(bool wide, const std::string& dir);

}  // namespace kvwine
