// The wave record on Windows: a RIFF/WAVE file written with the system's
// multimedia file services; ascending out of the chunks at the end fills in
// their sizes.
#include <string.h>

#include <vector>

#include "host/waveout_backend.h"
#include "kvplatform.h"

struct WaveRecord {
  HMMIO file;
  MMCKINFO riff;
  MMCKINFO data;
};

WaveRecord* waveRecordCreate(const std::string& path, const ChannelFormat& format) {
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  HMMIO file = mmioOpenA(name.data(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  if (!file) return nullptr;
  WaveRecord* record = new WaveRecord;
  memset(record, 0, sizeof *record);
  record->file = file;
  PCMWAVEFORMAT pcm;
  pcm.wf.wFormatTag = WAVE_FORMAT_PCM;
  pcm.wf.nChannels = format.nChannels;
  pcm.wf.nSamplesPerSec = format.nSamplesPerSec;
  pcm.wf.nBlockAlign = (WORD)(format.nChannels * (format.wBitsPerSample / 8u));
  pcm.wf.nAvgBytesPerSec = format.nSamplesPerSec * pcm.wf.nBlockAlign;
  pcm.wBitsPerSample = format.wBitsPerSample;
  MMCKINFO fmt;
  memset(&fmt, 0, sizeof fmt);
  fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
  fmt.cksize = sizeof pcm;
  record->riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  record->data.ckid = mmioFOURCC('d', 'a', 't', 'a');
  if (mmioCreateChunk(file, &record->riff, MMIO_CREATERIFF) != MMSYSERR_NOERROR ||
      mmioCreateChunk(file, &fmt, 0) != MMSYSERR_NOERROR ||
      mmioWrite(file, reinterpret_cast<HPSTR>(&pcm), sizeof pcm) != (LONG)sizeof pcm ||
      mmioAscend(file, &fmt, 0) != MMSYSERR_NOERROR || mmioCreateChunk(file, &record->data, 0) != MMSYSERR_NOERROR) {
    mmioClose(file, 0);
    delete record;
    return nullptr;
  }
  return record;
}

bool waveRecordWrite(WaveRecord* record, const void* data, size_t bytes) {
  return mmioWrite(record->file, static_cast<const char*>(data), (LONG)bytes) == (LONG)bytes;
}

void waveRecordClose(WaveRecord* record) {
  mmioAscend(record->file, &record->data, 0);
  mmioAscend(record->file, &record->riff, 0);
  mmioClose(record->file, 0);
  delete record;
}
