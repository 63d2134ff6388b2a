// What the end-to-end tests send through the devices and how they find it again
// in the host's records; the same on every system the product runs on.
#pragma once

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kvtest {

// A phrase of short messages: each note-on with its status, then the same key
// again by running status (velocity 0), as packed midiOutShortMsg words.
struct MidiPhrase {
  std::vector<uint32_t> messages;
  std::string bytes;  // what the host must receive for them
};

inline MidiPhrase midiPhrase() {
  MidiPhrase p;
  for (uint8_t key = 60; key < 72; ++key) {
    p.messages.push_back(0x7F0090u | (uint32_t)key << 8);
    p.messages.push_back(key);
    p.bytes += std::string("\x90", 1) + (char)key + "\x7F" + std::string("\x90", 1) + (char)key + std::string(1, '\0');
  }
  return p;
}

// A system-exclusive buffer of `size` bytes, longer than the MIDI ring when
// `size` is above 4096.
inline std::vector<char> sysexBuffer(size_t size) {
  std::vector<char> sysex(size);
  for (size_t i = 0; i < sysex.size(); ++i) sysex[i] = (char)(i % 0x7F);
  sysex.front() = (char)0xF0;
  sysex.back() = (char)0xF7;
  return sysex;
}

// 16-bit stereo at 44100 Hz in which no frame is silent, so the played stretch
// can be found in the host's recording.
inline std::vector<int16_t> testSignal(size_t frames) {
  std::vector<int16_t> s(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    int16_t v = (int16_t)(8000 * sin(2 * 3.14159265358979 * 440 * (double)i / 44100.0));
    s[2 * i] = v >= 0 ? (int16_t)(v + 1) : v;
    s[2 * i + 1] = (int16_t)(-s[2 * i]);
  }
  return s;
}

// Where `signal` starts in `played` after the leading silence; empty `why` when
// it is there sample for sample, else what is wrong.
inline size_t findSignal(const std::vector<int16_t>& played, const std::vector<int16_t>& signal, std::string& why) {
  size_t start = 0;
  while (start < played.size() && played[start] == 0) ++start;
  why.clear();
  if (start + signal.size() > played.size()) {
    why = "the recording is shorter than the stream";
  } else if (start % 2 != 0) {
    why = "the signal starts in the middle of a frame";
  } else {
    for (size_t i = 0; i < signal.size(); ++i) {
      if (played[start + i] != signal[i]) {
        why = "the host played other samples than the client wrote, first at sample " + std::to_string(i);
        break;
      }
    }
  }
  return start;
}

}  // namespace kvtest
