// What the host sounds like: the MIDI side rendered by the synthesizer into the
// WAV record and out of a private sound server, the wave side out of the same
// server, and the silence that resets, closes and a dead client leave.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/settingsfiles.h"
#include "kv/plat.h"
#include "product.h"
#include "sound.h"

using kvtest::Child;
using kvtest::MonitorRecorder;
using kvtest::Wav;

namespace {

const char kSoundFont[] = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const unsigned kRate = 44100;

void useTheBuildsDriver() {
  std::string module = kvtest::driverModulePath();
  setenv(PLAT_MM_DRIVERS_ENV, ("midi=" + module + ";wave=" + module).c_str(), 1);
}

void sendSysex(HMIDIOUT out, std::vector<BYTE> bytes) {
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = (DWORD)bytes.size();
  ASSERT_EQ(midiOutPrepareHeader(out, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiOutLongMsg(out, &hdr, sizeof hdr), 0u);
  midiOutUnprepareHeader(out, &hdr, sizeof hdr);
}

DWORD noteOn(BYTE key, BYTE channel = 0) { return 0x640090u | channel | (DWORD)key << 8; }
DWORD noteOff(BYTE key, BYTE channel = 0) { return 0x000080u | channel | (DWORD)key << 8; }
DWORD program(BYTE number, BYTE channel = 0) { return 0xC0u | channel | (DWORD)number << 8; }

// Frames of a loud sample from the first one on.
size_t loudFrom(const std::vector<int16_t>& s, int level = 1000) {
  for (size_t i = 0; i < s.size(); ++i)
    if (abs((int)s[i]) > level) return i;
  return s.size();
}

// Whether the last `frames` of a recording are silent (below -66 dB).
bool endsSilent(const std::vector<int16_t>& s, size_t frames) {
  return s.size() >= frames && kvtest::peak(s, s.size() - frames, s.size()) < 16;
}

class SoundTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    useTheBuildsDriver();
    hostSetting("SoundFont", kSoundFont);
    hostSetting("SoundServer", "none");
  }
  void TearDown() override {
    unsetenv(PLAT_MM_DRIVERS_ENV);
    ProductTest::TearDown();
  }
  HMIDIOUT openMidi() {
    HMIDIOUT out = nullptr;
    EXPECT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), 0u);
    return out;
  }
  // Closes the device and waits until its host has ended: the host lets the
  // sound ring out after the close and completes its records as it ends.
  void closeAndWaitForHost(HMIDIOUT out) {
    ASSERT_TRUE(drv.handle || drv.load());
    DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
    ASSERT_NE(pid, 0u) << "the channel names its host";
    ASSERT_EQ(midiOutClose(out), 0u);
    ASSERT_TRUE(kvtest::processEnds((int)pid, 60000)) << "the host ended after the close";
  }
  // What the host's message record says in its note lines (`# N what`): N, or
  // -1 without such a line.
  long long recordedCount(const std::string& what) {
    std::string text = readInstallFile("KVMIDIIN.TXT");
    std::string tail = " " + what + "\n";
    for (size_t at = text.find(tail); at != std::string::npos; at = text.find(tail, at + 1)) {
      size_t line = text.rfind("\n# ", at);
      line = line == std::string::npos ? 0 : line + 1;
      if (text.compare(line, 2, "# ") == 0) return atoll(text.c_str() + line + 2);
    }
    return -1;
  }
  // The rendered record, and the arrival times of the messages named `what`
  // as stream frames.
  Wav rendered() { return kvtest::readWav(installDir() + "/KVMIDIIN.WAV"); }
  std::vector<size_t> arrivals(const char* what) {
    std::vector<size_t> frames;
    for (double ms : kvtest::recordedTimes(readInstallFile("KVMIDIIN.TXT"), what))
      frames.push_back((size_t)(ms * kRate / 1000));
    return frames;
  }
};

}  // namespace

TEST_F(SoundTest, SoundServerPlaysTheSynthesizerAndTheWaveDevice) {
  kvtest::PrivateSoundServer server;
  ASSERT_TRUE(server.start(root + "/pulse")) << "pulseaudio and pactl must be installed";
  hostSetting("SoundServer", "");  // the user's server, found through PULSE_SERVER
  MonitorRecorder monitor;
  ASSERT_TRUE(monitor.start(server.address()));

  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(73)), 0u);  // flute: its fundamental is its strongest partial
  ASSERT_EQ(midiOutShortMsg(out, noteOn(69)), 0u);   // A4
  const size_t half = kRate / 2;
  ASSERT_TRUE(monitor.waitFor([&](const std::vector<int16_t>& s) { return s.size() > loudFrom(s) + half; }, 10000))
      << "the note never came out of the server";
  ASSERT_EQ(midiOutShortMsg(out, noteOff(69)), 0u);
  closeAndWaitForHost(out);  // the flute's release has rung out before the wave device plays
  std::vector<int16_t> heard = monitor.samples();
  // Within a fifth of a semitone: what the server played is the note, not a
  // neighbour (the record's pitch is checked to the hertz elsewhere). The
  // stretches are short (93 ms here, 46 ms for the sine below), so that a
  // server starved by a busy machine still leaves most without a gap or a
  // block left out, and their median is the note's; a stretch of 40 periods
  // and more places a steady tone's peak to the hertz.
  const size_t sounded = loudFrom(heard);
  EXPECT_NEAR(kvtest::strongestInUnbrokenStretches(heard, sounded + kRate / 20, sounded + half, 4096, kRate, 100, 2000),
              440, 5);

  // The wave side: one second of 1000 Hz.
  HWND instance = kvtest::openInstanceWindow();
  ASSERT_NE(instance, nullptr);
  WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HWAVEOUT wave = nullptr;
  ASSERT_EQ(waveOutOpen(&wave, 0, &wf, (DWORD_PTR)done, 0, CALLBACK_EVENT), 0u);
  std::vector<int16_t> sine(kRate * 2);
  for (size_t i = 0; i < kRate; ++i) sine[2 * i] = sine[2 * i + 1] = (int16_t)(8000 * sin(2 * M_PI * 1000 * i / kRate));
  WAVEHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sine.data());
  hdr.dwBufferLength = (DWORD)(sine.size() * 2);
  ASSERT_EQ(waveOutPrepareHeader(wave, &hdr, sizeof hdr), 0u);
  size_t before = monitor.samples().size();
  ASSERT_EQ(waveOutWrite(wave, &hdr, sizeof hdr), 0u);
  ASSERT_TRUE(monitor.waitFor(
      [&](const std::vector<int16_t>& s) {
        std::vector<int16_t> after(s.begin() + (long)before, s.end());
        return after.size() > loudFrom(after) + half;
      },
      10000))
      << "the wave device's samples never came out of the server";
  while (!kvtest::headerDone(hdr)) ASSERT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
  waveOutUnprepareHeader(wave, &hdr, sizeof hdr);
  ASSERT_EQ(waveOutClose(wave), 0u);
  DestroyWindow(instance);
  heard = monitor.samples();
  std::vector<int16_t> after(heard.begin() + (long)before, heard.end());
  size_t from = before + loudFrom(after) + kRate / 20;
  EXPECT_NEAR(kvtest::strongestInUnbrokenStretches(heard, from, from + half, 2048, kRate, 100, 4000), 1000, 10);
  CloseHandle(done);
}

TEST_F(SoundTest, NoteSoundsFromItsArrivalFrameAndEndsWithABoundedTail) {
  // A long block: a message that is applied at its block's start instead of
  // its own frame would show up to 1024 frames away.
  hostSetting("BlockFrames", "1024");
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);  // organ: sound from its first frame
  ASSERT_EQ(midiOutShortMsg(out, noteOn(69)), 0u);
  Sleep(400);
  ASSERT_EQ(midiOutShortMsg(out, noteOff(69)), 0u);
  Sleep(1500);
  closeAndWaitForHost(out);

  Wav wav = rendered();
  ASSERT_EQ(wav.rate, kRate);
  ASSERT_EQ(wav.channels, 2u);
  std::vector<size_t> on = arrivals("note-on"), off = arrivals("note-off");
  ASSERT_EQ(on.size(), 1u);
  ASSERT_EQ(off.size(), 1u);
  size_t first = loudFrom(wav.samples, 0) / 2;
  // One block after arrival, at the start of the synthesizer's 64-frame step
  // that holds that frame, and a few frames of attack.
  EXPECT_GE(first, on[0] + 1024 - 64);
  EXPECT_LE(first, on[0] + 1024 + 32);
  EXPECT_GT(kvtest::peak(wav.samples, (on[0] + 1024 + 2205) * 2, (off[0] + 1024) * 2), 1000) << "the note sounds";
  ASSERT_GT(wav.frames(), off[0] + 1024 + kRate * 13 / 10);
  EXPECT_EQ(kvtest::peak(wav.samples, (off[0] + 1024 + kRate) * 2, wav.samples.size()), 0)
      << "silence within a second of the note-off";
}

TEST_F(SoundTest, ProgramChangeChangesTheSpectrum) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  HMIDIOUT out = openMidi();
  for (BYTE number : {73, 80}) {  // flute, square lead
    ASSERT_EQ(midiOutShortMsg(out, program(number)), 0u);
    ASSERT_EQ(midiOutShortMsg(out, noteOn(60)), 0u);
    Sleep(500);
    ASSERT_EQ(midiOutShortMsg(out, noteOff(60)), 0u);
    Sleep(200);
  }
  closeAndWaitForHost(out);
  Wav wav = rendered();
  std::vector<size_t> on = arrivals("note-on");
  ASSERT_EQ(on.size(), 2u);
  // The share of the power in the partials above the second.
  double upper[2];
  for (int i = 0; i < 2; ++i) {
    std::vector<double> tone = wav.mono(on[i] + 64 + kRate / 10, 8192);
    ASSERT_EQ(tone.size(), 8192u);
    double f0 = kvtest::strongestFrequency(tone, kRate, 200, 330, 0.5);
    EXPECT_NEAR(f0, 261.6, 3) << "C4 in both";
    double all = 0, high = 0;
    for (int k = 1; k <= 12; ++k) {
      double p = kvtest::powerAt(tone, kRate, k * f0);
      all += p;
      if (k > 2) high += p;
    }
    upper[i] = high / all;
  }
  EXPECT_GT(upper[1], 2 * upper[0]) << "flute " << upper[0] << ", square lead " << upper[1];
}

TEST_F(SoundTest, ResetsNotesOffAndMasterVolumeLeaveSilence) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  HMIDIOUT out = openMidi();
  auto organChord = [&] {
    ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);  // church organ: sounds while held
    for (BYTE key : {60, 64, 67}) ASSERT_EQ(midiOutShortMsg(out, noteOn(key)), 0u);
    Sleep(300);
  };
  organChord();
  sendSysex(out, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});  // General MIDI system on
  Sleep(300);
  organChord();
  ASSERT_EQ(midiOutShortMsg(out, 0x007BB0), 0u);  // all notes off
  Sleep(1000);
  organChord();
  sendSysex(out, {0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x00, 0x00, 0xF7});  // master volume 0
  Sleep(300);
  closeAndWaitForHost(out);

  Wav wav = rendered();
  std::vector<size_t> sysex = arrivals("sysex"), notesOff = arrivals("control-change"),
                      chords = arrivals("program-change");
  ASSERT_EQ(sysex.size(), 2u);
  ASSERT_EQ(notesOff.size(), 1u);
  ASSERT_EQ(chords.size(), 3u);
  const size_t late = 64 + 128;  // one block and a little more
  for (size_t chord : chords)
    EXPECT_GT(kvtest::peak(wav.samples, (chord + late + 2205) * 2, (chord + late + 8820) * 2), 1000);
  EXPECT_EQ(kvtest::peak(wav.samples, (sysex[0] + late) * 2, chords[1] * 2), 0) << "silence after the reset";
  EXPECT_EQ(kvtest::peak(wav.samples, (notesOff[0] + late + kRate * 8 / 10) * 2, chords[2] * 2), 0)
      << "silence after all notes off and their release";
  EXPECT_EQ(kvtest::peak(wav.samples, (sysex[1] + late) * 2, wav.samples.size()), 0) << "silence at master volume 0";
}

TEST_F(SoundTest, KilledClientLeavesNoHangingNote) {
  kvtest::PrivateSoundServer server;
  ASSERT_TRUE(server.start(root + "/pulse"));
  hostSetting("SoundServer", "");
  hostSetting("Reverb", "0");
  MonitorRecorder monitor;
  ASSERT_TRUE(monitor.start(server.address()));
  // A client that sounds an organ chord (program 19; C, E, G), holds it with
  // the sostenuto pedal too, and then waits to be killed.
  Child client("device_client", {"open midi", "send 13C0 643C90 644090 644390 7F42B0"});
  ASSERT_EQ(client.expectLine(), "0");
  ASSERT_EQ(client.expectLine(), "0");
  ASSERT_TRUE(monitor.waitFor([&](const std::vector<int16_t>& s) { return s.size() > loudFrom(s) + kRate / 5; }, 10000))
      << "the chord never sounded";
  client.kill();
  client.wait();
  size_t killedAt = monitor.samples().size();
  EXPECT_TRUE(monitor.waitFor(
      [&](const std::vector<int16_t>& s) { return s.size() > killedAt && endsSilent(s, kRate * 3 / 10); }, 5000))
      << "the chord still sounds after its client was killed";
  // The next client takes the channel over; its close ends the old host.
  HMIDIOUT out = openMidi();
  EXPECT_EQ(midiOutClose(out), 0u);
}

// The synthesizer's first call after a pause, or a SoundFont that loads a
// preset's samples at its program change, can take milliseconds. The notes
// that follow still sound: the host is nowhere near behind its clock.
TEST_F(SoundTest, EveryNoteOfAFileStartSoundsBehindSlowProgramChanges) {
  hostSetting("SlowMessage", "C0");
  hostSetting("SlowMessageUs", "3000");
  HMIDIOUT out = openMidi();
  // As most General MIDI files start: a reset, a program, volume and pan on
  // every channel, then a chord at once.
  sendSysex(out, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  for (BYTE ch = 0; ch < 16; ++ch) {
    ASSERT_EQ(midiOutShortMsg(out, program(19, ch)), 0u);
    ASSERT_EQ(midiOutShortMsg(out, 0x6407B0u | ch), 0u);
    ASSERT_EQ(midiOutShortMsg(out, 0x400AB0u | ch), 0u);
  }
  for (BYTE ch = 0; ch < 16; ++ch) ASSERT_EQ(midiOutShortMsg(out, noteOn((BYTE)(48 + ch), ch)), 0u);
  Sleep(300);
  for (BYTE ch = 0; ch < 16; ++ch) ASSERT_EQ(midiOutShortMsg(out, noteOff((BYTE)(48 + ch), ch)), 0u);
  closeAndWaitForHost(out);

  EXPECT_EQ(arrivals("note-on").size(), 16u);
  EXPECT_EQ(recordedCount("note-ons played"), 16) << "every note-on the host took reached the synthesizer";
  EXPECT_EQ(recordedCount("messages not played: the synthesizer fell behind"), -1);
}

// Only a synthesizer that falls seconds behind its clock loses new notes; the
// note-offs still play, and what was lost is counted.
TEST_F(SoundTest, ASynthesizerFarBehindItsClockLosesOnlyNewNotesAndSaysSo) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  hostSetting("SlowMessage", "90");
  hostSetting("SlowMessageUs", "20000");
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);  // organ: sounds while held
  const int kNotes = 200;                            // four seconds of work for the synthesizer
  for (int i = 0; i < kNotes; ++i) {
    ASSERT_EQ(midiOutShortMsg(out, noteOn((BYTE)(40 + i % 40))), 0u);
    ASSERT_EQ(midiOutShortMsg(out, noteOff((BYTE)(40 + i % 40))), 0u);
  }
  closeAndWaitForHost(out);

  long long played = recordedCount("note-ons played");
  long long lost = recordedCount("messages not played: the synthesizer fell behind");
  EXPECT_GT(played, 0);
  EXPECT_GT(lost, 0) << "a synthesizer seconds behind takes no new notes";
  EXPECT_EQ(played + lost, kNotes) << "only note-ons are lost, and each is counted";
  Wav wav = rendered();
  EXPECT_TRUE(endsSilent(wav.samples, kRate / 20 * 2)) << "every note played was ended";
}

// Messages still on their way at the close are played, and the record ends
// with the release of what sounded, not with a cut.
TEST_F(SoundTest, WhatArrivedBeforeACloseSoundsAndRingsOut) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  hostSetting("SlowMessage", "C0");
  hostSetting("SlowMessageUs", "400000");  // the program change holds the synthesizer past the close
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);
  ASSERT_EQ(midiOutShortMsg(out, noteOn(60)), 0u);
  Sleep(200);
  ASSERT_EQ(midiOutShortMsg(out, noteOff(60)), 0u);
  closeAndWaitForHost(out);

  EXPECT_EQ(recordedCount("note-ons played"), 1);
  Wav wav = rendered();
  std::vector<size_t> on = arrivals("note-on"), off = arrivals("note-off");
  ASSERT_EQ(on.size(), 1u);
  ASSERT_EQ(off.size(), 1u);
  EXPECT_GT(kvtest::peak(wav.samples, (on[0] + 64 + 2205) * 2, (off[0] + 64) * 2), 1000) << "the note sounds";
  ASSERT_GT(wav.frames(), off[0] + 64) << "the record reaches the note-off";
  EXPECT_TRUE(endsSilent(wav.samples, kRate / 20 * 2)) << "the release rang out before the record ended";
}

// A sound server that holds a write for a long time (as one resuming its sink
// does) sets the host back once: the notes after it are heard at once, not as
// late as the server held the write.
TEST_F(SoundTest, ASoundServerThatHeldAWriteLeavesNoLastingDelay) {
  kvtest::PrivateSoundServer server;
  ASSERT_TRUE(server.start(root + "/pulse"));
  hostSetting("SoundServer", "");
  hostSetting("Reverb", "0");
  const DWORD kStallMs = 1500;
  hostSetting("ServerStallMs", std::to_string(kStallMs).c_str());
  MonitorRecorder monitor;
  ASSERT_TRUE(monitor.start(server.address()));
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);
  // The host says in its record when the server gave the write back.
  ASSERT_TRUE(kvtest::waitUntil(
      [&] { return readInstallFile("KVMIDIIN.TXT").find("the sound server held a block") != std::string::npos; },
      30000))
      << "the host never wrote to the server";
  size_t before = monitor.samples().size();
  DWORD sent = GetTickCount();
  ASSERT_EQ(midiOutShortMsg(out, noteOn(69)), 0u);
  ASSERT_TRUE(monitor.waitFor(
      [&](const std::vector<int16_t>& s) {
        return s.size() > before &&
               loudFrom(std::vector<int16_t>(s.begin() + (long)before, s.end())) < s.size() - before;
      },
      30000))
      << "the note never came out of the server";
  // The one upper time bound left in the tests: how soon the note is heard
  // through a real sound server is the point, and the server and the host's
  // render clock run in real time, which no test can stop.
  DWORD heard = GetTickCount() - sent;
  EXPECT_LT(heard, kStallMs / 2) << "heard " << heard << " ms after it was sent";
  ASSERT_EQ(midiOutShortMsg(out, noteOff(69)), 0u);
  closeAndWaitForHost(out);
}

// A note still held at the close ends with its release, as at a note-off,
// rather than sounding on or being cut.
TEST_F(SoundTest, ANoteHeldAtTheCloseEndsWithItsRelease) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);  // organ: sounds while held
  ASSERT_EQ(midiOutShortMsg(out, noteOn(60)), 0u);
  Sleep(300);
  closeAndWaitForHost(out);

  Wav wav = rendered();
  std::vector<size_t> on = arrivals("note-on");
  ASSERT_EQ(on.size(), 1u);
  EXPECT_GT(kvtest::peak(wav.samples, (on[0] + 64 + 2205) * 2, (on[0] + 64 + 8820) * 2), 1000) << "the note sounds";
  EXPECT_TRUE(endsSilent(wav.samples, kRate / 20 * 2)) << "the note ended at the close and its release rang out";
}

// A player that stops without closing resets the device: every note ends with
// its release, those the sustain and sostenuto pedals hold too, on every
// channel whatever its program and bank, and nothing sounds again until the
// close.
TEST_F(SoundTest, AResetEndsEveryNoteWithItsReleaseThoseThePedalsHoldToo) {
  kvtest::PrivateSoundServer server;
  ASSERT_TRUE(server.start(root + "/pulse"));
  hostSetting("SoundServer", "");
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  MonitorRecorder monitor;
  ASSERT_TRUE(monitor.start(server.address()));
  HMIDIOUT out = openMidi();
  const DWORD organs[] = {// Church organ: the key let go while the sustain pedal is down.
                          program(19, 0), 0x7F40B0, noteOn(60, 0), noteOff(60, 0),
                          // Drawbar organ of a variation bank (the font's own sounds): the key
                          // held, the sustain pedal down.
                          0x0800B6, program(16, 6), 0x7F40B6, noteOn(64, 6),
                          // Rock organ: the key let go while the sostenuto pedal holds it.
                          program(18, 15), noteOn(67, 15), 0x7F42BF, noteOff(67, 15)};
  for (DWORD m : organs) ASSERT_EQ(midiOutShortMsg(out, m), 0u) << std::hex << m;
  ASSERT_TRUE(monitor.waitFor([&](const std::vector<int16_t>& s) { return s.size() > loudFrom(s) + kRate / 5; }, 10000))
      << "the organs never sounded";
  ASSERT_EQ(midiOutReset(out), 0u);
  size_t resetHeard = monitor.samples().size();
  ASSERT_TRUE(monitor.waitFor(
      [&](const std::vector<int16_t>& s) { return s.size() > resetHeard && endsSilent(s, kRate * 3 / 10); }, 10000))
      << "the organs still sound after the reset";
  size_t silentFrom = monitor.samples().size() - kRate * 3 / 10;
  ASSERT_TRUE(
      monitor.waitFor([&](const std::vector<int16_t>& s) { return s.size() > silentFrom + kRate * 3 / 2; }, 10000));
  std::vector<int16_t> heard = monitor.samples();
  EXPECT_LT(kvtest::peak(heard, silentFrom, heard.size()), 16) << "the server stays silent";
  // Running status is forgotten: this data byte goes nowhere, not into a note.
  ASSERT_EQ(midiOutShortMsg(out, 0x7F3E), 0u);
  closeAndWaitForHost(out);

  std::vector<size_t> controls = arrivals("control-change");
  ASSERT_EQ(controls.size(), 4u + 16 * 3) << "the pedals, the bank, and the reset's three on every channel";
  const size_t reset = controls[4], late = 64 + 128;
  Wav wav = rendered();
  ASSERT_GT(wav.frames(), reset + late + kRate * 3 / 2) << "the record reaches beyond the release";
  EXPECT_GT(kvtest::peak(wav.samples, (reset + late - kRate / 10) * 2, (reset + late) * 2), 1000)
      << "the organs sounded up to the reset";
  EXPECT_EQ(kvtest::peak(wav.samples, (reset + late + kRate) * 2, wav.samples.size()), 0)
      << "silent within a second of the reset, and until the close";
  size_t lastSound = wav.samples.size();
  while (lastSound > 0 && wav.samples[lastSound - 1] == 0) --lastSound;
  printf("silent %.0f ms after the reset took effect\n",
         ((double)lastSound / 2 - (double)(reset + late)) * 1000 / kRate);
  std::string raw = readInstallFile("KVMIDIIN.RAW");
  ASSERT_GT(raw.size(), 3u);
  EXPECT_EQ(raw.substr(raw.size() - 3), std::string("\xBF\x7B\x00", 3)) << "the reset's bytes came last";
  EXPECT_EQ(arrivals("note").size(), 3u + 2) << "the organs' notes, no other";
}

namespace {

// What `pactl ARGS` prints about the server at `address`.
std::string pactl(const std::string& address, const std::string& args) {
  std::string out;
  FILE* p = popen(("pactl --server='" + address + "' " + args + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

// The sink each of the server's playback streams plays to, by name.
std::vector<std::string> sinksPlayedTo(const std::string& address) {
  std::map<std::string, std::string> names;  // index -> name
  std::istringstream sinks(pactl(address, "list short sinks"));
  for (std::string index, name, rest; sinks >> index >> name && std::getline(sinks, rest);) names[index] = name;
  std::vector<std::string> played;
  std::istringstream inputs(pactl(address, "list short sink-inputs"));
  for (std::string index, sink, rest; inputs >> index >> sink && std::getline(inputs, rest);)
    played.push_back(names[sink]);
  return played;
}

}  // namespace

// The output device a user chose in their own settings takes the synthesizer's
// stream; one that is not there (unplugged) leaves it on the default device,
// and the record says so.
TEST_F(SoundTest, TheUsersOutputDeviceTakesTheStreamAndAMissingOneLeavesTheDefault) {
  kvtest::PrivateSoundServer server;
  ASSERT_TRUE(server.start(root + "/pulse")) << "pulseaudio and pactl must be installed";
  hostSetting("SoundServer", "");
  ASSERT_NE(pactl(server.address(), "load-module module-null-sink sink_name=chosen"), "");
  std::string user = userSettingsFile(true);
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "OutputDevice", "chosen", user.c_str()));
  // The stream is made before the host answers the open.
  HMIDIOUT out = openMidi();
  EXPECT_EQ(sinksPlayedTo(server.address()), std::vector<std::string>{"chosen"});
  closeAndWaitForHost(out);

  ASSERT_TRUE(WritePrivateProfileStringA("Host", "OutputDevice", "unplugged", user.c_str()));
  out = openMidi();
  EXPECT_EQ(sinksPlayedTo(server.address()), std::vector<std::string>{"kvtest"});
  closeAndWaitForHost(out);
  std::string text = readInstallFile("KVMIDIIN.TXT");
  EXPECT_NE(text.find("# the output device unplugged is not there: playing to the default one\n"), std::string::npos)
      << text;
}

// Eighty notes struck at once add up far beyond full scale. The host turns its
// output down for a moment instead of cutting the peaks flat at full scale,
// and the burst stays loud.
TEST_F(SoundTest, EightyNotesAtOnceAreLimitedBelowFullScale) {
  hostSetting("Reverb", "0");
  hostSetting("Chorus", "0");
  HMIDIOUT out = openMidi();
  ASSERT_EQ(midiOutShortMsg(out, program(19)), 0u);  // organ: every voice at full strength while held
  for (BYTE key = 24; key < 104; ++key) ASSERT_EQ(midiOutShortMsg(out, 0x7F0090u | (DWORD)key << 8), 0u);
  Sleep(500);
  for (BYTE key = 24; key < 104; ++key) ASSERT_EQ(midiOutShortMsg(out, noteOff(key)), 0u);
  closeAndWaitForHost(out);

  Wav wav = rendered();
  ASSERT_EQ(recordedCount("note-ons played"), 80);
  size_t atFullScale = 0;
  for (int16_t s : wav.samples)
    if (s == 32767 || s == -32768) ++atFullScale;
  EXPECT_EQ(atFullScale, 0u) << "samples cut at full scale";
  EXPECT_GT(kvtest::peak(wav.samples, 0, wav.samples.size()), 26000) << "the burst is turned down, not away";
}
