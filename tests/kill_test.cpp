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
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kv/plat.h"
#include "leftovers.h"
#include "product.h"
#include "sweep.h"

using kvtest::Child;

namespace {

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
      Child next("device_client", {"module", open(midi), "play 1", "close"});
      ASSERT_EQ(next.expectLine(), "loaded") << round;
      auto t0 = std::chrono::steady_clock::now();
      std::string opened = next.expectLine(20000);
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
      EXPECT_EQ(opened, "0") << round << ", after " << ms << " ms";
      next.expectLine();  // the play's
      EXPECT_EQ(next.expectLine(), "0") << round << ": the close";
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
      Child client("device_client", {"module", midi ? "cycle midi" : "cycle wave"});
      ASSERT_EQ(client.expectLine(), "loaded");
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
      Child client("device_client", {"module", open(midi), "host", "stream"});
      ASSERT_EQ(client.expectLine(), "loaded") << round;
      std::string opened = client.expectLine(20000);
      DWORD host = (DWORD)atol(client.expectLine().c_str());
      if (slowSetting) hostSetting(slowSetting, "");
      ASSERT_EQ(opened, "0") << round;
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

  static const char* open(bool midi) { return midi ? "open midi" : "open wave"; }

  void announce(int defaultRounds) {
    // A sanitizer slows every process of a round down severalfold: there the
    // sweep's share of the rounds runs.
    if (rounds == 0) rounds = (int)kvtest::SweepShare("kill rounds").of((unsigned)defaultRounds);
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
