// The WAV record back end on Windows: a RIFF/WAVE file written with the
// system's multimedia file services; ascending out of the chunks when the
// record closes fills in their sizes. The path is the system's own: a Windows
// path needs no mapping here.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/audio.h"
#include "host/say.h"
#include "kvplatform.h"

namespace {

class MmioRecord : public AudioSink {
 public:
  MmioRecord(HMMIO file, const MMCKINFO& riff, const MMCKINFO& data, const std::string& path, unsigned frameBytes,
             uint64_t mostDataBytes)
      : file_(file), riff_(riff), data_(data), path_(path), mostDataBytes_(mostDataBytes / frameBytes * frameBytes) {}
  ~MmioRecord() override {
    mmioAscend(file_, &data_, 0);
    mmioAscend(file_, &riff_, 0);
    mmioClose(file_, 0);
  }
  void write(const void* frames, size_t bytes) override {
    if (stopped_) return;
    size_t room = (size_t)(mostDataBytes_ - written_ < bytes ? mostDataBytes_ - written_ : bytes);
    if (room > 0) {
      LONG done = mmioWrite(file_, static_cast<const char*>(frames), (LONG)room);
      if (done > 0) written_ += (uint64_t)done;
      if (done != (LONG)room) {
        stop("cannot write the record " + path_ + ": error " + std::to_string((unsigned)GetLastError()) +
             "; no more of it is kept");
        return;
      }
    }
    if (room < bytes)
      stop("the record " + path_ + " holds the most a WAV file can (" + std::to_string(written_) +
           " bytes of samples); no more of it is kept");
  }

 private:
  void stop(const std::string& why) {
    stopped_ = true;
    hostSay("%s", why.c_str());
  }

  HMMIO file_;
  MMCKINFO riff_;
  MMCKINFO data_;
  std::string path_;
  uint64_t mostDataBytes_;
  uint64_t written_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format, uint64_t mostDataBytes) {
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  MMIOINFO info;
  memset(&info, 0, sizeof info);
  HMMIO file = mmioOpenA(name.data(), &info, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  if (!file) {
    hostSay("cannot open the record %s: error %u; playing on without it", path.c_str(), (unsigned)info.wErrorRet);
    return nullptr;
  }
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
    hostSay("cannot write the header of the record %s; playing on without it", path.c_str());
    return nullptr;
  }
  return std::unique_ptr<AudioSink>(
      new MmioRecord(file, riff, data, path, pcm.wf.nBlockAlign ? pcm.wf.nBlockAlign : 1, mostDataBytes));
}
