// The wave record on Linux: a WAV file written with libsndfile.
#include <sndfile.h>
#include <string.h>

#include "host/waveout_backend.h"

struct WaveRecord {
  SNDFILE* file;
};

WaveRecord* waveRecordCreate(const std::string& path, const ChannelFormat& format) {
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = (int)format.nSamplesPerSec;
  info.channels = format.nChannels;
  info.format = SF_FORMAT_WAV | (format.wBitsPerSample == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_U8);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  return file ? new WaveRecord{file} : nullptr;
}

bool waveRecordWrite(WaveRecord* record, const void* data, size_t bytes) {
  return sf_write_raw(record->file, data, (sf_count_t)bytes) == (sf_count_t)bytes;
}

void waveRecordClose(WaveRecord* record) {
  sf_close(record->file);
  delete record;
}
