// The WAV record back end on Windows: a RIFF/WAVE file written with the
// system's multimedia file services; ascending out of the chunks when the
// record closes fills in their sizes.
#include <string.h>

#include <vector>

#include "host/audio.h"
#include "kvplatform.h"

namespace {

class MmioRecord : public AudioSink {
 public:
  MmioRecord(HMMIO file, const MMCKINFO& riff, const MMCKINFO& data) : file_(file), riff_(riff), data_(data) {}
  ~MmioRecord() override {
    mmioAscend(file_, &data_, 0);
    mmioAscend(file_, &riff_, 0);
    mmioClose(file_, 0);
  }
  void write(const void* frames, size_t bytes) override {
    mmioWrite(file_, static_cast<const char*>(frames), (LONG)bytes);
  }

 private:
  HMMIO file_;
  MMCKINFO riff_;
  MMCKINFO data_;
};

}  // namespace

std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format) {
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  HMMIO file = mmioOpenA(name.data(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  if (!file) return nullptr;
  PCMWAVEFORMAT pcm;
  pcm.wf.wFormatTag = WAVE_FORMAT_PCM;
  pcm.wf.nChannels = (WORD)format.channels;
  pcm.wf.nSamplesPerSec = format.rate;
  pcm.wf.nBlockAlign = (WORD)(format.channels * (format.bits / 8));
  pcm.wf.nAvgBytesPerSec = format.rate * pcm.wf.nBlockAlign;
  pcm.wBitsPerSample = (WORD)format.bits;
  MMCKINFO riff, fmt, data;
  memset(&riff, 0, sizeof riff);
  memset(&fmt, 0, sizeof fmt);
  memset(&data, 0, sizeof data);
  riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
  fmt.cksize = sizeof pcm;
  data.ckid = mmioFOURCC('d', 'a', 't', 'a');
  if (mmioCreateChunk(file, &riff, MMIO_CREATERIFF) != MMSYSERR_NOERROR ||
      mmioCreateChunk(file, &fmt, 0) != MMSYSERR_NOERROR ||
      mmioWrite(file, reinterpret_cast<HPSTR>(&pcm), sizeof pcm) != (LONG)sizeof pcm ||
      mmioAscend(file, &fmt, 0) != MMSYSERR_NOERROR || mmioCreateChunk(file, &data, 0) != MMSYSERR_NOERROR) {
    mmioClose(file, 0);
    return nullptr;
  }
  return std::unique_ptr<AudioSink>(new MmioRecord(file, riff, data));
}
