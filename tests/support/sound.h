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

#include "tests/shared/spectrum.h"

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

// The arrival times (ms, as the host records them in its message record) of the
// messages whose line contains `what`, in order.
std::vector<double> recordedTimes(const std::string& text, const std::string& what);

}  // namespace kvtest
