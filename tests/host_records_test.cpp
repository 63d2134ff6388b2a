// The host's records are a diagnostic: kept only when named, where a Windows
// path in the setting puts them, and never a reason for the device not to
// play. Real hosts started by the real driver; the WAV writer also directly,
// at a limit small enough to reach.
#include <sndfile.h>
#include <string.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/audio.h"
#include "kv/plat.h"
#include "product.h"
#include "tests/shared/wavlimit.h"

using kvtest::Child;

namespace {

using kvtest::readFile;
using kvtest::waitUntil;

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class HostRecordsTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    hostSetting("SoundServer", "none");
  }
  void TearDown() override {
    instance.reset();
    ProductTest::TearDown();
  }

  // Opens the wave device, plays a tenth of a second of 16-bit stereo until
  // the buffer comes back, closes and waits for the host to end.
  void playWave() {
    if (!instance) {
      instance.reset(new Child("instance_window"));
      ASSERT_EQ(instance->expectLine(), "open");
    }
    WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
    WAVEOPENDESC desc = {};
    desc.lpFormat = &wf;
    ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL), 0u) << "the device opens";
    int pid = (int)kvtest::hostProcessOf(drv.wave->hwndHost);
    std::vector<BYTE> samples(4410 * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = (BYTE)(i * 7);
    WAVEHDR h = {};
    h.lpData = reinterpret_cast<LPSTR>(samples.data());
    h.dwBufferLength = (DWORD)samples.size();
    h.dwFlags = WHDR_PREPARED;
    ASSERT_EQ(drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&h, sizeof h), 0u);
    EXPECT_TRUE(waitUntil([&] { return kvtest::headerDone(h); })) << "the host plays the buffer";
    ASSERT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
    ASSERT_TRUE(kvtest::processEnds(pid, 5000));
  }

  // Every file below drive C whose name ends in `ext`.
  std::vector<std::string> filesEndingIn(const std::vector<std::string>& exts) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root + "/drive_c")) {
      std::string name = e.path().filename().string();
      for (const std::string& ext : exts)
        if (name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
          found.push_back(e.path().string());
    }
    return found;
  }

  std::unique_ptr<Child> instance;
};

}  // namespace

TEST_F(HostRecordsTest, NoRecordIsKeptWhenNoneIsNamed) {
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "MidiRecord", nullptr, "C:\\KV\\KVHOST.INI"));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "WaveRecord", nullptr, "C:\\KV\\KVHOST.INI"));
  playMidiNote();
  playWave();
  EXPECT_EQ(filesEndingIn({".RAW", ".TXT", ".WAV"}), std::vector<std::string>());
}

class UnopenableMidiRecordTest : public HostRecordsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnopenableMidiRecordTest, TheDevicePlaysAndTheHostSaysWhatItLeftOutOnce) {
  keepHostStderr();
  hostSetting("MidiRecord", GetParam());
  hostSetting("Gain", "nan");
  playMidiNote();
  std::string said = hostSaid();
  for (const char* ext : {".RAW", ".TXT", ".WAV"})
    EXPECT_EQ(countOf(said, std::string("cannot open the record ") + GetParam() + ext), 1u) << ext << "\n" << said;
  EXPECT_EQ(countOf(said, "Gain=nan"), 1u) << said;
  EXPECT_EQ(filesEndingIn({".RAW", ".TXT", ".WAV"}), std::vector<std::string>()) << "nothing written elsewhere";
}

INSTANTIATE_TEST_SUITE_P(Paths, UnopenableMidiRecordTest,
                         ::testing::Values("/nonexistent/dir/REC", "C:\\nodir\\sub\\REC"));

// A host started by the driver has nobody reading its standard error: what it
// could not use of its settings is in its record too.
TEST_F(HostRecordsTest, TheRecordSaysWhichSettingsTheHostCouldNotUse) {
  hostSetting("Gain", "nan");
  playMidiNote();
  std::string text = readInstallFile("KVMIDIIN.TXT");
  EXPECT_EQ(countOf(text, "# KVHOST.INI: Gain=nan is not a number from 0 to 10; using the default 0.5\n"), 1u) << text;
}

TEST_F(HostRecordsTest, AWaveRecordThatCannotBeOpenedLeavesTheDevicePlaying) {
  keepHostStderr();
  hostSetting("WaveRecord", "/nonexistent/dir/REC");
  playWave();
  std::string said = hostSaid();
  EXPECT_EQ(countOf(said, "cannot open the record /nonexistent/dir/REC.WAV"), 1u) << said;
  EXPECT_EQ(countOf(said, "cannot open the record /nonexistent/dir/REC.TXT"), 1u) << said;
}

TEST_F(HostRecordsTest, RecordsNamedByWindowsPathsLandOnTheEmulatedDrive) {
  ASSERT_TRUE(CreateDirectoryA("C:\\Records", nullptr));
  // Existing names are matched without regard to case, as on Windows.
  hostSetting("MidiRecord", "C:\\Records\\MIDI");
  hostSetting("WaveRecord", "c:\\RECORDS\\WAVE");
  playMidiNote();
  playWave();
  std::string dir = root + "/drive_c/Records/";
  EXPECT_EQ(readFile(dir + "MIDI.RAW"), std::string("\x90\x3C\x7F\x90\x3C\x00", 6));
  EXPECT_NE(readFile(dir + "MIDI.TXT").find("note-on"), std::string::npos);
  for (const char* wav : {"MIDI.WAV", "WAVE.WAV"}) {
    SF_INFO info = {};
    SNDFILE* f = sf_open((dir + wav).c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << wav;
    if (f) sf_close(f);
  }
  EXPECT_NE(readFile(dir + "WAVE.TXT").find("frames "), std::string::npos);
  for (const auto& e : std::filesystem::directory_iterator(installDir()))
    EXPECT_EQ(e.path().filename().string().find('\\'), std::string::npos) << e.path();
}

TEST_F(HostRecordsTest, ASoundFontNamedByAWindowsPathIsLoaded) {
  const char* font = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (GetFileAttributesA(font) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "timgm6mb-soundfont is not installed";
  ASSERT_TRUE(CopyFileA(font, "C:\\KV\\GM.SF2", FALSE));
  hostSetting("SoundFont", "C:\\KV\\GM.SF2");
  playMidiNote();
  std::string text = readInstallFile("KVMIDIIN.TXT");
  EXPECT_NE(text.find("# synthesizer: " + installDir() + "/GM.SF2\n"), std::string::npos) << text;
}

// The real writer, told to stop at a limit small enough to reach: the record
// keeps whole frames up to it, its header counts exactly what it holds, and
// the stop is said once however much more comes.
class WavRecordLimitTest : public kvtest::MachineTest {};

TEST_F(WavRecordLimitTest, TheRecordStopsAtItsLimitAndStaysAValidFile) {
  ASSERT_TRUE(platMachineInit());
  const AudioFormat format = {44100, 2, 16};
  std::vector<char> block(600);
  for (size_t i = 0; i < block.size(); ++i) block[i] = (char)i;
  testing::internal::CaptureStderr();
  {
    // 1002 bytes are 250 frames and a half: the half frame is not kept.
    std::unique_ptr<AudioSink> wav = openWavRecord("C:\\LIMIT.WAV", format, 1002);
    ASSERT_NE(wav, nullptr);
    for (int i = 0; i < 4; ++i) wav->write(block.data(), block.size());
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(said, "C:\\LIMIT.WAV holds the most a WAV file can (1000 bytes"), 1u) << said;
  EXPECT_EQ(countOf(said, "KVTSK16:"), 1u) << said;

  std::string path = root + "/drive_c/LIMIT.WAV";
  std::string file = readFile(path);
  kvtest::expectWavStoppedAtItsLimit(file, block);
  SF_INFO info = {};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.frames, 250);
  sf_close(f);
}
