#include "host/waveserver.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "host/recordfile.h"
#include "host/say.h"
#include "kvplatform.h"

namespace {

const unsigned kStepMs = 5;
// What the WAV record's queue holds at most: seconds of sound in any format.
const size_t kWavQueueBytes = 1024 * 1024;
// Written over every stretch the host has played, at fixed places of the ring
// (the byte at index i takes kPlayedMark[i % 4]); a 4-byte group that still
// holds it when it is due again was not refilled by the driver in time, and
// sounds as silence rather than as the mark.
const BYTE kPlayedMark[4] = {0x5A, 0xA5, 0xC3, 0x3C};

bool holdsPlayedMark(const BYTE* ring, DWORD pos) {
  DWORD group = pos & ~(DWORD)(sizeof kPlayedMark - 1);
  for (DWORD i = 0; i < sizeof kPlayedMark; ++i)
    if (ring[group + i] != kPlayedMark[i]) return false;
  return true;
}

int scaled(int sample, unsigned gain) { return (int)(((long long)sample * gain) / 0xFFFF); }

}  // namespace

WaveServer::WaveServer(WaveChannel* channel, const HostSettings& settings, DWORD hwndSelf,
                       std::function<void()> onEnded)
    : channel_(channel), settings_(settings), hwndSelf_(hwndSelf), onEnded_(std::move(onEnded)) {
  memcpy(&format_, &channel->wfFormat, sizeof format_);
}

WaveServer::~WaveServer() { stop(); }

bool WaveServer::start(std::vector<std::string>* notes) {
  // The driver writes only formats it supports, but the block may have been
  // cleared or taken over between this host's claim and now.
  if ((format_.nChannels != 1 && format_.nChannels != 2) ||
      (format_.wBitsPerSample != 8 && format_.wBitsPerSample != 16) || format_.nSamplesPerSec == 0) {
    char text[128];
    snprintf(text, sizeof text, "the channel holds no format it can play (%u Hz, %u channels, %u bits)",
             (unsigned)format_.nSamplesPerSec, (unsigned)format_.nChannels, (unsigned)format_.wBitsPerSample);
    notes->push_back(text);
    return false;
  }
  AudioFormat format = {(unsigned)format_.nSamplesPerSec, format_.nChannels, format_.wBitsPerSample == 16 ? 16u : 8u};
  // The record is a diagnostic: one that cannot be opened (its writer says
  // why) leaves the channel served without it.
  if (!settings_.waveRecord.empty()) {
    std::unique_ptr<AudioSink> sink = openWavRecord(settings_.waveRecord + ".WAV", format);
    if (sink)
      record_ = writer_.add(settings_.waveRecord + ".WAV", kWavQueueBytes, audioSinkTarget(std::move(sink)),
                            format.rate * format.channels * (format.bits / 8));
  }
  if (record_) writer_.start();
  std::string why = "SoundServer=none";
  if (settings_.soundServer != "none") {
    why.clear();
    server_ = openSoundServer(settings_.soundServer, settings_.outputDevice, "wave output", format, settings_.latencyMs,
                              settings_.keepDeviceMs, &why);
  }
  if (!server_)
    notes->push_back("no sound server (" + why + "): playing to the record only");
  else if (!why.empty())
    notes->push_back(why);
  if (server_ && !server_->description().empty()) notes->push_back("sound output: " + server_->description());
  started_ = true;
  thread_ = std::thread(&WaveServer::run, this);
  return true;
}

void WaveServer::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  server_.reset();
  // What the record could not keep is final now: read before the writer goes.
  std::string lost = record_ ? record_->lossNote() : std::string();
  writer_.stop();
  record_ = nullptr;
  // The summary goes with the record, once, also when the WAV could not be
  // kept: what was played and how often the driver fell behind.
  if (started_ && !settings_.waveRecord.empty()) {
    started_ = false;
    char text[256];
    snprintf(text, sizeof text, "frames %llu\nunderruns %llu\nrate %u\nchannels %u\nbits %u\n", framesPlayed_,
             underruns_, (unsigned)format_.nSamplesPerSec, (unsigned)format_.nChannels,
             (unsigned)format_.wBitsPerSample);
    RecordFile summary;
    if (summary.open(settings_.waveRecord + ".TXT")) {
      summary.put(text, strlen(text));
      if (!lost.empty()) summary.put("# " + lost + "\n");
    }
  }
}

// Plays `frames` frames from dwReadPos: volume, file, played mark, new position.
void WaveServer::play(DWORD frames) {
  const DWORD block = format_.nChannels * (format_.wBitsPerSample / 8u);
  const BYTE silence = format_.wBitsPerSample == 16 ? 0x00 : 0x80;
  DWORD pos = channel_->dwReadPos % WAVE_RING_SIZE;
  const DWORD bytes = frames * block;
  // The samples of a whole frame lie in one group of the mark (frames start at
  // whole-frame offsets of a ring whose size is a multiple of four).
  std::vector<BYTE> in(bytes);
  bool behind = false;
  for (DWORD i = 0; i < bytes; ++i) {
    DWORD at = (pos + i) % WAVE_RING_SIZE;
    bool stale = holdsPlayedMark(channel_->abRing, at);
    behind = behind || stale;
    in[i] = stale ? silence : channel_->abRing[at];
  }
  if (behind) ++underruns_;
  std::vector<BYTE> out(bytes);
  DWORD volume = volume_;
  unsigned gains[2] = {volume & 0xFFFF, volume >> 16};
  for (DWORD i = 0; i < bytes; i += block) {
    for (DWORD c = 0; c < format_.nChannels; ++c) {
      unsigned gain = gains[format_.nChannels == 2 ? c : 0];
      if (format_.wBitsPerSample == 16) {
        int16_t s = (int16_t)(in[i + 2 * c] | in[i + 2 * c + 1] << 8);
        int16_t v = (int16_t)scaled(s, gain);
        out[i + 2 * c] = (BYTE)(v & 0xFF);
        out[i + 2 * c + 1] = (BYTE)((uint16_t)v >> 8);
      } else {
        out[i + c] = (BYTE)(scaled((int)in[i + c] - 128, gain) + 128);
      }
    }
  }
  for (DWORD i = 0; i < bytes; ++i) {
    DWORD at = (pos + i) % WAVE_RING_SIZE;
    channel_->abRing[at] = kPlayedMark[at % sizeof kPlayedMark];
  }
  if (record_) record_->put(out.data(), bytes);
  if (server_) server_->write(out.data(), bytes);
  framesPlayed_ += frames;
  channel_->dwReadPos = (pos + bytes) % WAVE_RING_SIZE;
}

void WaveServer::run() {
  using clock = std::chrono::steady_clock;
  // The host stands for the sound hardware: it plays on time, ahead of
  // everything else, or the driver's lead would not be enough.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  // A host told not to consume leaves the read position where it is.
  if (settings_.consume == HostSettings::CONSUME_STOPPED) {
    while (!stop_ && !servedByAnother()) std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    if (!stop_ && onEnded_) onEnded_();
    return;
  }
  auto startTime = clock::now();
  unsigned long long due = 0;
  auto next = startTime;
  while (!stop_) {
    next += std::chrono::milliseconds(kStepMs);
    std::this_thread::sleep_until(next);
    if (servedByAnother()) {
      if (onEnded_) onEnded_();
      return;
    }
    double elapsed = std::chrono::duration<double>(clock::now() - startTime).count();
    unsigned long long shouldHave = (unsigned long long)(elapsed * format_.nSamplesPerSec);
    // A host that was held up does not read more than half the ring at once.
    const unsigned long long maxFrames = (WAVE_RING_SIZE / 2) / (format_.nChannels * (format_.wBitsPerSample / 8u));
    if (shouldHave > due) {
      unsigned long long frames = shouldHave - due < maxFrames ? shouldHave - due : maxFrames;
      play((DWORD)frames);
      due = shouldHave;
    }
    if (server_)
      for (const std::string& line : server_->takeNotes()) hostSay("%s", line.c_str());
  }
}
