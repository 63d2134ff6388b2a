// The host's records are written by one thread of their own, at low priority,
// so that the threads that keep time (the MIDI consumer and renderer, the
// wave player) never wait for the disk, nor make a system call for a record.
//
// Each record has a bounded queue, filled by one thread at a time (another
// may take over once the first has ended) without a lock and without a system
// call. The writer thread looks at the queues every few milliseconds and
// writes out what it finds, each record's share in one write.
//
// A full queue loses record data, never sound: what does not fit is counted,
// and a WAV record keeps its time line by writing what it could not keep as
// silence of the same length. When the records close, each one that lost
// something is said once on standard error, with the count; its owner puts the
// same line into its text record (lossNote).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvplatform.h"

// Where a record's bytes go; only the writer thread (or, once it has ended,
// the thread that stopped it) calls these.
class RecordTarget {
 public:
  virtual ~RecordTarget() {}
  virtual void write(const void* data, size_t size) = 0;
  // The round's bytes are all handed over.
  virtual void flush() {}
};

class RecordQueue {
 public:
  // The producer's side. Never waits and never calls the system: what does
  // not fit whole is lost (counted).
  void put(const void* data, size_t size);
  void put(const std::string& text) { put(text.data(), text.size()); }
  // `bytes` of silence (zero bytes) at once, as one entry of the queue.
  void putSilence(uint64_t bytes);
  // For a producer that keeps no time (the host's main thread as a record
  // opens and closes): waits for room while the writer runs.
  void putWaiting(const void* data, size_t size);
  void putWaiting(const std::string& text) { putWaiting(text.data(), text.size()); }

  // What the record could not keep so far, in bytes: any thread.
  uint64_t lostBytes() const { return lost_.load(std::memory_order_relaxed); }
  // The line that says it, or "" when nothing was lost: any thread.
  std::string lossNote() const;

 private:
  friend class RecordWriter;
  RecordQueue(const std::string& name, size_t capacity, unsigned bytesPerSecond, std::unique_ptr<RecordTarget> target,
              const std::atomic<bool>* writing);
  bool tryPut(uint64_t header, const void* data, size_t size);
  void copyIn(uint64_t at, const void* data, size_t size);
  void copyOut(uint64_t at, void* data, size_t size) const;
  // The writer's side: hands what is queued to the target; whether there was
  // anything.
  bool drain(std::vector<uint8_t>& scratch);
  // Once the producers are done: what they could not queue, then the end.
  void finish(std::vector<uint8_t>& scratch);

  std::string name_;
  unsigned bytesPerSecond_;  // a WAV record's: lost bytes become silence; 0 for text
  std::vector<uint8_t> ring_;
  std::unique_ptr<RecordTarget> target_;
  const std::atomic<bool>* writing_;
  std::atomic<uint64_t> head_{0};     // the writer's: taken up to here
  std::atomic<uint64_t> written_{0};  // the writer's: handed to the target up to here
  std::atomic<uint64_t> tail_{0};     // the producer's: queued up to here
  uint64_t silenceOwed_ = 0;          // the producer's: lost bytes of a WAV record not yet queued as silence
  std::atomic<uint64_t> lost_{0};
};

class RecordWriter {
 public:
  RecordWriter() {}
  ~RecordWriter() { stop(); }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // A queue of `capacity` bytes for the record `name` whose bytes go to
  // `target`; `bytesPerSecond` for a WAV record (0: text). Before start().
  RecordQueue* add(const std::string& name, size_t capacity, std::unique_ptr<RecordTarget> target,
                   unsigned bytesPerSecond = 0);
  // Runs `job` on the writer thread every `ms` between its writes (the host's
  // other slow work). Before start().
  void every(unsigned ms, std::function<void()> job);
  void start();
  // Every record's queue, in the order they were added.
  std::vector<RecordQueue*> queues() const;
  // Waits until what every queue held when called is written: for a thread
  // that keeps no time (the close command: what the host took before it is in
  // the records when it returns).
  void sync();
  // Writes out everything queued, closes the records, says once each what
  // was lost and ends the thread. Call once every producer is done.
  void stop();

 private:
  static DWORD WINAPI thunk(LPVOID self);
  void run();
  bool drainAll();
  void raise(bool up);

  std::vector<std::unique_ptr<RecordQueue>> queues_;
  struct Job {
    unsigned ms;
    std::function<void()> run;
    uint64_t dueMs;
  };
  std::vector<Job> jobs_;
  std::vector<uint8_t> scratch_;
  HANDLE thread_ = nullptr;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable roundDone_;
  bool stop_ = false;                 // under lock_
  bool syncWanted_ = false;           // under lock_: a round at once
  std::atomic<bool> writing_{false};  // the thread runs and takes from the queues
};

// A text or byte record: a file written through the platform's file calls;
// null, said, when it cannot be created.
std::unique_ptr<RecordTarget> recordFileTarget(const std::string& path);
// A WAV record (openWavRecord), closed with the target.
class AudioSink;
std::unique_ptr<RecordTarget> audioSinkTarget(std::unique_ptr<AudioSink> sink);
