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

MidiServer::MidiServer(MidiChannel* channel, const HostSettings& settings)
    : channel_(channel), settings_(settings), parser_([this](const MidiMessage& m) {
        recorder_.message(
            m, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened_).count());
      }) {}

MidiServer::~MidiServer() { stop(); }

bool MidiServer::start() {
  if (!settings_.midiRecord.empty() && !recorder_.open(settings_.midiRecord)) return false;
  opened_ = std::chrono::steady_clock::now();
  thread_ = std::thread(&MidiServer::run, this);
  return true;
}

void MidiServer::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  recorder_.flush();
}

void MidiServer::take(uint8_t b) {
  if (!seenByte_ && settings_.crash == HostSettings::CRASH_ON_FIRST_BYTE) std::_Exit(3);
  seenByte_ = true;
  recorder_.raw(b);
  parser_.feed(b);
}

void MidiServer::run() {
  DWORD lastByteMs = timeGetTime();
  bool flushed = true;
  for (;;) {
    // Bytes the driver counted before the close command still reach the synthesizer.
    bool stopping = stop_;
    // The count is read with a full barrier, so the bytes it counts are visible.
    LONG queued = InterlockedCompareExchange(&channel_->dwRingCount, 0, 0);
    if (queued <= 0 || settings_.consume == HostSettings::CONSUME_STOPPED) {
      if (stopping) return;
      if (!flushed) {
        recorder_.flush();
        flushed = true;
      }
      // Stay ready for a few milliseconds after the last byte: a writer that
      // found the ring full sleeps a millisecond and must find room when it
      // wakes. Only an idle channel sleeps.
      Sleep(timeGetTime() - lastByteMs < 5 ? 0 : 1);
      continue;
    }
    for (LONG i = 0; i < queued; ++i) {
      uint8_t b = channel_->abRing[readPos_];
      readPos_ = (readPos_ + 1) % MIDI_RING_SIZE;
      InterlockedDecrement(&channel_->dwRingCount);
      take(b);
      if (settings_.consume == HostSettings::CONSUME_SLOW) {
        std::this_thread::sleep_for(std::chrono::microseconds(settings_.slowByteUs));
      }
    }
    lastByteMs = timeGetTime();
    flushed = false;
  }
}
