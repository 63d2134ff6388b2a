#include "tools/midifile.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

namespace {

const uint32_t kDefaultTempo = 500000;  // microseconds a quarter note: 120 a minute

uint32_t be32(const unsigned char* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint32_t le32(const unsigned char* p) { return (uint32_t)p[3] << 24 | p[2] << 16 | p[1] << 8 | p[0]; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// Four bytes that can name a chunk: printable ASCII, as every registered
// chunk type is. Used to tell a chunk from event data after a track chunk
// whose length says 0.
bool chunkName(const unsigned char* p) {
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

class Reader {
 public:
  explicit Reader(MidiFile* file) : f_(file) {}

  bool read(const unsigned char* data, size_t size, std::string* reason);

 private:
  struct Tempo {
    int64_t pulse;
    uint32_t usPerQuarter;
  };

  bool readTrack(int track, const unsigned char* p, const unsigned char* end, const unsigned char** stop,
                 std::string* reason);
  bool emit(int track, int64_t pulse, bool meta, unsigned char lead, const unsigned char* rest, size_t n,
            std::string* reason);
  void note(std::string text);
  void timeEvents();

  MidiFile* f_;
  std::vector<Tempo> tempos_;
  int64_t offset_ = 0;  // format 2: where the track being read starts
  int64_t endPulse_ = 0;
  size_t notesLeftOut_ = 0;
};

void Reader::note(std::string text) {
  if (f_->notes.size() < kMaxNotes)
    f_->notes.push_back(std::move(text));
  else
    ++notesLeftOut_;
}

bool Reader::emit(int track, int64_t pulse, bool meta, unsigned char lead, const unsigned char* rest, size_t n,
                  std::string* reason) {
  if (f_->events.size() >= kMaxMidiEvents) {
    *reason = format("more than %zu events, more than kvplay holds", kMaxMidiEvents);
    return false;
  }
  MidiFileEvent e;
  e.seconds = 0;
  e.pulse = pulse;
  e.track = track;
  e.meta = meta;
  e.offset = (uint32_t)f_->bytes.size();
  e.size = (uint32_t)(1 + n);
  f_->bytes.push_back(lead);
  f_->bytes.insert(f_->bytes.end(), rest, rest + n);
  f_->events.push_back(e);
  return true;
}

// A variable-length quantity of at most 4 bytes (28 bits), as the format
// allows; a longer one is cut after its 4th byte. False when the data ends
// inside it.
bool quantity(const unsigned char*& p, const unsigned char* end, uint32_t* value, bool* tooLong) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (p >= end) return false;
    unsigned char b = *p++;
    v = v << 7 | (b & 0x7F);
    if (!(b & 0x80)) {
      *value = v;
      return true;
    }
  }
  *tooLong = true;
  *value = v;
  return true;
}

// Reads one track's events from p up to its End-of-Track or `end`; *stop is
// where it stopped. False only when the file must be refused.
bool Reader::readTrack(int track, const unsigned char* p, const unsigned char* end, const unsigned char** stop,
                       std::string* reason) {
  const unsigned char* const begin = p;
  int64_t pulse = offset_;  // 64 bits: 2^28 a delta time, fewer than 2^26 events a file
  unsigned char running = 0;
  bool tooLong = false, ended = false, cut = false;
  size_t strayData = 0, strayStatus = 0, badData = 0, emptyEscapes = 0;
  const unsigned char* event = p;
  while (p < end) {
    event = p;
    uint32_t delta = 0, length = 0;
    if (!quantity(p, end, &delta, &tooLong)) {
      cut = true;
      break;
    }
    unsigned char status = *p;
    if (status & 0x80) {
      ++p;
    } else if (running) {
      status = running;
    } else {
      // A data byte without a status in effect (after a system-exclusive or
      // meta event, say): nothing to play; it is skipped and the next byte
      // read as a delta time.
      ++p;
      ++strayData;
      pulse += delta;
      continue;
    }
    if (p >= end) {
      cut = true;
      break;
    }
    if (status < 0xF0) {
      size_t n = (status & 0xE0) == 0xC0 ? 1 : 2;
      if ((size_t)(end - p) < n) {
        cut = true;
        break;
      }
      running = status;
      pulse += delta;
      bool data = (p[0] & 0x80) == 0 && (n < 2 || (p[1] & 0x80) == 0);
      if (data) {
        if (!emit(track, pulse, false, status, p, n, reason)) return false;
      } else {
        ++badData;
      }
      p += n;
    } else if (status == 0xF0 || status == 0xF7) {
      running = 0;
      if (!quantity(p, end, &length, &tooLong) || length > (size_t)(end - p)) {
        cut = true;
        break;
      }
      pulse += delta;
      if (status == 0xF7 && length == 0) {
        ++emptyEscapes;
      } else if (!emit(track, pulse, false, status, p, length, reason)) {
        return false;
      }
      p += length;
    } else if (status == 0xFF) {
      running = 0;
      if (p >= end) {
        cut = true;
        break;
      }
      unsigned char type = *p++;
      if (!quantity(p, end, &length, &tooLong) || length > (size_t)(end - p)) {
        cut = true;
        break;
      }
      pulse += delta;
      if (type == 0x2F) {
        p += length;
        ended = true;
        break;
      }
      if (type == 0x51 && length == 3) tempos_.push_back({pulse, (uint32_t)(p[0] << 16 | p[1] << 8 | p[2])});
      // The meta event without its length: FF, type, data.
      std::vector<unsigned char> meta(1, type);
      meta.insert(meta.end(), p, p + length);
      if (!emit(track, pulse, true, 0xFF, meta.data(), meta.size(), reason)) return false;
      p += length;
    } else {
      // System common and real-time status bytes have no place in a file.
      ++strayStatus;
      pulse += delta;
    }
  }
  *stop = p;
  endPulse_ = std::max(endPulse_, pulse);
  if (f_->format == 2) offset_ = pulse;
  int n = track + 1;
  if (cut)
    note(format("track %d is cut short in its event at byte %zu of its data; the events before it are played", n,
                (size_t)(event - begin)));
  else if (!ended)
    note(format("track %d has no End-of-Track; it ends with its data", n));
  if (tooLong) note(format("track %d has variable-length numbers longer than 4 bytes; read as 4", n));
  if (strayData) note(format("track %d: %zu data byte(s) without a status byte skipped", n, strayData));
  if (strayStatus) note(format("track %d: %zu system status byte(s) that a file cannot hold skipped", n, strayStatus));
  if (badData)
    note(format("track %d: %zu channel message(s) with a status byte among their data left out", n, badData));
  if (emptyEscapes) note(format("track %d: %zu empty F7 event(s) ignored", n, emptyEscapes));
  return true;
}

// Seconds for every event through the tempo map: the events are in pulse
// order, the tempo changes too, so one walk along both.
void Reader::timeEvents() {
  std::stable_sort(tempos_.begin(), tempos_.end(), [](const Tempo& a, const Tempo& b) { return a.pulse < b.pulse; });
  const double ppqn = f_->ppqn;
  size_t next = 0;
  int64_t since = 0;
  double at = 0;
  uint32_t tempo = kDefaultTempo;
  auto secondsAt = [&](int64_t pulse) {
    while (next < tempos_.size() && tempos_[next].pulse <= pulse) {
      at += (double)(tempos_[next].pulse - since) * tempo / 1e6 / ppqn;
      since = tempos_[next].pulse;
      tempo = tempos_[next].usPerQuarter;
      ++next;
    }
    return at + (double)(pulse - since) * tempo / 1e6 / ppqn;
  };
  for (MidiFileEvent& e : f_->events) e.seconds = secondsAt(e.pulse);
  f_->seconds = secondsAt(endPulse_);
}

bool Reader::read(const unsigned char* data, size_t size, std::string* reason) {
  if (size > kMaxMidiFileSize) {
    *reason = format("the file holds %zu bytes, more than kvplay reads (%zu MiB)", size, kMaxMidiFileSize >> 20);
    return false;
  }
  // A RIFF MIDI file: the Standard MIDI File is its data chunk.
  if (size >= 12 && memcmp(data, "RIFF", 4) == 0 && memcmp(data + 8, "RMID", 4) == 0) {
    const unsigned char* p = data + 12;
    const unsigned char* end = data + size;
    while (end - p >= 8 && memcmp(p, "data", 4) != 0) {
      uint32_t length = le32(p + 4);
      if (length > (size_t)(end - p - 8)) break;
      p += 8 + length + (length & 1);
    }
    if (end - p < 8 || memcmp(p, "data", 4) != 0) {
      *reason = "a RIFF MIDI file without a data chunk";
      return false;
    }
    data = p + 8;
    size = std::min<size_t>(le32(p + 4), (size_t)(end - data));
  }
  if (size < 4 || memcmp(data, "MThd", 4) != 0) {
    *reason = "not a Standard MIDI File: no MThd header";
    return false;
  }
  if (size < 14) {
    *reason = "the MThd header is cut short";
    return false;
  }
  uint32_t headerLength = be32(data + 4);
  if (headerLength < 6) {
    *reason = format("the MThd header says it is %u bytes long; it must be at least 6", headerLength);
    return false;
  }
  f_->format = data[8] << 8 | data[9];
  int declared = data[10] << 8 | data[11];
  int division = data[12] << 8 | data[13];
  if (f_->format > 2) {
    *reason = format("format %d, which is none of 0, 1 and 2", f_->format);
    return false;
  }
  if (division & 0x8000) {
    *reason = format(
        "the file counts time in SMPTE frames (%d frames a second, %d ticks a frame), which kvplay does "
        "not play",
        -(int)(signed char)(division >> 8), division & 0xFF);
    return false;
  }
  if (division == 0) {
    *reason = "the file's division is 0 pulses a quarter note";
    return false;
  }
  f_->ppqn = division;

  const unsigned char* end = data + size;
  const unsigned char* p = data + 8 + std::min<size_t>(headerLength, size - 8);
  while (end - p >= 8) {
    uint32_t length = be32(p + 4);
    size_t room = (size_t)(end - p - 8);
    if (memcmp(p, "MTrk", 4) != 0) {
      // Another kind of chunk: skipped whole.
      p = length > room ? end : p + 8 + length;
      continue;
    }
    int track = f_->tracks++;
    const unsigned char* stop = nullptr;
    if (length == 0 && room >= 4 && !chunkName(p + 8)) {
      // Written by a program that never filled the length in: the events
      // follow and run up to their End-of-Track.
      note(format("track %d says its length is 0 but events follow; read up to its End-of-Track", track + 1));
      if (!readTrack(track, p + 8, end, &stop, reason)) return false;
      p = stop;
      continue;
    }
    if (length > room) {
      note(format("track %d says it holds %u bytes; the file ends %zu bytes into it", track + 1, length, room));
      length = (uint32_t)room;
    }
    if (!readTrack(track, p + 8, p + 8 + length, &stop, reason)) return false;
    p += 8 + length;
  }
  if (f_->tracks == 0) {
    *reason = "no track: the file holds no MTrk chunk";
    return false;
  }
  if (declared != f_->tracks) note(format("the header says %d tracks; the file holds %d", declared, f_->tracks));
  if (notesLeftOut_) note(format("and %zu more", notesLeftOut_));

  // In time order; at the same pulse in track order, then in file order, as
  // the tracks were read one after another.
  std::stable_sort(f_->events.begin(), f_->events.end(),
                   [](const MidiFileEvent& a, const MidiFileEvent& b) { return a.pulse < b.pulse; });
  timeEvents();
  return true;
}

}  // namespace

bool readMidiFile(const unsigned char* data, size_t size, MidiFile* file, std::string* reason) {
  *file = MidiFile();
  Reader reader(file);
  if (reader.read(data, size, reason)) return true;
  *file = MidiFile();
  return false;
}

bool loadMidiFile(const std::string& path, MidiFile* file, std::string* reason) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *reason = format("cannot open it: %s", strerror(errno));
    return false;
  }
  // One byte more than the limit tells a file that is too big.
  std::vector<unsigned char> data;
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
    data.insert(data.end(), buffer, buffer + std::min(n, kMaxMidiFileSize + 1 - data.size()));
    if (data.size() > kMaxMidiFileSize) break;
  }
  bool failed = ferror(f) != 0;
  int error = errno;
  fclose(f);
  if (failed) {
    *reason = format("cannot read it: %s", strerror(error));
    return false;
  }
  if (data.size() > kMaxMidiFileSize) {
    *reason = format("the file is larger than kvplay reads (%zu MiB)", kMaxMidiFileSize >> 20);
    return false;
  }
  return readMidiFile(data.data(), data.size(), file, reason);
}

void MidiBars::timeSignature(int64_t pulse, int numerator, int denominatorPower) {
  if (numerator <= 0 || denominatorPower < 0 || denominatorPower > 6) return;
  bars_ += (double)(pulse - since_) / barPulses_;
  since_ = pulse;
  barPulses_ = 4.0 * ppqn_ * numerator / (1 << denominatorPower);
}

int64_t MidiBars::barAt(int64_t pulse) const { return 1 + (int64_t)(bars_ + (double)(pulse - since_) / barPulses_); }
