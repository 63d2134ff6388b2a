#include "host/recordfile.h"

#include <stdio.h>

#include "host/say.h"

namespace {

// What a record gathers before it writes, so that a burst of messages costs
// few writes.
const size_t kMostPending = 64 * 1024;

}  // namespace

std::string fileErrorText(DWORD error) {
  const char* words = nullptr;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: words = "no such directory"; break;
    case ERROR_ACCESS_DENIED: words = "access denied"; break;
    case ERROR_WRITE_FAULT:
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      words = "the disk is full or failed";
      break;
  }
  std::string text = "error " + std::to_string((unsigned)error);
  return words ? std::string(words) + " (" + text + ")" : text;
}

RecordFile::~RecordFile() { close(); }

bool RecordFile::open(const std::string& path) {
  close();
  path_ = path;
  file_ =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    fail("open", GetLastError());
    return false;
  }
  return true;
}

void RecordFile::put(const void* data, size_t size) {
  if (!isOpen()) return;
  pending_.append(static_cast<const char*>(data), size);
  if (pending_.size() >= kMostPending) flush();
}

void RecordFile::flush() {
  size_t done = 0;
  while (isOpen() && done < pending_.size()) {
    DWORD written = 0;
    DWORD chunk = (DWORD)(pending_.size() - done);
    BOOL ok = WriteFile(file_, pending_.data() + done, chunk, &written, nullptr);
    if (!ok || written == 0) {
      // A write that takes nothing without an error is a full disk.
      fail("write", ok ? (DWORD)ERROR_WRITE_FAULT : GetLastError());
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
      break;
    }
    done += written;
  }
  pending_.clear();
}

void RecordFile::close() {
  if (!isOpen()) return;
  flush();
  if (isOpen()) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

void RecordFile::fail(const char* what, DWORD error) {
  hostSay("cannot %s the record %s: %s; playing on without it", what, path_.c_str(), fileErrorText(error).c_str());
}
