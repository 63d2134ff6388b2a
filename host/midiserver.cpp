#include "host/midiserver.h"

#include <stdlib.h>

#include "kvplatform.h"

MidiRecorder::~MidiRecorder() {
  if (raw_) fclose(raw_);
  if (text_) fclose(text_);
}

bool MidiRecorder::open(const std::string& name) {
  raw_ = fopen((name + ".RAW").c_str(), "wb");
  text_ = fopen((name + ".TXT").c_str(), "w");
  return raw_ && text_;
}

void MidiRecorder::raw(uint8_t b) {
  if (raw_) fputc(b, raw_);
}

void MidiRecorder::message(const MidiMessage& m, double ms) {
  if (!text_) return;
  fprintf(text_, "%12.3f ms  %-16s", ms, midiMessageName(m));
  if (m.kind == MidiMessage::CHANNEL) fprintf(text_, " ch%-2u", (m.bytes[0] & 0x0F) + 1u);
  if (m.kind == MidiMessage::SYSEX) fprintf(text_, " %zu bytes", m.size);
  size_t shown = m.size > 16 ? 16 : m.size;
  fputs("  ", text_);
  for (size_t i = 0; i < shown; ++i) fprintf(text_, " %02X", m.bytes[i]);
  if (shown < m.size) fputs(" ...", text_);
  fputc('\n', text_);
}

void MidiRecorder::flush() {
  if (raw_) fflush(raw_);
  if (text_) fflush(text_);
}

BOOL claimMidiChannel(MidiChannel* channel, DWORD hwndSelf) {
  if (channel->dwStatus != CHANNEL_IDLE) return FALSE;
  // The open clears hwndHost before it starts its host: the first host to name
  // itself serves this open; a late host of an earlier open finds it named.
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&channel->hwndHost), (LONG)hwndSelf, 0) == 0;
}

BOOL acceptMidiChannel(MidiChannel* channel, DWORD hwndSelf) {
  InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&channel->dwStatus), (LONG)CHANNEL_ACCEPTED,
                             (LONG)CHANNEL_IDLE);
  // An open that cleared the block after the claim named no host, or another:
  // the answer, if stored, is no answer of this host's.
  if (channel->hwndHost != hwndSelf) return FALSE;
  DWORD dwStatus = channel->dwStatus;
  return dwStatus == CHANNEL_ACCEPTED || dwStatus == CHANNEL_OPEN;
}

MidiServer::MidiServer(MidiChannel* channel, const HostSettings& settings, DWORD hwndSelf,
                       std::function<void()> onEnded)
    : channel_(channel),
      settings_(settings),
      hwndSelf_(hwndSelf),
      onEnded_(std::move(onEnded)),
      parser_([this](const MidiMessage& m) {
        recorder_.message(
            m, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened_).count());
      }) {}

MidiServer::~MidiServer() {
  close();
  join();
}

bool MidiServer::open() {
  if (!settings_.midiRecord.empty() && !recorder_.open(settings_.midiRecord)) return false;
  opened_ = std::chrono::steady_clock::now();
  return true;
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
      channel_->dwStatus = CHANNEL_IDLE;
    }
    end_ = CLOSED;
  }
  // The consumer hands over what it took before, then the close's bytes.
  join();
  return TRUE;
}

void MidiServer::join() {
  if (thread_.joinable()) thread_.join();
  recorder_.flush();
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
  for (LONG i = 0; i < count; ++i) {
    out.push_back(channel_->abRing[readPos_]);
    readPos_ = (readPos_ + 1) % MIDI_RING_SIZE;
    InterlockedDecrement(&channel_->dwRingCount);
  }
}

void MidiServer::feed(const std::vector<uint8_t>& bytes, bool paced) {
  for (uint8_t b : bytes) {
    if (!seenByte_ && settings_.crash == HostSettings::CRASH_ON_FIRST_BYTE) std::_Exit(3);
    seenByte_ = true;
    recorder_.raw(b);
    parser_.feed(b);
    if (paced && settings_.consume == HostSettings::CONSUME_SLOW) {
      std::this_thread::sleep_for(std::chrono::microseconds(settings_.slowByteUs));
    }
  }
}

void MidiServer::run() {
  DWORD lastByteMs = timeGetTime();
  bool flushed = true;
  std::vector<uint8_t> bytes;
  for (;;) {
    bytes.clear();
    {
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
      if (settings_.consume != HostSettings::CONSUME_STOPPED) {
        takeFromRing(settings_.consume == HostSettings::CONSUME_SLOW ? 1 : MIDI_RING_SIZE, bytes);
      }
    }
    if (!bytes.empty()) {
      feed(bytes, true);
      lastByteMs = timeGetTime();
      flushed = false;
      continue;
    }
    if (!flushed) {
      recorder_.flush();
      flushed = true;
    }
    // Stay ready for a few milliseconds after the last byte: a writer that
    // found the ring full sleeps a millisecond and must find room when it
    // wakes. Only an idle channel sleeps.
    Sleep(timeGetTime() - lastByteMs < 5 ? 0 : 1);
  }
  // The close command's bytes come after everything taken before it, all at
  // once; end_ no longer changes, so closeTaken_ is read without the lock.
  feed(closeTaken_, false);
  recorder_.flush();
  if (end_ != CLOSED && onEnded_) onEnded_();
}
