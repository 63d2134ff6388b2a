// Where the host's audio goes: the system's sound server and the WAV records.
// Each back end lives in a file of its own, so that another system's build
// replaces it without touching the servers.
#pragma once

#include <stddef.h>

#include <memory>
#include <string>

struct AudioFormat {
  unsigned rate;
  unsigned channels;  // 1 or 2, interleaved
  unsigned bits;      // 8 (unsigned) or 16 (signed, little-endian)
};

class AudioSink {
 public:
  virtual ~AudioSink() {}
  // Hands over whole frames; blocks while the sink holds as much as it keeps.
  virtual void write(const void* frames, size_t bytes) = 0;
};

// A playback stream named `name` on the sound server: `server` empty for the
// user's own server, otherwise its address. Null when no server is reachable,
// with the reason in `why`.
std::unique_ptr<AudioSink> openSoundServer(const std::string& server, const char* name, const AudioFormat& format,
                                           unsigned latencyMs, std::string* why);

// A WAV file; null when it cannot be created.
std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format);
