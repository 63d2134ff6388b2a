// Reading the host's WAV record back; see tones.h.
#include "tones.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace kvwine {

std::vector<double> monoSamples(const std::string& wav, unsigned* rate) {
  std::vector<double> out;
  if (wav.size() < 12 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0) return out;
  size_t at = 12;
  while (at + 8 <= wav.size()) {
    uint32_t size;
    memcpy(&size, wav.data() + at + 4, 4);
    if (wav.compare(at, 4, "fmt ") == 0 && at + 16 <= wav.size()) memcpy(rate, wav.data() + at + 12, 4);
    if (wav.compare(at, 4, "data") == 0) {
      size_t frames = std::min<size_t>(size, wav.size() - at - 8) / 4;
      out.reserve(frames);
      for (size_t i = 0; i < frames; ++i) {
        int16_t lr[2];
        memcpy(lr, wav.data() + at + 8 + i * 4, 4);
        out.push_back((double)lr[0] + lr[1]);
      }
      return out;
    }
    at += 8 + size + (size & 1);
  }
  return out;
}

size_t soundStart(const std::vector<double>& s) {
  size_t i = 0;
  while (i < s.size() && fabs(s[i]) < 655.36) ++i;
  return i;
}

double strengthAt(const std::vector<double>& s, size_t from, size_t count, unsigned rate, double hz) {
  if (from >= s.size()) return 0;
  count = std::min(count, s.size() - from);
  // Goertzel's recurrence over the windowed samples.
  const double pi = 3.14159265358979323846;
  double w = 2 * pi * hz / rate, coefficient = 2 * cos(w), s1 = 0, s2 = 0;
  for (size_t i = 0; i < count; ++i) {
    double window = 0.5 - 0.5 * cos(2 * pi * (double)i / (double)count);
    double s0 = s[from + i] * window + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coefficient * s1 * s2)) / (double)(count ? count : 1);
}

double strongestPitch(const std::vector<double>& s, size_t from, size_t count, unsigned rate, double lowHz,
                      double highHz) {
  // A coarse look, then finer and finer around the best.
  double best = lowHz, step = 0.5;
  double bestStrength = -1;
  for (double hz = lowHz; hz <= highHz; hz += step) {
    double v = strengthAt(s, from, count, rate, hz);
    if (v > bestStrength) bestStrength = v, best = hz;
  }
  for (int round = 0; round < 3; ++round) {
    double centre = best;
    for (double hz = centre - step; hz <= centre + step; hz += step / 10) {
      double v = strengthAt(s, from, count, rate, hz);
      if (v > bestStrength) bestStrength = v, best = hz;
    }
    step /= 10;
  }
  return best;
}

double noteHz(double note, double cents) { return 440.0 * pow(2.0, (note - 69 + cents / 100) / 12); }

}  // namespace kvwine
