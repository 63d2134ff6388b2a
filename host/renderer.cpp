#include "host/renderer.h"

#include <math.h>
#include <string.h>

#include <chrono>

#include "hostlink/shared.h"
#include "kvplatform.h"

namespace {

// The most one look at the ring can add to the queue: a message for every
// byte, and system-exclusive bytes for every byte and a buffer begun before
// (a buffer that does not fit before the queue's end starts again at its
// start, leaving at most that much unused).
const size_t kMostEventsPerLook = MIDI_RING_SIZE + 1;
const size_t kMostSysexPerLook = MIDI_RING_SIZE + 2 * MidiRenderer::kLongestSysex;
// After this long without sound or messages the thread sleeps until a message.
const unsigned kQuietMs = 500;
// How far behind its clock the render thread may be and still take new notes.
// A single slow call (a large SoundFont loads a preset's samples at its
// program change) stays well within it and loses nothing: the thread catches
// up in a few milliseconds. A synthesizer this far behind cannot keep up with
// the stream, and a note it took now would sound seconds late.
const int64_t kFloodBehindNs = 2000000000;
// How far behind its clock the render thread may be and keep its real-time
// priority: a thread held up once (a write that waited for the disk, a page
// brought in) catches up at once, ahead of the machine's other work; one
// further behind has a synthesizer too slow for its stream.
const int64_t kCriticalBehindNs = 100000000;
// How long a silence the record keeps at most: an idle host does not fill
// the disk.
const unsigned kLongestRecordedSilenceMs = 5000;
// At stop, how long what sounds may ring out at most before it fades, and how
// much silence ends a tail (the reverb's too).
const unsigned kLongestTailMs = 3000;
const unsigned kTailSilenceMs = 50;
// A write the sound server held this long is said in the record.
const int64_t kHeldWriteNs = 100000000;
// The limiter: the level above which the gain comes down (about -2 dBFS), how
// fast it comes down and goes back up, and the highest sample it lets through,
// just below full scale.
const float kLimitFrom = 0.8f;
const double kLimitAttackMs = 1;
const double kLimitReleaseMs = 200;
const float kLimitCeiling = 32766.0f / 32767.0f;

bool isNoteOn(const uint8_t* b, size_t size) { return size == 3 && (b[0] & 0xF0) == 0x90 && b[2] != 0; }

}  // namespace

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MidiRenderer::MidiRenderer(const HostSettings& settings)
    : settings_(settings),
      rate_(settings.sampleRate),
      block_(settings.blockFrames),
      events_(kQueueEvents),
      sysex_(kQueueSysex) {}

MidiRenderer::~MidiRenderer() { stop(); }

void MidiRenderer::prepare(std::vector<std::string>* notes, std::vector<std::string>* details) {
  std::string why;
  SynthOrigin origin;
  synth_ = createSynth(settings_, &why, &origin);
  // A library of the other bitness passed over is said; where the library and
  // the SoundFont were found is for the record.
  notes->insert(notes->end(), origin.passedOver.begin(), origin.passedOver.end());
  details->insert(details->end(), origin.found.begin(), origin.found.end());
  if (synth_)
    notes->push_back("synthesizer: " + synth_->description());
  else
    notes->push_back("no synthesizer: " + why + "; the MIDI side keeps its record only");
  AudioFormat format = {rate_, 2, 16};
  if (settings_.soundServer != "none") {
    why.clear();
    server_ = openSoundServer(settings_.soundServer, settings_.outputDevice, "MIDI synthesizer", format,
                              settings_.latencyMs, settings_.keepDeviceMs, &why);
    if (!server_)
      notes->push_back("no sound server (" + why + "): rendering to the record only");
    else if (!why.empty())
      notes->push_back(why);
    if (server_ && !server_->description().empty()) notes->push_back("sound output: " + server_->description());
  } else {
    notes->push_back("no sound server (SoundServer=none): rendering to the record only");
  }
  // Blocks are whole steps of the synthesizer.
  if (synth_) step_ = synth_->step();
  block_ = (block_ + step_ - 1) / step_ * step_;
  mix_.resize((size_t)block_ * 2);
  buffer_.resize((size_t)block_ * 2);
  limiterAttack_ = (float)(1 - exp(-1000.0 / (kLimitAttackMs * rate_)));
  limiterRelease_ = (float)(1 - exp(-1000.0 / (kLimitReleaseMs * rate_)));
}

void MidiRenderer::start(RecordQueue* recordWav) {
  record_ = recordWav;
  startNs_ = steadyNs();
  if (synth_) thread_ = std::thread(&MidiRenderer::run, this);
}

void MidiRenderer::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!stop_) tailEnd_ = frameAt(steadyNs()) + (int64_t)rate_ * kLongestTailMs / 1000;
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) {
    thread_.join();
    catchUpInSilence();
  }
  if (synth_) synth_->reset();
  server_.reset();
  record_ = nullptr;
}

bool MidiRenderer::hasRoom() const {
  if (!synth_) return true;
  uint64_t events = added_ - head_.load(std::memory_order_acquire);
  uint32_t sysex = sysexTail_ - sysexHead_.load(std::memory_order_acquire);
  return events + 2 * kMostEventsPerLook <= kQueueEvents && sysex + 2 * kMostSysexPerLook <= kQueueSysex;
}

MidiRenderer::Event* MidiRenderer::nextSlot(size_t sysexSize) {
  uint64_t events = added_ - head_.load(std::memory_order_acquire);
  size_t at = sysexTail_ % kQueueSysex;
  size_t skip = at + sysexSize > kQueueSysex ? kQueueSysex - at : 0;
  uint32_t sysex = sysexTail_ - sysexHead_.load(std::memory_order_acquire);
  if (events >= kQueueEvents || sysex + skip + sysexSize > kQueueSysex) {
    ++overflowed_;
    return nullptr;
  }
  sysexTail_ += (uint32_t)(skip + sysexSize);
  Event* e = &events_[added_++ % kQueueEvents];
  e->sysexEnd = sysexTail_;
  e->sysexSize = (uint16_t)sysexSize;
  return e;
}

void MidiRenderer::add(const uint8_t* bytes, size_t size, int64_t atNs) {
  if (!synth_ || size == 0 || size > kLongestSysex) return;
  bool inBytes = size <= sizeof(Event::bytes);
  Event* e = nextSlot(inBytes ? 0 : size);
  if (!e) return;
  e->atNs = atNs;
  e->kind = MESSAGE;
  e->size = (uint8_t)(inBytes ? size : 0);
  if (inBytes)
    memcpy(e->bytes, bytes, size);
  else
    memcpy(&sysex_[(e->sysexEnd - size) % kQueueSysex], bytes, size);
}

void MidiRenderer::addNotesOff(int64_t atNs) {
  if (!synth_) return;
  Event* e = nextSlot(0);
  if (!e) return;
  e->atNs = atNs;
  e->kind = NOTES_OFF;
  e->size = 0;
}

// A render thread that waits for a message is woken under the lock, so that
// the wake cannot fall between its look at the queue and its wait: it marks
// itself idle before it looks, and the tail is stored before idle_ is read.
void MidiRenderer::submit() {
  if (tail_.load(std::memory_order_relaxed) == added_) return;
  tail_.store(added_, std::memory_order_seq_cst);
  if (idle_.load(std::memory_order_seq_cst)) {
    { std::lock_guard<std::mutex> hold(lock_); }
    wake_.notify_one();
  }
}

std::vector<std::string> MidiRenderer::takeNotes() {
  std::vector<std::string> notes;
  {
    std::lock_guard<std::mutex> hold(lock_);
    notes.swap(notes_);
  }
  if (server_)
    for (std::string& line : server_->takeNotes()) notes.push_back(std::move(line));
  return notes;
}

void MidiRenderer::say(const std::string& line) {
  std::lock_guard<std::mutex> hold(lock_);
  notes_.push_back(line);
}

int64_t MidiRenderer::frameAt(int64_t ns) const {
  int64_t d = ns - startNs_;
  int64_t whole = d >= 0 ? d / 1000000000 : -((-d + 999999999) / 1000000000);
  return whole * rate_ + (d - whole * 1000000000) * rate_ / 1000000000;
}

int64_t MidiRenderer::nsOf(int64_t frame) const {
  return startNs_ + frame / rate_ * 1000000000 + frame % rate_ * 1000000000 / rate_;
}

void MidiRenderer::apply(const Event& e) {
  if (e.kind == NOTES_OFF) {
    synth_->notesOff();
    return;
  }
  const uint8_t* bytes = e.sysexSize ? &sysex_[(e.sysexEnd - e.sysexSize) % kQueueSysex] : e.bytes;
  size_t size = e.sysexSize ? e.sysexSize : e.size;
  unsigned kind = bytes[0] < 0xF0 ? bytes[0] & 0xF0u : bytes[0];
  if (settings_.slowMessageUs && kind == settings_.slowStatus)
    std::this_thread::sleep_for(std::chrono::microseconds(settings_.slowMessageUs));
  synth_->message(bytes, size);
  if (isNoteOn(bytes, size)) ++notesPlayed_;
}

// One entry of the record's queue, however long: the writer thread writes it.
void MidiRenderer::writeSilence(int64_t frames) {
  if (record_ && frames > 0) record_->putSilence((uint64_t)frames * 4);
}

void MidiRenderer::renderBlock(int64_t frame, bool fadeOut) {
  // Every message whose frame falls before the block's end, in order of
  // arrival, applied where it lies in the queue. A message takes effect at the
  // start of the synthesizer's step in which its frame falls. New notes are
  // not played while the thread is far behind its clock (a flood no
  // synthesizer keeps up with); everything else is.
  const uint64_t tail = tail_.load(std::memory_order_acquire);
  uint64_t head = head_.load(std::memory_order_relaxed);
  const uint64_t first = head;
  uint32_t sysexEnd = 0;
  size_t done = 0;
  for (; head != tail; ++head) {
    const Event& e = events_[head % kQueueEvents];
    if (frameAt(e.atNs) >= frame) break;
    sysexEnd = e.sysexEnd;
    int64_t at = frameAt(e.atNs) + block_ - frame;
    size_t offset = at <= 0 ? 0 : (size_t)at / step_ * step_;
    if (offset > done) {
      synth_->render(&mix_[done * 2], offset - done);
      done = offset;
    }
    if (e.kind == MESSAGE && !e.sysexSize && isNoteOn(e.bytes, e.size) && steadyNs() - nsOf(frame) > kFloodBehindNs) {
      ++unplayed_;
      continue;
    }
    apply(e);
  }
  if (head != first) {
    sysexHead_.store(sysexEnd, std::memory_order_release);
    head_.store(head, std::memory_order_release);
    handled_.fetch_add(head - first, std::memory_order_relaxed);
  }
  if (done < block_) synth_->render(&mix_[done * 2], block_ - done);
  limit();
  if (fadeOut)
    for (size_t i = 0; i < block_; ++i) {
      int gain = (int)(block_ - 1 - i);
      buffer_[2 * i] = (int16_t)(buffer_[2 * i] * gain / (int)block_);
      buffer_[2 * i + 1] = (int16_t)(buffer_[2 * i + 1] * gain / (int)block_);
    }
  bool silent = true;
  for (int16_t s : buffer_)
    if (s != 0) {
      silent = false;
      break;
    }
  silentFrames_ = silent ? silentFrames_ + block_ : 0;
  toServer(frame);
  if (record_) record_->put(buffer_.data(), buffer_.size() * 2);
}

// The gain follows the louder channel: it comes down within a millisecond to
// where that channel stays at the threshold, and goes back up over a fifth of
// a second, so that a chord of many notes is turned down for a moment rather
// than cut. Above the threshold the samples the gain has not caught yet are
// bent towards the ceiling, which they approach and never reach.
void MidiRenderer::limit() {
  const float knee = kLimitCeiling - kLimitFrom;
  float gain = limiterGain_;
  for (size_t i = 0; i < buffer_.size(); i += 2) {
    float l = mix_[i], r = mix_[i + 1];
    float loudest = fabsf(l) > fabsf(r) ? fabsf(l) : fabsf(r);
    float wanted = loudest > kLimitFrom ? kLimitFrom / loudest : 1.0f;
    gain += (wanted - gain) * (wanted < gain ? limiterAttack_ : limiterRelease_);
    if (gain > 0.99999f) gain = 1;  // back: the samples pass untouched again
    for (int c = 0; c < 2; ++c) {
      float v = mix_[i + c] * gain;
      float a = fabsf(v);
      if (a > kLimitFrom) v = copysignf(kLimitFrom + knee * tanhf((a - kLimitFrom) / knee), v);
      buffer_[i + c] = (int16_t)lrintf(v * 32767.0f);
    }
  }
  limiterGain_ = gain;
}

// A block that would reach the server later than its buffering is left out of
// its stream: sent anyway, it would hold every later block back by as much,
// for the rest of the stream.
void MidiRenderer::toServer(int64_t frame) {
  if (!server_) return;
  const int64_t latencyNs = (int64_t)settings_.latencyMs * 1000000;
  if (steadyNs() > nsOf(frame + block_) + latencyNs) {
    serverSkipped_ += block_;
    return;
  }
  if (serverSkipped_) {
    say("caught up with the clock: " + std::to_string(serverSkipped_ * 1000 / rate_) +
        " ms of sound left out of the sound server's stream");
    serverSkipped_ = 0;
  }
  const int64_t began = steadyNs();
  if (!serverStalled_ && settings_.serverStallMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.serverStallMs));
  serverStalled_ = true;
  server_->write(buffer_.data(), buffer_.size() * 2);
  const int64_t held = steadyNs() - began;
  if (held >= kHeldWriteNs) say("the sound server held a block for " + std::to_string(held / 1000000) + " ms");
}

// The record keeps the silence of an idle stretch (up to a limit) and the
// stream carries on from the present.
void MidiRenderer::catchUpInSilence() {
  int64_t now = frameAt(steadyNs()) / step_ * step_;
  if (now <= frame_) return;
  int64_t keep = (int64_t)rate_ * kLongestRecordedSilenceMs / 1000;
  writeSilence(now - frame_ < keep ? now - frame_ : keep);
  frame_ = now;
}

bool MidiRenderer::queueEmpty() const {
  return head_.load(std::memory_order_relaxed) == tail_.load(std::memory_order_seq_cst);
}

bool MidiRenderer::doneDraining(int64_t quietFrames) {
  if (!stop_ || !queueEmpty()) return false;
  const int64_t tailSilence = (int64_t)rate_ * kTailSilenceMs / 1000;
  bool rungOut = silentFrames_ >= tailSilence && synth_->activeVoices() == 0;
  return rungOut || silentFrames_ >= quietFrames;
}

void MidiRenderer::run() {
  // On time, or a little behind, the thread runs ahead of the machine's
  // other work, at the consumer's priority: a thread of the same real-time
  // priority does not take the core from the other. A thread far behind its
  // clock runs at the machine's ordinary high priority, so that a synthesizer
  // too slow for its stream cannot keep the consumer from the ring, nor the
  // machine from its work.
  bool critical = false;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  const int64_t blockNs = nsOf(block_) - nsOf(0);
  frame_ = 0;
  int64_t& frame = frame_;
  const int64_t quietFrames = (int64_t)rate_ * kQuietMs / 1000;
  bool notesEnded = false;
  bool afterRest = false;  // the next block is the first after a rest that a message ended
  bool finishing = false;
  for (bool faded = false;;) {
    bool stopping, drained, lastBlock;
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (faded || doneDraining(quietFrames)) return;
      if (!stop_ && queueEmpty() && silentFrames_ >= quietFrames && synth_->activeVoices() == 0) {
        // Nothing sounds and nothing is to be done: sleep until a message
        // comes, then carry on from the present.
        idle_.store(true, std::memory_order_seq_cst);
        wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stop_ || !queueEmpty(); });
        idle_.store(false, std::memory_order_relaxed);
        // stop() catches up itself once the thread has ended.
        if (stop_ && queueEmpty()) return;
        afterRest = !queueEmpty();
        hold.unlock();
        // A sound output that gave its device back takes it now, before the
        // stream's clock carries on: the message waits for it, whole.
        if (server_) server_->resume();
        catchUpInSilence();
        continue;
      }
      stopping = stop_;
      drained = stop_ && queueEmpty();
      lastBlock = drained && frame + block_ >= tailEnd_;
    }
    // Once stopping, the rest is rendered at once: the sound output paces it.
    if (stopping && !finishing) {
      finishing = true;
      if (server_) server_->finishing();
    }
    // The client has gone: once its last message is applied, what it left
    // sounding ends with its release, as at a note-off.
    if (drained && !notesEnded) {
      synth_->notesOff();
      notesEnded = true;
    }
    // Block [frame, frame + B) takes the messages that arrived before the
    // moment of `frame`. At stop every message has arrived: the rest is
    // rendered at once (a sound server paces it by its buffer).
    int64_t waitNs = nsOf(frame) - steadyNs();
    if ((waitNs > -kCriticalBehindNs) != critical) {
      critical = !critical;
      SetThreadPriority(GetCurrentThread(), critical ? THREAD_PRIORITY_TIME_CRITICAL : THREAD_PRIORITY_HIGHEST);
    }
    if (waitNs > 0 && !stopping) std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
    if (!stopping) {
      ++blocks_;
      if (-waitNs > blockNs) ++lateBlocks_;
      if (-waitNs > latestNs_) latestNs_ = -waitNs;
    }
    // Also once the close has come: the block the rest's message is in.
    if (afterRest) {
      ++rests_;
      if (-waitNs > latestAfterRestNs_) latestAfterRestNs_ = -waitNs;
      afterRest = false;
    }
    renderBlock(frame, lastBlock);
    frame += block_;
    faded = lastBlock;
  }
}
