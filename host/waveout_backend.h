// What the wave server hands its output to, one implementation per system,
// chosen by the build: a record of what was played (a WAV file) and the
// system's sound output. Both take the samples after the volume, in the
// channel's format.
#pragma once

#include <stddef.h>

#include <string>

#include "hostlink/shared.h"

struct WaveRecord;
// Creates `path` as a PCM WAV file in `format`; null when it cannot be created.
WaveRecord* waveRecordCreate(const std::string& path, const ChannelFormat& format);
bool waveRecordWrite(WaveRecord* record, const void* data, size_t bytes);
// Completes the file's headers and closes it.
void waveRecordClose(WaveRecord* record);

struct WaveSpeaker;
// Opens the system's default sound output in `format`; null when there is none
// (the host then records only).
WaveSpeaker* waveSpeakerOpen(const ChannelFormat& format);
// Queues samples; drops them when the output has fallen too far behind, since
// the host's own clock paces the channel.
void waveSpeakerPlay(WaveSpeaker* speaker, const void* data, size_t bytes);
void waveSpeakerClose(WaveSpeaker* speaker);
