// A Standard MIDI File read into one list of timed events, merged from every
// track in time order. The reader is lenient where players are (a track
// without End-of-Track, a track length beyond the file, running status after
// a system-exclusive event, escapes), refuses only what it cannot play, and
// says why; it reads in one pass and sorts once.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct MidiFileEvent {
  double seconds;  // from the start of the song, through the tempo map
  int64_t pulse;   // from the start of the song
  int track;       // 0-based, in the order of the file's track chunks
  bool meta;
  // The message, within MidiFile::bytes: a channel message with its status
  // byte (also when the file used running status), F0 and the sysex bytes,
  // F7 and the escaped bytes, or FF, the meta type and its data.
  uint32_t offset;
  uint32_t size;
};

struct MidiFile {
  int format = 0;
  int tracks = 0;  // track chunks read
  int ppqn = 0;    // pulses a quarter note
  double seconds = 0;
  std::vector<MidiFileEvent> events;
  std::vector<unsigned char> bytes;
  // What was wrong but read anyway ("track 2 is cut short: ..."), at most
  // kMaxNotes of them.
  std::vector<std::string> notes;

  const unsigned char* data(const MidiFileEvent& e) const { return bytes.data() + e.offset; }
};

// Limits: a bigger file is refused, not read.
const size_t kMaxMidiFileSize = 64u << 20;
const size_t kMaxMidiEvents = 16u << 20;
const size_t kMaxNotes = 20;

// False when the file cannot be played; then *reason says why ("not a
// Standard MIDI File: no MThd header", "no track", ...).
bool loadMidiFile(const std::string& path, MidiFile* file, std::string* reason);
bool readMidiFile(const unsigned char* data, size_t size, MidiFile* file, std::string* reason);

// Bars from pulses, following the file's time signatures (FF 58). A
// signature whose denominator is not a power of two from 1 to 1/64 of a
// whole note, or whose numerator is 0, is ignored.
class MidiBars {
 public:
  explicit MidiBars(int ppqn) : ppqn_(ppqn), barPulses_(4.0 * ppqn) {}
  void timeSignature(int64_t pulse, int numerator, int denominatorPower);
  int64_t barAt(int64_t pulse) const;

 private:
  int ppqn_;
  double barPulses_;
  int64_t since_ = 0;
  double bars_ = 0;
};
