// How both suites tell what a sound server played: the power of a signal at a
// frequency, the strongest frequency of a stretch, and the pitch of the first
// stretch that sounds without a break.
#pragma once

#include <math.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace kvtest {

// The largest magnitude of a stretch.
inline int peak(const std::vector<int16_t>& samples, size_t from, size_t to, size_t stride = 1) {
  int most = 0;
  for (size_t i = from; i < to && i < samples.size(); i += stride) most = std::max(most, abs((int)samples[i]));
  return most;
}

// Power of `signal` at `hz` (Goertzel), normalised by its length.
inline double powerAt(const std::vector<double>& signal, unsigned rate, double hz) {
  const double kPi = 3.14159265358979323846;
  double w = 2 * kPi * hz / rate, c = 2 * cos(w), s1 = 0, s2 = 0;
  for (double x : signal) {
    double s0 = x + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double p = s1 * s1 + s2 * s2 - c * s1 * s2;
  return signal.empty() ? 0 : p / (double)signal.size();
}

// The frequency between `lo` and `hi` (in steps of `step`) with the most power.
inline double strongestFrequency(const std::vector<double>& signal, unsigned rate, double lo, double hi, double step) {
  double best = lo, bestPower = -1;
  for (double f = lo; f <= hi; f += step) {
    double p = powerAt(signal, rate, f);
    if (p > bestPower) {
      bestPower = p;
      best = f;
    }
  }
  return best;
}

// The strongest frequency between `lo` and `hi` of the first stretch of
// `window` samples from `from` on that sounds without a break (no 256 samples
// below -30 dB): a busy machine may leave gaps in what a server plays, which
// smear the spectrum of a stretch that holds them. 0 when no stretch sounds
// that long.
inline double strongestInUnbrokenStretch(const std::vector<int16_t>& samples, size_t from, size_t window, unsigned rate,
                                         double lo, double hi) {
  const size_t kPiece = 256;
  const int kLevel = 1000;
  size_t start = from;
  for (size_t at = from; at + kPiece <= samples.size(); at += kPiece) {
    if (peak(samples, at, at + kPiece) < kLevel) {
      start = at + kPiece;
      continue;
    }
    if (at + kPiece - start >= window) {
      std::vector<double> stretch(samples.begin() + (long)start, samples.begin() + (long)(start + window));
      return strongestFrequency(stretch, rate, lo, hi, 1);
    }
  }
  return 0;
}

// The pitch of a steady tone that sounds from `from` on: the median of the
// strongest frequencies of its windows of `window` samples that sound without
// a break, until it stops. A glitch of a busy machine (a gap, or a stretch
// left out) moves a few windows; a stream played at the wrong rate moves them
// all. 0 when fewer than three windows sound unbroken.
inline double medianPitch(const std::vector<int16_t>& samples, size_t from, size_t window, unsigned rate, double lo,
                          double hi) {
  const size_t kPiece = 256;
  const int kLevel = 1000;
  std::vector<double> found;
  for (size_t at = from; at + window <= samples.size(); at += window) {
    bool unbroken = true;
    for (size_t p = at; p + kPiece <= at + window && unbroken; p += kPiece)
      unbroken = peak(samples, p, p + kPiece) >= kLevel;
    if (!unbroken) {
      if (peak(samples, at, at + window) < kLevel) break;  // the tone has stopped
      continue;
    }
    std::vector<double> stretch(samples.begin() + (long)at, samples.begin() + (long)(at + window));
    found.push_back(strongestFrequency(stretch, rate, lo, hi, 1));
  }
  if (found.size() < 3) return 0;
  std::sort(found.begin(), found.end());
  return found[found.size() / 2];
}

}  // namespace kvtest
