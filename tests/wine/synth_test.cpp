// The Windows host renders MIDI through FluidSynth's library, loaded at run
// time: here the stand-in (tests/modules/fakefluid.cpp) built by the suite's
// own compiler, which logs each call with its arguments and renders a sine at
// each note's pitch. Its log shows the functions found by name and called with
// their arguments in order and by the C convention; the host's record holds
// the tone. A missing library, function or SoundFont is said in the record and
// the device plays all the same.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "support.h"
#include "tones.h"

using kvwine::Child;

namespace {

// A stand-in DLL of the build, reached through the drive Wine maps to the root.
std::string standIn(const char* name) {
  std::string path = std::string("Z:") + KV_WINE_BUILD_DIR + "/" + name;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class WineSynthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cleanUp();
    device = kvwine::kelvasongMidiDevice();
    ASSERT_GE(device, 0) << "the layer lists no Kelvasong device among " << midiOutGetNumDevs();
  }
  void TearDown() override { cleanUp(); }

  std::string dir() const { return kvwine::installDir(); }
  std::string ini() const { return dir() + "\\KVHOST.INI"; }

  void cleanUp() {
    kvwine::clearRecords("KVMIDIIN");
    for (const char* f : {"libfluidsynth-3.dll", "GM.SF2", "BROKEN.SF2", "FAKEFLUID.LOG"})
      DeleteFileA((dir() + "\\" + f).c_str());
    DeleteFileA("C:\\Synth\\libfluidsynth-3.dll");
    RemoveDirectoryA("C:\\Synth");
    WritePrivateProfileStringA("Host", "FluidSynth", nullptr, ini().c_str());
    WritePrivateProfileStringA("Host", "SoundFont", nullptr, ini().c_str());
  }

  void setting(const char* key, const char* value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Host", key, value, ini().c_str()));
  }

  void putStandIn(const char* name, const std::string& target) {
    ASSERT_TRUE(CopyFileA(standIn(name).c_str(), target.c_str(), FALSE)) << standIn(name) << " " << GetLastError();
  }

  // A file that begins as a SoundFont does: the stand-in loads it.
  void putSoundFont(const std::string& path) {
    std::string font("RIFF\x04\x00\x00\x00sfbk", 12);
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(f, font.data(), (DWORD)font.size(), &written, nullptr));
    CloseHandle(f);
  }

  // Plays the messages through the layer, closes, and waits for the host to
  // end with its record written; the record holds every byte.
  void play(const std::vector<DWORD>& messages, const std::vector<char>& sysex = {}) {
    kvwine::clearRecords("KVMIDIIN");
    HMIDIOUT out = nullptr;
    ASSERT_EQ(midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL), 0u);
    std::vector<DWORD> hosts = kvwine::processesNamed(kvwine::kMidiHostExe);
    ASSERT_EQ(hosts.size(), 1u);
    HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, hosts[0]);
    std::vector<char> buffer(sysex);
    if (!buffer.empty()) {
      MIDIHDR hdr = {};
      hdr.lpData = buffer.data();
      hdr.dwBufferLength = (DWORD)buffer.size();
      ASSERT_EQ(midiOutPrepareHeader(out, &hdr, sizeof hdr), 0u);
      ASSERT_EQ(midiOutLongMsg(out, &hdr, sizeof hdr), 0u);
      EXPECT_EQ(midiOutUnprepareHeader(out, &hdr, sizeof hdr), 0u);
    }
    for (DWORD m : messages) ASSERT_EQ(midiOutShortMsg(out, m), 0u);
    ASSERT_EQ(midiOutClose(out), 0u);
    ASSERT_EQ(WaitForSingleObject(host, 20000), WAIT_OBJECT_0);
    CloseHandle(host);
    size_t bytes = buffer.size();
    for (DWORD m : messages) bytes += (m & 0xE0) == 0xC0 ? 2 : 3;
    EXPECT_EQ(kvwine::readFile(dir() + "\\KVMIDIIN.RAW").size(), bytes) << "the record holds every byte";
  }

  // Plays a note, says what the record says about the synthesizer.
  std::string playNote() {
    play({0x643C90, 0x003C90});
    return kvwine::readFile(dir() + "\\KVMIDIIN.TXT");
  }

  int device = -1;
};

}  // namespace

TEST_F(WineSynthTest, TheHostRendersTheNoteThroughTheLibraryBesideIt) {
  putStandIn("fakefluid.dll", dir() + "\\libfluidsynth-3.dll");
  putSoundFont(dir() + "\\GM.SF2");
  // A GS reset, a controller, a program change, a pitch bend at its centre and A4.
  std::vector<char> gsReset = {'\xF0', '\x41', '\x10', '\x42', '\x12', '\x40', '\x00', '\x7F', '\x00', '\x41', '\xF7'};
  play({0x6407B0, 0x05C0, 0x4000E0, 0x644590, 0x004590}, gsReset);

  std::string log = kvwine::readFile(dir() + "\\FAKEFLUID.LOG");
  for (int level = 0; level < 5; ++level)
    EXPECT_EQ(countOf(log, "fluid_set_log_function " + std::to_string(level) + " function null\n"), 1u) << log;
  for (const char* call : {
           "fluid_settings_setnum ok synth.sample-rate 44100\n",
           "fluid_settings_setint ok synth.polyphony 256\n",
           "new_fluid_synth ok\n",
           "fluid_synth_sfload ok C:\\KV\\GM.SF2 1\n",
           "fluid_synth_sysex ok 41 9 null null null 0\n",
           "fluid_synth_cc ok 0 7 100\n",
           "fluid_synth_program_change ok 0 5\n",
           "fluid_synth_pitch_bend ok 0 8192\n",
           "fluid_synth_noteon ok 0 69 100\n",
           "fluid_synth_noteoff ok 0 69\n",
           "fluid_synth_write_float ok 64 buffer 0 2 same 1 2\n",
           "delete_fluid_synth ok\n",
           "delete_fluid_settings ok\n",
       })
    EXPECT_EQ(countOf(log, call), 1u) << call << log;
  EXPECT_EQ(countOf(log, " bad"), 0u) << "a handle came where it does not belong\n" << log;

  std::string text = kvwine::readFile(dir() + "\\KVMIDIIN.TXT");
  EXPECT_EQ(countOf(text, "# synthesizer: C:\\KV\\GM.SF2\n"), 1u) << text;
  unsigned rate = 0;
  std::vector<double> s = kvwine::monoSamples(kvwine::readFile(dir() + "\\KVMIDIIN.WAV"), &rate);
  ASSERT_EQ(rate, 44100u);
  // The stand-in sounds each note for half a second.
  double pitch = kvwine::strongestPitch(s, kvwine::soundStart(s), rate * 4 / 10, rate, 300, 600);
  EXPECT_NEAR(pitch, 440.0, 1.0);
  printf("A4 measured at %.2f Hz\n", pitch);
}

// KVHOST.INI holds the path in the ANSI code page; FluidSynth takes UTF-8.
TEST_F(WineSynthTest, TheSoundFontsNameReachesTheLibraryInUtf8) {
  const wchar_t* wide = L"C:\\KV\\Kl\u00e4nge.sf2";
  char ansi[MAX_PATH];
  BOOL lost = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, &lost);
  if (n <= 0 || lost) GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no a-umlaut";
  putStandIn("fakefluid.dll", dir() + "\\libfluidsynth-3.dll");
  putSoundFont(ansi);
  setting("SoundFont", ansi);
  playNote();
  DeleteFileW(wide);
  std::string log = kvwine::readFile(dir() + "\\FAKEFLUID.LOG");
  EXPECT_EQ(countOf(log, "fluid_synth_sfload ok C:\\KV\\Kl\xC3\xA4nge.sf2 1\n"), 1u) << log;
}

TEST_F(WineSynthTest, TheLibraryNamedInTheSettingsWinsOverTheOneBesideTheHost) {
  putStandIn("fakefluid-lacking.dll", dir() + "\\libfluidsynth-3.dll");
  ASSERT_TRUE(CreateDirectoryA("C:\\Synth", nullptr));
  putStandIn("fakefluid.dll", "C:\\Synth\\libfluidsynth-3.dll");
  putSoundFont(dir() + "\\GM.SF2");
  setting("FluidSynth", "C:\\Synth");
  std::string text = playNote();
  EXPECT_EQ(countOf(text, "# synthesizer: C:\\KV\\GM.SF2\n"), 1u) << text;
  EXPECT_EQ(countOf(text, "lacks"), 0u) << text;
}

TEST_F(WineSynthTest, AMissingLibraryIsSaidOnceAndTheDevicePlays) {
  putSoundFont(dir() + "\\GM.SF2");
  std::string text = playNote();
  EXPECT_EQ(
      countOf(text,
              std::string("# no synthesizer: no FluidSynth: libfluidsynth-3.dll is neither beside the host, nor in the "
                          "host's ") +
                  (sizeof(void*) == 8 ? "x64" : "x86") + " folder, nor on the system's search path"),
      1u)
      << text;
}

TEST_F(WineSynthTest, ALibraryLackingFunctionsIsSaidWithTheirNames) {
  putStandIn("fakefluid-lacking.dll", dir() + "\\libfluidsynth-3.dll");
  putSoundFont(dir() + "\\GM.SF2");
  std::string text = playNote();
  EXPECT_EQ(countOf(text,
                    "# no synthesizer: the FluidSynth library C:\\KV\\libfluidsynth-3.dll (beside the host) "
                    "lacks the functions fluid_synth_sysex, fluid_synth_get_internal_bufsize;"),
            1u)
      << text;
}

TEST_F(WineSynthTest, AMissingOrBrokenSoundFontIsSaidOnce) {
  putStandIn("fakefluid.dll", dir() + "\\libfluidsynth-3.dll");
  std::string text = playNote();
  EXPECT_EQ(countOf(text, "# no synthesizer: no SoundFont: KVHOST.INI names none (SoundFont=)"), 1u) << text;

  setting("SoundFont", "C:\\KV\\NONE.SF2");
  text = playNote();
  EXPECT_EQ(countOf(text, "# no synthesizer: cannot read the SoundFont C:\\KV\\NONE.SF2 (SoundFont= in KVHOST.INI)"),
            1u)
      << text;

  HANDLE f = CreateFileA((dir() + "\\BROKEN.SF2").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  CloseHandle(f);
  setting("SoundFont", "C:\\KV\\BROKEN.SF2");
  text = playNote();
  EXPECT_EQ(countOf(text, "# no synthesizer: cannot load the SoundFont C:\\KV\\BROKEN.SF2 (SoundFont= in KVHOST.INI)"),
            1u)
      << text;
}

TEST_F(WineSynthTest, SetupShowsTheLibraryAndTheSoundFontAndWhetherTheyLoad) {
  putStandIn("fakefluid.dll", dir() + "\\libfluidsynth-3.dll");
  putSoundFont(dir() + "\\GM.SF2");
  std::string out;
  Child setup("\"" + dir() + "\\KVSETUP.EXE\"", dir());
  ASSERT_EQ(setup.finish(out), 0u) << out;
  EXPECT_NE(out.find("FluidSynth    C:\\KV\\libfluidsynth-3.dll (beside the host): loads"), std::string::npos) << out;
  EXPECT_NE(out.find("SoundFont     C:\\KV\\GM.SF2 (beside the host): loads"), std::string::npos) << out;

  // What the settings window shows of this bitness, as the other bitness's
  // window asks for it.
  putStandIn("fakefluid-lacking.dll", dir() + "\\libfluidsynth-3.dll");
  Child state("\"" + dir() + "\\KVSETUP.EXE\" /STATE", dir());
  ASSERT_EQ(state.finish(out), 0u) << out;
  EXPECT_NE(out.find("  FluidSynth  C:\\KV\\libfluidsynth-3.dll (beside the host): does not load: the FluidSynth "
                     "library C:\\KV\\libfluidsynth-3.dll (beside the host) lacks the functions"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  SoundFont   C:\\KV\\GM.SF2 (beside the host): not tried without FluidSynth"), std::string::npos)
      << out;
  EXPECT_NE(out.find(std::string("  host        ") + kvwine::kHostExe + " present, copies present"), std::string::npos)
      << out;
}

// A player of a MIDI stream: Wine's multimedia layer plays the stream's
// events from a thread of its own and turns midiStreamStop into a reset of
// the device (MODM_RESET), as Windows does. The notes end: on every channel
// the synthesizer lifts the sustain and sostenuto pedals and ends all notes,
// with their release.
TEST_F(WineSynthTest, AStreamsStopEndsItsNotesOnEveryChannel) {
  putStandIn("fakefluid.dll", dir() + "\\libfluidsynth-3.dll");
  putSoundFont(dir() + "\\GM.SF2");
  UINT id = (UINT)device;
  HMIDISTRM stream = nullptr;
  ASSERT_EQ(midiStreamOpen(&stream, &id, 1, 0, 0, CALLBACK_NULL), 0u);
  std::vector<DWORD> hosts = kvwine::processesNamed(kvwine::kMidiHostExe);
  ASSERT_EQ(hosts.size(), 1u);
  HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, hosts[0]);
  // An organ on channel 1 and a piano on channel 16, with the sustain pedal
  // down; the notes' ends lie a minute ahead, beyond the stop.
  const DWORD kLater = 3000;  // ticks of the stream's default 24 a quarter at 120 beats a minute
  // A short event is a MIDIEVENT without its parameters: three words.
  struct ShortEvent {
    DWORD dwDeltaTime, dwStreamID, dwEvent;
  };
  ShortEvent events[] = {{0, 0, 0x13C0},   {0, 0, 0x7F40B0},    {0, 0, 0x643C90}, {0, 0, 0x7F40BF},
                         {0, 0, 0x64409F}, {kLater, 0, 0x3C80}, {0, 0, 0x408F}};
  const std::string played("\xC0\x13\xB0\x40\x7F\x90\x3C\x64\xBF\x40\x7F\x9F\x40\x64", 14);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(events);
  hdr.dwBufferLength = hdr.dwBytesRecorded = sizeof events;
  ASSERT_EQ(midiOutPrepareHeader((HMIDIOUT)stream, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiStreamOut(stream, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiStreamRestart(stream), 0u);
  std::string raw;
  ASSERT_TRUE(kvwine::waitUntil([&] { return (raw = kvwine::readFile(dir() + "\\KVMIDIIN.RAW")).size() >= 14; }))
      << "the stream's notes never reached the host";
  EXPECT_EQ(raw, played);

  EXPECT_EQ(midiStreamStop(stream), 0u);
  std::string notesOff;
  for (int ch = 0; ch < 16; ++ch)
    for (char controller : {64, 66, 123}) notesOff += {(char)(0xB0 | ch), controller, 0};
  ASSERT_TRUE(kvwine::waitUntil([&] { return kvwine::readFile(dir() + "\\KVMIDIIN.RAW").size() >= 14 + 144; }))
      << "the stop never reached the host";
  ASSERT_TRUE(kvwine::waitUntil([&] { return (hdr.dwFlags & MHDR_DONE) != 0; })) << "the stop returns the header";
  EXPECT_EQ(midiOutUnprepareHeader((HMIDIOUT)stream, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiStreamClose(stream), 0u);
  ASSERT_EQ(WaitForSingleObject(host, 20000), WAIT_OBJECT_0);
  CloseHandle(host);

  // The close stops the stream again: another reset, nothing else.
  raw = kvwine::readFile(dir() + "\\KVMIDIIN.RAW");
  ASSERT_EQ(raw.substr(0, 14 + 144), played + notesOff);
  for (size_t at = 14 + 144; at < raw.size(); at += 144) EXPECT_EQ(raw.substr(at, 144), notesOff) << at;
  std::string log = kvwine::readFile(dir() + "\\FAKEFLUID.LOG");
  size_t after = log.find("fluid_synth_noteon ok 15 64 100\n");
  ASSERT_NE(after, std::string::npos) << log;
  for (int ch = 0; ch < 16; ++ch) {
    for (int controller : {64, 66, 123}) {
      std::string call = "fluid_synth_cc ok " + std::to_string(ch) + " " + std::to_string(controller) + " 0\n";
      size_t at = log.find(call, after);
      ASSERT_NE(at, std::string::npos) << call << "after the notes, in order\n" << log;
      after = at;
    }
  }
  EXPECT_EQ(countOf(log, "fluid_synth_noteoff"), 0u) << "the notes' own ends were never played\n" << log;
}
