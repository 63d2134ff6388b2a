// The WAV record back end, written with libsndfile.
#include <sndfile.h>
#include <string.h>

#include "host/audio.h"

namespace {

class WavSink : public AudioSink {
 public:
  explicit WavSink(SNDFILE* file) : file_(file) {}
  ~WavSink() override { sf_close(file_); }
  void write(const void* frames, size_t bytes) override { sf_write_raw(file_, frames, (sf_count_t)bytes); }

 private:
  SNDFILE* file_;
};

}  // namespace

std::unique_ptr<AudioSink> openWavRecord(const std::string& path, const AudioFormat& format) {
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = (int)format.rate;
  info.channels = (int)format.channels;
  info.format = SF_FORMAT_WAV | (format.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_U8);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return nullptr;
  return std::unique_ptr<AudioSink>(new WavSink(file));
}
