// Turns the MIDI byte stream of the ring into messages: running status,
// real-time bytes anywhere (also between the data bytes of a message), system
// common messages and system-exclusive buffers. A stretch of bytes is parsed
// where it lies: a message that lies whole in it, with its status in front, is
// handed on as it stands; only one that came by running status or is split
// between stretches is put together in the parser's own buffers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

struct MidiMessage {
  enum Kind { CHANNEL, COMMON, REALTIME, SYSEX, STRAY };
  Kind kind;
  // The message's bytes with its status in front, also when it came by running
  // status. A system-exclusive buffer cut short by a status byte has no 0xF7.
  // They belong to the parser or to the stretch fed, and are valid during the
  // sink's call only.
  const uint8_t* bytes;
  size_t size;
};

class MidiParser {
 public:
  explicit MidiParser(std::function<void(const MidiMessage&)> sink) : sink_(std::move(sink)) {
    sysex_.reserve(kSysexReserve);
  }
  void feed(uint8_t b);
  void feed(const uint8_t* bytes, size_t size);

 private:
  void emit(MidiMessage::Kind kind, const uint8_t* bytes, size_t size) { sink_(MidiMessage{kind, bytes, size}); }
  void emitSysex();
  // How much of a system-exclusive buffer is kept without growing.
  static const size_t kSysexReserve = 4096;

  std::function<void(const MidiMessage&)> sink_;
  uint8_t status_ = 0;              // running status, or the system common status being collected
  size_t needed_ = 0;               // data bytes the status takes
  uint8_t message_[3] = {0, 0, 0};  // the status and the data bytes so far
  size_t have_ = 0;
  bool inSysex_ = false;
  std::vector<uint8_t> sysex_;
};

// The data bytes a status byte takes (0 for the one-byte messages).
size_t midiDataLength(uint8_t status);
// A short name for a message, e.g. "note-on", "sysex", "clock".
const char* midiMessageName(const MidiMessage& m);
