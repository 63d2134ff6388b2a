// The host's record files (the MIDI side's bytes and messages, the wave side's
// summary), written through the platform's file calls: a record named by a
// Windows path lands where the platform puts that path (on Linux, below the
// emulated machine's drive), and one named by a plain name in the install
// directory, the host's current directory.
//
// A record is a diagnostic. One that cannot be created or written is said once
// on standard error, with its path and the reason, and the host plays on
// without it.
#pragma once

#include <stddef.h>

#include <string>

#include "kvplatform.h"

class RecordFile {
 public:
  RecordFile() {}
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Creates (or empties) the file; false, said, when it cannot.
  bool open(const std::string& path);
  bool isOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  // Kept in memory until flush(), or until enough has gathered.
  void put(const void* data, size_t size);
  void put(const std::string& text) { put(text.data(), text.size()); }
  // Writes out what was put; a write that fails is said and ends the record.
  void flush();
  void close();

 private:
  void fail(const char* what, DWORD error);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string path_;
  std::string pending_;
};

// Why a file operation failed, for the host's messages: the platform's error
// code with a few words for the usual ones.
std::string fileErrorText(DWORD error);
