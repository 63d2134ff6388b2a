// The host with the real FluidSynth, built for this suite's bitness from the
// source release (BUILD_DIR/fluidsynth), laid out as the package lays it out:
// in the folder of the host's bitness below the install directory. A library
// of the other bitness, named or beside the host, is passed over and said; a
// DLS bank sounds when named, and the system's own General MIDI bank when
// none is named or beside the host. What sounds is measured in the host's
// WAV record.
#include <stdio.h>

#include <string>
#include <vector>

#include "support.h"
#include "tones.h"

using kvwine::Child;

namespace {

const bool kWide = sizeof(void*) == 8;
const char* const kOwnFolder = kWide ? "x64" : "x86";

// A file of the build or of the Linux side, through the drive Wine maps to the root.
std::string unixFile(const std::string& path) {
  std::string windows = "Z:" + path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}
std::string buildFile(const char* path) { return unixFile(std::string(KV_WINE_BUILD_DIR) + "/" + path); }

const char kSoundFont[] = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const char kDlsBank[] = "fluidsynth/src/fluidsynth-2.5.7/sf2/VintageDreamsWaves-v2.dls";

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A4 held for most of a second, on the piano of a General MIDI bank; on the
// DLS bank's "Triangle Simple", whose pitch is as plain (its first program
// is a bell, whose strongest partial is not its note).
const std::vector<std::string> kA4 = {"C0", "644590", "+800", "4590"};
const std::vector<std::string> kA4Triangle = {"10C0", "644590", "+800", "4590"};
// That bank's samples are tuned some 20 cents flat (its A4 sounds at 435 Hz,
// in its SF2 form as in its DLS form): its note is heard within a quarter
// tone, well clear of the semitones beside it.
const double kQuarterTone = 12.8;

class WineFluidSynthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cleanUp();
    ASSERT_TRUE(CreateDirectoryA(in(kOwnFolder).c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(buildFile("fluidsynth/libfluidsynth-3.dll").c_str(),
                          (in(kOwnFolder) + "\\libfluidsynth-3.dll").c_str(), FALSE))
        << GetLastError();
  }
  void TearDown() override { cleanUp(); }

  std::string dir() const { return kvwine::installDir(); }
  std::string in(const std::string& name) const { return dir() + "\\" + name; }
  std::string ini() const { return in("KVHOST.INI"); }
  // The system's own General MIDI bank, in the 64-bit system directory, as
  // this process reaches it.
  std::string systemBank() const {
    return std::string("C:\\windows\\") + (kWide ? "system32" : "Sysnative") + "\\drivers\\gm.dls";
  }

  void cleanUp() {
    kvwine::clearRecords("KVMIDIIN");
    for (const char* f : {"x86\\libfluidsynth-3.dll", "x64\\libfluidsynth-3.dll", "Other\\libfluidsynth-3.dll",
                          "libfluidsynth-3.dll", "GM.SF2", "BANK.DLS"})
      DeleteFileA(in(f).c_str());
    for (const char* d : {"x86", "x64", "Other"}) RemoveDirectoryA(in(d).c_str());
    DeleteFileA(systemBank().c_str());
    WritePrivateProfileStringA("Host", "FluidSynth", nullptr, ini().c_str());
    WritePrivateProfileStringA("Host", "SoundFont", nullptr, ini().c_str());
  }

  void setting(const char* key, const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value.c_str(), ini().c_str()));
  }

  // A library of the other bitness: one of the system's own, under FluidSynth's name.
  void putOtherBitnessLibrary(const std::string& target) {
    std::string otherSystem = kWide ? "C:\\windows\\syswow64" : "C:\\windows\\Sysnative";
    ASSERT_TRUE(CopyFileA((otherSystem + "\\winmm.dll").c_str(), target.c_str(), FALSE)) << GetLastError();
  }

  // Plays A4 and answers the pitch the record holds; the record's text in `text`.
  double playA4(std::string* text, const std::vector<std::string>& steps = kA4) {
    std::string error = kvwine::playSteps(steps);
    EXPECT_EQ(error, "");
    *text = kvwine::readFile(in("KVMIDIIN.TXT"));
    unsigned rate = 0;
    std::vector<double> s = kvwine::monoSamples(kvwine::readFile(in("KVMIDIIN.WAV")), &rate);
    size_t start = kvwine::soundStart(s);
    EXPECT_LT(start, s.size()) << "the record is silent\n" << *text;
    if (rate == 0 || start >= s.size()) return 0;
    double pitch = kvwine::strongestPitch(s, start + rate / 20, rate / 2, rate, 300, 600);
    printf("A4 measured at %.2f Hz\n", pitch);
    return pitch;
  }

  // What KVSETUP.EXE shows.
  std::string setupSays() {
    std::string out;
    Child setup("\"" + in("KVSETUP.EXE") + "\"", dir());
    EXPECT_EQ(setup.finish(out), 0u) << out;
    std::string lines;
    for (char c : out)
      if (c != '\r') lines += c;
    return lines;
  }
};

}  // namespace

TEST_F(WineFluidSynthTest, LibrariesOfTheOtherBitnessArePassedOverAndTheHostSoundsFromItsOwn) {
  // One named by FluidSynth=, as both hosts read the one KVHOST.INI, and one
  // beside the host, where an earlier layout put it; the host's own lies in
  // the folder of its bitness, as the package puts it.
  ASSERT_TRUE(CreateDirectoryA(in("Other").c_str(), nullptr));
  putOtherBitnessLibrary(in("Other\\libfluidsynth-3.dll"));
  putOtherBitnessLibrary(in("libfluidsynth-3.dll"));
  setting("FluidSynth", in("Other"));
  ASSERT_TRUE(CopyFileA(unixFile(kSoundFont).c_str(), in("GM.SF2").c_str(), FALSE));

  std::string text;
  EXPECT_NEAR(playA4(&text), 440.0, 3.0) << text;
  const std::string bits = kWide ? "is a 32-bit library; this 64-bit host passed it over"
                                 : "is a 64-bit library; this 32-bit host passed it over";
  EXPECT_EQ(countOf(text, "# " + in("Other\\libfluidsynth-3.dll") + " (FluidSynth= in KVHOST.INI) " + bits + "\n"), 1u)
      << text;
  EXPECT_EQ(countOf(text, "# " + in("libfluidsynth-3.dll") + " (beside the host) " + bits + "\n"), 1u) << text;
  EXPECT_EQ(countOf(text, "# FluidSynth " + in(kOwnFolder) + "\\libfluidsynth-3.dll (in the host's " + kOwnFolder +
                              " folder)\n"),
            1u)
      << text;
  EXPECT_EQ(countOf(text, "# SoundFont " + in("GM.SF2") + " (beside the host)\n"), 1u) << text;

  std::string shown = setupSays();
  EXPECT_EQ(countOf(shown, "  passed over   " + in("libfluidsynth-3.dll") + " (beside the host) " + bits + "\n"), 1u)
      << shown;
  EXPECT_EQ(countOf(shown, "  FluidSynth    " + in(kOwnFolder) + "\\libfluidsynth-3.dll (in the host's " + kOwnFolder +
                               " folder): loads\n"),
            1u)
      << shown;
  EXPECT_EQ(countOf(shown, "  SoundFont     " + in("GM.SF2") + " (beside the host): loads\n"), 1u) << shown;
}

TEST_F(WineFluidSynthTest, ADlsBankSoundsWhenNamed) {
  ASSERT_TRUE(CopyFileA(buildFile(kDlsBank).c_str(), in("BANK.DLS").c_str(), FALSE)) << GetLastError();
  setting("SoundFont", in("BANK.DLS"));
  std::string text;
  EXPECT_NEAR(playA4(&text, kA4Triangle), 440.0, kQuarterTone) << text;
  EXPECT_EQ(countOf(text, "# SoundFont " + in("BANK.DLS") + " (SoundFont= in KVHOST.INI)\n"), 1u) << text;
}

// A 32-bit host on 64-bit Windows sees SysWOW64 as its system directory, which
// holds no gm.dls: it reaches the bank through Sysnative.
TEST_F(WineFluidSynthTest, WithoutABankTheSystemsOwnGeneralMidiBankSounds) {
  ASSERT_TRUE(CopyFileA(buildFile(kDlsBank).c_str(), systemBank().c_str(), FALSE)) << GetLastError();
  std::string text;
  EXPECT_NEAR(playA4(&text, kA4Triangle), 440.0, kQuarterTone) << text;
  const std::string source = " (the system's own General MIDI bank: none is named or beside the host)";
  EXPECT_EQ(countOf(text, "# SoundFont " + systemBank() + source + "\n"), 1u) << text;
  std::string shown = setupSays();
  EXPECT_EQ(countOf(shown, "  SoundFont     " + systemBank() + source + ": loads\n"), 1u) << shown;
}
