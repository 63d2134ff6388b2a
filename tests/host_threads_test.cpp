// What may hold up the host's real-time threads, and what must not: a disk
// that stalls (the records fall behind, the sound does not), a system that
// refuses real-time priority (said once). The record writer directly, with a
// queue small enough to fill; the real host with its synthesizer otherwise.
#include <sndfile.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/audio.h"
#include "host/recordwriter.h"
#include "kv/plat.h"
#include "product.h"
#include "sound.h"

namespace {

using kvtest::readFile;

const char kSoundFont[] = "/usr/share/sounds/sf2/TimGM6mb.sf2";

// The steady clock the host's record counts its stream start on.
int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The number in the first line of `text` that holds `what` after a number:
// "# 1234 what" or "... left out 1234 bytes"; -1 without one.
long long numberBefore(const std::string& text, const std::string& what) {
  size_t at = text.find(what);
  if (at == std::string::npos) return -1;
  size_t start = at >= 2 ? text.rfind(' ', at - 2) : std::string::npos;
  return atoll(text.c_str() + (start == std::string::npos ? 0 : start + 1));
}

class RecordWriterTest : public kvtest::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(platMachineInit());
  }
};

}  // namespace

// A writer that takes nothing (as one held up by the disk): what does not fit
// the queue is left out and counted, what fits is kept whole, and the loss is
// said once, with the count, when the record closes.
TEST_F(RecordWriterTest, AFullQueueLosesRecordDataOnlyAndSaysSoOnce) {
  testing::internal::CaptureStderr();
  {
    RecordWriter writer;
    RecordQueue* text = writer.add("C:\\TEXT.TXT", 64, recordFileTarget("C:\\TEXT.TXT"));
    ASSERT_NE(text, nullptr);
    text->put(std::string(20, 'a'));
    text->put(std::string(20, 'b'));
    text->put(std::string(20, 'c'));  // 28 bytes with its entry's header: no room
    EXPECT_EQ(text->lostBytes(), 20u);
    EXPECT_EQ(text->lossNote(), "the record C:\\TEXT.TXT left out 20 bytes: writing it fell behind");
    writer.start();
    // A producer that keeps no time waits for the writer to make room, also
    // for more than the queue holds at once.
    text->putWaiting(std::string(200, 'e'));
    writer.stop();
    EXPECT_EQ(text->lostBytes(), 20u);
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(said, "KVTSK16: the record C:\\TEXT.TXT left out 20 bytes"), 1u) << said;
  EXPECT_EQ(countOf(said, "KVTSK16:"), 1u) << said;
  EXPECT_EQ(readFile(root + "/drive_c/TEXT.TXT"), std::string(20, 'a') + std::string(20, 'b') + std::string(200, 'e'));
}

// A WAV record keeps its time line: a silence is one entry however long, and
// sound that found no room is written as silence of its length, so that every
// later frame still lies at its moment.
TEST_F(RecordWriterTest, AWavRecordThatLosesSoundKeepsItsTimeLine) {
  const AudioFormat format = {1000, 2, 16};
  std::vector<int16_t> a(8, 1000), b(8, 2000), c(8, 3000), d(8, 4000);
  testing::internal::CaptureStderr();
  {
    RecordWriter writer;
    std::unique_ptr<AudioSink> sink = openWavRecord("C:\\TIME.WAV", format);
    ASSERT_NE(sink, nullptr);
    RecordQueue* wav = writer.add("C:\\TIME.WAV", 64, audioSinkTarget(std::move(sink)), 4000);
    wav->put(a.data(), 16);       // 24 bytes queued
    wav->putSilence(100000 * 4);  // 8: 100000 frames of silence
    wav->put(b.data(), 16);       // 24: 56 of 64
    wav->put(c.data(), 16);       // no room: 4 frames owed as silence
    wav->put(d.data(), 16);       // the owed silence first, and no room for it: 8 frames owed
    EXPECT_EQ(wav->lostBytes(), 32u);
    writer.start();
    writer.stop();
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(countOf(said, "the record C:\\TIME.WAV could not keep 0.008 s of sound (32 bytes, kept as silence)"), 1u)
      << said;
  kvtest::Wav w = kvtest::readWav(root + "/drive_c/TIME.WAV");
  ASSERT_EQ(w.frames(), 4u + 100000u + 4u + 8u);
  EXPECT_EQ(w.samples[0], 1000);
  EXPECT_EQ(kvtest::peak(w.samples, 8, 8 + 200000), 0) << "the silence";
  EXPECT_EQ(w.samples[200008], 2000) << "the block after the silence lies at its frame";
  EXPECT_EQ(kvtest::peak(w.samples, 200016, w.samples.size()), 0) << "the lost blocks are silent";
}

namespace {

class HostThreadsTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    hostSetting("SoundFont", kSoundFont);
    hostSetting("SoundServer", "none");
    hostSetting("Reverb", "0");
    hostSetting("Chorus", "0");
    keepHostStderr();
  }
  // Opens the MIDI device with the host started under `variable`=`value`.
  DWORD openWith(const char* variable, const char* value) {
    setenv(variable, value, 1);
    MIDIOPENDESC desc = {};
    DWORD result = drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
    unsetenv(variable);
    return result;
  }
  DWORD send(DWORD message) { return drv.modMessage(0, MODM_DATA, 0, message, 0); }
  void closeAndWaitForHost() {
    DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
    ASSERT_TRUE(kvtest::processEnds((int)pid, 120000)) << "the host ended after the close";
  }
};

}  // namespace

// A disk that takes 200 ms for every write. The records fall behind and say
// what they could not keep; the sound does not: every note of a phrase is
// played, also the first after a rest (whose silence the record still keeps),
// and no block of the sound waits for a write of the record.
TEST_F(HostThreadsTest, ADiskThatStallsEveryWriteHoldsUpNoNote) {
  const unsigned kStallMs = 200;
  ASSERT_EQ(openWith(PLAT_DELAYS_ENV, ("WriteFile=" + std::to_string(kStallMs)).c_str()), 0u);
  ASSERT_EQ(send(0x13C0), 0u);  // organ: sound from its first frame
  const int kNotes = 12;
  std::vector<int64_t> sentNs;
  for (int i = 0; i < kNotes; ++i) {
    // A rest in the middle, long enough for the renderer to sleep once the
    // sound has stopped.
    if (i == kNotes / 2) {
      ASSERT_EQ(send(0x0078B0), 0u);
    }
    Sleep(i == kNotes / 2 ? 1200 : 40);
    sentNs.push_back(steadyNs());
    ASSERT_EQ(send(0x7F0090u | (DWORD)(60 + i) << 8), 0u) << i;
    Sleep(30);
    ASSERT_EQ(send(0x000080u | (DWORD)(60 + i) << 8), 0u) << i;
  }
  // Far more bytes than the byte record's queue holds, faster than a stalled
  // disk takes them.
  std::vector<BYTE> sysex(1 << 20, 0x11);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
  hdr.dwBufferLength = (DWORD)sysex.size();
  hdr.dwFlags = MHDR_PREPARED;
  ASSERT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  closeAndWaitForHost();

  std::string text = readInstallFile("KVMIDIIN.TXT");
  EXPECT_EQ(numberBefore(text, "note-ons played"), kNotes) << text;
  EXPECT_EQ(text.find("messages not played"), std::string::npos) << text;
  EXPECT_EQ(countOf(text, " ms  note-on "), (size_t)kNotes) << "the message record is whole";
  // A render thread that waited for one write of the record would be at
  // least that late, and so would the arrival of a message that waited in the
  // ring for a consumer writing the record.
  size_t at = text.find(", the latest ");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_LT(atof(text.c_str() + at + 13), (double)kStallMs) << text;
  EXPECT_GE(numberBefore(text, "rests ended by a message"), 1) << "the renderer slept in the rest\n" << text;
  at = text.find("# stream start ");
  ASSERT_NE(at, std::string::npos) << text;
  const long long startNs = atoll(text.c_str() + at + 15);
  std::vector<double> taken = kvtest::recordedTimes(text, "note-on");
  ASSERT_EQ(taken.size(), (size_t)kNotes);
  for (int i = 0; i < kNotes; ++i)
    EXPECT_LT((double)startNs + taken[i] * 1e6 - (double)sentNs[i], kStallMs * 1e6) << "note " << i << " taken late";

  // The byte record kept what it could and the record says how much it left
  // out, once, as the host's standard error does.
  const long long sent = 2 + 3 + 12 * 6 + (long long)sysex.size();
  long long kept = (long long)readInstallFile("KVMIDIIN.RAW").size();
  long long leftOut = numberBefore(text, "bytes: writing it fell behind");
  if (leftOut < 0) leftOut = 0;
  EXPECT_EQ(kept + leftOut, sent) << text;
  EXPECT_EQ(countOf(hostSaid(), "left out"), leftOut ? 1u : 0u) << hostSaid();
  EXPECT_EQ(hostSaid().find("cannot"), std::string::npos) << hostSaid();

  // The sound keeps its time line in the record: every note sounds one block
  // after its arrival, also the one after the rest.
  kvtest::Wav wav = kvtest::readWav(installDir() + "/KVMIDIIN.WAV");
  for (double ms : taken) {
    size_t frame = (size_t)(ms * 44.1) + 64;
    EXPECT_GT(kvtest::peak(wav.samples, frame * 2, (frame + 882) * 2), 500) << "the note at " << ms << " ms";
  }
}

// A system without real-time priority for the host: it plays all the same,
// and says once, on standard error and in its record, that it runs without.
TEST_F(HostThreadsTest, AHostRefusedRealTimePrioritySaysSoOnce) {
  ASSERT_EQ(openWith(PLAT_FAULTS_ENV, "SCHED_FIFO=1:0"), 0u);
  ASSERT_EQ(send(0x643C90), 0u);
  ASSERT_EQ(send(0x003C80), 0u);
  closeAndWaitForHost();
  std::string text = readInstallFile("KVMIDIIN.TXT");
  EXPECT_EQ(countOf(hostSaid(), "runs without real-time priority"), 1u) << hostSaid();
  EXPECT_EQ(countOf(text, "# runs without real-time priority"), 1u) << text;
  EXPECT_EQ(numberBefore(text, "note-ons played"), 1) << text;
}
