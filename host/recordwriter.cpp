#include "host/recordwriter.h"

#include <stdio.h>
#include <string.h>

#include <chrono>

#include "host/audio.h"
#include "host/recordfile.h"
#include "host/say.h"
#include "kvplatform.h"

namespace {

// An entry of a queue: an 8-byte header, its length with the top bit set for
// silence (no bytes follow), else the bytes.
const uint64_t kSilence = 1ull << 63;
const size_t kHeader = sizeof(uint64_t);
// What the writer gathers of a record before it writes, at most (a long
// silence is written in pieces of kZeroPiece, whole frames of every format).
const size_t kMostAtOnce = 1 << 20;
const size_t kZeroPiece = 1 << 16;
// How often the writer looks: soon again after a round that found something,
// then less and less often while the records are quiet.
const unsigned kBusyLookMs = 10;
const unsigned kQuietLookMs = 100;

uint64_t nowMs() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class FileTarget : public RecordTarget {
 public:
  bool open(const std::string& path) { return file_.open(path); }
  void write(const void* data, size_t size) override { file_.put(data, size); }
  void flush() override { file_.flush(); }

 private:
  RecordFile file_;
};

class SinkTarget : public RecordTarget {
 public:
  explicit SinkTarget(std::unique_ptr<AudioSink> sink) : sink_(std::move(sink)) {}
  void write(const void* data, size_t size) override { sink_->write(data, size); }

 private:
  std::unique_ptr<AudioSink> sink_;
};

}  // namespace

std::unique_ptr<RecordTarget> recordFileTarget(const std::string& path) {
  std::unique_ptr<FileTarget> target(new FileTarget);
  if (!target->open(path)) return nullptr;
  return std::unique_ptr<RecordTarget>(target.release());
}

std::unique_ptr<RecordTarget> audioSinkTarget(std::unique_ptr<AudioSink> sink) {
  return std::unique_ptr<RecordTarget>(new SinkTarget(std::move(sink)));
}

RecordQueue::RecordQueue(const std::string& name, size_t capacity, unsigned bytesPerSecond,
                         std::unique_ptr<RecordTarget> target, const std::atomic<bool>* writing)
    : name_(name), bytesPerSecond_(bytesPerSecond), ring_(capacity), target_(std::move(target)), writing_(writing) {}

void RecordQueue::copyIn(uint64_t at, const void* data, size_t size) {
  size_t pos = (size_t)(at % ring_.size());
  size_t first = ring_.size() - pos < size ? ring_.size() - pos : size;
  memcpy(&ring_[pos], data, first);
  memcpy(&ring_[0], static_cast<const uint8_t*>(data) + first, size - first);
}

void RecordQueue::copyOut(uint64_t at, void* data, size_t size) const {
  size_t pos = (size_t)(at % ring_.size());
  size_t first = ring_.size() - pos < size ? ring_.size() - pos : size;
  memcpy(data, &ring_[pos], first);
  memcpy(static_cast<uint8_t*>(data) + first, &ring_[0], size - first);
}

bool RecordQueue::tryPut(uint64_t header, const void* data, size_t size) {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  const uint64_t head = head_.load(std::memory_order_acquire);
  if (ring_.size() - (tail - head) < kHeader + size) return false;
  copyIn(tail, &header, kHeader);
  if (size) copyIn(tail + kHeader, data, size);
  tail_.store(tail + kHeader + size, std::memory_order_release);
  return true;
}

void RecordQueue::put(const void* data, size_t size) {
  if (size == 0) return;
  // Silence still owed comes first: the WAV record's time line stays whole.
  if (silenceOwed_ && tryPut(kSilence | silenceOwed_, nullptr, 0)) silenceOwed_ = 0;
  if (!silenceOwed_ && tryPut(size, data, size)) return;
  lost_.fetch_add(size, std::memory_order_relaxed);
  if (bytesPerSecond_) silenceOwed_ += size;
}

void RecordQueue::putSilence(uint64_t bytes) {
  if (bytes == 0) return;
  uint64_t total = silenceOwed_ + bytes;
  silenceOwed_ = tryPut(kSilence | total, nullptr, 0) ? 0 : total;
}

void RecordQueue::putWaiting(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const size_t piece = ring_.size() / 2 - kHeader;
  while (size) {
    size_t n = size < piece ? size : piece;
    for (;;) {
      if (silenceOwed_ && tryPut(kSilence | silenceOwed_, nullptr, 0)) silenceOwed_ = 0;
      if (!silenceOwed_ && tryPut(n, p, n)) break;
      // Nobody takes from the queue: it would wait for ever.
      if (!writing_->load(std::memory_order_acquire)) {
        put(p, size);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    p += n;
    size -= n;
  }
}

std::string RecordQueue::lossNote() const {
  uint64_t lost = lostBytes();
  if (!lost) return "";
  char line[256];
  if (bytesPerSecond_)
    snprintf(line, sizeof line,
             "the record %s could not keep %.3f s of sound (%llu bytes, kept as silence): writing it fell behind",
             name_.c_str(), (double)lost / bytesPerSecond_, (unsigned long long)lost);
  else
    snprintf(line, sizeof line, "the record %s left out %llu bytes: writing it fell behind", name_.c_str(),
             (unsigned long long)lost);
  return line;
}

bool RecordQueue::drain(std::vector<uint8_t>& scratch) {
  uint64_t head = head_.load(std::memory_order_relaxed);
  const uint64_t tail = tail_.load(std::memory_order_acquire);
  if (head == tail) return false;
  scratch.clear();
  // The queue's room is given back before each write, so that the producer
  // does not wait for the disk either.
  auto writeOut = [&] {
    head_.store(head, std::memory_order_release);
    if (!scratch.empty()) target_->write(scratch.data(), scratch.size());
    scratch.clear();
  };
  while (head != tail) {
    uint64_t header;
    copyOut(head, &header, kHeader);
    head += kHeader;
    uint64_t size = header & ~kSilence;
    if (header & kSilence) {
      while (size) {
        size_t n = size < kZeroPiece ? (size_t)size : kZeroPiece;
        scratch.resize(scratch.size() + n, 0);
        size -= n;
        if (scratch.size() >= kMostAtOnce) writeOut();
      }
    } else {
      size_t at = scratch.size();
      scratch.resize(at + (size_t)size);
      copyOut(head, &scratch[at], (size_t)size);
      head += size;
      if (scratch.size() >= kMostAtOnce) writeOut();
    }
  }
  writeOut();
  target_->flush();
  written_.store(head, std::memory_order_release);
  return true;
}

void RecordQueue::finish(std::vector<uint8_t>& scratch) {
  if (!target_) return;
  drain(scratch);
  // Silence that never found room, so that the record ends where the sound did.
  if (silenceOwed_ && tryPut(kSilence | silenceOwed_, nullptr, 0)) silenceOwed_ = 0;
  drain(scratch);
  std::vector<uint8_t> zeros(kZeroPiece, 0);
  for (; silenceOwed_; silenceOwed_ -= silenceOwed_ < kZeroPiece ? silenceOwed_ : kZeroPiece)
    target_->write(zeros.data(), silenceOwed_ < kZeroPiece ? (size_t)silenceOwed_ : kZeroPiece);
  target_.reset();
}

RecordQueue* RecordWriter::add(const std::string& name, size_t capacity, std::unique_ptr<RecordTarget> target,
                               unsigned bytesPerSecond) {
  if (!target) return nullptr;
  queues_.emplace_back(new RecordQueue(name, capacity, bytesPerSecond, std::move(target), &writing_));
  return queues_.back().get();
}

std::vector<RecordQueue*> RecordWriter::queues() const {
  std::vector<RecordQueue*> all;
  for (const auto& q : queues_) all.push_back(q.get());
  return all;
}

void RecordWriter::every(unsigned ms, std::function<void()> job) { jobs_.push_back({ms, std::move(job), 0}); }

DWORD WINAPI RecordWriter::thunk(LPVOID self) {
  static_cast<RecordWriter*>(self)->run();
  return 0;
}

void RecordWriter::start() {
  if (thread_) return;
  writing_.store(true, std::memory_order_release);
  thread_ = CreateThread(nullptr, 0, &RecordWriter::thunk, this, 0, nullptr);
  if (!thread_) {
    writing_.store(false, std::memory_order_release);
    return;
  }
  // Below the machine's ordinary work: the records wait, the sound does not.
  SetThreadPriority(thread_, THREAD_PRIORITY_LOWEST);
}

// A thread that keeps no time waits for the writer: the writer runs at that
// thread's priority meanwhile, so that a busy machine does not keep it waiting
// for long (the close command is such a wait).
void RecordWriter::raise(bool up) {
  if (thread_) SetThreadPriority(thread_, up ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_LOWEST);
}

bool RecordWriter::drainAll() {
  bool any = false;
  for (auto& q : queues_)
    if (q->target_ && q->drain(scratch_)) any = true;
  return any;
}

void RecordWriter::run() {
  const uint64_t start = nowMs();
  for (Job& job : jobs_) job.dueMs = start + job.ms;
  unsigned lookMs = kBusyLookMs;
  for (;;) {
    bool any = drainAll();
    uint64_t now = nowMs();
    lookMs = any ? kBusyLookMs : (lookMs * 2 < kQuietLookMs ? lookMs * 2 : kQuietLookMs);
    uint64_t next = now + lookMs;
    for (Job& job : jobs_) {
      if (now >= job.dueMs) {
        job.run();
        job.dueMs = now + job.ms;
      }
      if (job.dueMs < next) next = job.dueMs;
    }
    std::unique_lock<std::mutex> hold(lock_);
    roundDone_.notify_all();
    if (wake_.wait_for(hold, std::chrono::milliseconds(next > now ? next - now : 1),
                       [this] { return stop_ || syncWanted_; }) &&
        stop_)
      break;
    syncWanted_ = false;
  }
  drainAll();
  std::lock_guard<std::mutex> hold(lock_);
  roundDone_.notify_all();
}

void RecordWriter::sync() {
  std::vector<uint64_t> tails;
  for (auto& q : queues_) tails.push_back(q->tail_.load(std::memory_order_acquire));
  auto done = [&] {
    for (size_t i = 0; i < queues_.size(); ++i)
      if (queues_[i]->target_ && queues_[i]->written_.load(std::memory_order_acquire) < tails[i]) return false;
    return true;
  };
  if (!thread_) return;
  raise(true);
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (!stop_) {
      syncWanted_ = true;
      wake_.notify_one();
      roundDone_.wait(hold, [&] { return done() || stop_; });
    }
  }
  raise(false);
}

void RecordWriter::stop() {
  if (thread_) {
    raise(true);
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_one();
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  writing_.store(false, std::memory_order_release);
  for (auto& q : queues_) {
    if (!q->target_) continue;
    q->finish(scratch_);
    std::string note = q->lossNote();
    if (!note.empty()) hostSay("%s", note.c_str());
  }
}
