// The machine's registry as REGEDIT4 text, the platform's registry file
// format: the writer and the reader behind kvreg, also called in-process by the
// fuzzer of the import and by the tests.
#pragma once

#include <stddef.h>

#include <functional>
#include <string>

namespace regfile {

// What the platform allows and the import therefore refuses: a key more than
// kMaxDepth levels below its root, and a key name longer than kMaxKeyName.
const size_t kMaxDepth = 512;
const size_t kMaxKeyName = 255;

// Takes a piece of the file; false when it could not be written.
using Sink = std::function<bool(const std::string& piece)>;

// Writes the key named by `keyPath` ("HKEY_LOCAL_MACHINE\..." or "HKLM\...")
// and everything below it, header first. False when something could not be
// read or written; `error` then says what.
bool exportTree(const std::string& keyPath, const Sink& write, std::string& error);

// Carries out the text of a REGEDIT4 file: keys to create, values to set, and
// [-KEY] and "name"=- deletions. Every line that cannot be carried out is told
// to `report` as "FILE:LINE: why"; the others still are. Answers the number of
// lines told.
int importText(const std::string& text, const std::string& fileName,
               const std::function<void(const std::string& message)>& report);

// The host path of the machine's registry store, for messages.
std::string storePath();

}  // namespace regfile
