// The checks of the fuzzer of the registry import: each input is imported as
// a REGEDIT4 file by kvreg's own reader (tools/regfile.cpp) into a registry
// that holds the same few keys before every input. libFuzzer drives it
// (regimport_fuzz.cpp), and kvtests replays the saved inputs through it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kvfuzz {

// Puts the registry of the machine named by KV_MACHINE_ROOT back to the keys
// every input starts from. Answers what failed, or "".
std::string resetRegistry();

// Imports one input and checks what it did: no key the file does not name
// changed (which keys a file names is read by the rules here, not by the
// importer's), no root was deleted, no key lies beyond the platform's limits
// or holds a name the file format cannot carry, both roots still export, and
// their export imported into an empty registry gives the same registry again.
// Answers the first rule broken, or "".
std::string importAndCheck(const uint8_t* data, size_t size);

}  // namespace kvfuzz
