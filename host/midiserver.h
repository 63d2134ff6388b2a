// Serves the MIDI channel: takes the bytes the driver counts into the ring, in
// order from index 0, lowers the count by one per byte, parses the stream and
// hands the messages to the synthesizer's renderer and to the recorder of
// bytes and messages with their arrival times.
#pragma once

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "host/midiparse.h"
#include "host/renderer.h"
#include "host/settings.h"
#include "hostlink/shared.h"

class MidiRecorder {
 public:
  ~MidiRecorder();
  bool open(const std::string& name);
  bool recording() const { return text_ != nullptr; }
  void note(const std::string& line);
  void raw(uint8_t b);
  void message(const MidiMessage& m, double ms);
  void flush();

 private:
  FILE* raw_ = nullptr;
  FILE* text_ = nullptr;
};

class MidiServer {
 public:
  MidiServer(MidiChannel* channel, const HostSettings& settings);
  ~MidiServer();
  bool start();
  // Stops taking bytes; returns once the consumer has ended.
  void stop();

 private:
  void run();
  void take(uint8_t b);
  bool ownerGone();
  void watchOwner();

  MidiChannel* channel_;
  HostSettings settings_;
  MidiRecorder recorder_;
  MidiRenderer renderer_;
  MidiParser parser_;
  int64_t takenNs_ = 0;  // when the bytes being parsed were taken
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool stopped_ = false;
  bool ownerSilenced_ = false;
  DWORD lastOwnerCheckMs_ = 0;
  unsigned readPos_ = 0;
  bool seenByte_ = false;
};
