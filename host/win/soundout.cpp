// The sound output back end on Windows: the system's default wave output
// device (the wave mapper), fed in blocks of half the latency. A write waits
// while every block is queued, as the other systems' sound servers do.
#include <string.h>

#include <vector>

#include "host/audio.h"
#include "kvplatform.h"

namespace {

const unsigned kBlocks = 4;
// A device that takes nothing for this long has stalled; the samples are
// dropped rather than the caller held.
const DWORD kStallMs = 1000;

class WaveOutSink : public AudioSink {
 public:
  WaveOutSink(HWAVEOUT device, HANDLE done, size_t blockBytes) : device_(device), done_(done), blockBytes_(blockBytes) {
    for (unsigned i = 0; i < kBlocks; ++i) {
      buffers_[i].resize(blockBytes);
      WAVEHDR* h = &headers_[i];
      memset(h, 0, sizeof *h);
      h->lpData = buffers_[i].data();
      h->dwBufferLength = (DWORD)blockBytes;
      waveOutPrepareHeader(device_, h, sizeof *h);
      h->dwFlags |= WHDR_DONE;  // free until first written
    }
  }
  ~WaveOutSink() override {
    waveOutReset(device_);
    for (WAVEHDR& h : headers_) waveOutUnprepareHeader(device_, &h, sizeof h);
    waveOutClose(device_);
    CloseHandle(done_);
  }
  void write(const void* frames, size_t bytes) override {
    const char* p = static_cast<const char*>(frames);
    while (bytes > 0) {
      WAVEHDR* h = &headers_[next_];
      // The device signals the event each time it finishes a block.
      while (!(h->dwFlags & WHDR_DONE))
        if (WaitForSingleObject(done_, kStallMs) != WAIT_OBJECT_0) return;
      size_t n = blockBytes_ - filled_;
      if (n > bytes) n = bytes;
      memcpy(buffers_[next_].data() + filled_, p, n);
      filled_ += n;
      p += n;
      bytes -= n;
      if (filled_ < blockBytes_) continue;
      h->dwFlags &= ~WHDR_DONE;
      // A block the device refused stays free for the next round.
      if (waveOutWrite(device_, h, sizeof *h) != MMSYSERR_NOERROR) h->dwFlags |= WHDR_DONE;
      filled_ = 0;
      next_ = (next_ + 1) % kBlocks;
    }
  }

 private:
  HWAVEOUT device_;
  HANDLE done_;
  size_t blockBytes_;
  WAVEHDR headers_[kBlocks];
  std::vector<char> buffers_[kBlocks];
  unsigned next_ = 0;
  size_t filled_ = 0;
};

// The wave output device the user chose by the name the system lists it by
// (a wave device's own name is that name cut to its 31 characters), or the
// default one (the wave mapper), with why in `note`, when it is not there.
UINT waveDeviceNamed(const std::string& device, std::string* note) {
  if (device.empty()) return WAVE_MAPPER;
  for (UINT i = 0; i < waveOutGetNumDevs(); ++i) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
    size_t n = strlen(caps.szPname);
    if (device == caps.szPname || (n + 1 == sizeof caps.szPname && device.compare(0, n, caps.szPname) == 0)) return i;
  }
  *note = "the output device " + device + " is not there: playing to the default one";
  return WAVE_MAPPER;
}

}  // namespace

std::unique_ptr<AudioSink> openSoundServer(const std::string& server, const std::string& device, const char* name,
                                           const AudioFormat& format, unsigned latencyMs, std::string* why) {
  (void)name;
  if (!server.empty()) {
    if (why) *why = "Windows has no sound server by address; leave SoundServer empty for the default device";
    return nullptr;
  }
  WAVEFORMATEX wfx;
  memset(&wfx, 0, sizeof wfx);
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = (WORD)format.channels;
  wfx.nSamplesPerSec = format.rate;
  wfx.wBitsPerSample = (WORD)format.bits;
  wfx.nBlockAlign = (WORD)(format.channels * (format.bits / 8));
  wfx.nAvgBytesPerSec = format.rate * wfx.nBlockAlign;
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!done) {
    if (why) *why = "no event for the device";
    return nullptr;
  }
  std::string note;
  UINT id = waveDeviceNamed(device, &note);
  HWAVEOUT out;
  // Through the mapper to a chosen device, which converts a format the device
  // does not take itself.
  MMRESULT rc = waveOutOpen(&out, id, &wfx, (DWORD_PTR)done, 0, CALLBACK_EVENT | (id == WAVE_MAPPER ? 0 : WAVE_MAPPED));
  if (rc != MMSYSERR_NOERROR) {
    CloseHandle(done);
    if (why)
      *why = (id == WAVE_MAPPER ? "no default wave output device"
                                : "the wave output device " + device + " cannot be opened") +
             std::string(" (waveOutOpen answered ") + std::to_string(rc) + ")";
    return nullptr;
  }
  if (why) *why = note;
  size_t blockBytes = (size_t)wfx.nAvgBytesPerSec * (latencyMs < 2 ? 1 : latencyMs / 2) / 1000;
  blockBytes = blockBytes / wfx.nBlockAlign * wfx.nBlockAlign;
  if (blockBytes == 0) blockBytes = wfx.nBlockAlign;
  return std::unique_ptr<AudioSink>(new WaveOutSink(out, done, blockBytes));
}
