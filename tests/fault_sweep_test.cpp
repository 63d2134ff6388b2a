// The fault sweep: every platform operation that opening, writing to and
// closing the two devices, and installing and removing the product, make fails
// in turn, one call at a time. A run without faults first records which
// operations each step calls and how often; then each (operation, call) fails
// alone, in the client process or, through the environment, in the host the
// open starts. Every failure must end in a plain answer within a deadline,
// without a crash, and a normal session afterwards must work and leave nothing
// behind: no host still running, no object still held, the registry exactly
// as before.
//
// How many calls of an operation are failed: every call up to kEveryCallUpTo;
// beyond it (the polls of a wait, the pump's ticks, the host's message loop)
// kSpreadCalls more, spread evenly up to the last call the recording saw.
// KV_FAULT_SWEEP_EVERY=N raises the first bound for a longer run by hand.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "fault_sweep.h"
#include "sweep.h"
#include "kv/plat.h"
#include "leftovers.h"
#include "product.h"

using kvtest::Child;
using namespace faultsweep;

namespace {

const unsigned kEveryCallUpTo = 4;
const unsigned kSpreadCalls = 3;

unsigned everyCallUpTo() {
  const char* s = getenv("KV_FAULT_SWEEP_EVERY");
  return s && atoi(s) > 0 ? (unsigned)atoi(s) : kEveryCallUpTo;
}

// The calls of an operation called `calls` times that the sweep fails.
std::vector<unsigned> callsToFail(unsigned calls) {
  std::vector<unsigned> nths;
  unsigned every = everyCallUpTo();
  for (unsigned n = 1; n <= calls && n <= every; ++n) nths.push_back(n);
  if (calls > every) {
    for (unsigned k = 1; k <= kSpreadCalls; ++k) {
      unsigned n = every + (calls - every) * k / kSpreadCalls;
      if (n > nths.back()) nths.push_back(n);
    }
  }
  return nths;
}

// The largest count of `op` among the hosts' lines of a counts file.
unsigned hostCalls(const std::string& path, const std::string& op) {
  std::ifstream f(path);
  std::string program, item;
  unsigned most = 0;
  while (f >> program >> item) {
    if (program != "KVMIDI16.EXE" && program != "KVWAVE16.EXE") continue;
    size_t eq = item.find('=');
    if (eq != std::string::npos && item.substr(0, eq) == op)
      most = std::max(most, (unsigned)atoi(item.c_str() + eq + 1));
  }
  return most;
}

}  // namespace

namespace {

std::string joined(const std::set<std::string>& s) {
  std::string out;
  for (auto& x : s) out += x + " ";
  return out;
}

class FaultSweepTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    hostSetting("SoundServer", "none");
    // The small SoundFont the setup installs: hundreds of hosts start here.
    hostSetting("SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2");
    if (const char* delay = getenv("KV_FAULT_SWEEP_ANSWER_DELAY")) hostSetting("AnswerDelayMs", delay);
    unsetenv(PLAT_FAULTS_ENV);
  }
  void TearDown() override {
    unsetenv(PLAT_FAULT_CALLS_ENV);
    instance.reset();
    ProductTest::TearDown();
  }

  // The wave host starts only while the product's instance window exists.
  void startInstanceWindow() {
    instance.reset(new Child("instance_window"));
    ASSERT_EQ(instance->expectLine(), "open");
  }

  struct Recording {
    std::map<std::string, Counts> client;  // by step
    Counts host;
  };

  // A session without faults, with what the client's steps and its host called.
  Recording record(const char* device) {
    Recording rec;
    std::string calls = root + "/calls.txt";
    setenv(PLAT_FAULT_CALLS_ENV, calls.c_str(), 1);
    {
      Child c("sweep_client", {device, "record"});
      for (;;) {
        std::string line = c.expectLine(40000);
        if (line.empty() || line == "end") break;
        std::istringstream in(line);
        std::string word, step, op;
        unsigned n = 0;
        in >> word;
        if (word == "count" && (in >> step >> op >> n)) rec.client[step][op] += n;
        if (word == "normal") {
          EXPECT_EQ(line, "normal OK");
        }
      }
      EXPECT_TRUE(kvtest::processEnds(c.pid(), 10000));
      EXPECT_EQ(c.wait(), 0);
    }
    unsetenv(PLAT_FAULT_CALLS_ENV);
    // Both sessions' hosts wrote their counts; the larger is the fault session's
    // or the normal one's alike, so each operation keeps its larger count.
    EXPECT_TRUE(settle()) << "left running: " << joined(kvtest::liveProcesses(root));
    std::ifstream f(calls);
    std::string program, item;
    while (f >> program >> item) {
      size_t eq = item.find('=');
      unsigned n = (unsigned)atoi(item.c_str() + eq + 1);
      std::string op = item.substr(0, eq);
      if (program == "KVMIDI16.EXE" || program == "KVWAVE16.EXE") rec.host[op] = std::max(rec.host[op], n);
    }
    unlink(calls.c_str());
    return rec;
  }

  // Waits for every process the sessions started to end.
  bool settle() {
    return kvtest::waitUntil(
        [&] {
          for (const std::string& p : kvtest::liveProcesses(root))
            if (!baselineProcesses.count(p)) return false;
          return true;
        },
        10000);
  }

  void baseline() {
    baselineProcesses = kvtest::liveProcesses(root);
    baselineObjects = kvtest::heldObjects(root);
  }

  // Runs one case; answers the lines it said, for the report.
  void runCase(const std::vector<std::string>& args, const std::string& what) {
    // The hosts of a host case tell whether they reached the failing call.
    const bool hostCase = args[1] == "host";
    const std::string calls = root + "/case-calls.txt";
    unlink(calls.c_str());
    if (hostCase) setenv(PLAT_FAULT_CALLS_ENV, calls.c_str(), 1);
    Child c("sweep_client", args);
    unsetenv(PLAT_FAULT_CALLS_ENV);
    const std::vector<std::string> names = steps(args[0] == "wave");
    // The multimedia layer leaves out, for the rest of the process, a driver it
    // could not load, as the platform does: then only a new process opens again.
    bool leftOut = false;
    std::string said;
    for (size_t i = 0; i < names.size(); ++i) {
      std::string line = c.expectLine(kStepDeadlineMs[i]);
      said += line + "; ";
      if (i == 0 && line.compare(0, 7, "open 2 ") == 0) leftOut = true;
      ASSERT_EQ(line.compare(0, names[i].size() + 1, names[i] + " "), 0)
          << what << ": no answer to " << names[i] << " in time (" << line << ")";
      ASSERT_TRUE(plainAnswer(line)) << what << ": " << line;
      if (line.find(" hit") != std::string::npos) ++injected;
      if (line.find("stalled") != std::string::npos) {
        ++stalls;
        printf("[ sweep    ] %s: the write stalled until the reset\n", what.c_str());
        fflush(stdout);
      }
    }
    for (;;) {
      std::string line = c.expectLine(60000);
      ASSERT_FALSE(line.empty()) << what << ": the helper ended or hung before the normal session ended";
      if (line.compare(0, 6, "again ") == 0) {
        ASSERT_EQ(line, "again 0") << what;
      }
      if (line.compare(0, 7, "normal ") == 0 && !(leftOut && line.compare(0, 21, "normal FAILED open=2 ") == 0)) {
        EXPECT_EQ(line, "normal OK") << what << " after " << said;
      }
      if (line == "end") break;
    }
    ASSERT_TRUE(kvtest::processEnds(c.pid(), 10000)) << what << ": the client does not end";
    ASSERT_EQ(c.wait(), 0) << what;
    ASSERT_TRUE(settle()) << what << ": left running: " << joined(kvtest::liveProcesses(root));
    // And a new client process.
    Child next("sweep_client", {args[0], "normal"});
    EXPECT_EQ(next.expectLine(60000), "normal OK") << what << ": in a new process";
    EXPECT_EQ(next.expectLine(10000), "end");
    ASSERT_TRUE(kvtest::processEnds(next.pid(), 10000)) << what << ": the new client does not end";
    ASSERT_EQ(next.wait(), 0) << what;
    ASSERT_TRUE(settle()) << what << ": left running: " << joined(kvtest::liveProcesses(root));
    for (auto& o : kvtest::heldObjects(root))
      EXPECT_TRUE(baselineObjects.count(o.first)) << what << ": " << o.first << " still held";
    if (hostCase && hostCalls(calls, args[2]) >= (unsigned)atoi(args[3].c_str())) ++injected;
    ++cases;
  }

  // A result is a multimedia error code, a known outcome word, or both.
  static bool plainAnswer(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;  // the step
    while (in >> word) {
      if (word == "hit" || word == "missed" || word == "stalled" || word == "skipped" || word == "prepare" ||
          word == "unprepare" || word == "not-done" || word == "kept-buffers")
        continue;
      char* end = nullptr;
      unsigned long code = strtoul(word.c_str(), &end, 10);
      if (*end != '\0') return false;
      bool mm = code <= MMSYSERR_LASTERROR || (code >= MIDIERR_BASE && code < MIDIERR_BASE + 16) ||
                (code >= WAVERR_BASE && code < WAVERR_BASE + 16);
      if (!mm) return false;
    }
    return true;
  }

  static std::string table(const Counts& c) {
    std::string out;
    for (auto& x : c) out += " " + x.first + "x" + std::to_string(x.second);
    return out;
  }

  // Every call of the client's steps (the open, or the steps after it), or
  // every call of the hosts, fails in turn.
  enum Part { CLIENT_OPEN, CLIENT_AFTER_OPEN, HOSTS };
  void sweepDevice(const char* device, Part part) {
    const bool inClient = part != HOSTS;
    baseline();
    Recording rec = record(device);
    ASSERT_FALSE(HasFailure());
    ASSERT_FALSE(rec.host.empty()) << "the host's calls were not recorded";
    if (inClient) {
      rec.host.clear();
      for (auto it = rec.client.begin(); it != rec.client.end();)
        it = (it->first == "open") == (part == CLIENT_OPEN) ? std::next(it) : rec.client.erase(it);
      for (auto& step : rec.client)
        printf("[ sweep    ] %s %s:%s\n", device, step.first.c_str(), table(step.second).c_str());
    } else {
      rec.client.clear();
      printf("[ sweep    ] %s host:%s\n", device, table(rec.host).c_str());
    }
    unsigned ops = 0, hostOps = 0, index = 0;
    const char* only = getenv("KV_FAULT_SWEEP_ONLY");  // one operation, for a look at it
    kvtest::SweepShare share(device);
    for (auto& step : rec.client) {
      for (auto& op : step.second) {
        if (only && op.first != only) continue;
        ++ops;
        for (unsigned nth : callsToFail(op.second)) {
          if (!share.takes(index++)) continue;
          std::string what = std::string(device) + " " + step.first + ": " + op.first + " call " + std::to_string(nth);
          runCase({device, "client", step.first, op.first, std::to_string(nth)}, what);
          if (HasFatalFailure()) return;
        }
      }
    }
    unsigned clientCases = cases;
    for (auto& op : rec.host) {
      if (only && op.first != only) continue;
      ++hostOps;
      for (unsigned nth : callsToFail(op.second)) {
        if (!share.takes(index++)) continue;
        std::string what = std::string(device) + " host: " + op.first + " call " + std::to_string(nth);
        runCase({device, "host", op.first, std::to_string(nth)}, what);
        if (HasFatalFailure()) return;
      }
    }
    printf(
        "[ sweep    ] %s: %u operations of the steps, %u of the hosts; %u client cases, %u host cases; %u faults "
        "reached; %u writes stalled until the reset\n",
        device, ops, hostOps, clientCases, cases - clientCases, injected, stalls);
    fflush(stdout);
  }

  std::unique_ptr<Child> instance;
  std::set<std::string> baselineProcesses;
  std::map<std::string, std::set<pid_t>> baselineObjects;
  unsigned cases = 0, injected = 0, stalls = 0;
};

}  // namespace

TEST_F(FaultSweepTest, MidiOpenAnswersEveryFailingCall) { sweepDevice("midi", CLIENT_OPEN); }

TEST_F(FaultSweepTest, MidiWritesAndCloseAnswerEveryFailingCall) { sweepDevice("midi", CLIENT_AFTER_OPEN); }

TEST_F(FaultSweepTest, MidiHostFailingAnyCallLeavesTheClientAnAnswer) { sweepDevice("midi", HOSTS); }

TEST_F(FaultSweepTest, WaveOpenAnswersEveryFailingCall) {
  startInstanceWindow();
  sweepDevice("wave", CLIENT_OPEN);
}

TEST_F(FaultSweepTest, WaveStreamResetAndCloseAnswerEveryFailingCall) {
  startInstanceWindow();
  sweepDevice("wave", CLIENT_AFTER_OPEN);
}

TEST_F(FaultSweepTest, WaveHostFailingAnyCallLeavesTheClientAnAnswer) {
  startInstanceWindow();
  sweepDevice("wave", HOSTS);
}

namespace {

void setValue(HKEY root, const char* path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string keyDump(HKEY root, const char* path) {
  std::string out;
  HKEY key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  kvtest::dumpKey(key, path, out);
  RegCloseKey(key);
  return out;
}

std::string filesIn(const std::string& dir) {
  std::string out;
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.insert(e->d_name);
    closedir(d);
  }
  return joined(names);
}

}  // namespace

// Installation and removal through the module's exports, in this process:
// they start nothing and keep no state between calls.
TEST_F(FaultSweepTest, InstallAndRemoveAnswerEveryFailingCall) {
  unsetenv(PLAT_MM_DRIVERS_ENV);
  ASSERT_TRUE(drv.load());
  InstallFn install = drv.installDriver;
  InstallFn remove = drv.removeDriver;
  ASSERT_TRUE(install && remove);
  // Another synthesizer is registered, and the user has mapper settings.
  std::string other = "mmother.dll";
  setValue(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", REG_SZ, other.c_str(), (DWORD)other.size() + 1);
  setValue(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "CurrentInstrument", REG_SZ, "mmother.dll<0000>", 18);
  DWORD one = 1;
  setValue(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, "UseScheme", REG_DWORD, &one, 4);
  const std::string systemDir = root + "/drive_c/WINDOWS/system32";
  // The description keys the first installation creates stay, as on machines
  // that had a driver installed before: the state to come back to is after one
  // normal installation and removal.
  ASSERT_EQ(install(), 0);
  ASSERT_EQ(remove(), 0);
  ASSERT_EQ(platSystemStart(), 0);
  const std::string registryBefore = kvtest::registryDump();
  const std::string driversBefore = keyDump(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY);
  const std::string mapperBefore = keyDump(HKEY_CURRENT_USER, KV_MIDIMAP_KEY);
  const std::string systemBefore = filesIn(systemDir);
  const std::string installBefore = filesIn(installDir());

  auto normalCycle = [&](const std::string& what) {
    ASSERT_EQ(install(), 0) << what;
    ASSERT_EQ(remove(), 0) << what;
    ASSERT_EQ(platSystemStart(), 0) << what;
    ASSERT_EQ(kvtest::registryDump(), registryBefore) << what;
    ASSERT_EQ(filesIn(systemDir), systemBefore) << what;
    ASSERT_EQ(filesIn(installDir()), installBefore) << what;
  };

  unsigned ops = 0, faults = 0, failed = 0, retriesFailed = 0, index = 0;
  kvtest::SweepShare share("install and remove");
  for (int phase = 0; phase < 2; ++phase) {
    const char* name = phase == 0 ? "install" : "remove";
    InstallFn run = phase == 0 ? install : remove;
    if (phase == 1) {
      ASSERT_EQ(install(), 0);
    }
    platFaultClear();
    ASSERT_EQ(run(), 0);
    Counts counts = countedOps();
    if (phase == 0) {
      ASSERT_EQ(remove(), 0);
    }
    ASSERT_EQ(platSystemStart(), 0);
    printf("[ sweep    ] %s:%s\n", name, table(counts).c_str());
    for (auto& op : counts) {
      ++ops;
      for (unsigned nth : callsToFail(op.second)) {
        if (!share.takes(index++)) continue;
        std::string what = std::string(name) + ": " + op.first + " call " + std::to_string(nth);
        if (phase == 1) {
          ASSERT_EQ(install(), 0) << what;
        }
        platFaultClear();
        platFaultInject(op.first.c_str(), nth, 1);
        int answer = run();
        faults += platFaultCalls(op.first.c_str()) >= nth;
        platFaultClear();
        EXPECT_TRUE(answer == 0 || answer == -1) << what << ": " << answer;
        failed += answer != 0;
        // A failed removal is tried again, as the user would. It may fail again
        // when the MIDI alias went before the failure: a removal needs it, and
        // the next installation and removal then set things right.
        if (phase == 1 && answer != 0) {
          answer = remove();
          retriesFailed += answer != 0;
        }
        if (phase == 1 && answer == 0) {
          // The aliases and the mapper are as before. What the removal deletes
          // without asking whether it could (descriptions, empty product keys)
          // may stay until the next removal, but never the saved set, which a
          // later removal would read as "the user had none of these".
          ASSERT_EQ(platSystemStart(), 0) << what;
          ASSERT_EQ(keyDump(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY), driversBefore) << what;
          ASSERT_EQ(keyDump(HKEY_CURRENT_USER, KV_MIDIMAP_KEY), mapperBefore) << what;
          HKEY saved;
          ASSERT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY, 0, KEY_READ, &saved), ERROR_SUCCESS)
              << what << ": the saved set stays after the removal";
        }
        normalCycle(what);
        if (HasFatalFailure()) return;
      }
    }
  }
  printf(
      "[ sweep    ] install and remove: %u operations, %u faults reached, %u answered -1, %u removals failed again\n",
      ops, faults, failed, retriesFailed);
}

// Focused cases of what the sweep found.

// A host that cannot register its command message could obey no close: it
// ends at once, and the open that started it fails.
TEST_F(FaultSweepTest, AHostWithoutItsCommandMessageEndsAndTheOpenFails) {
  startInstanceWindow();
  baseline();
  for (const char* device : {"midi", "wave"}) {
    runCase({device, "host", "RegisterWindowMessageA", "1"}, device);
    if (HasFatalFailure()) return;
  }
}

// A module whose shared sections cannot be mapped is not loaded; the process
// that tried goes on.
TEST_F(FaultSweepTest, AModuleWhoseSectionCannotBeMappedFailsToLoad) {
  for (unsigned nth : {1u, 2u}) {
    platFaultClear();
    platFaultInject("MapViewOfFile", nth, 1);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(kvtest::driverModulePath().c_str()), nullptr) << nth;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DLL_INIT_FAILED) << nth;
  }
  platFaultClear();
  ASSERT_TRUE(drv.load());
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
}
