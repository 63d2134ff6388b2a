// Serves the wave channel: plays the sample ring in the channel's format at the
// format's real-time rate, moving dwReadPos on in whole frames, applies the
// volume word (low word left, high word right) and writes what it plays to a
// WAV file and to the sound server. It counts underruns: stretches of the ring that the driver had not
// filled again by the time they were due.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/audio.h"
#include "host/settings.h"
#include "hostlink/shared.h"

class WaveServer {
 public:
  WaveServer(WaveChannel* channel, const HostSettings& settings);
  ~WaveServer();
  // Opens the record and the sound server stream; what it could not open it
  // reports in `notes`. False when the record cannot be created.
  bool start(std::vector<std::string>* notes);
  void stop();
  void setVolume(DWORD volume) { volume_ = volume; }
  DWORD volume() const { return volume_; }

 private:
  void run();
  void play(DWORD frames);

  WaveChannel* channel_;
  HostSettings settings_;
  ChannelFormat format_;
  std::unique_ptr<AudioSink> record_;
  std::unique_ptr<AudioSink> server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<DWORD> volume_{0xFFFFFFFF};
  unsigned long long framesPlayed_ = 0;
  unsigned long long underruns_ = 0;
};
