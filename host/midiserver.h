// Serves the MIDI channel: takes the bytes the driver counts into the ring, in
// order from index 0, parses them where they lie and hands the messages with
// the time they were taken to the synthesizer's renderer and to the recorder
// of bytes and messages, then lowers the count by the number of bytes taken
// (one atomic subtraction for all that were counted). While the renderer has
// no room, the bytes wait in the ring.
//
// The ring belongs to this host only while the channel names this host's window
// in hwndHost and its status is CHANNEL_ACCEPTED or CHANNEL_OPEN. Once the close
// command came, another host was named, the status moved on or the count went
// out of the ring's bounds, the server takes nothing more from the ring.
#pragma once

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/midiparse.h"
#include "host/recordwriter.h"
#include "host/renderer.h"
#include "host/settings.h"
#include "hostlink/shared.h"

// The MIDI side's records, when MidiRecord names them: <name>.RAW, the bytes
// as they arrived, and <name>.TXT, the messages with their arrival times,
// handed to the writer thread. Each is kept as far as it can be; one that
// cannot be opened or written is said and left out.
class MidiRecorder {
 public:
  void open(RecordWriter* writer, const std::string& name);
  // From the consumer thread, which never waits for the record; `wait`: from
  // a thread that keeps no time, which waits for room in the record's queue.
  void note(const std::string& line, bool wait = false);
  void raw(const uint8_t* bytes, size_t size);
  void message(const MidiMessage& m, double ms);
  // What the records could not keep, into the text record: once the consumer
  // and the renderer are done.
  void noteLosses(const std::vector<RecordQueue*>& queues);

 private:
  RecordQueue* raw_ = nullptr;
  RecordQueue* text_ = nullptr;
};

class MidiServer {
 public:
  enum End { SERVING, CLOSED, TAKEN, STATUS_CHANGED, BROKEN };

  // hwndSelf: this host's window, as it stands in hwndHost while this host
  // serves the channel. onEnded runs on the consumer thread when the server
  // stops serving by itself (every end but the close command).
  MidiServer(MidiChannel* channel, const HostSettings& settings, DWORD hwndSelf, std::function<void()> onEnded);
  ~MidiServer();
  // Loads the synthesizer and connects to the sound server: before the host
  // claims the channel, so that the answer follows the claim at once.
  void prepare();
  // Opens the records and starts the synthesizer's stream. A record that
  // cannot be opened is said and left out: the channel is served all the same.
  void open();
  // Starts taking bytes; call after the answer.
  void start();
  // The close command: takes what is counted out of the ring at once, stores
  // CHANNEL_IDLE when the channel is still this host's, and leaves the ring for
  // good. The bytes taken reach the back end before it returns, after the
  // status is stored. TRUE when the channel was still served.
  BOOL close();
  // Waits for the consumer to end (it ends only after close or an end of its
  // own) and for the sound to ring out, then silences the synthesizer and
  // completes the records.
  void join();
  End end() const { return end_; }
  // Messages the renderer has applied or lost so far, and those lost: any
  // thread (the benchmarks watch the intake with them).
  unsigned long long handled() const { return renderer_.handled(); }
  unsigned long long lost() const { return renderer_.dropped(); }

 private:
  void run();
  // With ringLock_ held: why the channel is no longer served, or SERVING.
  End checkChannel() const;
  // With ringLock_ held: moves up to cbMax counted bytes from the ring to out.
  void takeFromRing(LONG cbMax, std::vector<uint8_t>& out);
  // With ringLock_ held: parses up to cbMax counted bytes where they lie in
  // the ring and hands the messages to the back end, unless the renderer has
  // no room for them; the bytes taken.
  LONG consumeRing(LONG cbMax);
  // Hands bytes to the records and the parser.
  void feed(const uint8_t* bytes, size_t size);
  // Between bytes: how long the consumer waits for the next.
  void waitForBytes(DWORD sinceLastByteMs);
  // On the writer thread: whether the client that opened the channel has gone.
  bool ownerGone();
  void watchOwner();
  // On the consumer: ends every note once the watch has seen the owner gone.
  void silenceGoneOwner();
  // Writes what the renderer has to say into the record.
  void noteRenderer(bool wait);

  MidiChannel* channel_;
  HostSettings settings_;
  DWORD hwndSelf_;
  std::function<void()> onEnded_;
  // The records' writer thread; it also watches the channel's owner.
  RecordWriter writer_;
  MidiRecorder recorder_;
  MidiRenderer renderer_;
  MidiParser parser_;
  int64_t takenNs_ = 0;  // when the bytes being parsed were taken
  std::thread thread_;
  std::mutex ringLock_;  // the ring, readPos_, end_ and closeTaken_
  std::atomic<End> end_{SERVING};
  std::vector<uint8_t> closeTaken_;  // taken by the close command, fed by the consumer
  unsigned readPos_ = 0;
  bool seenByte_ = false;
  std::atomic<bool> ownerGone_{false};  // set by the watch on the writer thread
  bool ownerSilenced_ = false;          // the consumer's
  bool stopNoted_ = false;
  std::vector<std::string> notes_;    // what prepare() could not start
  std::vector<std::string> details_;  // where the synthesizer was found
};
