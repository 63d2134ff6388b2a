// The WAV record back end, written with libsndfile.
#include <sndfile.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "host/audio.h"
#include "host/say.h"
#include "kv/plat.h"

namespace {

class WavSink : public AudioSink {
 public:
  WavSink(SNDFILE* file, const std::string& path, unsigned frameBytes, uint64_t mostDataBytes)
      : file_(file), path_(path), mostDataBytes_(mostDataBytes / frameBytes * frameBytes) {}
  ~WavSink() override { sf_close(file_); }
  void write(const void* frames, size_t bytes) override {
    if (stopped_) return;
    size_t room = (size_t)(mostDataBytes_ - written_ < bytes ? mostDataBytes_ - written_ : bytes);
    if (room > 0) {
      sf_count_t done = sf_write_raw(file_, frames, (sf_count_t)room);
      if (done > 0) written_ += (uint64_t)done;
      if (done != (sf_count_t)room) {
        stop("cannot write the record " + path_ + ": " + sf_strerror(file_) + "; no more of it is kept");
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

  SNDFILE* file_;
  std::string path_;
  uint64_t mostDataBytes_;
  uint64_t written_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format, uint64_t mostDataBytes) {
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = (int)format.rate;
  info.channels = (int)format.channels;
  info.format = SF_FORMAT_WAV | (format.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_U8);
  // libsndfile opens host paths: a Windows path is mapped as the platform's
  // own file calls map it.
  std::vector<char> host(path.size() + 4096, 0);
  SNDFILE* file = nullptr;
  if (platHostPath(path.c_str(), host.data(), (DWORD)host.size())) file = sf_open(host.data(), SFM_WRITE, &info);
  if (!file) {
    hostSay("cannot open the record %s: %s; playing on without it", path.c_str(),
            host[0] ? sf_strerror(nullptr) : "the path is too long");
    return nullptr;
  }
  unsigned frameBytes = format.channels * (format.bits / 8);
  return std::unique_ptr<AudioSink>(new WavSink(file, path, frameBytes ? frameBytes : 1, mostDataBytes));
}
