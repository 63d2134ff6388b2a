#include "host/renderer.h"

#include <string.h>

#include <chrono>

#include "kvplatform.h"

namespace {

// Messages waiting for the render thread at most; a flood beyond what the
// synthesizer can take loses the excess rather than holding up the ring.
const size_t kMostPending = 65536;
// After this long without sound or messages the thread sleeps until a message.
const unsigned kQuietMs = 500;
// The share of a block's time that messages may take to apply.
const int64_t kMessageSharePercent = 25;
// How long a silence the record keeps at most: an idle host does not fill
// the disk.
const unsigned kLongestRecordedSilenceMs = 5000;

}  // namespace

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MidiRenderer::MidiRenderer(const HostSettings& settings)
    : settings_(settings), rate_(settings.sampleRate), block_(settings.blockFrames) {}

MidiRenderer::~MidiRenderer() { stop(); }

void MidiRenderer::prepare(std::vector<std::string>* notes) {
  std::string why;
  synth_ = createSynth(settings_, &why);
  if (synth_)
    notes->push_back("synthesizer: " + synth_->description());
  else
    notes->push_back("no synthesizer: " + why + "; the MIDI side keeps its record only");
  AudioFormat format = {rate_, 2, 16};
  if (settings_.soundServer != "none") {
    server_ = openSoundServer(settings_.soundServer, "MIDI synthesizer", format, settings_.latencyMs, &why);
    if (!server_) notes->push_back("no sound server (" + why + "): rendering to the record only");
  } else {
    notes->push_back("no sound server (SoundServer=none): rendering to the record only");
  }
  // Blocks are whole steps of the synthesizer.
  if (synth_) step_ = synth_->step();
  block_ = (block_ + step_ - 1) / step_ * step_;
  buffer_.resize((size_t)block_ * 2);
}

bool MidiRenderer::start(const std::string& recordWav) {
  if (!recordWav.empty()) {
    AudioFormat format = {rate_, 2, 16};
    record_ = openWavRecord(recordWav, format);
    if (!record_) return false;
  }
  startNs_ = steadyNs();
  if (synth_) thread_ = std::thread(&MidiRenderer::run, this);
  return true;
}

void MidiRenderer::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) {
    thread_.join();
    catchUpInSilence();
  }
  if (synth_) synth_->reset();
  server_.reset();
  record_.reset();
}

void MidiRenderer::add(const uint8_t* bytes, size_t size, int64_t atNs) {
  if (!synth_ || size == 0 || size > kLongestSysex) return;
  batch_.emplace_back();
  Event& e = batch_.back();
  e.atNs = atNs;
  e.kind = MESSAGE;
  if (size <= sizeof e.bytes) {
    e.size = (uint8_t)size;
    memcpy(e.bytes, bytes, size);
  } else {
    e.size = 0;
    e.sysex.assign(bytes, bytes + size);
  }
}

void MidiRenderer::addNotesOff(int64_t atNs) {
  if (!synth_) return;
  batch_.emplace_back();
  batch_.back().atNs = atNs;
  batch_.back().kind = NOTES_OFF;
}

void MidiRenderer::submit() {
  if (batch_.empty()) return;
  bool wasIdle;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (Event& e : batch_) {
      if (pending_.size() >= kMostPending) {
        ++dropped_;
        continue;
      }
      pending_.push_back(std::move(e));
    }
    wasIdle = idle_;
  }
  batch_.clear();
  if (wasIdle) wake_.notify_one();
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
  } else if (e.size) {
    synth_->message(e.bytes, e.size);
  } else {
    synth_->message(e.sysex.data(), e.sysex.size());
  }
}

void MidiRenderer::writeSilence(int64_t frames) {
  if (!record_) return;
  std::vector<int16_t> zeros((size_t)block_ * 2, 0);
  for (int64_t left = frames; left > 0; left -= block_) {
    int64_t n = left < block_ ? left : block_;
    record_->write(zeros.data(), (size_t)n * 4);
  }
}

void MidiRenderer::renderBlock(int64_t frame) {
  // Every message whose frame falls before the block's end, in order of arrival.
  due_.clear();
  {
    std::lock_guard<std::mutex> hold(lock_);
    while (!pending_.empty() && frameAt(pending_.front().atNs) < frame) {
      due_.push_back(std::move(pending_.front()));
      pending_.pop_front();
    }
  }
  // A message takes effect at the start of the synthesizer's step in which its
  // frame falls. New notes beyond the block's share of time for messages are
  // not played (a flood no synthesizer keeps up with); everything else is.
  const int64_t budgetNs = (int64_t)block_ * 1000000000 / rate_ * kMessageSharePercent / 100;
  const int64_t began = due_.empty() ? 0 : steadyNs();
  size_t done = 0;
  for (const Event& e : due_) {
    int64_t at = frameAt(e.atNs) + block_ - frame;
    size_t offset = at <= 0 ? 0 : (size_t)at / step_ * step_;
    if (offset > done) {
      synth_->render(&buffer_[done * 2], offset - done);
      done = offset;
    }
    bool noteOn = e.kind == MESSAGE && e.size == 3 && (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0;
    if (noteOn && steadyNs() - began > budgetNs) {
      ++unplayed_;
      continue;
    }
    apply(e);
  }
  if (done < block_) synth_->render(&buffer_[done * 2], block_ - done);
  bool silent = true;
  for (int16_t s : buffer_)
    if (s != 0) {
      silent = false;
      break;
    }
  silentFrames_ = silent ? silentFrames_ + block_ : 0;
  if (server_) server_->write(buffer_.data(), buffer_.size() * 2);
  if (record_) record_->write(buffer_.data(), buffer_.size() * 2);
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

void MidiRenderer::run() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  frame_ = 0;
  int64_t& frame = frame_;
  const int64_t quietFrames = (int64_t)rate_ * kQuietMs / 1000;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (stop_) return;
      if (pending_.empty() && silentFrames_ >= quietFrames && synth_->activeVoices() == 0) {
        // Nothing sounds and nothing is to be done: sleep until a message
        // comes, then carry on from the present.
        idle_ = true;
        wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stop_ || !pending_.empty(); });
        idle_ = false;
        // stop() catches up itself once the thread has ended.
        if (stop_) return;
        hold.unlock();
        catchUpInSilence();
        continue;
      }
    }
    // Block [frame, frame + B) takes the messages that arrived before the
    // moment of `frame`.
    int64_t waitNs = nsOf(frame) - steadyNs();
    if (waitNs > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
    renderBlock(frame);
    frame += block_;
  }
}
