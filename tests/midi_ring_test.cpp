// The MIDI device's byte ring with running status, writer lock and
// back-pressure, on a channel block set up the way an open leaves it, with no
// host.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "kv/plat.h"
#include "product.h"

using kvtest::DriverModule;

namespace {

class MidiRingTest : public kvtest::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(drv.load());
    openChannel();
  }

  // What a successful open leaves in the block.
  void openChannel() {
    memset((void*)drv.midi, 0, sizeof(MidiChannel));
    drv.midi->dwRingSize = 4096;
    drv.midi->lWriteLock = -1;
    drv.midi->dwVersion = CHANNEL_VERSION;
    drv.midi->dwStatus = CHANNEL_OPEN;
  }

  DWORD data(DWORD message) { return drv.modMessage(0, MODM_DATA, 0, message, 0); }

  // With the clock stopped, writes `message` on a thread of its own and
  // answers how the write ended once the clock had moved on `ms`; when it had
  // moved on ms - 1, the writer had looked at it and waited on.
  DWORD writeUntilTheClockMoved(kvtest::FrozenClock& clock, DWORD message, DWORD ms) {
    DWORD result = 99;
    unsigned looks = platFaultCalls("timeGetTime");
    kvtest::Running write([&] { result = data(message); });
    EXPECT_TRUE(kvtest::clockLooks("timeGetTime", looks)) << "the writer waits on the clock";
    if (ms > 1) {
      clock.advance(ms - 1);
      EXPECT_TRUE(kvtest::clockLooks("timeGetTime", platFaultCalls("timeGetTime")));
      EXPECT_FALSE(write.done()) << "still waiting after " << ms - 1 << " ms";
    }
    clock.advance(1);
    EXPECT_TRUE(write.ends());
    return result;
  }

  // Takes every queued byte, as the host does.
  std::vector<BYTE> consume() {
    std::vector<BYTE> out;
    while (drv.midi->dwRingCount > 0) {
      out.push_back(drv.midi->abRing[readPos]);
      readPos = (readPos + 1) % 4096;
      InterlockedDecrement(&drv.midi->dwRingCount);
    }
    return out;
  }

  BYTE runningStatus() const { return (BYTE)drv.midi->dwRunningStatus; }

  DriverModule drv;
  unsigned readPos = 0;
};

}  // namespace

TEST_F(MidiRingTest, ShortMessagesFollowTheClassificationAndRunningStatus) {
  EXPECT_EQ(data(0x40), 0u) << "no running status yet: dropped";
  EXPECT_EQ(drv.midi->dwRingCount, 0);
  EXPECT_EQ(data(0x7F403C90), 0u);
  EXPECT_EQ(data(0x403E), 0u);
  EXPECT_EQ(data(0x07C5), 0u);
  EXPECT_EQ(data(0x4000E3), 0u);
  EXPECT_EQ(data(0xF8), 0u);
  EXPECT_EQ(runningStatus(), 0xE3) << "real-time bytes leave running status alone";
  EXPECT_EQ(data(0x0FF3), 0u);
  EXPECT_EQ(data(0x402AF2), 0u);
  EXPECT_EQ(data(0xF6), 0u);
  EXPECT_EQ(data(0x55), 0u) << "running status 0xF6 is put in front";
  EXPECT_EQ(data(0x0102F0), 0u);
  EXPECT_EQ(data(0x0102F7), 0u);
  EXPECT_EQ(consume(), (std::vector<BYTE>{0x90, 0x3C, 0x40, 0x90, 0x3E, 0x40, 0xC5, 0x07, 0xE3, 0x00, 0x40, 0xF8, 0xF3,
                                          0x0F, 0xF2, 0x2A, 0x40, 0xF6, 0xF6}));
  EXPECT_EQ(drv.midi->dwWritePos, 19u);
}

TEST_F(MidiRingTest, SysexBufferSetsRunningStatusFromItsBytes) {
  BYTE sysex[] = {0xF0, 0x43, 0x90, 0x10, 0xF7};
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex);
  hdr.dwBufferLength = sizeof sysex;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  EXPECT_EQ(hdr.dwFlags, MHDR_PREPARED | MHDR_DONE);
  EXPECT_EQ(runningStatus(), 0xF7);
  EXPECT_EQ(data(0x4010), 0u) << "0xF7 as running status drops a message without status";
  EXPECT_EQ(consume(), std::vector<BYTE>(sysex, sysex + sizeof sysex));

  hdr.dwFlags = 0;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), (DWORD)MIDIERR_UNPREPARED);
  EXPECT_EQ(hdr.dwFlags, 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
}

TEST_F(MidiRingTest, NothingIsWrittenWhileTheChannelIsNotOpen) {
  drv.midi->dwStatus = CHANNEL_ACCEPTED;
  for (DWORD m : {0x403C90u, 0x40u, 0xF0u}) EXPECT_EQ(data(m), (DWORD)MMSYSERR_ERROR) << m;
  BYTE b = 0x90;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(&b);
  hdr.dwBufferLength = 0;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), (DWORD)MMSYSERR_ERROR)
      << "even an empty buffer";
  EXPECT_TRUE(hdr.dwFlags & MHDR_DONE);
  EXPECT_EQ(drv.midi->dwRingCount, 0);
}

TEST_F(MidiRingTest, TheRingWrapsAndAPositionBeyondItIsTakenModuloItsSize) {
  std::vector<BYTE> bytes(4097);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (BYTE)(i % 0x70);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = 4000;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  EXPECT_EQ(consume().size(), 4000u);
  hdr.lpData += 4000;
  hdr.dwBufferLength = 97;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  EXPECT_EQ(drv.midi->abRing[0], bytes[4096]) << "the 4097th byte goes to index 0";
  EXPECT_EQ(drv.midi->dwWritePos, 1u);
  consume();

  // An outside writer may leave any position; the store stays inside the ring.
  drv.setMidiLong(offsetof(MidiChannel, dwWritePos), 4096 + 5);
  EXPECT_EQ(data(0x403C90), 0u);
  EXPECT_EQ(drv.midi->abRing[5], 0x90);
  EXPECT_EQ(drv.midi->dwWritePos, 8u);
}

TEST_F(MidiRingTest, AFullRingGivesUpAfterASecondAndTheStallGateThenRefusesAtOnce) {
  std::vector<BYTE> bytes(4096, 0x10);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = 4096;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u) << "4096 bytes fit";
  EXPECT_EQ(drv.midi->dwRingCount, 4096);

  // Nine earlier give-ups and a bit: 9999 still lets a call through.
  drv.setMidiLong(offsetof(MidiChannel, dwStallMs), 9999);
  {
    kvtest::FrozenClock clock;
    EXPECT_EQ(data(0x0102F0), 0u) << "a dropped message touches nothing";
    EXPECT_EQ(writeUntilTheClockMoved(clock, 0xF8, 1000), (DWORD)MIDIERR_NOTREADY);
  }
  EXPECT_EQ(drv.midi->dwStallMs, 9999u + 1000u);
  EXPECT_EQ(drv.midi->lWriteLock, -1);

  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { EXPECT_EQ(data(0xF8), (DWORD)MIDIERR_NOTREADY); }))
      << "from 10000 on the writer refuses at once";
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), (DWORD)MIDIERR_NOTREADY);
  hdr.dwBufferLength = 0;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u) << "count 0 still succeeds";

  // The first byte stored clears the stall time.
  readPos = 0;
  consume();
  drv.setMidiLong(offsetof(MidiChannel, dwStallMs), 9999);
  EXPECT_EQ(data(0xF8), 0u);
  EXPECT_EQ(drv.midi->dwStallMs, 0u);
}

// A message that finds room for part of it: what fits is stored and counted,
// position and running status follow it, and the rest waits for the host;
// given up, the bytes stored stay.
TEST_F(MidiRingTest, AMessageThatMeetsAFullRingKeepsWhatFit) {
  std::vector<BYTE> bytes(4094, 0x10);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = 4094;
  hdr.dwFlags = MHDR_PREPARED;
  ASSERT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  {
    kvtest::FrozenClock clock;
    EXPECT_EQ(writeUntilTheClockMoved(clock, 0x403C90, 1000), (DWORD)MIDIERR_NOTREADY);
  }
  EXPECT_EQ(drv.midi->dwRingCount, 4096);
  EXPECT_EQ(drv.midi->abRing[4094], 0x90);
  EXPECT_EQ(drv.midi->abRing[4095], 0x3C);
  EXPECT_EQ(drv.midi->dwWritePos, 0u);
  EXPECT_EQ(runningStatus(), 0x90);
  EXPECT_EQ(drv.midi->dwStallMs, 1000u);
  EXPECT_EQ(drv.midi->lWriteLock, -1);

  // Room for the whole message again: all of it goes in.
  for (int i = 0; i < 3; ++i) {
    readPos = (readPos + 1) % 4096;
    InterlockedDecrement(&drv.midi->dwRingCount);
  }
  EXPECT_EQ(data(0x403E90), 0u);
  EXPECT_EQ(drv.midi->dwRingCount, 4096);
  EXPECT_EQ(drv.midi->dwStallMs, 0u);
  EXPECT_EQ(drv.midi->dwWritePos, 3u);
}

TEST_F(MidiRingTest, TenGiveUpsReachTheStallGate) {
  std::vector<BYTE> bytes(4096, 0x10);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = 4096;
  hdr.dwFlags = MHDR_PREPARED;
  ASSERT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  kvtest::FrozenClock clock;
  for (DWORD i = 1; i <= 10; ++i) {
    EXPECT_EQ(writeUntilTheClockMoved(clock, 0xF8, 1000), (DWORD)MIDIERR_NOTREADY);
    EXPECT_EQ(drv.midi->dwStallMs, i * 1000);
  }
  kvtest::Running gated([&] { EXPECT_EQ(data(0xF8), (DWORD)MIDIERR_NOTREADY); });
  EXPECT_TRUE(gated.ends()) << "refused without waiting for the clock";
}

// Holds the writer lock of the channel in the module named by argv[1] as a
// writer stuck on a full ring does, until told to stop.
KV_HELPER(hold_write_lock) {
  (void)argc;
  HMODULE m = LoadLibraryA(argv[1]);
  auto* midi = m ? reinterpret_cast<MidiChannel*>(GetProcAddress(m, "gkMidiOut")) : nullptr;
  if (!midi) return 1;
  kvtest::say(InterlockedIncrement(&midi->lWriteLock) == 0 ? "holding" : "busy");
  std::string line;
  kvtest::hear(line);
  InterlockedDecrement(&midi->lWriteLock);
  kvtest::say("released");
  kvtest::hear(line);
  return 0;
}

TEST_F(MidiRingTest, ASecondWriterInAnotherProcessGivesUpAfter50Ms) {
  kvtest::Child holder("hold_write_lock", {kvtest::driverModulePath()});
  ASSERT_EQ(holder.expectLine(), "holding");
  {
    kvtest::FrozenClock clock;
    EXPECT_EQ(writeUntilTheClockMoved(clock, 0x403C90, 50), (DWORD)MIDIERR_NOTREADY);
  }
  EXPECT_EQ(drv.midi->lWriteLock, 0) << "the holder's count only";
  EXPECT_EQ(drv.midi->dwRingCount, 0);
  holder.send("release");
  ASSERT_EQ(holder.expectLine(), "released");
  EXPECT_EQ(data(0x403C90), 0u);
  EXPECT_EQ(drv.midi->lWriteLock, -1);
}

TEST_F(MidiRingTest, ShortMessageLengthsAtEveryClassBoundary) {
  struct Case {
    BYTE status;
    size_t length;
  };
  const Case cases[] = {{0x80, 3}, {0xBF, 3}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xEF, 3}, {0xF0, 0}, {0xF1, 2},
                        {0xF2, 3}, {0xF3, 2}, {0xF4, 1}, {0xF5, 1}, {0xF6, 1}, {0xF7, 0}, {0xF8, 1}, {0xFF, 1}};
  for (const Case& c : cases) {
    openChannel();
    readPos = 0;
    EXPECT_EQ(data(0x00201000u | c.status), 0u) << (int)c.status;
    std::vector<BYTE> got = consume();
    std::vector<BYTE> want = {c.status, 0x10, 0x20};
    want.resize(c.length);
    EXPECT_EQ(got, want) << std::hex << (int)c.status;
  }
  // 0x7F is a data byte: it goes behind the running status.
  openChannel();
  readPos = 0;
  EXPECT_EQ(data(0x403C90), 0u);
  EXPECT_EQ(data(0x107F), 0u);
  EXPECT_EQ(consume(), (std::vector<BYTE>{0x90, 0x3C, 0x40, 0x90, 0x7F, 0x10}));
}

TEST_F(MidiRingTest, AStatusInsideALongBufferBecomesRunningStatus) {
  BYTE bytes[] = {0x90, 0x3C, 0x40, 0xC5, 0x07, 0xF8};
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes);
  hdr.dwBufferLength = sizeof bytes;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  EXPECT_EQ(runningStatus(), 0xC5) << "the last status before the real-time byte";
  EXPECT_EQ(data(0x08), 0u);
  EXPECT_EQ(consume(), (std::vector<BYTE>{0x90, 0x3C, 0x40, 0xC5, 0x07, 0xF8, 0xC5, 0x08}));
}

TEST_F(MidiRingTest, LongDataWithABufferThatCannotBeReadIsRefused) {
  long page = sysconf(_SC_PAGESIZE);
  BYTE* pages = static_cast<BYTE*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  BYTE* end = pages + page - 16;
  memset(end, 0x11, 16);
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(end);
  hdr.dwBufferLength = 17;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), (DWORD)MMSYSERR_INVALPARAM)
      << "a length beyond the buffer";
  EXPECT_EQ(hdr.dwFlags, MHDR_PREPARED);
  hdr.lpData = reinterpret_cast<LPSTR>(0x10);
  hdr.dwBufferLength = 4;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), (DWORD)MMSYSERR_INVALPARAM)
      << "a wild pointer";
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)(pages + page), 0), (DWORD)MMSYSERR_INVALPARAM)
      << "a header that cannot be read";
  EXPECT_EQ(drv.midi->dwRingCount, 0);
  hdr.lpData = reinterpret_cast<LPSTR>(end);
  hdr.dwBufferLength = 16;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u) << "the whole buffer, no more";
  EXPECT_EQ(drv.midi->dwRingCount, 16);
  munmap(pages, 2 * page);
}

TEST_F(MidiRingTest, WritersOnThreeThreadsAreAllServed) {
  for (int round = 0; round < 5; ++round) {
    openChannel();
    readPos = 0;
    std::atomic<bool> done{false};
    std::vector<BYTE> stream;
    // On the stopped clock no writer gives up for time, however the threads
    // are scheduled: what counts is that the lock keeps every message whole
    // and serves every writer. (When a waiter gives up, the test below.)
    kvtest::FrozenClock clock;
    // Consumes as the host does, while the writers write.
    std::thread host([&] {
      while (!done || drv.midi->dwRingCount > 0) {
        std::vector<BYTE> got = consume();
        stream.insert(stream.end(), got.begin(), got.end());
        if (got.empty()) Sleep(0);
      }
    });
    const int kMessages = 3000;
    std::atomic<int> refused{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kMessages && refused == 0; ++i) {
          if (data(0x400090u | (DWORD)(w + 1) << 8) != 0) ++refused;
        }
      });
    }
    for (std::thread& t : writers) t.join();
    done = true;
    host.join();
    ASSERT_EQ(refused, 0) << "no writer is refused while the others keep releasing the lock, round " << round;
    ASSERT_EQ(stream.size(), 3u * 3 * kMessages);
    for (size_t i = 0; i < stream.size(); i += 3) {
      ASSERT_EQ(stream[i], 0x90) << "messages stay whole, at " << i;
      ASSERT_EQ(stream[i + 2], 0x40) << i;
    }
    EXPECT_EQ(drv.midi->lWriteLock, -1);
  }
}

// A waiter gives up after 50 ms of the clock in which the ring did not move;
// each byte the holder stores starts those 50 ms afresh.
TEST_F(MidiRingTest, AWaiterWaitsOnWhileTheHolderKeepsWriting) {
  ASSERT_EQ(InterlockedIncrement(&drv.midi->lWriteLock), 0) << "held, as by a writer on another thread";
  kvtest::FrozenClock clock;
  DWORD result = 99;
  unsigned looks = platFaultCalls("timeGetTime");
  kvtest::Running write([&] { result = data(0x403C90); });
  ASSERT_TRUE(kvtest::clockLooks("timeGetTime", looks));
  clock.advance(40);
  ASSERT_TRUE(kvtest::clockLooks("timeGetTime", platFaultCalls("timeGetTime")));
  // The holder stores a byte.
  drv.setMidiLong(offsetof(MidiChannel, dwWritePos), 1);
  InterlockedIncrement(&drv.midi->dwRingCount);
  ASSERT_TRUE(kvtest::clockLooks("timeGetTime", platFaultCalls("timeGetTime")));
  clock.advance(49);
  ASSERT_TRUE(kvtest::clockLooks("timeGetTime", platFaultCalls("timeGetTime")));
  EXPECT_FALSE(write.done()) << "89 ms since the wait began, 49 since the ring moved";
  clock.advance(1);
  ASSERT_TRUE(write.ends());
  EXPECT_EQ(result, (DWORD)MIDIERR_NOTREADY) << "50 ms since the ring moved";
  EXPECT_EQ(drv.midi->dwRingCount, 1);
  EXPECT_EQ(InterlockedDecrement(&drv.midi->lWriteLock), -1) << "the waiter gave its count back";
}

TEST_F(MidiRingTest, ALockLeftByAKilledWriterIsBrokenAfterTwoSeconds) {
  kvtest::Child holder("hold_write_lock", {kvtest::driverModulePath()});
  ASSERT_EQ(holder.expectLine(), "holding");
  holder.kill();
  holder.wait();
  int refusals = 0;
  {
    // Each write gives up after 50 ms of the clock, until one breaks the lock.
    kvtest::FrozenClock clock;
    while (clock.advanced() < 5000 && writeUntilTheClockMoved(clock, 0x403C90, 50) == MIDIERR_NOTREADY) ++refusals;
    EXPECT_GE(clock.advanced(), 2000u) << "a live holder is never broken sooner";
    EXPECT_LE(clock.advanced(), 2000u + 50u) << "broken by the first give-up after two seconds";
  }
  EXPECT_GT(refusals, 0);
  EXPECT_EQ(drv.midi->dwRingCount, 3);
  EXPECT_EQ(drv.midi->lWriteLock, -1);
  EXPECT_EQ(data(0x403C90), 0u) << "and from then on at once";
}
