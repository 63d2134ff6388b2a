// Clients of the multimedia layer, as applications use the devices: the layer
// finds the driver among the registered ones, and what the client sends reaches
// the host process complete and in order.
#include <sndfile.h>
#include <string.h>

#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"
#include "tests/shared/streams.h"

using kvtest::Child;

namespace {

std::vector<UINT> midiMessages;

void CALLBACK midiCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  if (instance == 42) midiMessages.push_back(msg);
}

// Registers the build's module as the machine's MIDI and wave driver.
void registerDriver() {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::string path = kvtest::driverModulePath();
  for (const char* alias : {"midi", "wave"})
    ASSERT_EQ(
        RegSetValueExA(key, alias, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()), (DWORD)path.size() + 1),
        ERROR_SUCCESS);
  RegCloseKey(key);
}

class EndToEndTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    unsetenv(PLAT_MM_DRIVERS_ENV);
    registerDriver();
    midiMessages.clear();
  }
};

}  // namespace

TEST_F(EndToEndTest, MidiBytesReachTheHostCompleteAndInOrder) {
  ASSERT_EQ(midiOutGetNumDevs(), 1u);
  MIDIOUTCAPSA caps = {};
  ASSERT_EQ(midiOutGetDevCapsA(0, &caps, sizeof caps), 0u);
  EXPECT_STREQ(caps.szPname, "Kelvasong (NT)");

  HMIDIOUT out = nullptr;
  ASSERT_EQ(midiOutOpen(&out, 0, (DWORD_PTR)midiCallback, 42, CALLBACK_FUNCTION), 0u);
  ASSERT_EQ(midiMessages, std::vector<UINT>{MOM_OPEN});
  kvtest::MidiPhrase phrase = kvtest::midiPhrase();
  for (uint32_t m : phrase.messages) ASSERT_EQ(midiOutShortMsg(out, m), 0u) << "message " << m;
  std::string expected = phrase.bytes;
  // A system-exclusive buffer longer than the ring goes through while the host consumes.
  std::vector<char> sysex = kvtest::sysexBuffer(10000);
  MIDIHDR hdr = {};
  hdr.lpData = sysex.data();
  hdr.dwBufferLength = (DWORD)sysex.size();
  ASSERT_EQ(midiOutPrepareHeader(out, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiOutLongMsg(out, &hdr, sizeof hdr), 0u);
  EXPECT_TRUE(hdr.dwFlags & MHDR_DONE);
  EXPECT_EQ(midiOutUnprepareHeader(out, &hdr, sizeof hdr), 0u);
  expected.append(sysex.data(), sysex.size());
  ASSERT_EQ(midiOutClose(out), 0u);
  EXPECT_EQ(midiMessages, (std::vector<UINT>{MOM_OPEN, MOM_DONE, MOM_CLOSE}));

  std::string received = readInstallFile("KVMIDIIN.RAW");
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "the host's bytes differ from what was sent";
  std::string events = readInstallFile("KVMIDIIN.TXT");
  EXPECT_NE(events.find("sysex            10000 bytes"), std::string::npos) << events.substr(0, 400);
}

TEST_F(EndToEndTest, WindowCallbackGetsTheNotificationsPosted) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "KVTestClient";
  ASSERT_TRUE(RegisterClassA(&wc));
  HWND hwnd = CreateWindowExA(0, "KVTestClient", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(hwnd, nullptr);
  HMIDIOUT out = nullptr;
  ASSERT_EQ(midiOutOpen(&out, 0, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW), 0u);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, (UINT)MM_MOM_OPEN);
  EXPECT_EQ(msg.wParam, (WPARAM)out);
  ASSERT_EQ(midiOutClose(out), 0u);
  ASSERT_TRUE(PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, (UINT)MM_MOM_CLOSE);
  DestroyWindow(hwnd);
}

TEST_F(EndToEndTest, SlowWaveStreamIsPlayedSampleForSampleWithoutUnderrun) {
  Child instance("instance_window");
  ASSERT_EQ(instance.expectLine(), "open");
  const size_t signalFrames = 3 * 44100;
  std::vector<int16_t> signal = kvtest::testSignal(signalFrames);
  // 200 ms of silence after the signal: when it has been handed to the host,
  // the host has played the signal, since the driver stays only 40 ms ahead.
  std::vector<int16_t> stream = signal;
  stream.resize(stream.size() + 2 * 8820, 0);
  const size_t frames = stream.size() / 2;

  WAVEFORMATEX wf = {};
  wf.wFormatTag = WAVE_FORMAT_PCM;
  wf.nChannels = 2;
  wf.nSamplesPerSec = 44100;
  wf.wBitsPerSample = 16;
  wf.nBlockAlign = 4;
  wf.nAvgBytesPerSec = 44100 * 4;
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, 0, &wf, (DWORD_PTR)done, 0, CALLBACK_EVENT), 0u);
  ASSERT_EQ(WaitForSingleObject(done, 1000), WAIT_OBJECT_0) << "WOM_OPEN";

  // Four buffers of 100 ms, each written again when it is done: a streaming
  // client that keeps up. With two, this test's thread, waiting for a core on
  // a busy machine (load 7 and more, beside other tests and builds), let the
  // queue run dry now and then, which is the client's underrun, not the
  // device's.
  const size_t chunkFrames = 4410;
  WAVEHDR hdr[4] = {};
  size_t next = 0;
  auto feed = [&](WAVEHDR& h) {
    size_t n = std::min(chunkFrames, frames - next);
    h.lpData = reinterpret_cast<LPSTR>(&stream[2 * next]);
    h.dwBufferLength = (DWORD)(n * 4);
    h.dwFlags &= WHDR_PREPARED;
    next += n;
    return waveOutWrite(out, &h, sizeof h);
  };
  for (WAVEHDR& h : hdr) {
    h.lpData = reinterpret_cast<LPSTR>(stream.data());
    h.dwBufferLength = (DWORD)(chunkFrames * 4);
    ASSERT_EQ(waveOutPrepareHeader(out, &h, sizeof h), 0u);
    ASSERT_EQ(feed(h), 0u);
  }
  auto allDone = [&] {
    for (WAVEHDR& h : hdr)
      if (!kvtest::headerDone(h)) return false;
    return true;
  };
  while (!allDone() || next < frames) {
    ASSERT_EQ(WaitForSingleObject(done, 2000), WAIT_OBJECT_0) << "no buffer came back";
    for (WAVEHDR& h : hdr) {
      if (kvtest::headerDone(h) && next < frames) {
        ASSERT_EQ(feed(h), 0u);
      }
    }
  }
  MMTIME t = {};
  t.wType = TIME_SAMPLES;
  ASSERT_EQ(waveOutGetPosition(out, &t, sizeof t), 0u);
  EXPECT_EQ(t.u.sample, frames);
  for (WAVEHDR& h : hdr) waveOutUnprepareHeader(out, &h, sizeof h);
  ASSERT_EQ(waveOutClose(out), 0u);
  CloseHandle(done);

  SF_INFO info = {};
  SNDFILE* wav = sf_open((installDir() + "/KVWAVEOUT.WAV").c_str(), SFM_READ, &info);
  ASSERT_NE(wav, nullptr);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  std::vector<int16_t> played((size_t)info.frames * 2);
  sf_readf_short(wav, played.data(), info.frames);
  sf_close(wav);
  std::string why;
  kvtest::findSignal(played, signal, why);
  EXPECT_EQ(why, "");
  EXPECT_NE(readInstallFile("KVWAVEOUT.TXT").find("underruns 0\n"), std::string::npos)
      << readInstallFile("KVWAVEOUT.TXT");
}
