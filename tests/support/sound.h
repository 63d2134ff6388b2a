// Test support for what the host sounds like: a private sound server with a
// null sink whose monitor is recorded, the host's WAV records and their
// spectra.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// A sound server of the test's own (its own runtime directory, a null sink
// named "kvtest", clients without a cookie), reached through PULSE_SERVER,
// which the processes the test starts inherit. Ended with the object.
class PrivateSoundServer {
 public:
  ~PrivateSoundServer();
  // Starts the server in `dir` and waits until it answers.
  bool start(const std::string& dir);
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

// Records the null sink's monitor (mono, 44100 Hz) through parec while it lives.
class MonitorRecorder {
 public:
  static const unsigned kRate = 44100;
  ~MonitorRecorder();
  bool start(const std::string& server);
  // Waits (for at most `timeoutMs`) until `done` holds for what was recorded
  // so far; answers whether it did.
  template <typename Pred>
  bool waitFor(Pred done, int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    return more_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return done(samples_); });
  }
  std::vector<int16_t> samples();

 private:
  void read();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable more_;
  std::vector<int16_t> samples_;
};

struct Wav {
  unsigned rate = 0;
  unsigned channels = 0;
  std::vector<int16_t> samples;  // interleaved
  // One channel (or the mean of two) from frame `from` on, `count` frames at most.
  std::vector<double> mono(size_t from = 0, size_t count = (size_t)-1) const;
  size_t frames() const { return channels ? samples.size() / channels : 0; }
};
Wav readWav(const std::string& path);

// Power of `signal` at `hz` (Goertzel), normalised by its length.
double powerAt(const std::vector<double>& signal, unsigned rate, double hz);
// The frequency between `lo` and `hi` (in steps of `step`) with the most power.
double strongestFrequency(const std::vector<double>& signal, unsigned rate, double lo, double hi, double step);
// The strongest frequency between `lo` and `hi` of the first stretch of
// `window` samples from `from` on that sounds without a break (no 256 samples
// below -30 dB): a busy machine may leave gaps in what a server plays, which
// smear the spectrum of a stretch that holds them. 0 when no stretch sounds
// that long.
double strongestInUnbrokenStretch(const std::vector<int16_t>& samples, size_t from, size_t window, unsigned rate,
                                  double lo, double hi);
// The largest magnitude of a stretch.
int peak(const std::vector<int16_t>& samples, size_t from, size_t to, size_t stride = 1);

// The arrival times (ms, as the host records them in its message record) of the
// messages whose line contains `what`, in order.
std::vector<double> recordedTimes(const std::string& text, const std::string& what);

}  // namespace kvtest
