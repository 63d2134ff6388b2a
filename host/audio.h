// Where the host's audio goes: the system's sound server and the WAV records.
// Each back end lives in a file of its own, so that another system's build
// replaces it without touching the servers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

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
  // The writer is about to sound again after it has written nothing for a
  // while: a sink that gave its device back takes it again now, before the
  // writer's clock starts, rather than inside the next write.
  virtual void resume() {}
  // From now on the writer hands over what is left at once (a synthesizer
  // ringing out at its close), not on its clock: a sink that would drop what
  // comes ahead of its buffer, or never holds its writer, holds it now and
  // plays everything.
  virtual void finishing() {}
  // Where the sound goes, for the record; empty where nothing is to be said.
  virtual std::string description() const { return std::string(); }
  // What happened to the output since the last call (a device lost, given
  // back after a silence, taken again), one line each: any thread.
  virtual std::vector<std::string> takeNotes() { return std::vector<std::string>(); }
};

// A playback stream named `name` on the sound server: `server` empty for the
// user's own server, otherwise its address; to the output device `device`
// (OutputDevice=: on Windows a device's name as the system lists them, or its
// id; on Linux a sink of the server), or the default one when it is empty.
// Null when no server is reachable, with the reason in `why`. A device that is
// not there leaves the stream on the default one, and `why` says so. Where the system's output is a device that other
// programs may want for themselves (Windows), the sink gives it back after `keepDeviceMs` of silence (0: never) and
// takes it again at the next sound.
std::unique_ptr<AudioSink> openSoundServer(const std::string& server, const std::string& device, const char* name,
                                           const AudioFormat& format, unsigned latencyMs, unsigned keepDeviceMs,
                                           std::string* why);

// The most bytes of samples a WAV record holds. The RIFF chunk counts its
// size in 32 bits; past 4 GiB the sizes in the header wrap and the record reads
// back as a few seconds of sound. The margin covers the header, whatever chunks
// a writer puts before the samples; a multiple of 4, so whole frames of every
// format the host writes, and even, as a RIFF chunk is.
const uint64_t kWavMostDataBytes = (0xFFFFFFFFull - 4096) & ~3ull;

// A WAV file at `path` (a Windows path goes where the platform puts it). Null
// when it cannot be created. The writer says on standard error, once each, why
// it could not be created, that a write failed (nothing more is written) or
// that it reached `mostDataBytes` of samples (the rest is left out); the
// record stays a valid file up to there.
std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format,
                                         uint64_t mostDataBytes = kWavMostDataBytes);
