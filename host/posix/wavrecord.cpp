// The WAV record back end, written with libsndfile through the platform's file
// calls, as the host's other records are: a Windows path lands where the
// platform puts it, and a disk that fails or stalls under the platform's
// fault injection does so for this record too.
#include <sndfile.h>
#include <stdio.h>
#include <string.h>

#include "host/audio.h"
#include "host/recordfile.h"
#include "host/say.h"
#include "kvplatform.h"

namespace {

// libsndfile's file operations on a platform file handle.
sf_count_t fileLength(void* user) {
  DWORD high = 0;
  DWORD low = GetFileSize((HANDLE)user, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return (sf_count_t)(((uint64_t)high << 32) | low);
}

sf_count_t fileSeek(sf_count_t offset, int whence, void* user) {
  LONG high = (LONG)(offset >> 32);
  DWORD method = whence == SEEK_SET ? FILE_BEGIN : whence == SEEK_CUR ? FILE_CURRENT : FILE_END;
  DWORD low = SetFilePointer((HANDLE)user, (LONG)(offset & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return (sf_count_t)(((uint64_t)(DWORD)high << 32) | low);
}

sf_count_t fileRead(void* data, sf_count_t count, void* user) {
  DWORD done = 0;
  if (!ReadFile((HANDLE)user, data, (DWORD)count, &done, nullptr)) return 0;
  return done;
}

sf_count_t fileWrite(const void* data, sf_count_t count, void* user) {
  sf_count_t total = 0;
  while (total < count) {
    DWORD done = 0;
    if (!WriteFile((HANDLE)user, static_cast<const char*>(data) + total, (DWORD)(count - total), &done, nullptr) ||
        done == 0)
      break;
    total += done;
  }
  return total;
}

sf_count_t fileTell(void* user) { return fileSeek(0, SEEK_CUR, user); }

SF_VIRTUAL_IO platformFile = {fileLength, fileSeek, fileRead, fileWrite, fileTell};

class WavSink : public AudioSink {
 public:
  WavSink(SNDFILE* file, HANDLE handle, const std::string& path, unsigned frameBytes, uint64_t mostDataBytes)
      : file_(file), handle_(handle), path_(path), mostDataBytes_(mostDataBytes / frameBytes * frameBytes) {}
  ~WavSink() override {
    sf_close(file_);
    CloseHandle(handle_);
  }
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
  HANDLE handle_;
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
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    hostSay("cannot open the record %s: %s; playing on without it", path.c_str(),
            fileErrorText(GetLastError()).c_str());
    return nullptr;
  }
  SNDFILE* file = sf_open_virtual(&platformFile, SFM_WRITE, &info, handle);
  if (!file) {
    hostSay("cannot open the record %s: %s; playing on without it", path.c_str(), sf_strerror(nullptr));
    CloseHandle(handle);
    return nullptr;
  }
  unsigned frameBytes = format.channels * (format.bits / 8);
  return std::unique_ptr<AudioSink>(new WavSink(file, handle, path, frameBytes ? frameBytes : 1, mostDataBytes));
}
