// The wave device through wodMessage (Wine's waveOut reaches only its own
// audio drivers), with the real host started by the real instance window
// (KVTSK16.EXE /Instance), and its record read back with the system's
// multimedia file services.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "playing.h"
#include "support.h"
#include "tests/shared/streams.h"

using kvwine::Child;

namespace {

const size_t kFrameBytes = 4;  // 16-bit stereo

// The samples of the host's KVWAVEOUT.WAV; empty when it is not a 16-bit
// stereo 44100 Hz PCM file.
std::vector<int16_t> readRecord() {
  std::vector<int16_t> samples;
  std::string path = kvwine::installDir() + "\\KVWAVEOUT.WAV";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  HMMIO file = mmioOpenA(name.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF);
  if (!file) return samples;
  MMCKINFO riff = {}, chunk = {};
  riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  PCMWAVEFORMAT pcm = {};
  if (mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF) == 0) {
    chunk.ckid = mmioFOURCC('f', 'm', 't', ' ');
    if (mmioDescend(file, &chunk, &riff, MMIO_FINDCHUNK) == 0 &&
        mmioRead(file, reinterpret_cast<HPSTR>(&pcm), sizeof pcm) == (LONG)sizeof pcm) {
      mmioAscend(file, &chunk, 0);
      chunk.ckid = mmioFOURCC('d', 'a', 't', 'a');
      if (pcm.wf.wFormatTag == WAVE_FORMAT_PCM && pcm.wf.nChannels == 2 && pcm.wf.nSamplesPerSec == 44100 &&
          pcm.wBitsPerSample == 16 && mmioDescend(file, &chunk, &riff, MMIO_FINDCHUNK) == 0) {
        samples.resize(chunk.cksize / 2);
        if (mmioRead(file, reinterpret_cast<HPSTR>(samples.data()), (LONG)chunk.cksize) != (LONG)chunk.cksize)
          samples.clear();
      }
    }
  }
  mmioClose(file, 0);
  return samples;
}

// A client of the wave device, calling wodMessage as the multimedia layer does.
struct WaveClient {
  explicit WaveClient(kvwine::Driver& d) : drv(d) { notified = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
  ~WaveClient() { CloseHandle(notified); }
  DWORD open() {
    WAVEOPENDESC desc = {};
    desc.hWave = reinterpret_cast<HWAVE>(0x5A);
    desc.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&format);
    desc.dwCallback = (DWORD_PTR)notified;
    return drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_EVENT);
  }
  DWORD write(WAVEHDR& h, void* data, size_t bytes) {
    memset(&h, 0, sizeof h);
    h.lpData = static_cast<LPSTR>(data);
    h.dwBufferLength = (DWORD)bytes;
    h.dwFlags = WHDR_PREPARED;  // what the layer does before it passes a header on
    return drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&h, sizeof h);
  }
  DWORD position() {
    MMTIME t = {};
    t.wType = TIME_BYTES;
    EXPECT_EQ(drv.wodMessage(0, WODM_GETPOS, 0, (DWORD_PTR)&t, sizeof t), 0u);
    EXPECT_EQ(t.wType, (UINT)TIME_BYTES);
    return t.u.cb;
  }
  // Waits until every header is done; false when a notification fails to come.
  bool waitAllDone(std::vector<WAVEHDR>& hdrs, DWORD timeoutMs) {
    for (;;) {
      bool all = true;
      for (WAVEHDR& h : hdrs) all = all && (h.dwFlags & WHDR_DONE);
      if (all) return true;
      if (WaitForSingleObject(notified, timeoutMs) != WAIT_OBJECT_0) return false;
    }
  }

  kvwine::Driver& drv;
  HANDLE notified = nullptr;
  WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
};

class WineWaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvwine::clearRecords("KVWAVEOUT");
    ASSERT_TRUE(drv.load());
    ASSERT_NO_FATAL_FAILURE(kvwine::startInstanceWindow(instance));
  }
  void TearDown() override { instance.reset(); }

  kvwine::Driver drv;
  std::unique_ptr<Child> instance;
};

}  // namespace

namespace {

const size_t kChunkFrames = 4410;

// One stream from open to close with every notification and answer checked;
// the frames of the host's record that are not silent.
void streamOnce(kvwine::Driver& drv, const std::vector<int16_t>& signal, std::vector<int16_t>& sounding) {
  kvwine::clearRecords("KVWAVEOUT");
  WaveClient c(drv);
  ASSERT_EQ(c.open(), 0u);
  ASSERT_EQ(WaitForSingleObject(c.notified, 0), WAIT_OBJECT_0) << "WOM_OPEN";
  std::vector<DWORD> hosts = kvwine::processesNamed(kvwine::kWaveHostExe);
  ASSERT_EQ(hosts.size(), 1u) << "the open starts the host's wave copy";
  HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, hosts[0]);

  // The signal in buffers of 100 ms, then 200 ms of silence: once that is handed
  // over the host has played the signal, since the driver is only 40 ms ahead.
  const size_t chunkFrames = kChunkFrames;
  std::vector<int16_t> silence(2 * 2 * chunkFrames, 0);
  const size_t chunks = signal.size() / 2 / chunkFrames;
  std::vector<WAVEHDR> hdrs(chunks + 1);
  for (size_t i = 0; i < chunks; ++i)
    ASSERT_EQ(c.write(hdrs[i], const_cast<int16_t*>(&signal[2 * chunkFrames * i]), chunkFrames * kFrameBytes), 0u);
  ASSERT_EQ(c.write(hdrs[chunks], silence.data(), silence.size() * 2), 0u);

  // Paused once the first buffer is back: the position stays, no buffer comes back.
  while (!(hdrs[0].dwFlags & WHDR_DONE)) ASSERT_EQ(WaitForSingleObject(c.notified, 5000), WAIT_OBJECT_0);
  ASSERT_EQ(c.drv.wodMessage(0, WODM_PAUSE, 0, 0, 0), 0u);
  DWORD paused = c.position();
  EXPECT_GE(paused, chunkFrames * kFrameBytes);
  EXPECT_LT(paused, signal.size() * 2);
  ResetEvent(c.notified);
  EXPECT_EQ(WaitForSingleObject(c.notified, 300), (DWORD)WAIT_TIMEOUT) << "a buffer came back while paused";
  EXPECT_EQ(c.position(), paused);
  ASSERT_EQ(c.drv.wodMessage(0, WODM_RESTART, 0, 0, 0), 0u);
  ASSERT_TRUE(c.waitAllDone(hdrs, 5000));
  EXPECT_EQ(c.position(), (DWORD)(signal.size() * 2 + silence.size() * 2));

  // The volume goes to the host through its window and comes back from it; a
  // muted buffer adds only silence to the record.
  ASSERT_EQ(c.drv.wodMessage(0, WODM_SETVOLUME, 0, 0x40008000, 0), 0u);
  DWORD volume = 0;
  ASSERT_EQ(c.drv.wodMessage(0, WODM_GETVOLUME, 0, (DWORD_PTR)&volume, 0), 0u);
  EXPECT_EQ(volume, 0x40008000u);
  ASSERT_EQ(c.drv.wodMessage(0, WODM_SETVOLUME, 0, 0, 0), 0u);
  std::vector<WAVEHDR> muted(2);
  ASSERT_EQ(c.write(muted[0], const_cast<int16_t*>(signal.data()), chunkFrames * kFrameBytes), 0u);
  ASSERT_EQ(c.write(muted[1], silence.data(), silence.size() * 2), 0u);
  ASSERT_TRUE(c.waitAllDone(muted, 5000));

  ASSERT_EQ(c.drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  EXPECT_EQ(WaitForSingleObject(c.notified, 0), WAIT_OBJECT_0) << "WOM_CLOSE";
  ASSERT_EQ(WaitForSingleObject(host, 10000), WAIT_OBJECT_0) << "the host ends after its close command";
  CloseHandle(host);

  std::vector<int16_t> record = readRecord();
  ASSERT_FALSE(record.empty()) << "no 16-bit stereo 44100 Hz record";
  for (size_t i = 0; i + 1 < record.size(); i += 2) {
    if (record[i] == 0 && record[i + 1] == 0) continue;
    sounding.push_back(record[i]);
    sounding.push_back(record[i + 1]);
  }
}

// The underruns the host counted; -1 when its report has none.
long long underruns() {
  std::string report = kvwine::readFile(kvwine::installDir() + "\\KVWAVEOUT.TXT");
  size_t at = report.find("underruns ");
  return at == std::string::npos ? -1 : atoll(report.c_str() + at + 10);
}

}  // namespace

void kvwine::streamSignal(kvwine::Driver& drv) {
  std::vector<int16_t> signal = kvtest::testSignal(6 * kChunkFrames);
  // A host that found stretches of the ring unfilled played what was there
  // before: on a loaded machine the pump may come too late, and that says
  // nothing about the samples. Such a run is made again, at most five times.
  const int kAttempts = 5;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    std::vector<int16_t> sounding;
    streamOnce(drv, signal, sounding);
    if (::testing::Test::HasFatalFailure()) return;
    long long n = underruns();
    ASSERT_GE(n, 0) << "the host's report has no underrun count";
    if (n > 0) {
      printf("attempt %d: the host met %lld unfilled stretches; once more\n", attempt, n);
      continue;
    }
    // The signal has no silent frame, so the record without its silent frames
    // (the lead-in, the pause, the tail and the muted buffer) is the signal.
    std::string why;
    kvtest::findSignal(sounding, signal, why);
    EXPECT_EQ(why, "");
    EXPECT_EQ(sounding.size(), signal.size()) << "the muted buffer was heard";
    return;
  }
  ADD_FAILURE() << "the host met unfilled stretches in each of " << kAttempts << " runs";
}

TEST_F(WineWaveTest, StreamPausedAndRestartedIsRecordedSampleForSampleAndTheVolumeReachesTheHost) {
  kvwine::streamSignal(drv);
}

TEST_F(WineWaveTest, CloseWithBuffersQueuedReturnsThemAllAndFreesTheDevice) {
  WaveClient c(drv);
  ASSERT_EQ(c.open(), 0u);
  std::vector<int16_t> signal = kvtest::testSignal(44100);
  std::vector<WAVEHDR> hdrs(5);
  for (WAVEHDR& h : hdrs) ASSERT_EQ(c.write(h, signal.data(), signal.size() * 2), 0u);
  ASSERT_EQ(c.drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  for (WAVEHDR& h : hdrs) {
    EXPECT_TRUE(h.dwFlags & WHDR_DONE);
    EXPECT_FALSE(h.dwFlags & WHDR_INQUEUE);
  }
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kWaveHostExe, 10000));
  ASSERT_EQ(c.open(), 0u) << "the device is free again";
  ASSERT_EQ(c.drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kWaveHostExe, 10000));
}
