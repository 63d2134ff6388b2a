// A stand-in for FluidSynth's library, for the tests of the host's binding
// where the real library cannot be had (Windows) and for a library that lacks
// functions. It exports the functions the host takes by name, with FluidSynth's
// C calling convention; logs every call with its arguments, one line each, to
// FAKEFLUID.LOG in the current directory (the host's install directory); and
// renders, for each note-on, half a second of a sine at the note's pitch.
// Built with KV_FAKEFLUID_LACKING, it leaves out fluid_synth_sysex and
// fluid_synth_get_internal_bufsize.
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <vector>

// Every function is exported by its plain name (the build passes __cdecl
// empty where the compiler has no such word).
#define FAKE_API extern "C"

namespace {

const double kPi = 3.14159265358979323846;

struct Settings {
  double sampleRate = 44100;
};

struct Note {
  int chan, key;
  double phase, step;
  long left;  // frames still to sound
  float amplitude;
};

struct Synth {
  Settings* settings;
  std::vector<Note> notes;
  bool wroteLogged = false;
  bool fontLoaded = false;
};

std::mutex logLock;

void say(const char* format, ...) {
  std::lock_guard<std::mutex> hold(logLock);
  FILE* log = fopen("FAKEFLUID.LOG", "ab");
  if (!log) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}

// A handle the stand-in did not give out is logged as such: the arguments
// came in the wrong order or by the wrong convention.
const char* handleName(const void* p, const void* expected) { return p && p == expected ? "ok" : "bad"; }

Settings* lastSettings = nullptr;
Synth* lastSynth = nullptr;

}  // namespace

typedef void(__cdecl* LogFunction)(int level, const char* message, void* data);

FAKE_API LogFunction __cdecl fluid_set_log_function(int level, LogFunction fun, void* data) {
  say("fluid_set_log_function %d %s %s", level, fun ? "function" : "null", data ? "data" : "null");
  return nullptr;
}

FAKE_API Settings* __cdecl new_fluid_settings(void) {
  lastSettings = new Settings();
  say("new_fluid_settings");
  return lastSettings;
}

FAKE_API void __cdecl delete_fluid_settings(Settings* s) {
  say("delete_fluid_settings %s", handleName(s, lastSettings));
  if (s == lastSettings) {
    delete s;
    lastSettings = nullptr;
  }
}

FAKE_API int __cdecl fluid_settings_setnum(Settings* s, const char* name, double val) {
  say("fluid_settings_setnum %s %s %g", handleName(s, lastSettings), name, val);
  if (s == lastSettings && strcmp(name, "synth.sample-rate") == 0) s->sampleRate = val;
  return 0;
}

FAKE_API int __cdecl fluid_settings_setint(Settings* s, const char* name, int val) {
  say("fluid_settings_setint %s %s %d", handleName(s, lastSettings), name, val);
  return 0;
}

FAKE_API Synth* __cdecl new_fluid_synth(Settings* s) {
  say("new_fluid_synth %s", handleName(s, lastSettings));
  if (s != lastSettings) return nullptr;
  lastSynth = new Synth();
  lastSynth->settings = s;
  return lastSynth;
}

FAKE_API void __cdecl delete_fluid_synth(Synth* synth) {
  say("delete_fluid_synth %s", handleName(synth, lastSynth));
  if (synth == lastSynth) {
    delete synth;
    lastSynth = nullptr;
  }
}

// A SoundFont is a RIFF file of form "sfbk"; anything else fails to load.
FAKE_API int __cdecl fluid_synth_sfload(Synth* synth, const char* filename, int reset_presets) {
  say("fluid_synth_sfload %s %s %d", handleName(synth, lastSynth), filename, reset_presets);
  FILE* f = fopen(filename, "rb");
  char head[12] = {};
  bool ok = f && fread(head, 1, sizeof head, f) == sizeof head && memcmp(head, "RIFF", 4) == 0 &&
            memcmp(head + 8, "sfbk", 4) == 0;
  if (f) fclose(f);
  if (!ok || synth != lastSynth) return -1;
  synth->fontLoaded = true;
  return 1;
}

FAKE_API int __cdecl fluid_synth_noteon(Synth* synth, int chan, int key, int vel) {
  say("fluid_synth_noteon %s %d %d %d", handleName(synth, lastSynth), chan, key, vel);
  if (synth != lastSynth || !synth->fontLoaded) return -1;
  double rate = synth->settings->sampleRate;
  double hz = 440.0 * pow(2.0, (key - 69) / 12.0);
  synth->notes.push_back({chan, key, 0.0, 2.0 * kPi * hz / rate, (long)(rate / 2), 0.25f * (float)vel / 127.0f});
  return 0;
}

FAKE_API int __cdecl fluid_synth_noteoff(Synth* synth, int chan, int key) {
  say("fluid_synth_noteoff %s %d %d", handleName(synth, lastSynth), chan, key);
  return 0;
}

FAKE_API int __cdecl fluid_synth_key_pressure(Synth* synth, int chan, int key, int val) {
  say("fluid_synth_key_pressure %s %d %d %d", handleName(synth, lastSynth), chan, key, val);
  return 0;
}

FAKE_API int __cdecl fluid_synth_cc(Synth* synth, int chan, int ctrl, int val) {
  say("fluid_synth_cc %s %d %d %d", handleName(synth, lastSynth), chan, ctrl, val);
  return 0;
}

FAKE_API int __cdecl fluid_synth_program_change(Synth* synth, int chan, int program) {
  say("fluid_synth_program_change %s %d %d", handleName(synth, lastSynth), chan, program);
  return 0;
}

FAKE_API int __cdecl fluid_synth_channel_pressure(Synth* synth, int chan, int val) {
  say("fluid_synth_channel_pressure %s %d %d", handleName(synth, lastSynth), chan, val);
  return 0;
}

FAKE_API int __cdecl fluid_synth_pitch_bend(Synth* synth, int chan, int val) {
  say("fluid_synth_pitch_bend %s %d %d", handleName(synth, lastSynth), chan, val);
  return 0;
}

#ifndef KV_FAKEFLUID_LACKING
FAKE_API int __cdecl fluid_synth_sysex(Synth* synth, const char* data, int len, char* response, int* response_len,
                                       int* handled, int dryrun) {
  say("fluid_synth_sysex %s %02X %d %s %s %s %d", handleName(synth, lastSynth), len > 0 ? (unsigned char)data[0] : 0,
      len, response ? "buffer" : "null", response_len ? "count" : "null", handled ? "flag" : "null", dryrun);
  return 0;
}

FAKE_API int __cdecl fluid_synth_get_internal_bufsize(Synth* synth) {
  say("fluid_synth_get_internal_bufsize %s", handleName(synth, lastSynth));
  return 64;
}
#endif

FAKE_API int __cdecl fluid_synth_system_reset(Synth* synth) {
  say("fluid_synth_system_reset %s", handleName(synth, lastSynth));
  if (synth == lastSynth) synth->notes.clear();
  return 0;
}

FAKE_API int __cdecl fluid_synth_all_notes_off(Synth* synth, int chan) {
  say("fluid_synth_all_notes_off %s %d", handleName(synth, lastSynth), chan);
  return 0;
}

FAKE_API int __cdecl fluid_synth_all_sounds_off(Synth* synth, int chan) {
  say("fluid_synth_all_sounds_off %s %d", handleName(synth, lastSynth), chan);
  if (synth == lastSynth) synth->notes.clear();
  return 0;
}

FAKE_API void __cdecl fluid_synth_set_gain(Synth* synth, float gain) {
  say("fluid_synth_set_gain %s %g", handleName(synth, lastSynth), gain);
}

// Logged at its first call only: it runs for every block.
FAKE_API int __cdecl fluid_synth_write_float(Synth* synth, int len, void* lout, int loff, int lincr, void* rout,
                                             int roff, int rincr) {
  if (synth != lastSynth) {
    say("fluid_synth_write_float bad");
    return -1;
  }
  if (!synth->wroteLogged) {
    say("fluid_synth_write_float ok %d %s %d %d %s %d %d", len, lout ? "buffer" : "null", loff, lincr,
        rout == lout ? "same" : "other", roff, rincr);
    synth->wroteLogged = true;
  }
  float* left = static_cast<float*>(lout);
  float* right = static_cast<float*>(rout);
  for (int i = 0; i < len; ++i) {
    float v = 0;
    for (Note& n : synth->notes) {
      if (n.left <= 0) continue;
      v += n.amplitude * (float)sin(n.phase);
      n.phase += n.step;
      --n.left;
    }
    left[loff + i * lincr] = v;
    right[roff + i * rincr] = v;
  }
  std::vector<Note> sounding;
  for (const Note& n : synth->notes)
    if (n.left > 0) sounding.push_back(n);
  synth->notes.swap(sounding);
  return 0;
}

FAKE_API int __cdecl fluid_synth_get_active_voice_count(Synth* synth) {
  return synth == lastSynth ? (int)synth->notes.size() : -1;
}
