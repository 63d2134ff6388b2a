// A note from a client of either bitness; see note.h.
#include "note.h"

#include <stdio.h>

#include "support.h"
#include "tones.h"

namespace kvwine {

std::vector<double> playFrom(bool wide, const std::string& dir, const std::string& steps, std::string* text,
                             unsigned* rate) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  for (const char* f : {"KVMIDIIN.TXT", "KVMIDIIN.RAW", "KVMIDIIN.WAV"}) DeleteFileA((dir + "\\" + f).c_str());
  std::string client = wide ? std::string(kOtherSuite) : std::string("\"") + self + "\"";
  EXPECT_EQ(runShown(client + " --kv-helper play " + steps, dir, true), 0u)
      << (wide ? "the 64-bit client" : "the 32-bit client");
  *text = readFile(dir + "\\KVMIDIIN.TXT");
  return monoSamples(readFile(dir + "\\KVMIDIIN.WAV"), rate);
}

void expectA4From(bool wide, const std::string& dir) {
  std::string text;
  unsigned rate = 0;
  std::vector<double> s = playFrom(wide, dir, "C0 644590 +800 4590", &text, &rate);
  EXPECT_NE(text.find("# 1 note-ons played\n"), std::string::npos) << text;
  size_t start = soundStart(s);
  ASSERT_LT(start, s.size()) << "the record is silent\n" << text;
  double pitch = strongestPitch(s, start + rate / 20, rate / 2, rate, 300, 600);
  printf("A4 from a %d-bit client measured at %.2f Hz\n", wide ? 64 : 32, pitch);
  EXPECT_NEAR(pitch, 440.0, 3.0) << text;
  std::string folder = wide ? "x64" : "x86";
  EXPECT_NE(text.find("# FluidSynth " + dir + "\\" + folder + "\\libfluidsynth-3.dll (in the host's " + folder +
                      " folder)\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("# SoundFont " + dir + "\\TimGM6mb.sf2 (beside the host)\n"), std::string::npos) << text;
}

}  // namespace kvwine
