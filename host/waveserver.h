// Serves the wave channel: plays the sample ring in the channel's format at the
// format's real-time rate, moving dwReadPos on in whole frames, applies the
// volume word (low word left, high word right) and writes what it plays to the
// sound server and, when WaveRecord names one, to a WAV record (through the
// record's writer thread: the play thread never waits for the disk). It counts
// underruns: stretches of the ring that the driver had not filled again by the
// time they were due.
//
// The ring is this host's only while the channel names its window in hwndHost:
// once another host is named, the server stops and leaves the ring alone.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/audio.h"
#include "host/recordwriter.h"
#include "host/settings.h"
#include "hostlink/shared.h"

class WaveServer {
 public:
  // hwndSelf: this host's window, as it stands in hwndHost while this host
  // serves the channel. onEnded runs on the play thread when the server stops
  // by itself because another host was named.
  WaveServer(WaveChannel* channel, const HostSettings& settings, DWORD hwndSelf, std::function<void()> onEnded);
  ~WaveServer();
  // Opens the record and the sound server stream; what it could not open it
  // reports in `notes` (the record's writer says its own failure), and plays
  // without it. False only when the channel holds no format it can play.
  bool start(std::vector<std::string>* notes);
  void stop();
  void setVolume(DWORD volume) { volume_ = volume; }
  DWORD volume() const { return volume_; }

 private:
  void run();
  void play(DWORD frames);

  bool servedByAnother() const { return channel_->hwndHost != hwndSelf_; }

  WaveChannel* channel_;
  HostSettings settings_;
  DWORD hwndSelf_;
  std::function<void()> onEnded_;
  ChannelFormat format_;
  RecordWriter writer_;
  RecordQueue* record_ = nullptr;
  std::unique_ptr<AudioSink> server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<DWORD> volume_{0xFFFFFFFF};
  unsigned long long framesPlayed_ = 0;
  unsigned long long underruns_ = 0;
  bool started_ = false;  // the summary of the record is still to be written
};
