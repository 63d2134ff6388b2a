#include "host/midiserver.h"

#include <stdlib.h>

#include "host/audio.h"
#include "host/hold.h"
#include "host/say.h"
#include "hostlink/protocol.h"
#include "kvplatform.h"

namespace {

// The owner mutex of the MIDI channel (its name in the module's shared block,
// in the namespace every session shares): the opening client holds it while
// the channel is open.
const DWORD kOwnerCheckMs = 250;

// How the consumer waits for bytes. While the client plays it looks often
// enough that the time a message is taken is its arrival time within a
// fraction of a millisecond; it never spins or yields to look again sooner
// (a writer that found the ring full sleeps a millisecond anyway). The driver
// gives no sign of new bytes, so a quiet channel is still looked at every
// millisecond through the rests of a piece, so that the first note after one
// is as prompt as the others; only a channel that has stayed quiet for long is
// looked at seldom, which is most of what an idle host costs (each look wakes
// the thread).
const DWORD kPlayingMs = 2000;
const auto kPlayingWait = std::chrono::microseconds(500);
const DWORD kRestMs = 30000;
const auto kRestWait = std::chrono::milliseconds(1);
const auto kIdleWait = std::chrono::milliseconds(5);

// What each record's queue holds at most, waiting for the writer thread: the
// bytes of a ring full many times over, the lines of a flood for a second, a
// few seconds of sound. A disk that stalls longer than that loses record data,
// never a message or a sample of the sound.
const size_t kRawQueueBytes = 256 * 1024;
const size_t kTextQueueBytes = 1024 * 1024;
const size_t kWavQueueBytes = 1024 * 1024;

}  // namespace

void MidiRecorder::open(RecordWriter* writer, const std::string& name) {
  raw_ = writer->add(name + ".RAW", kRawQueueBytes, recordFileTarget(name + ".RAW"));
  text_ = writer->add(name + ".TXT", kTextQueueBytes, recordFileTarget(name + ".TXT"));
}

void MidiRecorder::note(const std::string& line, bool wait) {
  if (!text_) return;
  if (wait)
    text_->putWaiting("# " + line + "\n");
  else
    text_->put("# " + line + "\n");
}

void MidiRecorder::noteLosses(const std::vector<RecordQueue*>& queues) {
  for (RecordQueue* q : queues) {
    std::string line = q->lossNote();
    if (!line.empty()) note(line, true);
  }
}

void MidiRecorder::raw(const uint8_t* bytes, size_t size) {
  if (raw_) raw_->put(bytes, size);
}

void MidiRecorder::message(const MidiMessage& m, double ms) {
  if (!text_) return;
  // Made in place, as every message comes by here.
  char line[160];
  int n = snprintf(line, sizeof line, "%12.3f ms  %-16s", ms, midiMessageName(m));
  if (m.kind == MidiMessage::CHANNEL) n += snprintf(line + n, sizeof line - n, " ch%-2u", (m.bytes[0] & 0x0F) + 1u);
  if (m.kind == MidiMessage::SYSEX) n += snprintf(line + n, sizeof line - n, " %zu bytes", m.size);
  n += snprintf(line + n, sizeof line - n, "  ");
  static const char hex[] = "0123456789ABCDEF";
  size_t shown = m.size > 16 ? 16 : m.size;
  for (size_t i = 0; i < shown; ++i) {
    line[n++] = ' ';
    line[n++] = hex[m.bytes[i] >> 4];
    line[n++] = hex[m.bytes[i] & 0x0F];
  }
  if (shown < m.size) n += snprintf(line + n, sizeof line - n, " ...");
  line[n++] = '\n';
  text_->put(line, (size_t)n);
}

MidiServer::MidiServer(MidiChannel* channel, const HostSettings& settings, DWORD hwndSelf,
                       std::function<void()> onEnded)
    : channel_(channel),
      settings_(settings),
      hwndSelf_(hwndSelf),
      onEnded_(std::move(onEnded)),
      renderer_(settings),
      parser_([this](const MidiMessage& m) {
        recorder_.message(m, (double)(takenNs_ - renderer_.startNs()) / 1e6);
        // Complete messages sound; a buffer cut short and the other system
        // messages (but the reset) are for the record only.
        bool complete = m.kind == MidiMessage::CHANNEL ||
                        (m.kind == MidiMessage::SYSEX && m.bytes[m.size - 1] == 0xF7) ||
                        (m.kind == MidiMessage::REALTIME && m.bytes[0] == 0xFF);
        if (complete) renderer_.add(m.bytes, m.size, takenNs_);
      }) {
  closeTaken_.reserve(MIDI_RING_SIZE);
}

MidiServer::~MidiServer() {
  close();
  join();
}

void MidiServer::prepare() {
  renderer_.prepare(&notes_, &details_);
  for (const std::string& n : notes_) hostSay("%s", n.c_str());
}

void MidiServer::open() {
  RecordQueue* wav = nullptr;
  if (!settings_.midiRecord.empty()) {
    const std::string& name = settings_.midiRecord;
    recorder_.open(&writer_, name);
    // The WAV record's writer says itself why it cannot be opened; the stream
    // starts without it.
    const AudioFormat format = {renderer_.sampleRate(), 2, 16};
    std::unique_ptr<AudioSink> sink = openWavRecord(name + ".WAV", format);
    if (sink) wav = writer_.add(name + ".WAV", kWavQueueBytes, audioSinkTarget(std::move(sink)), format.rate * 4);
  }
  writer_.every(kOwnerCheckMs, [this] { watchOwner(); });
  writer_.start();
  renderer_.start(wav);
  for (const std::string& n : settings_.said) recorder_.note(n, true);
  for (const std::string& n : notes_) recorder_.note(n, true);
  for (const std::string& n : details_) recorder_.note(n, true);
  char line[160];
  snprintf(line, sizeof line, "stream start %lld ns (steady clock), %u Hz, blocks of %u frames",
           (long long)renderer_.startNs(), renderer_.sampleRate(), renderer_.blockFrames());
  recorder_.note(line, true);
}

void MidiServer::start() { thread_ = std::thread(&MidiServer::run, this); }

BOOL MidiServer::close() {
  {
    std::lock_guard<std::mutex> lock(ringLock_);
    if (end_ != SERVING) return FALSE;
    // Whatever the driver counted before the command still reaches the back
    // end, but it is taken now: once the command returns, the next open may
    // clear the block, and from then on the ring is another session's.
    if (checkChannel() == SERVING) {
      takeFromRing(MIDI_RING_SIZE, closeTaken_);
      hostHoldPoint("KVHOST.closing");
      channel_->dwStatus = CHANNEL_IDLE;
    }
    end_ = CLOSED;
  }
  // The consumer hands over what it took before, then the close's bytes, and
  // they are in the records when the command returns. The sound rings out
  // after it has returned (join).
  if (thread_.joinable()) thread_.join();
  writer_.sync();
  return TRUE;
}

void MidiServer::join() {
  if (thread_.joinable()) thread_.join();
  renderer_.stop();
  if (!stopNoted_) {
    stopNoted_ = true;
    noteRenderer(true);
    recorder_.note(std::to_string(renderer_.notesPlayed()) + " note-ons played", true);
    char line[160];
    snprintf(line, sizeof line, "%llu blocks rendered, %llu of them more than a block late, the latest %.3f ms late",
             renderer_.blocksRendered(), renderer_.blocksLate(), (double)renderer_.latestNs() / 1e6);
    recorder_.note(line, true);
    if (renderer_.rests()) {
      snprintf(line, sizeof line, "%llu rests ended by a message, the first block after one at most %.3f ms late",
               renderer_.rests(), (double)renderer_.latestAfterRestNs() / 1e6);
      recorder_.note(line, true);
    }
    if (renderer_.dropped())
      recorder_.note(std::to_string(renderer_.dropped()) + " messages not played: the synthesizer fell behind", true);
    // Nothing that keeps time writes to the records any more: what they could
    // not keep is final.
    recorder_.noteLosses(writer_.queues());
  }
  writer_.stop();
}

void MidiServer::noteRenderer(bool wait) {
  for (const std::string& line : renderer_.takeNotes()) recorder_.note(line, wait);
}

MidiServer::End MidiServer::checkChannel() const {
  if (channel_->hwndHost != hwndSelf_) return TAKEN;
  DWORD dwStatus = channel_->dwStatus;
  if (dwStatus != CHANNEL_ACCEPTED && dwStatus != CHANNEL_OPEN) return STATUS_CHANGED;
  // The count is read with a full barrier, so the bytes it counts are visible.
  LONG count = InterlockedCompareExchange(&channel_->dwRingCount, 0, 0);
  DWORD dwSize = channel_->dwRingSize < MIDI_RING_SIZE ? channel_->dwRingSize : MIDI_RING_SIZE;
  if (count < 0 || (DWORD)count > dwSize) return BROKEN;
  return SERVING;
}

void MidiServer::takeFromRing(LONG cbMax, std::vector<uint8_t>& out) {
  LONG count = InterlockedCompareExchange(&channel_->dwRingCount, 0, 0);
  if (count > cbMax) count = cbMax;
  if (count <= 0) return;
  // Every byte counted, in at most two stretches, and the count lowered by all
  // of them in one atomic step.
  size_t first = MIDI_RING_SIZE - readPos_ < (unsigned)count ? MIDI_RING_SIZE - readPos_ : (size_t)count;
  out.insert(out.end(), channel_->abRing + readPos_, channel_->abRing + readPos_ + first);
  out.insert(out.end(), channel_->abRing, channel_->abRing + (count - first));
  readPos_ = (readPos_ + (unsigned)count) % MIDI_RING_SIZE;
  InterlockedExchangeAdd(&channel_->dwRingCount, -count);
}

LONG MidiServer::consumeRing(LONG cbMax) {
  LONG count = InterlockedCompareExchange(&channel_->dwRingCount, 0, 0);
  if (count > cbMax) count = cbMax;
  // A renderer without room for what the ring may hold leaves it there: the
  // writer waits, as for a full ring, and nothing taken is lost.
  if (count <= 0 || !renderer_.hasRoom()) return 0;
  takenNs_ = steadyNs();
  // Every byte counted is parsed where it lies, in at most two stretches, and
  // the count lowered by all of them in one atomic step once they are: the
  // driver's increments in between are kept, and it writes over none of them
  // before.
  size_t first = MIDI_RING_SIZE - readPos_ < (unsigned)count ? MIDI_RING_SIZE - readPos_ : (size_t)count;
  feed(channel_->abRing + readPos_, first);
  feed(channel_->abRing, count - first);
  readPos_ = (readPos_ + (unsigned)count) % MIDI_RING_SIZE;
  InterlockedExchangeAdd(&channel_->dwRingCount, -count);
  return count;
}

void MidiServer::feed(const uint8_t* bytes, size_t size) {
  if (size == 0) return;
  if (!seenByte_ && settings_.crash == HostSettings::CRASH_ON_FIRST_BYTE) std::_Exit(3);
  seenByte_ = true;
  recorder_.raw(bytes, size);
  parser_.feed(bytes, size);
}

void MidiServer::waitForBytes(DWORD sinceLastByteMs) {
  if (sinceLastByteMs < kPlayingMs)
    std::this_thread::sleep_for(kPlayingWait);
  else if (sinceLastByteMs < kRestMs)
    std::this_thread::sleep_for(kRestWait);
  else
    std::this_thread::sleep_for(kIdleWait);
}

// True once the client that opened the channel has gone without closing it:
// the owner mutex can be acquired (abandoned by its thread). It is released at
// once, so that the next open can take the channel over.
bool MidiServer::ownerGone() {
  if (channel_->dwStatus != CHANNEL_OPEN) return false;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, KV_MIDI_OWNER_MUTEX);
  if (!mutex) return false;
  DWORD wait = WaitForSingleObject(mutex, 0);
  bool gone = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  if (gone) {
    hostHoldPoint("KVHOST.probe");
    ReleaseMutex(mutex);
    hostHoldPoint("KVHOST.probed");
  }
  CloseHandle(mutex);
  return gone;
}

// A client that died leaves no note sounding. The look at the owner mutex
// opens and closes a named object: it is made on the writer thread, and the
// consumer, which hands messages to the renderer, ends the notes.
void MidiServer::watchOwner() {
  if (end_ != SERVING || ownerGone_.load(std::memory_order_relaxed)) return;
  if (ownerGone()) ownerGone_.store(true, std::memory_order_release);
}

void MidiServer::silenceGoneOwner() {
  if (ownerSilenced_ || !ownerGone_.load(std::memory_order_acquire)) return;
  ownerSilenced_ = true;
  recorder_.note("the channel's owner has gone: every note ended");
  renderer_.addNotesOff(steadyNs());
  renderer_.submit();
}

void MidiServer::run() {
  // The time a message is taken is the time it sounds: the consumer runs
  // ahead of the machine's ordinary work, at the render thread's priority
  // while that is on time, so that neither takes the other's core from it;
  // it looks at most every kPlayingWait, also while a flood keeps the ring
  // full, so that it never keeps a core to itself.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  DWORD lastByteMs = timeGetTime();
  const bool slow = settings_.consume == HostSettings::CONSUME_SLOW;
  for (;;) {
    LONG taken = 0;
    {
      // One lock for each look at the ring: the close command takes what is
      // left once this look is done.
      std::lock_guard<std::mutex> lock(ringLock_);
      if (end_ != SERVING) break;
      End why = checkChannel();
      if (why != SERVING) {
        // A broken count means a writer that does not keep the protocol: the
        // channel is given up as a closed one is. A channel named for another
        // host, or no longer open, is left as it stands.
        if (why == BROKEN) channel_->dwStatus = CHANNEL_IDLE;
        end_ = why;
        break;
      }
      if (settings_.consume != HostSettings::CONSUME_STOPPED) taken = consumeRing(slow ? 1 : MIDI_RING_SIZE);
    }
    if (taken) {
      renderer_.submit();
      if (slow)
        std::this_thread::sleep_for(std::chrono::microseconds(settings_.slowByteUs));
      else
        std::this_thread::sleep_for(kPlayingWait);
      lastByteMs = timeGetTime();
      continue;
    }
    noteRenderer(false);
    silenceGoneOwner();
    waitForBytes(timeGetTime() - lastByteMs);
  }
  // The close command's bytes come after everything taken before it, all at
  // once (the renderer kept room for them); end_ no longer changes, so
  // closeTaken_ is read without the lock.
  takenNs_ = steadyNs();
  feed(closeTaken_.data(), closeTaken_.size());
  renderer_.submit();
  if (end_ != CLOSED && onEnded_) onEnded_();
}
