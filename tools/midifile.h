// A Standard MIDI File read into one list of timed events, merged from every
// track in time order (tempo changes, running status and the delta times
// resolved by libsmf).
#pragma once

#include <string>
#include <vector>

struct MidiFileEvent {
  double seconds;  // from the start of the song
  int pulse;
  bool meta;
  std::vector<unsigned char> bytes;  // the message; meta events with their 0xFF and type
};

struct MidiFile {
  int format = 0;
  int tracks = 0;
  int ppqn = 0;  // 0: the file counts SMPTE frames
  double seconds = 0;
  std::vector<MidiFileEvent> events;
};

// False when the file cannot be read as a Standard MIDI File.
bool loadMidiFile(const std::string& path, MidiFile* file);
