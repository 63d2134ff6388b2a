// The decoder of the fuzzer of the module's exports: it turns an input of bytes
// into a sequence of calls of DriverProc, modMessage, wodMessage and the two
// setters, with hostile arguments, while real hosts are attached and while the
// shared channel blocks hold garbage. libFuzzer drives it (exports_fuzz.cpp),
// and kvtests replays the saved inputs through it without libFuzzer.
//
// The input format, and how to write seeds by hand, is described in
// tests/fuzz/README.md.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "hostlink/module.h"
#include "hostlink/shared.h"
#include "kvplatform.h"

namespace kvfuzz {

typedef KvModule Exports;

// Makes the machine named by KV_MACHINE_ROOT ready for the module's devices:
// the install directory C:\KV in KELVASON.INI, with the host and its two copies
// taken from buildDir, and host settings that make a host cheap to start (no
// synthesizer, no sound server, no records). Answers what failed, or "".
std::string prepareMachine(const std::string& buildDir);

// Loads the module at path into this process, as a client's multimedia layer
// does, and finds its exports.
bool loadExports(const std::string& path, Exports* ex);

// Runs one input. Every device it opens is closed again, the hosts it started
// have ended, and the channel blocks it scribbled on are cleared, so each input
// finds the module as the one before found it. A broken promise of the module
// (a notification for a buffer it does not hold, a buffer it never returns, a
// close that never finishes) aborts the process as a crash does.
void runInput(const Exports& ex, const uint8_t* data, size_t size);

// Ends every process whose program lies below the machine root `root` (the
// hosts), by its process id.
void endMachineProcesses(const std::string& root);

// Shared by the decoder and the machine's preparation: the host settings file,
// and the settings that make a host cheap to start, which every input finds.
extern const char HOST_INI[];
const size_t kHostSettings = 13;
extern const char* const DEFAULT_HOST_SETTINGS[kHostSettings][2];
// Waits a moment for the hosts of the machine to end by themselves, then ends
// the rest.
void endHosts();

}  // namespace kvfuzz
