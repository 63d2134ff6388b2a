// Kill anywhere: clients and hosts of both devices are ended with SIGKILL at
// random moments of their open, play and close, many times over. After every
// kill the next open from a new process must succeed, and once
// the survivors have closed the machine must hold nothing that the dead left
// behind (see findLeftovers).
//
// The delays come from a seeded generator; the seed is printed, and
// KV_KILL_SEED=N replays a run, KV_KILL_ROUNDS=N sets the rounds per test.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
#include "platform/posix/windowing.h"
#include "product.h"
#include "sweep.h"

using kvtest::Child;

namespace {

// ---- what the dead may leave behind ----------------------------------------------

bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// Every file below `dir`, as paths relative to `root`.
void listFiles(const std::string& root, const std::string& dir, std::set<std::string>& out) {
  for (const std::string& name : entriesOf(dir)) {
    std::string path = dir + "/" + name;
    if (isDir(path))
      listFiles(root, path, out);
    else
      out.insert(path.substr(root.size() + 1));
  }
}

std::string commandOf(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline");
  std::string cmd;
  std::getline(f, cmd);
  for (char& c : cmd)
    if (c == '\0') c = ' ';
  return cmd;
}

// The processes, other than this one, whose environment names the machine root.
std::set<pid_t> machineProcesses(const std::string& root) {
  std::set<pid_t> pids;
  std::string marker = "KV_MACHINE_ROOT=" + root;
  for (const std::string& name : entriesOf("/proc")) {
    pid_t pid = (pid_t)atoi(name.c_str());
    if (pid <= 0 || pid == getpid()) continue;
    std::ifstream f("/proc/" + name + "/environ", std::ios::binary);
    std::string env((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < env.size(); at += strlen(env.c_str() + at) + 1)
      if (marker == env.c_str() + at) pids.insert(pid);
  }
  return pids;
}

// A process token's liveness, looked at without changing anything: its entry
// exists and its process still holds the entry's lock.
bool tokenAlive(const std::string& root, const std::string& token) {
  int fd = open((root + "/procs/" + token).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool alive = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  return alive;
}

// The processes that hold a lock on each file (by device and inode), from
// /proc/locks: a named object is held open while its opener's lock is there.
std::multimap<std::string, pid_t> fileLocks() {
  std::multimap<std::string, pid_t> locks;
  std::ifstream f("/proc/locks");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, kind, mode, access, pid, file;
    in >> id >> kind;
    if (kind == "->") in >> kind;
    in >> mode >> access >> pid >> file;
    // MAJOR:MINOR:INODE, the device numbers in hexadecimal.
    locks.emplace(file, (pid_t)atoi(pid.c_str()));
  }
  return locks;
}

// What a machine root holds that the processes of a round should not have
// left, once every process of the round has ended but the `survivors` (the
// instance window's keeper). Each finding is one line:
// - "process": a process of the machine (its environment names the root) that
//   is neither this test nor a survivor: a stray host, client or program;
// - "object": a named object under objects/ that a process other than the
//   survivors holds open (its lock is in /proc/locks);
// - "entry": a liveness entry in procs/ whose process has ended, or one left
//   half made (a dot name) by a process that has ended;
// - "window", "queue": a used slot of the machine's window table whose process
//   has ended.
// An entry, a window and a queue stay until the next process starts after
// their process has ended (so that an entry's absence always means an ended
// process): the check is made while a process started after the round (a
// survivor) runs, and then finds none.
// - "file": a file below the root that was not there after the clean first
//   round (`baseline`), outside procs/ (the entries have their own rule).
std::vector<std::string> findLeftovers(const std::string& root, const std::set<pid_t>& survivors,
                                       const std::set<std::string>& baseline) {
  std::vector<std::string> found;
  for (pid_t pid : machineProcesses(root))
    if (!survivors.count(pid)) found.push_back("process " + std::to_string(pid) + ": " + commandOf(pid));

  std::multimap<std::string, pid_t> locks = fileLocks();
  std::set<std::string> objects;
  listFiles(root, root + "/objects", objects);
  for (const std::string& object : objects) {
    struct stat st;
    if (stat((root + "/" + object).c_str(), &st) != 0) continue;
    char id[64];
    snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev), (unsigned long long)st.st_ino);
    auto range = locks.equal_range(id);
    for (auto it = range.first; it != range.second; ++it)
      if (!survivors.count(it->second))
        found.push_back("object " + object + " held by " + std::to_string(it->second) + ": " + commandOf(it->second));
  }

  for (const std::string& name : entriesOf(root + "/procs")) {
    bool ended = name[0] == '.' ? kill((pid_t)atoi(name.c_str() + 1), 0) != 0 : !tokenAlive(root, name);
    if (ended) found.push_back("entry procs/" + name + " of an ended process");
  }

  std::ifstream f(root + "/objects/user/window-table", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() >= sizeof(plat::user::Table)) {
    const plat::user::Table* t = reinterpret_cast<const plat::user::Table*>(bytes.data());
    for (const plat::user::WindowSlot& w : t->windows)
      if (w.hwnd && !tokenAlive(root, w.token))
        found.push_back("window " + std::string(w.className) + " of ended process " + std::to_string(w.pid));
    for (const plat::user::QueueSlot& q : t->queues)
      if (q.serial && !tokenAlive(root, q.token)) found.push_back("queue of ended process " + std::to_string(q.pid));
  }

  std::set<std::string> files;
  listFiles(root, root, files);
  for (const std::string& file : files)
    if (file.compare(0, 6, "procs/") != 0 && !baseline.count(file)) found.push_back("file " + file);
  return found;
}

std::string lines(const std::vector<std::string>& found) {
  std::string out;
  for (const std::string& f : found) out += "  " + f + "\n";
  return out;
}

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
    std::set<pid_t> others = machineProcesses(root);
    for (const std::string& name : entriesOf(root + "/procs"))
      others.insert((pid_t)atoi(name.c_str() + (name[0] == '.' ? 1 : 0)));
    for (pid_t pid : others)
      if (pid > 0 && pid != getpid() && !survivors.count(pid)) kvtest::processEnds((int)pid, 5000);
    Child probe("instance_window");
    ASSERT_EQ(probe.expectLine(), "open") << round;
    survivors.insert(probe.pid());
    if (baseline.empty()) {
      listFiles(root, root, baseline);
      for (auto it = baseline.begin(); it != baseline.end();)
        it = it->compare(0, 6, "procs/") == 0 ? baseline.erase(it) : ++it;
    }
    std::vector<std::string> found = findLeftovers(root, survivors, baseline);
    EXPECT_TRUE(found.empty()) << round << ": left over\n" << lines(found);
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

std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> files;
  listFiles(root, root, files);
  return files;
}

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
    found = findLeftovers(root, {next.pid()}, filesBelow(root));
    EXPECT_TRUE(found.empty()) << "after a normal end, once the next process has come:\n" << lines(found);
    next.send("end");
    EXPECT_EQ(next.wait(), 0);
  }

  Child killed("instance_window");
  ASSERT_EQ(killed.expectLine(), "open");
  killed.kill();
  killed.wait();
  Child next("instance_window");
  ASSERT_EQ(next.expectLine(), "open");
  found = findLeftovers(root, {next.pid()}, filesBelow(root));
  EXPECT_TRUE(found.empty()) << "once the next process has come:\n" << lines(found);
  next.send("end");
  EXPECT_EQ(next.wait(), 0);
}
