// The host binds FluidSynth at run time, as on Windows: the platform loads
// the system's build by the Windows name, and nothing missing (the library,
// a function, the SoundFont) keeps the device from playing; each is said
// once, on standard error and in the record. Real hosts started by the real
// driver.
#include <string>

#include "kv/plat.h"
#include "product.h"

namespace {

using kvtest::readFile;
using kvtest::waitUntil;

const char kFont[] = "/usr/share/sounds/sf2/TimGM6mb.sf2";

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SynthLibraryTest : public kvtest::MachineTest {};

TEST_F(SynthLibraryTest, TheWindowsNameLoadsTheSystemsBuild) {
  ASSERT_TRUE(platMachineInit());
  HMODULE lib = LoadLibraryA("libfluidsynth-3.dll");
  ASSERT_NE(lib, nullptr) << "error " << GetLastError();
  EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(lib, "new_fluid_synth")), nullptr);
  EXPECT_EQ(GetModuleHandleA("LIBFLUIDSYNTH-3.DLL"), lib) << "names are matched without regard to case";
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(lib, path, sizeof path), 0u);
  EXPECT_NE(std::string(path).find("libfluidsynth.so.3"), std::string::npos) << path;
  // Only the bare name stands for the system's library.
  EXPECT_EQ(LoadLibraryA("C:\\KV\\libfluidsynth-3.dll"), nullptr);
  EXPECT_EQ(LoadLibraryExA("libfluidsynth-3.dll", nullptr, 0x10), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadLibraryExA("libfluidsynth-3.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), lib);
}

class MissingSynthPartTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    hostSetting("SoundServer", "none");
  }

  // Opens the MIDI device, plays a note on and off, closes; the host's record
  // holds the bytes all the same.
  void playMidi() {
    playMidiNote();
    EXPECT_EQ(readInstallFile("KVMIDIIN.RAW"), std::string("\x90\x3C\x7F\x90\x3C\x00", 6));
  }

  // Plays with the host's standard error kept; what is missing is said once
  // there and once in the record.
  void expectSaidOnce(const std::string& what) {
    keepHostStderr();
    playMidi();
    std::string said = hostSaid(), record = readInstallFile("KVMIDIIN.TXT");
    EXPECT_EQ(countOf(said, what), 1u) << said;
    EXPECT_EQ(countOf(record, what), 1u) << record;
    EXPECT_EQ(countOf(record, "# synthesizer:"), 0u) << record;
    // FluidSynth's own log is off: the host alone says what went wrong.
    EXPECT_EQ(countOf(said, "fluidsynth:"), 0u) << said;
  }

  bool haveFont() { return GetFileAttributesA(kFont) != INVALID_FILE_ATTRIBUTES; }
};

TEST_F(MissingSynthPartTest, ALibraryThatCannotBeLoadedIsSaidByItsPath) {
  hostSetting("FluidSynth", "C:\\Synth\\libfluidsynth-3.dll");
  expectSaidOnce("cannot load the FluidSynth library C:\\Synth\\libfluidsynth-3.dll (FluidSynth= in KVHOST.INI");
}

TEST_F(MissingSynthPartTest, AFolderNamedInTheSettingsIsLookedInAndItsLibraryAlone) {
  // A folder without the library: the system's build is not tried instead.
  ASSERT_TRUE(CreateDirectoryA("C:\\Synth", nullptr));
  hostSetting("FluidSynth", "C:\\Synth");
  expectSaidOnce("cannot load the FluidSynth library C:\\Synth\\libfluidsynth-3.dll (FluidSynth= in KVHOST.INI");
}

TEST_F(MissingSynthPartTest, ALibraryLackingFunctionsIsSaidWithTheirNames) {
  // A relative folder is taken from the install directory and made full.
  ASSERT_TRUE(CreateDirectoryA("C:\\KV\\Synth", nullptr));
  ASSERT_TRUE(
      CopyFileA((kvtest::buildDir() + "/fakefluid-lacking.so").c_str(), "C:\\KV\\Synth\\libfluidsynth-3.dll", FALSE));
  hostSetting("FluidSynth", "Synth");
  expectSaidOnce(
      "the FluidSynth library C:\\KV\\Synth\\libfluidsynth-3.dll (FluidSynth= in KVHOST.INI) lacks the "
      "functions fluid_synth_sysex, fluid_synth_get_internal_bufsize;");
}

TEST_F(MissingSynthPartTest, TheLibraryBesideTheHostComesBeforeTheSystems) {
  ASSERT_TRUE(CopyFileA((kvtest::buildDir() + "/fakefluid-lacking.so").c_str(), "C:\\KV\\libfluidsynth-3.dll", FALSE));
  playMidi();
  std::string record = readInstallFile("KVMIDIIN.TXT");
  EXPECT_EQ(countOf(record, "the FluidSynth library C:\\KV\\libfluidsynth-3.dll (beside the host) lacks"), 1u)
      << record;
}

TEST_F(MissingSynthPartTest, AMissingSoundFontIsSaidByItsPath) {
  hostSetting("SoundFont", "C:\\KV\\NONE.SF2");
  expectSaidOnce("cannot read the SoundFont C:\\KV\\NONE.SF2 (SoundFont= in KVHOST.INI)");
}

TEST_F(MissingSynthPartTest, AFileThatIsNoSoundFontIsSaidOnce) {
  if (!haveFont()) GTEST_SKIP() << "timgm6mb-soundfont is not installed";
  HANDLE f = CreateFileA("C:\\KV\\BROKEN.SF2", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(f, "not a SoundFont", 15, &written, nullptr));
  CloseHandle(f);
  hostSetting("SoundFont", "C:\\KV\\BROKEN.SF2");
  expectSaidOnce("cannot load the SoundFont C:\\KV\\BROKEN.SF2 (SoundFont= in KVHOST.INI)");
}

TEST_F(MissingSynthPartTest, TheFirstSoundFontBesideTheHostIsTaken) {
  if (!haveFont()) GTEST_SKIP() << "timgm6mb-soundfont is not installed";
  ASSERT_TRUE(CopyFileA(kFont, "C:\\KV\\b.sf2", FALSE));
  ASSERT_TRUE(CopyFileA(kFont, "C:\\KV\\A.SF2", FALSE));
  ASSERT_TRUE(CopyFileA(kFont, "C:\\KV\\C.sf2", FALSE));
  playMidi();
  std::string record = readInstallFile("KVMIDIIN.TXT");
  EXPECT_EQ(countOf(record, "# synthesizer: " + installDir() + "/A.SF2\n"), 1u) << record;
}

}  // namespace

namespace {

class SetupSynthTest : public kvtest::ProductTest {
 protected:
  std::string setupSays() {
    std::string out;
    EXPECT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {}, &out), 0) << out;
    return out;
  }
};

TEST_F(SetupSynthTest, SetupShowsTheLibraryAndTheSoundFontTheHostWouldUseAndWhetherTheyLoad) {
  if (GetFileAttributesA(kFont) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "timgm6mb-soundfont is not installed";
  ASSERT_TRUE(CopyFileA(kFont, "C:\\KV\\GM.SF2", FALSE));
  std::string out = setupSays();
  EXPECT_NE(out.find("  FluidSynth    libfluidsynth-3.dll (on the system's search path): loads\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("  SoundFont     C:\\KV\\GM.SF2 (beside the host): loads\n"), std::string::npos) << out;

  HANDLE f = CreateFileA("C:\\KV\\BROKEN.SF2", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  CloseHandle(f);
  hostSetting("SoundFont", "C:\\KV\\BROKEN.SF2");
  out = setupSays();
  EXPECT_NE(out.find("  SoundFont     C:\\KV\\BROKEN.SF2 (SoundFont= in KVHOST.INI): does not load: cannot load the "
                     "SoundFont C:\\KV\\BROKEN.SF2"),
            std::string::npos)
      << out;

  hostSetting("FluidSynth", "C:\\Synth\\libfluidsynth-3.dll");
  out = setupSays();
  EXPECT_NE(out.find("  FluidSynth    C:\\Synth\\libfluidsynth-3.dll (FluidSynth= in KVHOST.INI): does not load: "
                     "cannot load the FluidSynth library"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  SoundFont     C:\\KV\\BROKEN.SF2 (SoundFont= in KVHOST.INI): not tried without FluidSynth\n"),
            std::string::npos)
      << out;
}

}  // namespace
