// The sound output on Linux: none yet; the host records what it plays.
#include "host/waveout_backend.h"

WaveSpeaker* waveSpeakerOpen(const ChannelFormat&) { return nullptr; }
void waveSpeakerPlay(WaveSpeaker*, const void*, size_t) {}
void waveSpeakerClose(WaveSpeaker*) {}
