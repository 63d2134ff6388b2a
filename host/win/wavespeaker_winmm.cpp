// The sound output on Windows: the default wave output device, fed in blocks
// of about 20 ms. The host's own clock paces the channel, so a block that
// finds every buffer still queued is dropped rather than waited for.
#include <string.h>

#include <vector>

#include "host/waveout_backend.h"
#include "kvplatform.h"

namespace {

const unsigned kBlocks = 8;
const unsigned kBlockMs = 20;

}  // namespace

struct WaveSpeaker {
  HWAVEOUT device;
  WAVEHDR headers[kBlocks];
  std::vector<char> buffers[kBlocks];
  size_t blockBytes;
  unsigned next;
  size_t filled;
};

WaveSpeaker* waveSpeakerOpen(const ChannelFormat& format) {
  WAVEFORMATEX wfx;
  memset(&wfx, 0, sizeof wfx);
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = format.nChannels;
  wfx.nSamplesPerSec = format.nSamplesPerSec;
  wfx.wBitsPerSample = format.wBitsPerSample;
  wfx.nBlockAlign = (WORD)(format.nChannels * (format.wBitsPerSample / 8u));
  wfx.nAvgBytesPerSec = format.nSamplesPerSec * wfx.nBlockAlign;
  HWAVEOUT device;
  if (waveOutOpen(&device, WAVE_MAPPER, &wfx, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return nullptr;
  WaveSpeaker* speaker = new WaveSpeaker;
  speaker->device = device;
  speaker->blockBytes = (size_t)wfx.nAvgBytesPerSec * kBlockMs / 1000 / wfx.nBlockAlign * wfx.nBlockAlign;
  if (speaker->blockBytes == 0) speaker->blockBytes = wfx.nBlockAlign;
  speaker->next = 0;
  speaker->filled = 0;
  for (unsigned i = 0; i < kBlocks; ++i) {
    speaker->buffers[i].resize(speaker->blockBytes);
    WAVEHDR* h = &speaker->headers[i];
    memset(h, 0, sizeof *h);
    h->lpData = speaker->buffers[i].data();
    h->dwBufferLength = (DWORD)speaker->blockBytes;
    waveOutPrepareHeader(device, h, sizeof *h);
    // Free until first written.
    h->dwFlags |= WHDR_DONE;
  }
  return speaker;
}

void waveSpeakerPlay(WaveSpeaker* speaker, const void* data, size_t bytes) {
  const char* p = static_cast<const char*>(data);
  while (bytes > 0) {
    WAVEHDR* h = &speaker->headers[speaker->next];
    size_t n = speaker->blockBytes - speaker->filled;
    if (n > bytes) n = bytes;
    // A block still queued keeps its samples; these are dropped.
    if (h->dwFlags & WHDR_DONE) memcpy(speaker->buffers[speaker->next].data() + speaker->filled, p, n);
    speaker->filled += n;
    p += n;
    bytes -= n;
    if (speaker->filled < speaker->blockBytes) continue;
    if (h->dwFlags & WHDR_DONE) {
      h->dwFlags &= ~WHDR_DONE;
      // A block the device refused stays free for the next round.
      if (waveOutWrite(speaker->device, h, sizeof *h) != MMSYSERR_NOERROR) h->dwFlags |= WHDR_DONE;
    }
    speaker->filled = 0;
    speaker->next = (speaker->next + 1) % kBlocks;
  }
}

void waveSpeakerClose(WaveSpeaker* speaker) {
  waveOutReset(speaker->device);
  for (unsigned i = 0; i < kBlocks; ++i)
    waveOutUnprepareHeader(speaker->device, &speaker->headers[i], sizeof speaker->headers[i]);
  waveOutClose(speaker->device);
  delete speaker;
}
