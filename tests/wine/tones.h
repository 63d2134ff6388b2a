// What the host rendered, read back from its WAV record: the pitch of a note
// and the strength of each pitch of a chord.
#pragma once

#include <string>
#include <vector>

namespace kvwine {

// A 16-bit stereo WAV file's samples, both channels summed; empty when the
// file is not one.
std::vector<double> monoSamples(const std::string& wav, unsigned* rate);
// Where the sound starts: the first sample beyond a hundredth of full scale
// (the stream runs silent from the open on); the size when there is none.
size_t soundStart(const std::vector<double>& samples);
// The strength of the frequency `hz` over `count` samples from `from`, with
// a Hann window.
double strengthAt(const std::vector<double>& samples, size_t from, size_t count, unsigned rate, double hz);
// The frequency of the strongest peak between `lowHz` and `highHz` over
// `count` samples from `from`, to a few hundredths of a hertz.
double strongestPitch(const std::vector<double>& samples, size_t from, size_t count, unsigned rate, double lowHz,
                      double highHz);
// The frequency of MIDI note `note` bent by `cents`, at A4 = 440 Hz.
double noteHz(double note, double cents = 0);

}  // namespace kvwine
