// The synthesizer back end: FluidSynth with a General MIDI SoundFont, through
// the functions taken from its library at run time.
#include <stdio.h>
#include <string.h>

#include "host/fluidbind.h"
#include "host/synth.h"

namespace {

// Larger SoundFonts load their samples when a channel selects a preset, so
// that the host answers its open at once.
const long long kDynamicLoadingFrom = 32ll << 20;

class FluidSynth : public Synth {
 public:
  FluidSynth(const FluidApi& f, fluid_settings_t* settings, fluid_synth_t* synth, const HostSettings& host,
             std::string font)
      : f_(f), settings_(settings), synth_(synth), gain_(host.gain), font_(std::move(font)) {}
  ~FluidSynth() override {
    f_.delete_fluid_synth(synth_);
    f_.delete_fluid_settings(settings_);
  }

  void message(const uint8_t* b, size_t size) override {
    uint8_t status = b[0];
    if (status == 0xF0) {
      sysex(b, size);
      return;
    }
    if (status == 0xFF) {
      reset();
      return;
    }
    if (status >= 0xF0 || size < 2) return;
    int ch = status & 0x0F;
    switch (status & 0xF0) {
      case 0x80: f_.fluid_synth_noteoff(synth_, ch, b[1]); break;
      case 0x90:
        if (size < 3) return;
        if (b[2] == 0)
          f_.fluid_synth_noteoff(synth_, ch, b[1]);
        else
          f_.fluid_synth_noteon(synth_, ch, b[1], b[2]);
        break;
      case 0xA0:
        if (size >= 3) f_.fluid_synth_key_pressure(synth_, ch, b[1], b[2]);
        break;
      case 0xB0:
        if (size >= 3) f_.fluid_synth_cc(synth_, ch, b[1], b[2]);
        break;
      case 0xC0: f_.fluid_synth_program_change(synth_, ch, b[1]); break;
      case 0xD0: f_.fluid_synth_channel_pressure(synth_, ch, b[1]); break;
      case 0xE0:
        if (size >= 3) f_.fluid_synth_pitch_bend(synth_, ch, b[1] | b[2] << 7);
        break;
    }
  }

  // The reset ends voices with their release; the sound-off after it cuts them.
  void reset() override {
    f_.fluid_synth_system_reset(synth_);
    f_.fluid_synth_all_sounds_off(synth_, -1);
    f_.fluid_synth_set_gain(synth_, (float)gain_);
  }

  // FluidSynth keeps a note that the sustain or the sostenuto pedal holds
  // through all notes off: both pedals are lifted first.
  void notesOff() override {
    for (int ch = 0; ch < 16; ++ch) {
      f_.fluid_synth_cc(synth_, ch, 64, 0);
      f_.fluid_synth_cc(synth_, ch, 66, 0);
      f_.fluid_synth_all_notes_off(synth_, ch);
    }
  }

  void render(float* frames, size_t count) override {
    f_.fluid_synth_write_float(synth_, (int)count, frames, 0, 2, frames, 1, 2);
  }

  unsigned activeVoices() override { return (unsigned)f_.fluid_synth_get_active_voice_count(synth_); }

  unsigned step() const override { return (unsigned)f_.fluid_synth_get_internal_bufsize(synth_); }

  std::string description() const override { return font_; }

 private:
  void sysex(const uint8_t* b, size_t size) {
    if (size < 3 || b[size - 1] != 0xF7) return;
    const uint8_t* body = b + 1;
    size_t n = size - 2;
    // Master volume (universal real time): 7F dev 04 01 lsb msb.
    if (n == 6 && body[0] == 0x7F && body[2] == 0x04 && body[3] == 0x01) {
      f_.fluid_synth_set_gain(synth_, (float)(gain_ * (body[4] | body[5] << 7) / 16383.0));
      return;
    }
    // General MIDI system on (1 or 2): a full reset of every channel.
    if (n == 4 && body[0] == 0x7E && body[2] == 0x09 && (body[3] == 0x01 || body[3] == 0x03)) {
      reset();
      return;
    }
    f_.fluid_synth_sysex(synth_, reinterpret_cast<const char*>(body), (int)n, nullptr, nullptr, nullptr, 0);
    // The other makers' resets (they also choose how banks are selected) silence too.
    static const uint8_t gsReset[] = {0x41, 0x00, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41};
    static const uint8_t xgReset[] = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00};
    bool gs = n == sizeof gsReset && body[0] == 0x41 && memcmp(body + 2, gsReset + 2, sizeof gsReset - 2) == 0;
    bool xg = n == sizeof xgReset && body[0] == 0x43 && (body[1] & 0xF0) == 0x10 &&
              memcmp(body + 2, xgReset + 2, sizeof xgReset - 2) == 0;
    if (gs || xg) f_.fluid_synth_all_sounds_off(synth_, -1);
  }

  const FluidApi& f_;
  fluid_settings_t* settings_;
  fluid_synth_t* synth_;
  double gain_;
  std::string font_;
};

void __cdecl quiet(int, const char*, void*) {}

}  // namespace

std::unique_ptr<Synth> createSynth(const HostSettings& host, std::string* why, SynthOrigin* origin) {
  // Loaded once; what it lacks is said once, by the first open.
  static FluidLibrary library;
  static bool loaded = loadFluidSynth(host, &library);
  SoundFontChoice font;
  bool found = findSoundFont(host, &font);
  if (origin) {
    origin->passedOver = library.passedOver;
    if (loaded) origin->found.push_back("FluidSynth " + library.path + " (" + library.source + ")");
    if (found) origin->found.push_back("SoundFont " + font.path + " (" + font.source + ")");
  }
  if (!loaded || !found) {
    *why = !loaded && !found ? library.why + "; " + font.why : !loaded ? library.why : font.why;
    return nullptr;
  }
  const FluidApi& f = library.api;
  // The host says what went wrong itself, once: FluidSynth's own log stays off.
  for (int level = FLUID_PANIC; level < FLUID_LOG_LEVELS; ++level) f.fluid_set_log_function(level, quiet, nullptr);
  fluid_settings_t* settings = f.new_fluid_settings();
  if (!settings) {
    *why = "FluidSynth cannot start";
    return nullptr;
  }
  f.fluid_settings_setnum(settings, "synth.sample-rate", host.sampleRate);
  f.fluid_settings_setint(settings, "synth.polyphony", (int)host.polyphony);
  f.fluid_settings_setint(settings, "synth.reverb.active", host.reverb);
  f.fluid_settings_setint(settings, "synth.chorus.active", host.chorus);
  f.fluid_settings_setnum(settings, "synth.gain", host.gain);
  f.fluid_settings_setint(settings, "synth.threadsafe-api", 0);
  f.fluid_settings_setint(settings, "synth.dynamic-sample-loading", font.size >= kDynamicLoadingFrom);
  fluid_synth_t* synth = f.new_fluid_synth(settings);
  if (!synth) {
    f.delete_fluid_settings(settings);
    *why = "FluidSynth cannot start";
    return nullptr;
  }
  if (f.fluid_synth_sfload(synth, font.openPath.c_str(), 1) == FLUID_FAILED) {
    f.delete_fluid_synth(synth);
    f.delete_fluid_settings(settings);
    *why = "cannot load the SoundFont " + font.path + " (" + font.source + ")";
    return nullptr;
  }
  return std::unique_ptr<Synth>(new FluidSynth(f, settings, synth, host, font.openPath));
}
