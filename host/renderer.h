// The MIDI side's sound: a render thread that applies the parsed messages to the
// synthesizer at the frame of their arrival and plays the result to the sound
// server and into the WAV record's queue (the writer thread writes it).
//
// The output stream starts when the renderer starts; frame f of it belongs to
// the moment start + f / rate. A message that arrived at time t is applied at
// the frame of t plus one block, so every message has the same delay and
// timing keeps its position within the block, down to the synthesizer's step
// (the frames it renders at a time; a message takes effect at the start of the
// step its frame falls in). Block [f, f + B) is rendered once the clock has
// passed the moment of frame f, when every message it takes has arrived. With
// nothing sounding and nothing to do the thread sleeps until a message comes.
//
// A thread that fell behind its clock (a slow synthesizer call, a sound server
// that held a write) renders without waiting until it is back on time; blocks
// that would reach the sound server later than its buffering are left out of
// the server's stream (the record keeps them), so the server's delay stays at
// LatencyMs. Only a thread far behind takes no new notes. At stop, every
// message that arrived before is applied and what sounds rings out.
//
// The synthesizer's output never reaches full scale: below the limiter's
// threshold it passes untouched; above it the level is brought down at once
// and comes back slowly, and what passes the threshold before the level has
// come down is bent smoothly towards full scale rather than cut at it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/audio.h"
#include "host/recordwriter.h"
#include "host/settings.h"
#include "host/synth.h"

class MidiRenderer {
 public:
  explicit MidiRenderer(const HostSettings& settings);
  ~MidiRenderer();
  // Loads the synthesizer and connects to the sound server; what it could not
  // start it reports in `notes`, one line each.
  // Where the synthesizer's library and SoundFont were found goes into
  // `details`, for the record only.
  void prepare(std::vector<std::string>* notes, std::vector<std::string>* details);
  // Starts the stream, with the WAV record's queue (null: none): 16-bit
  // stereo at sampleRate().
  void start(RecordQueue* recordWav);
  // Ends the thread once every message that came before is applied, every note
  // has ended and its release has rung out (for a while at most, then it
  // fades); the record keeps the silence up to now. Then silences every
  // channel. The record's queue is no longer used after it.
  void stop();

  // Called by the consumer thread: messages taken at `atNs` (steady clock)
  // go into the render thread's queue where they lie, and submit() hands
  // those added since the last call to the render thread at once, without a
  // lock. The queue holds a fixed number of messages and of system-exclusive
  // bytes, allotted once: the consumer takes from the ring only while
  // hasRoom(), so that nothing it takes is ever lost for want of room (the
  // ring waits instead, as the driver's writer does when it is full).
  void add(const uint8_t* bytes, size_t size, int64_t atNs);
  // Ends every note (the channel's owner has gone).
  void addNotesOff(int64_t atNs);
  void submit();
  // Room for everything one look at the ring can take, and then for the close
  // command's bytes.
  bool hasRoom() const;

  int64_t startNs() const { return startNs_; }
  unsigned sampleRate() const { return rate_; }
  // Messages lost: new notes while the thread was far behind its clock (or,
  // never with hasRoom() kept, a full queue). Read after stop().
  unsigned long long dropped() const { return unplayed_ + overflowed_; }
  // Note-ons handed to the synthesizer. Read after stop().
  unsigned long long notesPlayed() const { return notesPlayed_; }
  // Blocks rendered on the clock (not those of the close's tail), those that
  // began more than a block after their moment, and the latest start of one
  // after its moment. Read after stop().
  unsigned long long blocksRendered() const { return blocks_; }
  unsigned long long blocksLate() const { return lateBlocks_; }
  int64_t latestNs() const { return latestNs_; }
  // Rests that a message ended, and the latest start of the first block after
  // one (the block that takes the message). Read after stop().
  unsigned long long rests() const { return rests_; }
  int64_t latestAfterRestNs() const { return latestAfterRestNs_; }
  // Messages applied or lost so far: any thread.
  unsigned long long handled() const { return handled_.load(std::memory_order_relaxed); }
  // What the render thread and the sound output have to say for the record
  // since the last call (a sound server that held a block, catching up, a
  // device given back or taken again): any thread before stop().
  std::vector<std::string> takeNotes();
  unsigned blockFrames() const { return block_; }
  // System-exclusive buffers longer than this go to the record only.
  static const size_t kLongestSysex = 1024;

 private:
  enum Kind : uint8_t { MESSAGE, NOTES_OFF };
  struct Event {
    int64_t atNs;
    uint32_t sysexEnd;   // where the queue's system-exclusive bytes end once this event is taken
    uint16_t sysexSize;  // 0: the message is in bytes
    Kind kind;
    uint8_t size;
    uint8_t bytes[3];
  };
  // The queue's size in messages, and in bytes of system-exclusive buffers.
  static const size_t kQueueEvents = 16384;
  static const size_t kQueueSysex = 65536;

  // The slot for the next message; null (and counted) when the queue is full,
  // which hasRoom() keeps from happening.
  Event* nextSlot(size_t sysexSize);
  void run();
  void apply(const Event& e);
  // The stream frame at time `ns`.
  int64_t frameAt(int64_t ns) const;
  // The moment of stream frame `frame`.
  int64_t nsOf(int64_t frame) const;
  // Renders block [frame, frame + B); `fadeOut`: the block ends in silence.
  void renderBlock(int64_t frame, bool fadeOut);
  // Limits mix_ softly into buffer_, 16-bit.
  void limit();
  void toServer(int64_t frame);
  void writeSilence(int64_t frames);
  void catchUpInSilence();
  // Whether the thread stops after the stream up to frame_: stop() was called,
  // every message is applied and the sound has rung out. Under lock_.
  bool doneDraining(int64_t quietFrames);
  // Whether the render thread has taken every message handed to it.
  bool queueEmpty() const;
  void say(const std::string& line);

  HostSettings settings_;
  unsigned rate_;
  unsigned block_;
  unsigned step_ = 1;
  std::unique_ptr<Synth> synth_;
  std::unique_ptr<AudioSink> server_;
  RecordQueue* record_ = nullptr;
  int64_t startNs_ = 0;
  std::thread thread_;

  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;               // under lock_
  int64_t tailEnd_ = 0;             // under lock_: with stop_, the last frame a tail may reach
  std::vector<std::string> notes_;  // under lock_
  // The queue: events [head_, tail_) and their system-exclusive bytes
  // [sysexHead_, sysexTail_), counted on and taken modulo the sizes. The
  // consumer writes past tail_ and publishes by storing it; the render thread
  // reads up to tail_, then gives the slots back by storing head_.
  std::vector<Event> events_;
  std::vector<uint8_t> sysex_;
  std::atomic<uint64_t> tail_{0};
  std::atomic<uint64_t> head_{0};
  std::atomic<uint32_t> sysexHead_{0};
  std::atomic<bool> idle_{false};  // the render thread waits for a message
  uint64_t added_ = 0;             // the consumer's: events written, not all published yet
  uint32_t sysexTail_ = 0;         // the consumer's
  std::atomic<unsigned long long> handled_{0};
  unsigned long long overflowed_ = 0;  // the consumer's: messages that found the queue full

  // The render thread's.
  std::vector<float> mix_;       // the synthesizer's output
  std::vector<int16_t> buffer_;  // what is played and recorded
  float limiterGain_ = 1;        // the limiter's present gain
  float limiterAttack_ = 1;      // how far the gain goes down, and comes back, per frame
  float limiterRelease_ = 1;
  int64_t silentFrames_ = 0;
  unsigned long long unplayed_ = 0;
  unsigned long long notesPlayed_ = 0;
  unsigned long long blocks_ = 0;
  unsigned long long lateBlocks_ = 0;
  int64_t latestNs_ = 0;
  unsigned long long rests_ = 0;
  int64_t latestAfterRestNs_ = 0;
  int64_t frame_ = 0;           // the next frame to render
  int64_t serverSkipped_ = 0;   // frames left out of the server's stream since it was last on time
  bool serverStalled_ = false;  // the first write has waited the setting's stall
};

// Steady clock time in nanoseconds.
int64_t steadyNs();
