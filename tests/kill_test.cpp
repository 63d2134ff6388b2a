// Kill anywhere: clients and hosts of both devices are ended with SIGKILL at
// random moments of their open, play and close, many times over. After every
// kill the next open from a new process must succeed, and once
// the survivors have closed the machine must hold nothing that the dead left
// behind (see kvtest::findLeftovers).
//
// The delays come from a seeded generator; the seed is printed, and
// KV_KILL_SEED=N replays a run, KV_KILL_ROUNDS=N sets the rounds per test.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/plat.h"
#include "leftovers.h"
#include "product.h"

using kvtest::Child;

namespace {

// ---- clients in processes of their own ------------------------------------------

const WAVEFORMATEX kWaveFormat = {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
const DWORD kWaveBufferBytes = 88200 / 50;  // 20 ms
const DWORD kSysexBytes = 8192;

// The wave buffers of a client process. Buffers still queued when the player
// stops are returned by the close, which comes later, on another thread: they
// outlive the player. The client learns that a buffer is done from WOM_DONE,
// which the pump sends after it has marked the header, never by reading the
// header's flags while the pump may write them.
struct WaveBuffers {
  std::mutex lock;
  std::condition_variable done;
  bool queued[4] = {};
  std::vector<char> data = std::vector<char>(4 * kWaveBufferBytes, 0);
  WAVEHDR hdrs[4] = {};
};

WaveBuffers waveBuffers;

void CALLBACK waveCallback(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
  if (msg != WOM_DONE) return;
  std::lock_guard<std::mutex> g(waveBuffers.lock);
  for (int i = 0; i < 4; ++i)
    if (dwParam1 == (DWORD_PTR)&waveBuffers.hdrs[i]) waveBuffers.queued[i] = false;
  waveBuffers.done.notify_all();
}

DWORD openDevice(kvtest::DriverModule& drv, bool midi) {
  if (midi) {
    MIDIOPENDESC desc = {};
    return drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
  }
  WAVEOPENDESC desc = {};
  desc.lpFormat = const_cast<WAVEFORMATEX*>(&kWaveFormat);
  desc.dwCallback = (DWORD_PTR)waveCallback;
  return drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
}

DWORD closeDevice(kvtest::DriverModule& drv, bool midi) {
  return midi ? drv.modMessage(0, MODM_CLOSE, 0, 0, 0) : drv.wodMessage(0, WODM_CLOSE, 0, 0, 0);
}

// Plays until `stop` or `rounds` rounds (-1: no end): MIDI notes and long
// system-exclusive buffers; wave buffers kept queued, four at a time.
void play(kvtest::DriverModule& drv, bool midi, const std::atomic<bool>& stop, int rounds) {
  if (midi) {
    std::vector<char> sysex(kSysexBytes, 0x11);
    sysex.front() = (char)0xF0;
    sysex.back() = (char)0xF7;
    for (int i = 0; !stop && i != rounds; ++i) {
      drv.modMessage(0, MODM_DATA, 0, 0x7F3C90, 0);
      MIDIHDR hdr = {};
      hdr.lpData = sysex.data();
      hdr.dwBufferLength = (DWORD)sysex.size();
      hdr.dwFlags = MHDR_PREPARED;
      drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
      drv.modMessage(0, MODM_DATA, 0, 0x003C80, 0);
    }
    return;
  }
  WaveBuffers& wb = waveBuffers;
  std::unique_lock<std::mutex> g(wb.lock);
  for (int written = 0; !stop && written != rounds * 4;) {
    int free = -1;
    for (int i = 0; i < 4 && free < 0; ++i)
      if (!wb.queued[i]) free = i;
    if (free < 0) {
      wb.done.wait_for(g, std::chrono::milliseconds(5));
      continue;
    }
    WAVEHDR& h = wb.hdrs[free];
    h = WAVEHDR{};
    h.lpData = wb.data.data() + free * kWaveBufferBytes;
    h.dwBufferLength = kWaveBufferBytes;
    h.dwFlags = WHDR_PREPARED;
    wb.queued[free] = true;
    // Written outside the lock: a reset or close from another thread returns
    // buffers through the callback, which takes it.
    g.unlock();
    DWORD result = drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&h, sizeof h);
    g.lock();
    if (result != MMSYSERR_NOERROR) {
      wb.queued[free] = false;
      return;
    }
    ++written;
  }
  while (!stop && rounds > 0 && (wb.queued[0] || wb.queued[1] || wb.queued[2] || wb.queued[3]))
    wb.done.wait_for(g, std::chrono::milliseconds(5));
}

}  // namespace

// Open, play and close, over and over, until killed: "midi" or "wave".
KV_HELPER(kill_cycling_client) {
  if (argc < 2) return 2;
  bool midi = strcmp(argv[1], "midi") == 0;
  kvtest::DriverModule drv;
  if (!drv.load()) return 1;
  kvtest::say("cycling");
  std::atomic<bool> stop{false};
  for (;;) {
    if (openDevice(drv, midi) == MMSYSERR_NOERROR) {
      play(drv, midi, stop, 1);
      closeDevice(drv, midi);
    }
  }
}

// Opens, names its host's process, plays until told "close", then closes and
// answers the open's and the close's results.
KV_HELPER(kill_playing_client) {
  if (argc < 2) return 2;
  bool midi = strcmp(argv[1], "midi") == 0;
  kvtest::DriverModule drv;
  if (!drv.load()) return 1;
  DWORD opened = openDevice(drv, midi);
  DWORD pid = 0;
  GetWindowThreadProcessId((HWND)(ULONG_PTR)(midi ? drv.midi->hwndHost : drv.wave->hwndHost), &pid);
  kvtest::say(std::to_string(opened) + " " + std::to_string(pid));
  std::atomic<bool> stop{false};
  std::thread player([&] {
    if (opened == MMSYSERR_NOERROR) play(drv, midi, stop, -1);
  });
  std::string line;
  while (kvtest::hear(line) && line != "close") {
  }
  stop = true;
  player.join();
  kvtest::say(std::to_string(opened == MMSYSERR_NOERROR ? closeDevice(drv, midi) : 0u));
  return 0;
}

// The next open, from a new process: "RESULT MS" of the open, then a short
// play and the close's result.
KV_HELPER(kill_next_open) {
  if (argc < 2) return 2;
  bool midi = strcmp(argv[1], "midi") == 0;
  kvtest::DriverModule drv;
  if (!drv.load()) return 1;
  auto t0 = std::chrono::steady_clock::now();
  DWORD opened = openDevice(drv, midi);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  std::atomic<bool> stop{false};
  if (opened == MMSYSERR_NOERROR) play(drv, midi, stop, 1);
  DWORD closed = opened == MMSYSERR_NOERROR ? closeDevice(drv, midi) : 0;
  kvtest::say(std::to_string(opened) + " " + std::to_string(ms) + " " + std::to_string(closed));
  return 0;
}

namespace {

#ifdef __SANITIZE_THREAD__
const bool kSanitizedThreads = true;
#else
const bool kSanitizedThreads = false;
#endif

class KillTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    hostSetting("SoundServer", "none");
    hostSetting("MidiRecord", "");
    hostSetting("WaveRecord", "");
    instance.reset(new Child("instance_window"));
    ASSERT_EQ(instance->expectLine(), "open");
    const char* seedText = getenv("KV_KILL_SEED");
    seed = seedText ? (unsigned)strtoul(seedText, nullptr, 10) : std::random_device{}();
    const char* roundsText = getenv("KV_KILL_ROUNDS");
    if (roundsText) rounds = atoi(roundsText);
    random.seed(seed);
  }
  void TearDown() override {
    instance.reset();
    ProductTest::TearDown();
  }

  // A random delay in microseconds, up to `maxUs`.
  unsigned delayUs(unsigned maxUs) { return std::uniform_int_distribution<unsigned>(0, maxUs)(random); }

  // The next open from a new process succeeds; once every
  // process but the instance window's has ended, nothing is left over. The
  // first clean round takes the machine's files as they are meant to stay.
  void nextOpenAndNoLeftovers(bool midi, const std::string& round) {
    {
      Child next("kill_next_open", {midi ? "midi" : "wave"});
      std::istringstream answer(next.expectLine(20000));
      DWORD opened = 99, ms = 99999, closed = 99;
      answer >> opened >> ms >> closed;
      EXPECT_EQ(opened, 0u) << round << ", after " << ms << " ms";
      EXPECT_EQ(closed, 0u) << round;
      next.wait();
    }
    // The hosts end by themselves after their close command. A process on its
    // way out no longer shows its environment but may still hold its entry's
    // lock, so the processes named by entries are waited for too.
    std::set<pid_t> survivors = {instance->pid()};
    std::set<pid_t> others = kvtest::machineProcesses(root);
    for (pid_t pid : kvtest::entryProcesses(root)) others.insert(pid);
    for (pid_t pid : others)
      if (pid > 0 && pid != getpid() && !survivors.count(pid)) kvtest::processEnds((int)pid, 5000);
    Child probe("instance_window");
    ASSERT_EQ(probe.expectLine(), "open") << round;
    survivors.insert(probe.pid());
    if (baseline.empty()) baseline = kvtest::machineFiles(root);
    std::vector<std::string> found = kvtest::findLeftovers(root, survivors, baseline);
    EXPECT_TRUE(found.empty()) << round << ": left over\n" << kvtest::lines(found);
  }

  // Kills a client that opens, plays and closes over and over, at a random
  // moment within two of its cycles.
  void killCyclingClients(bool midi) {
    announce(20);
    nextOpenAndNoLeftovers(midi, "clean round");
    auto t0 = std::chrono::steady_clock::now();
    nextOpenAndNoLeftovers(midi, "clean round");
    unsigned cycleUs =
        (unsigned)std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    for (int i = 0; i < rounds && !HasFailure(); ++i) {
      unsigned us = delayUs(2 * cycleUs);
      std::string round = "round " + std::to_string(i) + ", client killed after " + std::to_string(us) + " us";
      Child client("kill_cycling_client", {midi ? "midi" : "wave"});
      ASSERT_EQ(client.expectLine(), "cycling");
      std::this_thread::sleep_for(std::chrono::microseconds(us));
      client.kill();
      client.wait();
      nextOpenAndNoLeftovers(midi, round);
      if (!HasFailure()) ++killed;
    }
  }

  // Kills the host of a client that plays (long system-exclusive buffers, or
  // a stream of wave buffers) at a random moment; the client then closes.
  // slowSetting: a host setting for the killed host only (the next open's host
  // is an ordinary one).
  void killPlayingHosts(bool midi, const char* slowSetting = nullptr, const char* slowValue = nullptr) {
    // A killed host's client waits up to a second for ring space first.
    announce(midi ? 12 : 20);
    nextOpenAndNoLeftovers(midi, "clean round");
    for (int i = 0; i < rounds && !HasFailure(); ++i) {
      unsigned us = delayUs(300000);
      std::string round = "round " + std::to_string(i) + ", host killed after " + std::to_string(us) + " us";
      if (slowSetting) hostSetting(slowSetting, slowValue);
      Child client("kill_playing_client", {midi ? "midi" : "wave"});
      std::istringstream opened(client.expectLine(20000));
      if (slowSetting) hostSetting(slowSetting, "");
      DWORD result = 99, host = 0;
      opened >> result >> host;
      ASSERT_EQ(result, 0u) << round;
      ASSERT_NE(host, 0u) << round;
      std::this_thread::sleep_for(std::chrono::microseconds(us));
      ASSERT_EQ(::kill((pid_t)host, SIGKILL), 0) << round;
      ASSERT_TRUE(kvtest::processEnds((int)host, 5000)) << round;
      client.send("close");
      std::string closed = client.expectLine();
      int status = client.wait();
      EXPECT_EQ(closed, "0") << round << ": a close always answers 0; the client ended with " << status;
      nextOpenAndNoLeftovers(midi, round);
      if (!HasFailure()) ++killed;
    }
  }

  void announce(int defaultRounds) {
    // ThreadSanitizer slows every process of a round down severalfold: a
    // quarter of the rounds keeps the stage's time in bounds.
    if (rounds == 0) rounds = kSanitizedThreads ? (defaultRounds + 3) / 4 : defaultRounds;
    printf("kill seed %u (KV_KILL_SEED=%u replays it), %d rounds\n", seed, seed, rounds);
  }
  void report() { printf("kills survived: %d\n", killed); }

  std::unique_ptr<Child> instance;
  unsigned seed = 0;
  int rounds = 0;
  int killed = 0;
  std::mt19937 random;
  std::set<std::string> baseline;
};

}  // namespace

TEST_F(KillTest, MidiClientsKilledAnywhere) {
  killCyclingClients(true);
  report();
}

TEST_F(KillTest, WaveClientsKilledAnywhere) {
  killCyclingClients(false);
  report();
}

TEST_F(KillTest, MidiHostsKilledDuringALongSysex) {
  // A host that takes its bytes slowly: every kill lands inside a sysex.
  hostSetting("SlowByteUs", "20");
  killPlayingHosts(true, "Consume", "slow");
  report();
}

TEST_F(KillTest, WaveHostsKilledWhileStreaming) {
  killPlayingHosts(false);
  report();
}

namespace {

class ProcessTraceTest : public kvtest::MachineTest {};

}  // namespace

// A process leaves its liveness entry and its window and queue slots in the
// machine; once it has ended, however it ended, they must go when the next
// process comes. Without this every process that ever ran left a file in
// procs/ and slots in the window table.
TEST_F(ProcessTraceTest, AProcessThatEndsOrIsKilledLeavesNothingBehind) {
  ASSERT_TRUE(platMachineInit());
  {
    Child ends("instance_window");
    ASSERT_EQ(ends.expectLine(), "open");
    ends.send("end");
    EXPECT_EQ(ends.wait(), 0);
  }
  std::vector<std::string> found;
  {
    Child next("instance_window");
    ASSERT_EQ(next.expectLine(), "open");
    found = kvtest::findLeftovers(root, {next.pid()}, kvtest::machineFiles(root));
    EXPECT_TRUE(found.empty()) << "after a normal end, once the next process has come:\n" << kvtest::lines(found);
    next.send("end");
    EXPECT_EQ(next.wait(), 0);
  }

  Child killed("instance_window");
  ASSERT_EQ(killed.expectLine(), "open");
  killed.kill();
  killed.wait();
  Child next("instance_window");
  ASSERT_EQ(next.expectLine(), "open");
  found = kvtest::findLeftovers(root, {next.pid()}, kvtest::machineFiles(root));
  EXPECT_TRUE(found.empty()) << "once the next process has come:\n" << kvtest::lines(found);
  next.send("end");
  EXPECT_EQ(next.wait(), 0);
}
