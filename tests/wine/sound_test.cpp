// The Windows host heard: it plays through WASAPI (or waveOut, when told to)
// into Wine's audio layer, which the suite's driver hands to Wine's own pulse
// driver, and so to the suite's PulseAudio server; scripts/wine-test.sh records
// that server's monitor for these tests (their names hold "Heard") into the
// file KV_WINE_MONITOR names. The synthesizer is the stand-in library, which
// sounds a sine at each note's pitch for half a second: the heard pitch tells
// a stream played at the wrong rate (a note at 44100 Hz taken for 48000 Hz is
// heard 8% flat) from a right one.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "tests/shared/spectrum.h"

using kvwine::Child;

namespace {

const unsigned kRate = 44100;

// The monitor's recording as it grows: mono 16-bit samples at 44100 Hz.
class Monitor {
 public:
  Monitor() {
    const char* unix = getenv("KV_WINE_MONITOR");
    if (!unix) return;
    path_ = std::string("Z:") + unix;
    for (char& c : path_)
      if (c == '/') c = '\\';
  }
  bool known() const { return !path_.empty(); }
  std::vector<int16_t> samples() const {
    std::string bytes = kvwine::readFile(path_);
    std::vector<int16_t> s(bytes.size() / 2);
    if (!s.empty()) memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
  }
  // Looks every 20 ms until `done` holds for what was recorded; the time-out
  // is a guard against a hang.
  template <typename Pred>
  bool waitFor(Pred done, DWORD timeoutMs = 20000) const {
    return kvwine::waitUntil([&] { return done(samples()); }, timeoutMs);
  }

 private:
  std::string path_;
};

// The first loud sample at or after `from`; s.size() when none.
size_t loudFrom(const std::vector<int16_t>& s, size_t from, int level = 1000) {
  for (size_t i = from; i < s.size(); ++i)
    if (abs((int)s[i]) > level) return i;
  return s.size();
}

// Whether a tone that began after `from` has been heard for `frames`.
bool heardFor(const std::vector<int16_t>& s, size_t from, size_t frames) {
  size_t at = loudFrom(s, from);
  return at < s.size() && s.size() - at > frames;
}

// The pitch of the sine heard after `from`.
double heardPitch(const std::vector<int16_t>& s, size_t from) { return kvtest::sinePitch(s, loudFrom(s, from), kRate); }

// A stand-in DLL of the build, reached through the drive Wine maps to the root.
std::string standIn(const char* name) {
  std::string path = std::string("Z:") + KV_WINE_BUILD_DIR + "/" + name;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

class WineHeardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(monitor.known()) << "KV_WINE_MONITOR names no recording: run the suite with scripts/wine-test.sh";
    // parec has started once the recording grows.
    ASSERT_TRUE(monitor.waitFor([](const std::vector<int16_t>& s) { return s.size() > kRate / 10; }))
        << "the monitor is not being recorded";
    kvwine::clearRecords();
    ASSERT_TRUE(CopyFileA(standIn("fakefluid.dll").c_str(), (dir() + "\\libfluidsynth-3.dll").c_str(), FALSE));
    // A file that begins as a SoundFont does: the stand-in loads it.
    std::string font("RIFF\x04\x00\x00\x00sfbk", 12);
    HANDLE f = CreateFileA((dir() + "\\GM.SF2").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, font.data(), (DWORD)font.size(), &written, nullptr);
    CloseHandle(f);
    device = kvwine::kelvasongMidiDevice();
    ASSERT_GE(device, 0);
  }
  void TearDown() override {
    for (const char* key : {"SoundServer", "KeepDeviceMs"})
      WritePrivateProfileStringA("Host", key, nullptr, (dir() + "\\KVHOST.INI").c_str());
    for (const char* f : {"libfluidsynth-3.dll", "GM.SF2", "FAKEFLUID.LOG"}) DeleteFileA((dir() + "\\" + f).c_str());
  }

  std::string dir() const { return kvwine::installDir(); }
  void setting(const char* key, const char* value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value, (dir() + "\\KVHOST.INI").c_str()));
  }
  std::string record() const { return kvwine::readFile(dir() + "\\KVMIDIIN.TXT"); }

  // Opens the MIDI device; `host` gets its host's process.
  HMIDIOUT openMidi(HANDLE* host) {
    HMIDIOUT out = nullptr;
    EXPECT_EQ(midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL), 0u);
    std::vector<DWORD> hosts = kvwine::processesNamed(kvwine::kMidiHostExe);
    EXPECT_EQ(hosts.size(), 1u);
    *host = hosts.empty() ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, hosts[0]);
    return out;
  }
  // Sounds A4 and waits until half of it has been heard; the monitor's length
  // before the note.
  size_t soundA4(HMIDIOUT out) {
    size_t before = monitor.samples().size();
    EXPECT_EQ(midiOutShortMsg(out, 0x7F4590), 0u);
    EXPECT_TRUE(monitor.waitFor([&](const std::vector<int16_t>& s) { return heardFor(s, before, kRate / 4); }))
        << "the note never came out of the server";
    EXPECT_EQ(midiOutShortMsg(out, 0x004590), 0u);
    return before;
  }
  void closeAndWaitForHost(HMIDIOUT out, HANDLE host) {
    ASSERT_EQ(midiOutClose(out), 0u);
    ASSERT_EQ(WaitForSingleObject(host, 20000), WAIT_OBJECT_0) << "the host ends after the close";
    CloseHandle(host);
  }

  Monitor monitor;
  int device = -1;
};

}  // namespace

TEST_F(WineHeardTest, TheNoteIsHeardAtItsPitchThroughWasapi) {
  HANDLE host = nullptr;
  HMIDIOUT out = openMidi(&host);
  ASSERT_NE(host, nullptr);
  size_t before = soundA4(out);
  ASSERT_NO_FATAL_FAILURE(closeAndWaitForHost(out, host));
  std::string text = record();
  EXPECT_NE(text.find("# sound output: WASAPI (shared mode, event-driven) on "), std::string::npos) << text;
  double pitch = heardPitch(monitor.samples(), before);
  printf("A4 heard at %.1f Hz\n", pitch);
  EXPECT_NEAR(pitch, 440, 1);
}

TEST_F(WineHeardTest, TheWaveOutFallbackIsHeardAtItsPitch) {
  setting("SoundServer", "waveout");
  HANDLE host = nullptr;
  HMIDIOUT out = openMidi(&host);
  ASSERT_NE(host, nullptr);
  size_t before = soundA4(out);
  ASSERT_NO_FATAL_FAILURE(closeAndWaitForHost(out, host));
  std::string text = record();
  EXPECT_NE(text.find("# sound output: waveOut on "), std::string::npos) << text;
  double pitch = heardPitch(monitor.samples(), before);
  printf("A4 heard at %.1f Hz\n", pitch);
  EXPECT_NEAR(pitch, 440, 1);
}

// The close comes at once after the note-on: the host renders what is left
// at once, and its stream plays all of it before the device is let go. The
// stand-in's note sounds for half a second.
TEST_F(WineHeardTest, ANoteSoundingAtTheCloseIsHeardToItsEnd) {
  for (const char* way : {"wasapi", "waveout"}) {
    SCOPED_TRACE(way);
    setting("SoundServer", way);
    HANDLE host = nullptr;
    HMIDIOUT out = openMidi(&host);
    ASSERT_NE(host, nullptr);
    size_t before = monitor.samples().size();
    ASSERT_EQ(midiOutShortMsg(out, 0x7F4590), 0u);
    ASSERT_NO_FATAL_FAILURE(closeAndWaitForHost(out, host));
    std::vector<int16_t> heard = monitor.samples();
    size_t first = loudFrom(heard, before), last = heard.size();
    while (last > first && abs((int)heard[last - 1]) <= 1000) --last;
    ASSERT_LT(first, heard.size()) << "the note was not heard";
    printf("%s: heard for %.0f ms\n", way, (double)(last - first) * 1000 / kRate);
    EXPECT_GT(last - first, kRate * 4 / 10) << "the note was cut at the close";
  }
}

// The host gives the device back after a silence, so that a program that wants
// it in exclusive mode can have it, and the next note takes it again, whole.
TEST_F(WineHeardTest, TheDeviceIsGivenBackAfterASilenceAndTheNextNoteIsHeard) {
  setting("KeepDeviceMs", "1000");
  HANDLE host = nullptr;
  HMIDIOUT out = openMidi(&host);
  ASSERT_NE(host, nullptr);
  soundA4(out);
  ASSERT_TRUE(kvwine::waitUntil(
      [&] { return record().find("# gave the sound device back after ") != std::string::npos; }, 30000))
      << record();
  size_t before = soundA4(out);
  ASSERT_NO_FATAL_FAILURE(closeAndWaitForHost(out, host));
  std::string text = record();
  size_t taken = text.find("# took the sound device again (");
  ASSERT_NE(taken, std::string::npos) << text;
  printf("%s\n", text.substr(taken, text.find('\n', taken) - taken).c_str());
  double pitch = heardPitch(monitor.samples(), before);
  printf("A4 heard again at %.1f Hz\n", pitch);
  EXPECT_NEAR(pitch, 440, 1);
}

// The wave device's samples reach the server through the wave host's own
// stream: one second of 1000 Hz, heard at 1000 Hz.
TEST_F(WineHeardTest, TheWaveDeviceIsHeardThroughWasapi) {
  kvwine::Driver drv;
  ASSERT_TRUE(drv.load());
  std::unique_ptr<Child> instance;
  ASSERT_NO_FATAL_FAILURE(kvwine::startInstanceWindow(instance));
  WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
  HANDLE notified = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  WAVEOPENDESC desc = {};
  desc.hWave = reinterpret_cast<HWAVE>(0x5A);
  desc.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&format);
  desc.dwCallback = (DWORD_PTR)notified;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_EVENT), 0u);
  std::vector<int16_t> sine(kRate * 2);
  for (size_t i = 0; i < kRate; ++i)
    sine[2 * i] = sine[2 * i + 1] = (int16_t)(8000 * sin(2 * 3.14159265358979 * 1000 * i / kRate));
  WAVEHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sine.data());
  hdr.dwBufferLength = (DWORD)(sine.size() * 2);
  hdr.dwFlags = WHDR_PREPARED;
  size_t before = monitor.samples().size();
  ASSERT_EQ(drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  EXPECT_TRUE(monitor.waitFor([&](const std::vector<int16_t>& s) { return heardFor(s, before, kRate / 2); }))
      << "the wave device's samples never came out of the server";
  while (!(hdr.dwFlags & WHDR_DONE)) ASSERT_EQ(WaitForSingleObject(notified, 5000), WAIT_OBJECT_0);
  ASSERT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  CloseHandle(notified);
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kWaveHostExe, 10000));
  double pitch = heardPitch(monitor.samples(), before);
  printf("1000 Hz heard at %.1f Hz\n", pitch);
  EXPECT_NEAR(pitch, 1000, 2);
}
