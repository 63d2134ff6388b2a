#include "host/midiserver.h"

#include <stdlib.h>

#include "kvplatform.h"

namespace {

// The owner mutex of the MIDI channel (its name in the module's shared block):
// the opening client holds it while the channel is open.
const char kOwnerMutex[] = "$_RT_MutexForKVDRVR32-modOpen_$";
const DWORD kOwnerCheckMs = 250;

}  // namespace

MidiRecorder::~MidiRecorder() {
  if (raw_) fclose(raw_);
  if (text_) fclose(text_);
}

bool MidiRecorder::open(const std::string& name) {
  raw_ = fopen((name + ".RAW").c_str(), "wb");
  text_ = fopen((name + ".TXT").c_str(), "w");
  return raw_ && text_;
}

void MidiRecorder::note(const std::string& line) {
  if (text_) fprintf(text_, "# %s\n", line.c_str());
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
    : channel_(channel), settings_(settings), renderer_(settings), parser_([this](const MidiMessage& m) {
        recorder_.message(m, (double)(takenNs_ - renderer_.startNs()) / 1e6);
        bool complete = m.kind == MidiMessage::CHANNEL ||
                        (m.kind == MidiMessage::SYSEX && m.bytes[m.size - 1] == 0xF7) ||
                        (m.kind == MidiMessage::REALTIME && m.bytes[0] == 0xFF);
        if (complete) renderer_.add(m.bytes, m.size, takenNs_);
      }) {}

MidiServer::~MidiServer() { stop(); }

bool MidiServer::start() {
  bool record = !settings_.midiRecord.empty();
  if (record && !recorder_.open(settings_.midiRecord)) return false;
  std::vector<std::string> notes;
  if (!renderer_.start(record ? settings_.midiRecord + ".WAV" : std::string(), &notes)) return false;
  for (const std::string& n : notes) {
    fprintf(stderr, "KVTSK16: %s\n", n.c_str());
    recorder_.note(n);
  }
  char line[160];
  snprintf(line, sizeof line, "stream start %lld ns (steady clock), %u Hz, blocks of %u frames",
           (long long)renderer_.startNs(), renderer_.sampleRate(), settings_.blockFrames);
  recorder_.note(line);
  recorder_.flush();
  thread_ = std::thread(&MidiServer::run, this);
  return true;
}

void MidiServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  renderer_.stop();
  if (renderer_.dropped()) {
    recorder_.note(std::to_string(renderer_.dropped()) + " messages lost: the synthesizer fell behind");
  }
  recorder_.flush();
}

void MidiServer::take(uint8_t b) {
  if (!seenByte_ && settings_.crash == HostSettings::CRASH_ON_FIRST_BYTE) std::_Exit(3);
  seenByte_ = true;
  recorder_.raw(b);
  parser_.feed(b);
}

// True once the client that opened the channel has gone without closing it:
// the owner mutex can be acquired (abandoned by its thread). It is released at
// once, so that the next open can take the channel over.
bool MidiServer::ownerGone() {
  if (channel_->dwStatus != CHANNEL_OPEN) return false;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kOwnerMutex);
  if (!mutex) return false;
  DWORD wait = WaitForSingleObject(mutex, 0);
  bool gone = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  if (gone) ReleaseMutex(mutex);
  CloseHandle(mutex);
  return gone;
}

// A client that died leaves no note sounding.
void MidiServer::watchOwner() {
  DWORD now = timeGetTime();
  if (ownerSilenced_ || now - lastOwnerCheckMs_ < kOwnerCheckMs) return;
  lastOwnerCheckMs_ = now;
  if (!ownerGone()) return;
  ownerSilenced_ = true;
  recorder_.note("the channel's owner has gone: every note ended");
  renderer_.addNotesOff(steadyNs());
  renderer_.submit();
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
      watchOwner();
      // Stay ready for a few milliseconds after the last byte: a writer that
      // found the ring full sleeps a millisecond and must find room when it
      // wakes. Only an idle channel sleeps.
      Sleep(timeGetTime() - lastByteMs < 5 ? 0 : 1);
      continue;
    }
    takenNs_ = steadyNs();
    for (LONG i = 0; i < queued; ++i) {
      uint8_t b = channel_->abRing[readPos_];
      readPos_ = (readPos_ + 1) % MIDI_RING_SIZE;
      InterlockedDecrement(&channel_->dwRingCount);
      take(b);
      if (settings_.consume == HostSettings::CONSUME_SLOW) {
        std::this_thread::sleep_for(std::chrono::microseconds(settings_.slowByteUs));
      }
    }
    renderer_.submit();
    lastByteMs = timeGetTime();
    flushed = false;
  }
}
