// FluidSynth, bound at run time on every system: the host loads its library
// (libfluidsynth-3.dll, the name of its Windows builds; on Linux the platform
// takes that name for the system's own build) and takes the functions it uses
// by name. Nothing it lacks fails an open: the host says what is missing and
// serves the channel without sound.
#pragma once

#include <string>
#include <vector>

#include "host/settings.h"
#include "kvplatform.h"

// FluidSynth's own types: its handles are opaque, and its functions and the
// callbacks it calls use the C calling convention (not WINAPI).
typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;
typedef void(__cdecl* fluid_log_function_t)(int level, const char* message, void* data);
enum { FLUID_OK = 0, FLUID_FAILED = -1 };
enum { FLUID_PANIC, FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG, FLUID_LOG_LEVELS };

// Every function the host uses: return type, name, parameters.
#define KV_FLUID_FUNCTIONS(X)                                                                                        \
  X(fluid_log_function_t, fluid_set_log_function, (int level, fluid_log_function_t fun, void* data))                 \
  X(fluid_settings_t*, new_fluid_settings, (void))                                                                   \
  X(void, delete_fluid_settings, (fluid_settings_t * settings))                                                      \
  X(int, fluid_settings_setnum, (fluid_settings_t * settings, const char* name, double val))                         \
  X(int, fluid_settings_setint, (fluid_settings_t * settings, const char* name, int val))                            \
  X(fluid_synth_t*, new_fluid_synth, (fluid_settings_t * settings))                                                  \
  X(void, delete_fluid_synth, (fluid_synth_t * synth))                                                               \
  X(int, fluid_synth_sfload, (fluid_synth_t * synth, const char* filename, int reset_presets))                       \
  X(int, fluid_synth_noteon, (fluid_synth_t * synth, int chan, int key, int vel))                                    \
  X(int, fluid_synth_noteoff, (fluid_synth_t * synth, int chan, int key))                                            \
  X(int, fluid_synth_key_pressure, (fluid_synth_t * synth, int chan, int key, int val))                              \
  X(int, fluid_synth_cc, (fluid_synth_t * synth, int chan, int ctrl, int val))                                       \
  X(int, fluid_synth_program_change, (fluid_synth_t * synth, int chan, int program))                                 \
  X(int, fluid_synth_channel_pressure, (fluid_synth_t * synth, int chan, int val))                                   \
  X(int, fluid_synth_pitch_bend, (fluid_synth_t * synth, int chan, int val))                                         \
  X(int, fluid_synth_sysex,                                                                                          \
    (fluid_synth_t * synth, const char* data, int len, char* response, int* response_len, int* handled, int dryrun)) \
  X(int, fluid_synth_system_reset, (fluid_synth_t * synth))                                                          \
  X(int, fluid_synth_all_notes_off, (fluid_synth_t * synth, int chan))                                               \
  X(int, fluid_synth_all_sounds_off, (fluid_synth_t * synth, int chan))                                              \
  X(void, fluid_synth_set_gain, (fluid_synth_t * synth, float gain))                                                 \
  X(int, fluid_synth_write_float,                                                                                    \
    (fluid_synth_t * synth, int len, void* lout, int loff, int lincr, void* rout, int roff, int rincr))              \
  X(int, fluid_synth_get_active_voice_count, (fluid_synth_t * synth))                                                \
  X(int, fluid_synth_get_internal_bufsize, (fluid_synth_t * synth))

struct FluidApi {
#define KV_FLUID_POINTER(ret, name, params) ret(__cdecl* name) params = nullptr;
  KV_FLUID_FUNCTIONS(KV_FLUID_POINTER)
#undef KV_FLUID_POINTER
};

// The library's file name in FluidSynth's Windows builds.
extern const char kFluidSynthLibrary[];
// The folder below the host's own that holds the library of a host of `bits`
// (32 or 64): the package carries one build per bitness, in x86 and x64.
const char* fluidSynthFolder(int bits);

// The library a host uses, and where it was found. The places, in order:
// FluidSynth= of KVHOST.INI (a file, or a folder holding the library); the
// host's own folder; the folder of the host's bitness below it (x86 or x64),
// where the package puts it; the system's search path. A library of the other bitness,
// wherever it lies, is passed over and said; a library named in KVHOST.INI
// that is of the host's bitness is the only one tried: a wrong setting is
// said, not passed over for another build.
struct FluidLibrary {
  std::string path;                     // as loaded: a full path, or the bare name the search path took
  std::string source;                   // where it was found, in words
  FluidApi api;                         // every function, when `why` is empty
  std::string why;                      // what is missing, by name
  std::vector<std::string> passedOver;  // libraries of the other bitness, one line each
};
// Where a host of `bits` finds its library, by the files' headers alone:
// fills `path`, `source` and `passedOver`. Any host's, so that the setup
// program can tell both bitnesses' choice.
void findFluidSynth(const HostSettings& settings, int bits, FluidLibrary* library);
// Loads the library and takes every function. It stays loaded for the
// process's life: the host loads it once, and a library lacking a function is
// kept too (unloading FluidSynth loses what its own libraries took as they
// loaded). False with `why` set when the library or a function is missing.
bool loadFluidSynth(const HostSettings& settings, FluidLibrary* library);

// The SoundFont the host uses: SoundFont= of KVHOST.INI, else the first .sf2
// (by name) beside the host, which the package brings, else the first of the
// system's own General MIDI banks.
struct SoundFontChoice {
  std::string path;      // as named: a Windows path, or a host path on Linux
  std::string source;    // where it was found, in words
  std::string openPath;  // what FluidSynth is given to open
  long long size = 0;
  std::string why;  // when none can be read
};
bool findSoundFont(const HostSettings& settings, SoundFontChoice* font);

// One per system. The General MIDI banks the system brings or installs, tried
// in order when none is named or beside the host; where they come from, in
// words; and what is missing when none is there.
struct SystemSoundFonts {
  std::vector<std::string> paths;
  std::string source;
  std::string missing;
};
SystemSoundFonts systemSoundFonts();
// The name FluidSynth opens `path` by (a host path on Linux;
// the path in UTF-8 on Windows, where FluidSynth takes its names so) and the
// file's size; false when the file cannot be read.
bool soundFontFile(const std::string& path, std::string* openPath, long long* size);
// The first .sf2 file (by name, without regard to case) in the folder `dir`,
// as DIR\NAME; empty when there is none.
std::string soundFontIn(const std::string& dir);
