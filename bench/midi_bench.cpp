// The MIDI path's cost, in three figures, each a ratio against a baseline
// measured in the same run, first pinned (the writer on CPU 0, the consumer,
// host or bare, on CPU 1), then unpinned:
//
// 1. The driver's cost on the application's thread: short messages and
//    system-exclusive bytes through modMessage into the channel's ring, against
//    the bare producer (store, interlocked increment per byte) into a ring of
//    its own, in small batches that alternate, compared best against best.
//    Both rings are taken by one consumer process, which only takes and counts
//    bytes; the host is told not to consume meanwhile.
// 2. The host's intake: the messages per second that the host's own MIDI
//    server (its consumer, parser and renderer, with FluidSynth attached)
//    takes from a ring and applies, against FluidSynth alone fed the same
//    messages on one thread with the same number of blocks rendered between
//    them. The host's code runs in this process, fed by a bare producer, so
//    that the driver's cost stays out of this figure.
// 3. The whole path as a client sees it: short messages through modMessage
//    while the real host process consumes with its synthesizer attached,
//    against the bare protocol.
//
//   midi_bench [ROUNDS]      (default 3)
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchmachine.h"
#include "host/midiserver.h"
#include "host/synth.h"
#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "hostlink/shared.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const size_t kShortMessages = 300000;
const size_t kIntakeMessages = 200000;
const char* const kSoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// cpu -1: every CPU. pid 0: the calling thread.
void pinTo(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (c == cpu || cpu < 0) CPU_SET(c, &set);
  sched_setaffinity(pid, sizeof set, &set);
}

// The messages every figure sends: note-on and note-off pairs walking over the
// keys and the sixteen channels, as a dense piece does.
DWORD shortMessage(size_t i) {
  DWORD pair = (DWORD)(i / 2);
  DWORD ch = (pair / 48) % 16, key = 36 + pair % 48;
  return (i % 2 ? 0x80 | ch : 0x90 | ch) | key << 8 | (i % 2 ? 0 : 0x50) << 16;
}

// The consumer both producers feed: takes every counted byte, adds it up and
// lowers the count by all of them at once, as the host does. It runs in a
// process of its own until killed.
pid_t startConsumer(volatile LONG* count, const volatile BYTE* ring, unsigned pos, int cpu) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  pinTo(0, cpu);
  unsigned sum = 0;
  for (;;) {
    LONG n = __atomic_load_n(count, __ATOMIC_ACQUIRE);
    if (n <= 0) continue;
    for (LONG i = 0; i < n; ++i) {
      sum += ring[pos];
      pos = (pos + 1) % MIDI_RING_SIZE;
    }
    __asm__ volatile("" : : "r"(sum));
    InterlockedExchangeAdd(count, -n);
  }
}

void stopConsumer(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// The bare protocol's producer: per byte, a wait for room, the store and the
// interlocked increment.
struct BareRing {
  volatile LONG count;
  BYTE ring[MIDI_RING_SIZE];
};

void bareWrite(BareRing* r, unsigned& pos, const BYTE* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    while ((DWORD)r->count >= MIDI_RING_SIZE) {
    }
    r->ring[pos] = bytes[i];
    pos = (pos + 1) % MIDI_RING_SIZE;
    InterlockedIncrement(&r->count);
  }
}

// Bytes per second of the bare protocol: `bytes` in writes of `chunk`.
double bareRate(size_t bytes, size_t chunk, int consumerCpu) {
  auto* r = static_cast<BareRing*>(
      mmap(nullptr, sizeof(BareRing), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  pid_t consumer = startConsumer(&r->count, r->ring, 0, consumerCpu);
  unsigned pos = 0;
  std::vector<BYTE> data(chunk);
  auto t0 = std::chrono::steady_clock::now();
  for (size_t done = 0; done < bytes; done += chunk) {
    if (chunk == 3) {
      DWORD m = shortMessage(done / 3);
      data[0] = (BYTE)m, data[1] = (BYTE)(m >> 8), data[2] = (BYTE)(m >> 16);
    }
    bareWrite(r, pos, data.data(), chunk);
  }
  while (r->count > 0) {
  }
  double s = seconds(t0);
  stopConsumer(consumer);
  munmap(r, sizeof(BareRing));
  return (double)bytes / s;
}

bool hostSetting(const char* key, const char* value) {
  return WritePrivateProfileStringA("Host", key, value, "C:\\KV\\KVHOST.INI") != FALSE;
}

struct Rates {
  double driver, bare;
};

void printRatio(const char* what, const char* unit, double scale, const std::vector<double>& driver,
                const std::vector<double>& bare, double target, bool atMost) {
  std::vector<double> ratios;
  for (size_t i = 0; i < driver.size(); ++i) ratios.push_back(atMost ? bare[i] / driver[i] : driver[i] / bare[i]);
  double r = median(ratios);
  printf("    %-34s %10.2f %s against %10.2f %s: %.2fx (target %s %.2fx)%s\n", what, median(driver) / scale, unit,
         median(bare) / scale, unit, r, atMost ? "at most" : "at least", target,
         (atMost ? r <= target : r >= target) ? "" : "  NOT MET");
}

// Figure 1: the driver's cost on the application's thread. The driver's and
// the bare producer's batches alternate in small rounds (which goes first
// alternates too), one consumer process taking from both rings, so that both
// meet the same machine; the figure compares the best batch of each, the one
// least disturbed by the machine's other work, and the spread of the rounds'
// ratios is printed beside it.
const size_t kBatchMessages = 5000;
const size_t kBatchSysexBytes = 64 * 1024;
const int kBatchesPerRound = 40;

// Takes every counted byte of both rings, as the host does, until killed.
pid_t startTwoRingConsumer(volatile LONG* count1, const volatile BYTE* ring1, unsigned pos1, volatile LONG* count2,
                           const volatile BYTE* ring2, int cpu) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  pinTo(0, cpu);
  unsigned sum = 0, pos2 = 0;
  auto take = [&](volatile LONG* count, const volatile BYTE* ring, unsigned& pos) {
    LONG n = __atomic_load_n(count, __ATOMIC_ACQUIRE);
    if (n <= 0) return;
    for (LONG i = 0; i < n; ++i) {
      sum += ring[pos];
      pos = (pos + 1) % MIDI_RING_SIZE;
    }
    __asm__ volatile("" : : "r"(sum));
    InterlockedExchangeAdd(count, -n);
  };
  for (;;) {
    take(count1, ring1, pos1);
    take(count2, ring2, pos2);
  }
}

struct Batches {
  std::vector<double> driver, bare;  // rates, one per batch, in rounds
};

void printBest(const char* what, const char* unit, double scale, const Batches& b, double target) {
  std::vector<double> ratios;
  for (size_t i = 0; i < b.driver.size(); ++i) ratios.push_back(b.bare[i] / b.driver[i]);
  std::sort(ratios.begin(), ratios.end());
  double bestDriver = *std::max_element(b.driver.begin(), b.driver.end());
  double bestBare = *std::max_element(b.bare.begin(), b.bare.end());
  double r = bestBare / bestDriver;
  printf("    %-24s best %7.2f %s against %7.2f %s: %.2fx (target at most %.2fx)%s\n", what, bestDriver / scale, unit,
         bestBare / scale, unit, r, target, r <= target ? "" : "  NOT MET");
  printf("    %-24s %zu rounds: ratio %.2f to %.2f, median %.2f\n", "", ratios.size(), ratios.front(), ratios.back(),
         ratios[ratios.size() / 2]);
}

void driverCost(DeviceMessageFn modMessage, MidiChannel* channel, bool pinned, int rounds) {
  std::vector<BYTE> sysex(16384, 0x22);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
  hdr.dwBufferLength = (DWORD)sysex.size();
  hdr.dwFlags = MHDR_PREPARED;
  int cpu = pinned ? 1 : -1;
  size_t refused = 0;
  auto* bare = static_cast<BareRing*>(
      mmap(nullptr, sizeof(BareRing), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  pid_t consumer =
      startTwoRingConsumer(&channel->dwRingCount, channel->abRing, channel->dwWritePos, &bare->count, bare->ring, cpu);
  unsigned barePos = 0;
  std::vector<BYTE> data(sysex.size());
  Batches shortMessages, sysexBytes;
  size_t next = 0;  // the messages walk on from batch to batch
  auto driverShort = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kBatchMessages; ++i)
      if (modMessage(0, MODM_DATA, 0, shortMessage(next + i), 0) != 0) ++refused;
    while (channel->dwRingCount > 0) {
    }
    shortMessages.driver.push_back((double)kBatchMessages / seconds(t0));
  };
  auto bareShort = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kBatchMessages; ++i) {
      DWORD m = shortMessage(next + i);
      const BYTE b[3] = {(BYTE)m, (BYTE)(m >> 8), (BYTE)(m >> 16)};
      bareWrite(bare, barePos, b, 3);
    }
    while (bare->count > 0) {
    }
    shortMessages.bare.push_back((double)kBatchMessages / seconds(t0));
  };
  auto driverSysex = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t done = 0; done < kBatchSysexBytes; done += sysex.size())
      if (modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr) != 0) ++refused;
    while (channel->dwRingCount > 0) {
    }
    sysexBytes.driver.push_back((double)kBatchSysexBytes / seconds(t0));
  };
  auto bareSysex = [&] {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t done = 0; done < kBatchSysexBytes; done += sysex.size())
      bareWrite(bare, barePos, sysex.data(), sysex.size());
    while (bare->count > 0) {
    }
    sysexBytes.bare.push_back((double)kBatchSysexBytes / seconds(t0));
  };
  for (int round = 0; round < rounds * kBatchesPerRound; ++round) {
    if (round % 2) {
      bareShort();
      driverShort();
      bareSysex();
      driverSysex();
    } else {
      driverShort();
      bareShort();
      driverSysex();
      bareSysex();
    }
    next += kBatchMessages;
  }
  stopConsumer(consumer);
  munmap(bare, sizeof(BareRing));
  printf(
      "  the driver's cost on the application's thread (modMessage against the bare producer, batches alternating):\n");
  printBest("short messages", "M msg/s", 1e6, shortMessages, 1.1);
  printBest("system-exclusive bytes", "MB/s   ", 1e6, sysexBytes, 1.1);
  if (refused) printf("    %zu messages refused: the consumer was held up for the driver's stall time\n", refused);
}

// The same cost without a consumer: batches that fit the ring, emptied by
// hand between them, so that neither producer meets the other side's cache
// traffic nor waits for room. Its best batches hardly move from run to run.
void producerAlone(DeviceMessageFn modMessage, MidiChannel* channel, int rounds) {
  const size_t n = 1000;  // 3000 bytes: within the ring
  auto* bare = static_cast<BareRing*>(
      mmap(nullptr, sizeof(BareRing), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  unsigned barePos = 0;
  double bestDriver = 1e9, bestBare = 1e9;
  for (int round = 0; round < rounds * 500; ++round) {
    channel->dwRingCount = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; ++i) modMessage(0, MODM_DATA, 0, shortMessage(i), 0);
    bestDriver = std::min(bestDriver, seconds(t0) / n);
    bare->count = 0;
    t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; ++i) {
      DWORD m = shortMessage(i);
      const BYTE b[3] = {(BYTE)m, (BYTE)(m >> 8), (BYTE)(m >> 16)};
      bareWrite(bare, barePos, b, 3);
    }
    bestBare = std::min(bestBare, seconds(t0) / n);
  }
  channel->dwRingCount = 0;
  munmap(bare, sizeof(BareRing));
  printf("  without a consumer (batches within the ring, emptied between them):\n");
  printf("    %-24s best %7.1f ns/msg against %7.1f ns/msg: %.2fx\n", "short messages", bestDriver * 1e9,
         bestBare * 1e9, bestDriver / bestBare);
}

// Figure 3: the whole path, with the real host consuming.
void wholePath(DeviceMessageFn modMessage, DWORD hostPid, bool pinned, int rounds, double synthAloneRate) {
  // Every thread of the host: its consumer and its renderer are among them.
  std::string tasks = "/proc/" + std::to_string(hostPid) + "/task";
  if (DIR* d = opendir(tasks.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') pinTo((pid_t)atoi(e->d_name), pinned ? 1 : -1);
    closedir(d);
  }
  std::vector<double> driver, bare;
  size_t refused = 0;
  for (int round = 0; round < rounds; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kShortMessages; ++i)
      if (modMessage(0, MODM_DATA, 0, shortMessage(i), 0) != 0) ++refused;
    driver.push_back((double)kShortMessages / seconds(t0));
    bare.push_back(bareRate(kShortMessages * 3, 3, pinned ? 1 : -1) / 3);
  }
  printf("  the whole path (modMessage into the host with its synthesizer, against the bare protocol):\n");
  printRatio("short messages", "M msg/s", 1e6, driver, bare, 1.5, true);
  // The host applies every message: the path is no faster than the
  // synthesizer, whatever the ring can carry.
  printf("    against FluidSynth alone (the intake's baseline, %.2f M msg/s): %.2fx its rate\n", synthAloneRate / 1e6,
         median(driver) / synthAloneRate);
  if (refused) printf("    %zu messages refused: the consumer was held up for the driver's stall time\n", refused);
}

// Figure 2: the host's intake, its own code in this process.
struct IntakeRun {
  double rate;     // messages per second taken and applied
  double cpuRate;  // the same per second of the host's threads' CPU time
  double blocks;   // blocks the renderer rendered meanwhile
  unsigned long long dropped;
};

std::set<std::string> threads() {
  std::set<std::string> out;
  if (DIR* d = opendir("/proc/self/task")) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.insert(e->d_name);
    closedir(d);
  }
  return out;
}

double threadCpuSeconds(const std::set<std::string>& tids) {
  double ns = 0;
  for (const std::string& tid : tids) {
    std::ifstream f("/proc/self/task/" + tid + "/schedstat");
    double n = 0;
    f >> n;
    ns += n;
  }
  return ns / 1e9;
}

double ownCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

IntakeRun hostIntake(const HostSettings& settings, bool pinned) {
  static MidiChannel channel;
  memset(&channel, 0, sizeof channel);
  channel.dwRingSize = MIDI_RING_SIZE;
  channel.hwndHost = 1;
  channel.dwStatus = CHANNEL_ACCEPTED;
  // The server's threads take the affinity of the thread that starts them.
  pinTo(0, pinned ? 1 : -1);
  IntakeRun run = {0, 0, 0, 0};
  {
    MidiServer server(&channel, settings, 1, nullptr);
    server.prepare();
    std::set<std::string> before = threads(), host;
    server.open();
    server.start();
    for (const std::string& t : threads())
      if (!before.count(t)) host.insert(t);
    double cpu0 = threadCpuSeconds(host);
    auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
      pinTo(0, pinned ? 0 : -1);
      unsigned pos = 0;
      for (size_t i = 0; i < kIntakeMessages; ++i) {
        DWORD m = shortMessage(i);
        const BYTE b[3] = {(BYTE)m, (BYTE)(m >> 8), (BYTE)(m >> 16)};
        for (BYTE x : b) {
          while ((DWORD)channel.dwRingCount >= MIDI_RING_SIZE) {
          }
          channel.abRing[pos] = x;
          pos = (pos + 1) % MIDI_RING_SIZE;
          InterlockedIncrement(&channel.dwRingCount);
        }
      }
    });
    // Every message taken is applied, or counted as lost, by the renderer.
    while (server.handled() < kIntakeMessages && seconds(t0) < 60)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    double s = seconds(t0);
    double cpu = threadCpuSeconds(host) - cpu0;
    writer.join();
    run.blocks = s * settings.sampleRate / settings.blockFrames;
    server.close();
    server.join();
    // Only what was applied counts: a host that loses messages takes them
    // faster than it plays them.
    run.dropped = server.lost();
    run.rate = (double)(kIntakeMessages - run.dropped) / s;
    run.cpuRate = (double)(kIntakeMessages - run.dropped) / cpu;
  }
  pinTo(0, -1);
  return run;
}

// FluidSynth alone on one thread: the same messages, with `blocks` blocks
// rendered evenly between them; messages per second, and per second of the
// thread's CPU time in `cpuRate`.
double synthAlone(const HostSettings& settings, double blocks, bool pinned, double* cpuRate) {
  std::string why;
  std::unique_ptr<Synth> synth = createSynth(settings, &why);
  if (!synth) return 0;
  pinTo(0, pinned ? 1 : -1);
  // At the priority of the host's threads while they take a flood, so that
  // the machine's other work weighs on both alike.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  std::vector<float> buffer((size_t)settings.blockFrames * 2);
  size_t every = blocks >= 1 ? (size_t)(kIntakeMessages / blocks) : kIntakeMessages;
  if (every == 0) every = 1;
  auto t0 = std::chrono::steady_clock::now();
  double cpu0 = ownCpuSeconds();
  for (size_t i = 0; i < kIntakeMessages; ++i) {
    DWORD m = shortMessage(i);
    const uint8_t b[3] = {(uint8_t)m, (uint8_t)(m >> 8), (uint8_t)(m >> 16)};
    synth->message(b, 3);
    if (i % every == every - 1) synth->render(buffer.data(), settings.blockFrames);
  }
  double s = seconds(t0);
  *cpuRate = (double)kIntakeMessages / (ownCpuSeconds() - cpu0);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  pinTo(0, -1);
  return (double)kIntakeMessages / s;
}

// FluidSynth's own rate alone, the median of the rounds.
double intake(bool pinned, int rounds) {
  HostSettings settings;
  settings.soundServer = "none";
  settings.soundFont = kSoundFont;
  std::vector<double> host, alone, hostCpu, aloneCpu;
  unsigned long long dropped = 0;
  for (int round = 0; round < rounds; ++round) {
    IntakeRun run = hostIntake(settings, pinned);
    host.push_back(run.rate);
    hostCpu.push_back(run.cpuRate);
    dropped += run.dropped;
    double cpuRate = 0;
    alone.push_back(synthAlone(settings, run.blocks, pinned, &cpuRate));
    aloneCpu.push_back(cpuRate);
  }
  // Per second of CPU time, the figure does not depend on what else the
  // machine runs: a loaded machine gives the host's real-time threads more of
  // a core than FluidSynth's thread.
  printf("  the host's intake (its server with FluidSynth, against FluidSynth alone on one thread):\n");
  printRatio("short messages, per second", "M msg/s", 1e6, host, alone, 0.9, false);
  printRatio("per second of CPU time", "M msg/s", 1e6, hostCpu, aloneCpu, 0.9, false);
  if (dropped)
    printf("    %llu messages of %zu lost by the host, not counted in its rate\n", dropped,
           kIntakeMessages * (size_t)rounds);
  return median(alone);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  std::string buildDir = benchBuildDir(argv[0]);
  std::string root = benchMachine(buildDir);
  if (root.empty() || !hostSetting("MidiRecord", "") || !hostSetting("SoundServer", "none") ||
      !hostSetting("SoundFont", kSoundFont) || !hostSetting("Consume", "stop")) {
    fprintf(stderr, "midi_bench: cannot install the host (error %u)\n", GetLastError());
    return 1;
  }
  KvModule module;
  loadKvModule((buildDir + "/KVDRVR32.DLL").c_str(), &module);
  DeviceMessageFn modMessage = module.modMessage;
  MIDIOPENDESC desc = {};
  if (!modMessage || !module.midi || modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) != MMSYSERR_NOERROR) {
    fprintf(stderr, "midi_bench: cannot open the MIDI device\n");
    return 1;
  }
  for (bool pinned : {true, false}) {
    printf("%s\n", pinned ? "pinned: the writer on CPU 0, the consumer on CPU 1" : "unpinned");
    pinTo(0, pinned ? 0 : -1);
    driverCost(modMessage, module.midi, pinned, rounds);
    if (pinned) producerAlone(modMessage, module.midi, rounds);
    fflush(stdout);
  }
  modMessage(0, MODM_CLOSE, 0, 0, 0);

  double synthAloneRate[2] = {0, 0};
  for (bool pinned : {true, false}) {
    printf("%s\n", pinned ? "pinned: the writer on CPU 0, the host's threads on CPU 1" : "unpinned");
    synthAloneRate[pinned] = intake(pinned, rounds);
    fflush(stdout);
  }

  hostSetting("Consume", "normal");
  if (modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) != MMSYSERR_NOERROR) {
    fprintf(stderr, "midi_bench: cannot open the MIDI device again\n");
    return 1;
  }
  DWORD hostPid = 0;
  GetWindowThreadProcessId(FindWindowA(KV_HOST_WINDOW_CLASS, nullptr), &hostPid);
  for (bool pinned : {true, false}) {
    printf("%s\n", pinned ? "pinned: the writer on CPU 0, the host on CPU 1" : "unpinned");
    pinTo(0, pinned ? 0 : -1);
    wholePath(modMessage, hostPid, pinned, rounds, synthAloneRate[pinned]);
    fflush(stdout);
  }
  modMessage(0, MODM_CLOSE, 0, 0, 0);
  std::string cleanup = std::string("rm -rf ") + root;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
