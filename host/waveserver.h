// Serves the wave channel: plays the sample ring in the channel's format at the
// format's real-time rate, moving dwReadPos on in whole frames, applies the
// volume word (low word left, high word right), writes what it plays to a
// WAV file and hands it to the system's sound output when there is one. It
// counts underruns: stretches of the ring that the driver had not filled again
// by the time they were due.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "host/settings.h"
#include "host/waveout_backend.h"
#include "hostlink/shared.h"

class WaveServer {
 public:
  WaveServer(WaveChannel* channel, const HostSettings& settings);
  ~WaveServer();
  bool start();
  void stop();
  void setVolume(DWORD volume) { volume_ = volume; }
  DWORD volume() const { return volume_; }

 private:
  void run();
  void play(DWORD frames);

  WaveChannel* channel_;
  HostSettings settings_;
  ChannelFormat format_;
  WaveRecord* out_ = nullptr;
  WaveSpeaker* speaker_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<DWORD> volume_{0xFFFFFFFF};
  unsigned long long framesPlayed_ = 0;
  unsigned long long underruns_ = 0;
};
