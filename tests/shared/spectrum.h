// How both suites tell what a sound server played: the power of a signal at a
// frequency, the strongest frequency of a stretch, the pitch of the
// stretches that sound without a break, and the pitch of a sine.
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

// The strongest frequency between `lo` and `hi` of the stretches of `window`
// samples between `from` and `to` that sound without a break (no 256 samples
// below -30 dB), stepping half a window: the median of them. A busy machine may
// leave gaps in what a server plays, or leave out blocks that came too late,
// which smear the spectrum of the one stretch that holds them but not the
// median. 0 when no stretch sounds that long.
inline double strongestInUnbrokenStretches(const std::vector<int16_t>& samples, size_t from, size_t to, size_t window,
                                           unsigned rate, double lo, double hi) {
  const size_t kPiece = 256;
  const int kLevel = 1000;
  to = std::min(to, samples.size());
  std::vector<double> found;
  for (size_t at = from; at + window <= to; at += window / 2) {
    bool unbroken = true;
    for (size_t piece = at; piece + kPiece <= at + window && unbroken; piece += kPiece)
      unbroken = peak(samples, piece, piece + kPiece) >= kLevel;
    if (!unbroken) continue;
    std::vector<double> stretch(samples.begin() + (long)at, samples.begin() + (long)(at + window));
    found.push_back(strongestFrequency(stretch, rate, lo, hi, 1));
  }
  if (found.empty()) return 0;
  std::nth_element(found.begin(), found.begin() + (long)(found.size() / 2), found.end());
  return found[found.size() / 2];
}

// The pitch of a sine heard from `from` on: the rate over the median of the
// intervals between its rising zero crossings, up to its last loud sample. A
// busy machine's gap, or a stretch it left out, spoils one interval each; a
// stream played at the wrong rate spoils them all. 0 with fewer than 20.
inline double sinePitch(const std::vector<int16_t>& s, size_t from, unsigned rate) {
  size_t end = s.size();
  while (end > from && abs((int)s[end - 1]) <= 1000) --end;
  std::vector<double> intervals;
  double last = -1;
  for (size_t i = from + 1; i < end; ++i) {
    if (!(s[i - 1] < 0 && s[i] >= 0)) continue;
    double at = (double)(i - 1) + (double)-s[i - 1] / (double)(s[i] - s[i - 1]);
    if (last >= 0) intervals.push_back(at - last);
    last = at;
  }
  if (intervals.size() < 20) return 0;
  std::sort(intervals.begin(), intervals.end());
  return rate / intervals[intervals.size() / 2];
}

}  // namespace kvtest
