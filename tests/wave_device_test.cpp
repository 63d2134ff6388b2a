// The wave device: capabilities, format checks, the open against the host with
// both gates and the instance gate, the write checks, pause, reset, position,
// volume and close (the fixture is in wave_device.h). Threads, callbacks and
// races: wave_threads_test.cpp.
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/protocol.h"
#include "clock.h"
#include "kv/plat.h"
#include "product.h"
#include "sound.h"

using kvtest::Child;
#include "wave_device.h"

using kvtest::Child;
using kvtest::waitUntil;
using namespace wavetest;

TEST_F(WaveDeviceTest, CapabilitiesDeviceIdsAndClosedHandlers) {
  static const unsigned char name[] = "Kelvasong WaveOut (NT)";
  unsigned char caps[100];
  memset(caps, 0xEE, sizeof caps);
  EXPECT_EQ(wod(WODM_GETDEVCAPS, (DWORD_PTR)caps, 84), 0u);
  EXPECT_EQ(caps[0] | caps[1] << 8, 0xF001);
  EXPECT_EQ(caps[2] | caps[3] << 8, 0x4000);
  EXPECT_EQ(caps[4], 0xA5);
  for (size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(caps[8 + 2 * i], i < 22 ? name[i] : 0) << i;
    EXPECT_EQ(caps[9 + 2 * i], 0);
  }
  EXPECT_EQ(caps[72] | caps[73] << 8, 0xFFF);
  EXPECT_EQ(caps[76], 2);
  EXPECT_EQ(caps[78], 12);
  EXPECT_EQ(caps[80] | caps[81] | caps[82] | caps[83], 0);
  EXPECT_EQ(caps[84], 0xEE);
  unsigned char part[100];
  memset(part, 0xEE, sizeof part);
  EXPECT_EQ(wod(WODM_GETDEVCAPS, (DWORD_PTR)part, 40), 0u);
  EXPECT_EQ(memcmp(part, caps, 40), 0);
  EXPECT_EQ(part[40], 0xEE);
  memset(part, 0xEE, sizeof part);
  EXPECT_EQ(wod(WODM_GETDEVCAPS, (DWORD_PTR)part, 0x10000), 0u);
  EXPECT_EQ(part[0], 0xEE) << "only the low 16 bits of the size count";
  EXPECT_EQ(wod(WODM_GETDEVCAPS, 0, 84), (DWORD)MMSYSERR_INVALPARAM);

  for (UINT msg = 0; msg <= 21; ++msg) EXPECT_EQ(drv.wodMessage(1, msg, 0, 0, 0), 2u) << msg;
  EXPECT_EQ(wod(WODM_GETNUMDEVS), 1u);
  for (UINT msg :
       {WODM_CLOSE, WODM_WRITE, WODM_PAUSE, WODM_RESTART, WODM_RESET, WODM_GETPOS, WODM_GETVOLUME, WODM_SETVOLUME})
    EXPECT_EQ(wod(msg), 5u) << msg;
  for (UINT msg : {7u, 8u, 20u, 14u, 15u, 0u, 21u}) EXPECT_EQ(wod(msg), 8u) << msg;
}

TEST_F(WaveDeviceTest, FormatChecksComeFirstAndQueryTouchesNothing) {
  EXPECT_EQ(open(pcm(2, 999, 16), WAVE_FORMAT_QUERY), 32u);
  EXPECT_EQ(open(pcm(2, 1000, 16), WAVE_FORMAT_QUERY), 0u);
  EXPECT_EQ(open(pcm(2, 65535, 16), WAVE_FORMAT_QUERY), 0u);
  EXPECT_EQ(open(pcm(2, 65536, 16), WAVE_FORMAT_QUERY), 32u);
  EXPECT_EQ(open(pcm(2, 44100, 24), WAVE_FORMAT_QUERY), 32u);
  EXPECT_EQ(open(pcm(3, 44100, 16), WAVE_FORMAT_QUERY), 32u);
  WAVEFORMATEX bad = pcm(3, 5, 24);
  bad.wFormatTag = 3;
  EXPECT_EQ(open(bad), 32u);
  EXPECT_EQ(drv.wave->dwStatus, 0u) << "nothing was touched";

  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  EXPECT_EQ(open(pcm(2, 44100, 16), WAVE_FORMAT_QUERY), 0u) << "also while open";
  EXPECT_EQ(open(pcm(2, 44100, 16)), 4u) << "a second open in the same process";
  EXPECT_EQ(drv.wave->wfFormat.nSamplesPerSec, 8000u);
  EXPECT_EQ(drv.wave->abRing[12345], 0x80) << "8-bit silence";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, InstanceGateAndHostFailures) {
  instance.reset();  // no instance window
  EXPECT_EQ(open(pcm(2, 44100, 16)), 4u);
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_REFUSED);
  EXPECT_EQ(readInstallFile("KVWAVEOUT.TXT"), "") << "no host was started";

  instance.reset(new Child("instance_window"));
  ASSERT_EQ(instance->expectLine(), "open");
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVWAVE16.EXE"));
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVTSK16.EXE"));
  EXPECT_EQ(open(pcm(2, 44100, 16)), 6u) << "no host could be started";
  installProgram("KVTSK16.EXE", "KVWAVE16.EXE");

  // The pump, which owns the owner mutex for the open, starts before the host.
  for (const char* op : {"CreateEventA", "CreateThread"}) {
    clearNotifications();
    platFaultClear();
    platFaultInject(op, 1, 1);
    EXPECT_EQ(open(pcm(2, 44100, 16)), 6u) << op;
    EXPECT_EQ(platFaultCalls(op), 1u) << op;
    EXPECT_TRUE(notifications.empty());
    EXPECT_EQ(readInstallFile("KVWAVEOUT.TXT"), "") << op << ": no host was started";
  }
  EXPECT_EQ(open(pcm(2, 44100, 16)), 0u) << "both gates are free again";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

// The owner mutex is one for every session: a client of another session holds
// it. A mutex that cannot be opened (another user's, say) counts as held too.
TEST_F(WaveDeviceTest, AnOwnerMutexHeldInAnySessionOrNotOpenedRefusesTheOpenBeforeAnyHostStarts) {
  {
    Child owner("own_mutex", {KV_WAVE_OWNER_MUTEX});
    ASSERT_EQ(owner.expectLine(), "owned");
    EXPECT_EQ(open(pcm(2, 44100, 16)), 4u) << "held by a client of another session";
    owner.send("end");
  }
  platFaultInject("CreateMutexA", 1, 1);
  EXPECT_EQ(open(pcm(2, 44100, 16)), 4u) << "not opened";
  EXPECT_TRUE(notifications.empty());
  EXPECT_EQ(readInstallFile("KVWAVEOUT.TXT"), "") << "no host was started";
  EXPECT_EQ(open(pcm(2, 44100, 16)), 0u) << "both gates are free again";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, WriteChecksInTheirOrder) {
  ASSERT_EQ(open(pcm(2, 44100, 16)), 0u);
  std::vector<BYTE> data(8, 1);
  WAVEHDR h = header(data);
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h - 1), 11u);
  EXPECT_EQ(wod(WODM_WRITE, 0, sizeof h), 11u);
  EXPECT_EQ(wod(WODM_WRITE, 16, sizeof h), 11u) << "an unreadable header";
  h.dwFlags = 0;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 34u);
  h.dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 33u);
  h.dwFlags = WHDR_PREPARED;
  h.dwBufferLength = 6;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 11u) << "not whole 4-byte blocks";
  h.dwBufferLength = 8;
  h.lpData = nullptr;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 11u);
  h.lpData = reinterpret_cast<LPSTR>(16);
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 11u) << "unreadable data";
  EXPECT_EQ(h.dwFlags, WHDR_PREPARED) << "a rejected header is left alone";

  h = header(data);
  h.dwFlags |= WHDR_DONE;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 0u);
  EXPECT_EQ(h.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 33u) << "written twice";
  WAVEHDR empty = {};
  empty.dwFlags = WHDR_PREPARED;
  EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)&empty, sizeof empty), 0u) << "no data, no length";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  EXPECT_EQ(countOf(WOM_DONE), 2u);
}

TEST_F(WaveDeviceTest, PumpFillsLeadAheadFromClientBuffersAndReturnsThemInOrder) {
  // 16-bit stereo at 4096 samples per second: the lead is 163 samples, 652 bytes.
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  const DWORD lead = 652;
  // Mark the ring so that every byte the pump writes shows.
  EXPECT_EQ(wod(WODM_PAUSE), 0u);
  memset(drv.wave->abRing, 0xEE, 65536);
  moveReadPos(1000, lead);
  EXPECT_EQ(drv.wave->abRing[1000 + lead], 0xEE) << "exactly lead bytes ahead";
  EXPECT_EQ(drv.wave->abRing[999 + lead], 0) << "paused: silence";

  std::vector<BYTE> a(800, 0xA1), b(4, 0xB2), c(0), d(2000, 0xD4);
  WAVEHDR ha = header(a), hb = header(b), hc = header(c), hd = header(d);
  for (WAVEHDR* h : {&ha, &hb, &hc, &hd}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  EXPECT_EQ(wod(WODM_RESTART), 0u);
  // The host moves 1000 bytes on: the pump writes exactly those 1000 bytes,
  // a's 800, b's 4, c's none, and 196 of d, returning a, b and c in order.
  moveReadPos(2000, lead);
  EXPECT_EQ(drv.wave->abRing[1000 + lead], 0xA1);
  EXPECT_EQ(drv.wave->abRing[1000 + lead + 799], 0xA1);
  EXPECT_EQ(drv.wave->abRing[1000 + lead + 800], 0xB2);
  EXPECT_EQ(drv.wave->abRing[1000 + lead + 804], 0xD4);
  EXPECT_EQ(drv.wave->abRing[2000 + lead - 1], 0xD4);
  EXPECT_EQ(drv.wave->abRing[2000 + lead], 0xEE);
  ASSERT_EQ(countOf(WOM_DONE), 3u);
  EXPECT_EQ(notifications[1].p1, (DWORD_PTR)&ha);
  EXPECT_EQ(notifications[2].p1, (DWORD_PTR)&hb);
  EXPECT_EQ(notifications[3].p1, (DWORD_PTR)&hc);
  EXPECT_EQ(ha.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(hd.dwFlags, WHDR_PREPARED | WHDR_INQUEUE) << "d spans several ticks";

  MMTIME t = {};
  t.wType = TIME_SAMPLES;
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.sample, (800u + 4 + 196) / 4);

  // Past the end of the ring the fill wraps to its start.
  moveReadPos(65000, lead);
  EXPECT_EQ(drv.wave->abRing[(65000 + lead - 1) & 0xFFFF], 0);
  EXPECT_EQ(countOf(WOM_DONE), 4u) << "d was used up on the way";
  EXPECT_EQ(drv.wave->abRing[0], 0) << "silence once the queue is empty";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, NothingMovesWhileTheHostStandsStill) {
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  // Once the pump has filled for a position, it waits for the next one.
  memset(drv.wave->abRing, 0xEE, 65536);
  moveReadPos(4, 652);
  std::vector<BYTE> a(4000, 0xA1);
  WAVEHDR ha = header(a);
  ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&ha, sizeof ha), 0u);
  memset(drv.wave->abRing, 0xEE, 65536);
  MMTIME t = {};
  t.wType = TIME_BYTES;
  // Several ticks pass; the ring and the position stay as they are, although a
  // buffer waits.
  Sleep(60);
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.cb, 0u);
  EXPECT_EQ(std::count(drv.wave->abRing, drv.wave->abRing + 65536, 0xEE), 65536);
  EXPECT_EQ(countOf(WOM_DONE), 0u);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, CloseReturnsQueuedBuffersInOrderThenClosesAndResetKeepsPause) {
  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  std::vector<BYTE> a(100, 1), b(100, 2), c(100, 3);
  WAVEHDR ha = header(a), hb = header(b), hc = header(c);
  EXPECT_EQ(wod(WODM_PAUSE), 0u);
  for (WAVEHDR* h : {&ha, &hb}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  EXPECT_EQ(wod(WODM_RESET), 0u);
  EXPECT_EQ(countOf(WOM_DONE), 2u);
  memset(drv.wave->abRing, 0xEE, 65536);
  moveReadPos(100, 320);
  EXPECT_EQ(drv.wave->abRing[100 + 320 - 1], 0x80) << "still paused after the reset: silence";

  for (WAVEHDR* h : {&ha, &hb, &hc}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  clearNotifications();
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  ASSERT_EQ(notifications.size(), 4u);
  EXPECT_EQ(notifications[0].p1, (DWORD_PTR)&ha);
  EXPECT_EQ(notifications[1].p1, (DWORD_PTR)&hb);
  EXPECT_EQ(notifications[2].p1, (DWORD_PTR)&hc);
  EXPECT_EQ(notifications[3].msg, (DWORD)WOM_CLOSE);
  EXPECT_EQ(notifications[3].flags, 3u) << "the open flags' high word, nothing added";
  for (WAVEHDR* h : {&ha, &hb, &hc}) EXPECT_EQ(h->dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(wod(WODM_CLOSE), 5u);
}

TEST_F(WaveDeviceTest, PositionInEveryTimeFormat) {
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  std::vector<BYTE> second(4096 * 4, 0x11);
  WAVEHDR h = header(second);
  ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 0u);
  memset(drv.wave->abRing, 0xEE, 65536);
  for (DWORD pos = 2048; countOf(WOM_DONE) == 0; pos += 2048) moveReadPos(pos, 652);
  MMTIME t = {};
  t.wType = TIME_MS;
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.ms, 1000u);
  t.wType = TIME_SAMPLES;
  wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
  EXPECT_EQ(t.u.sample, 4096u);
  t.wType = TIME_BYTES;
  wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
  EXPECT_EQ(t.u.cb, 4096u * 4);
  t.wType = TIME_SMPTE;
  wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
  EXPECT_EQ(t.wType, (UINT)TIME_SAMPLES);
  EXPECT_EQ(t.u.sample, 4096u);
  EXPECT_EQ(wod(WODM_GETPOS, 0, 0), 11u);
  EXPECT_EQ(wod(WODM_RESET), 0u);
  t.wType = TIME_MS;
  wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
  EXPECT_EQ(t.u.ms, 0u);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, VolumeTravelsThroughTheHost) {
  ASSERT_EQ(open(pcm(2, 44100, 16)), 0u);
  EXPECT_EQ(wod(WODM_SETVOLUME, 0x40008000), 0u);
  EXPECT_EQ(drv.wave->dwVolume, 0x40008000u);
  drv.wave->dwVolume = 0;
  DWORD volume = 0;
  EXPECT_EQ(wod(WODM_GETVOLUME, (DWORD_PTR)&volume), 0u);
  EXPECT_EQ(volume, 0x40008000u) << "the host stored its volume";
  EXPECT_EQ(wod(WODM_GETVOLUME, 0), 11u);

  // A host that does not answer leaves the last volume word, and both calls succeed.
  DWORD hostWindow = drv.wave->hwndHost;
  drv.wave->hwndHost = 0x7FFF0001;
  drv.wave->dwVolume = 0x12345678;
  EXPECT_EQ(wod(WODM_GETVOLUME, (DWORD_PTR)&volume), 0u);
  EXPECT_EQ(volume, 0x12345678u);
  EXPECT_EQ(wod(WODM_SETVOLUME, 0xFFFF), 0u);
  EXPECT_EQ(drv.wave->dwVolume, 0xFFFFu);
  drv.wave->hwndHost = hostWindow;
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, ProcessNamedCsrssNeverStartsTheWaveHost) {
  for (const char* name : {"CSRSS.EXE", "csrss.exe", "CsRsS.ExE"}) {
    std::string program = root + "/drive_c/" + name;
    ASSERT_TRUE(CopyFileA(kvtest::selfPath().c_str(), program.c_str(), FALSE));
    EXPECT_EQ(kvtest::openElsewhere("wave", program), "4 2 5")
        << name << ": refused with CHANNEL_REFUSED, the instance window notwithstanding";
    DeleteFileA(program.c_str());
  }
  EXPECT_EQ(readInstallFile("KVWAVEOUT.TXT"), "") << "no host was started";
  EXPECT_EQ(kvtest::openElsewhere("wave"), "0 100 0") << "any other process may open";
}

// ---- hostile and careless clients ----
