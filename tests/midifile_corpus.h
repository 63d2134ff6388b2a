// Malformed and unusual Standard MIDI Files, made in code, for the player's
// file reader and for the player itself (tests/midifile_test.cpp builds them).
#pragma once

#include <string>
#include <vector>

namespace midicorpus {

typedef std::vector<unsigned char> Bytes;

struct Case {
  const char* kind;
  const char* name;
  Bytes file;
  // Refused: what the reason says. Read: nullptr.
  const char* refusal = nullptr;
  // Read: the events as "PULSE:HEX BYTES", joined by " | "; nullptr when the
  // case is checked by a test of its own.
  const char* events = nullptr;
  // Read: what one of the reader's notes says, or nullptr when there is none.
  const char* note = nullptr;
  // Read: when the last event is due, in seconds, or < 0 when not checked.
  double lastSeconds = -1;
};

const std::vector<Case>& cases();
const Case& find(const std::string& name);

}  // namespace midicorpus
