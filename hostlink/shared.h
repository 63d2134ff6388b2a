// The blocks that every process with the module loaded shares with the others
// and with the synthesizer host: the two channel blocks (exported as gkMidiOut
// and gkWaveOut) and the names and open gates. Layouts are part of the host
// contract and must not change.
#pragma once

#include <stddef.h>

#include "kvplatform.h"

// Channel status values.
const DWORD CHANNEL_IDLE = 0;
const DWORD CHANNEL_ACCEPTED = 1;
const DWORD CHANNEL_REFUSED = 2;
const DWORD CHANNEL_OPEN = 100;
const DWORD CHANNEL_VERSION = 0x11111120;

// Host commands, sent as wParam of the channel's uHostMsg to its hwndHost.
const WPARAM HOSTCMD_MIDI_CLOSE = 0;
const WPARAM HOSTCMD_WAVE_CLOSE = 6;
const WPARAM HOSTCMD_WAVE_GETVOLUME = 16;
const WPARAM HOSTCMD_WAVE_SETVOLUME = 17;

const DWORD MIDI_RING_SIZE = 4096;
const DWORD WAVE_RING_SIZE = 65536;

// Fields that another process changes while this one looks at them are volatile,
// so every test of them reads the shared memory afresh.
struct MidiChannel {
  volatile DWORD dwStatus;
  DWORD dwRingSize;
  volatile LONG dwRingCount;
  volatile DWORD hwndHost;
  volatile DWORD uHostMsg;
  DWORD dwVersion;
  DWORD dwReserved;
  BYTE abRing[MIDI_RING_SIZE];
  DWORD dwWritePos;
  volatile LONG lWriteLock;
  volatile DWORD dwStallMs;
  DWORD dwRunningStatus;
};

static_assert(offsetof(MidiChannel, dwRingSize) == 0x04, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwRingCount) == 0x08, "MidiChannel layout");
static_assert(offsetof(MidiChannel, hwndHost) == 0x0C, "MidiChannel layout");
static_assert(offsetof(MidiChannel, uHostMsg) == 0x10, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwVersion) == 0x14, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwReserved) == 0x18, "MidiChannel layout");
static_assert(offsetof(MidiChannel, abRing) == 0x1C, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwWritePos) == 0x101C, "MidiChannel layout");
static_assert(offsetof(MidiChannel, lWriteLock) == 0x1020, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwStallMs) == 0x1024, "MidiChannel layout");
static_assert(offsetof(MidiChannel, dwRunningStatus) == 0x1028, "MidiChannel layout");
static_assert(sizeof(MidiChannel) == 4140, "MidiChannel size");

// The first 16 bytes of the client's WAVEFORMATEX.
struct ChannelFormat {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
};
static_assert(sizeof(ChannelFormat) == 16, "ChannelFormat size");

struct WaveChannel {
  volatile DWORD dwStatus;
  DWORD dwRingSize;
  volatile DWORD dwReadPos;
  volatile DWORD hwndHost;
  volatile DWORD uHostMsg;
  ChannelFormat wfFormat;
  volatile DWORD dwVolume;
  DWORD dwVersion;
  DWORD dwReserved;
  BYTE abRing[WAVE_RING_SIZE];
};

static_assert(offsetof(WaveChannel, dwRingSize) == 0x04, "WaveChannel layout");
static_assert(offsetof(WaveChannel, dwReadPos) == 0x08, "WaveChannel layout");
static_assert(offsetof(WaveChannel, hwndHost) == 0x0C, "WaveChannel layout");
static_assert(offsetof(WaveChannel, uHostMsg) == 0x10, "WaveChannel layout");
static_assert(offsetof(WaveChannel, wfFormat) == 0x14, "WaveChannel layout");
static_assert(offsetof(WaveChannel, dwVolume) == 0x24, "WaveChannel layout");
static_assert(offsetof(WaveChannel, dwVersion) == 0x28, "WaveChannel layout");
static_assert(offsetof(WaveChannel, dwReserved) == 0x2C, "WaveChannel layout");
static_assert(offsetof(WaveChannel, abRing) == 0x30, "WaveChannel layout");
static_assert(sizeof(WaveChannel) == 65584, "WaveChannel size");

struct SharedNames {
  volatile LONG lMidiOpenGate;
  char szHostExe[12];
  char szMidiHostExe[16];
  char szWaveHostExe[16];
  char szMidiMutex[32];
  volatile LONG lWaveOpenGate;
};

static_assert(offsetof(SharedNames, szHostExe) == 0x04, "SharedNames layout");
static_assert(offsetof(SharedNames, szMidiHostExe) == 0x10, "SharedNames layout");
static_assert(offsetof(SharedNames, szWaveHostExe) == 0x20, "SharedNames layout");
static_assert(offsetof(SharedNames, szMidiMutex) == 0x30, "SharedNames layout");
static_assert(offsetof(SharedNames, lWaveOpenGate) == 0x50, "SharedNames layout");
static_assert(sizeof(SharedNames) == 84, "SharedNames size");

// The two shared sections of the module image. Each is page-aligned and a whole
// number of pages long, so that it shares no page with other data of the image.
struct alignas(4096) SharedBS {
  MidiChannel midi;
  BYTE abBetween[4];  // never read or written
  WaveChannel wave;
};
static_assert(offsetof(SharedBS, wave) == 0x1030, "SharedBS layout");
static_assert(offsetof(SharedBS, wave) + sizeof(WaveChannel) == 69728, "SharedBS size");

struct alignas(4096) SharedDA {
  SharedNames names;
};

extern "C" SharedBS kvSharedBS;
extern "C" SharedDA kvSharedDA;
extern "C" MidiChannel gkMidiOut;
extern "C" WaveChannel gkWaveOut;
