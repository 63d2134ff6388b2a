// What the settings window shows of the product for the programs of each
// bitness: whether the driver is registered (its aliases among the registered
// drivers, in that bitness's registry view), whether the host and its copies
// are there, and the synthesizer its host would use: FluidSynth's library and
// the bank, and whether each loads. "KVSETUP.EXE /STATE" prints it for its own
// bitness, for the other bitness's window to show.
#pragma once

#include <string>
#include <vector>

#include "host/settingsfiles.h"

struct BitnessState {
  int bits = 0;
  bool onSystem = true;              // false for 64-bit programs on 32-bit Windows
  bool registryRead = true;          // false when that view of the registry cannot be read
  std::vector<std::string> aliases;  // the driver's aliases, midi and wave
  std::string host;                  // KVTSK16.EXE or KVTSK64.EXE
  bool hostThere = false;
  std::vector<std::string> missingCopies;  // of KVMIDI*.EXE and KVWAVE*.EXE
  std::string library;                     // FluidSynth's library, "(where it was found): whether it loads"
  std::string bank;                        // the SoundFont, likewise
  bool libraryLoads = false;
  bool bankLoads = false;
};

// This program's bitness: the library and the bank are loaded to tell.
BitnessState ownBitnessState(const std::string& installDir, const SettingsFiles& files);
// The other bitness: its library found by the files' headers, not loaded (a
// program loads only libraries of its own bitness).
BitnessState otherBitnessState(const std::string& installDir, const SettingsFiles& files);
// The lines that tell it, a heading and one line for each part.
std::vector<std::string> describeState(const BitnessState& state);
