// Latency under load: a client sends 20,000 note messages a second (note-ons
// and note-offs, evenly spaced, over the sixteen channels) through the MIDI
// device to the real host with its synthesizer. For every note-on, the time
// from the client's call to the first sample of the note in the host's output
// stream: the host's record gives the moment it took the message and the
// stream's start, rate and block, and the host applies a message at the start
// of the synthesizer's step that holds the frame of its arrival one block
// later. The baseline is that block: the delay the host adds by design.
// Also: whether every note-on reached the synthesizer, and the host's CPU.
//
//   latency_bench [SECONDS [--busy]]   (default 3 s; --busy: both cores spin too)
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchmachine.h"
#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const int kMessagesPerSecond = 20000;

int64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Message i: note-on of note i / 2 when i is even, else the note-off of the
// note begun 200 messages before (about 10 ms), so that voices keep coming and
// going.
DWORD message(size_t i) {
  size_t note = i / 2;
  if (i % 2) note = note >= 100 ? note - 100 : note;
  DWORD ch = (DWORD)(note % 16), key = 36 + (DWORD)(note / 16 % 48);
  return (i % 2 ? 0x80 | ch : 0x90 | ch) | key << 8 | (i % 2 ? 0 : 0x60) << 16;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The host's process CPU time so far, in seconds.
double processCpu(DWORD pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t at = text.rfind(')');
  if (at == std::string::npos) return 0;
  std::istringstream in(text.substr(at + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = atof(field.c_str());
    if (i == 15) stime = atof(field.c_str());
  }
  return (utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (size_t)(v.size() * p))];
}

struct Recorded {
  double ms;
  DWORD bytes;
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  bool busy = argc > 2 && strcmp(argv[2], "--busy") == 0;
  std::string buildDir = benchBuildDir(argv[0]);
  std::string root = benchMachine(buildDir);
  auto setting = [](const char* key, const char* value) {
    return WritePrivateProfileStringA("Host", key, value, "C:\\KV\\KVHOST.INI") != FALSE;
  };
  if (root.empty() || !setting("MidiRecord", "LATENCY") || !setting("SoundServer", "none") ||
      !setting("SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2")) {
    fprintf(stderr, "latency_bench: cannot install the host (error %u)\n", GetLastError());
    return 1;
  }
  KvModule module;
  loadKvModule((buildDir + "/KVDRVR32.DLL").c_str(), &module);
  DeviceMessageFn modMessage = module.modMessage;
  MIDIOPENDESC desc = {};
  if (!modMessage || modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) != MMSYSERR_NOERROR) {
    fprintf(stderr, "latency_bench: cannot open the MIDI device\n");
    return 1;
  }
  DWORD hostPid = 0;
  GetWindowThreadProcessId(FindWindowA(KV_HOST_WINDOW_CLASS, nullptr), &hostPid);
  std::vector<pid_t> spinners;
  if (busy)
    for (int i = 0; i < 2; ++i) {
      pid_t pid = fork();
      if (pid == 0)
        for (volatile unsigned long n = 0;; ++n) {
        }
      spinners.push_back(pid);
    }

  const size_t count = (size_t)(seconds * kMessagesPerSecond);
  const int64_t spacingNs = 1000000000 / kMessagesPerSecond;
  std::vector<int64_t> sent(count);
  size_t refused = 0;
  // The client sends from a thread of the priority a player's timing thread
  // has, so that the machine's other work does not hold its messages back.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  double cpu0 = processCpu(hostPid);
  const int64_t start = nowNs() + 10000000;
  for (size_t i = 0; i < count; ++i) {
    int64_t due = start + (int64_t)i * spacingNs;
    struct timespec ts = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    sent[i] = nowNs();
    if (modMessage(0, MODM_DATA, 0, message(i), 0) != 0) ++refused;
  }
  const int64_t end = nowNs();
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  double cpu = processCpu(hostPid) - cpu0;
  for (pid_t pid : spinners) kill(pid, SIGKILL);
  for (pid_t pid : spinners) waitpid(pid, nullptr, 0);
  modMessage(0, MODM_CLOSE, 0, 0, 0);
  // The record is complete once the host has ended.
  while (hostPid && kill((pid_t)hostPid, 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  std::string text = readFile(root + "/drive_c/KV/LATENCY.TXT");
  long long startNs = 0;
  unsigned rate = 0, block = 0;
  size_t at = text.find("# stream start ");
  if (at == std::string::npos ||
      sscanf(text.c_str() + at, "# stream start %lld ns (steady clock), %u Hz, blocks of %u frames", &startNs, &rate,
             &block) != 3 ||
      rate == 0 || block == 0) {
    fprintf(stderr, "latency_bench: the host's record has no stream start\n");
    return 1;
  }
  std::vector<Recorded> recorded;
  std::istringstream lines(text);
  std::string line;
  long long played = -1, lost = 0;
  std::string blocks = "no count of blocks";
  while (std::getline(lines, line)) {
    if (line.compare(0, 2, "# ") == 0) {
      if (line.find(" note-ons played") != std::string::npos) played = atoll(line.c_str() + 2);
      if (line.find(" messages not played") != std::string::npos) lost = atoll(line.c_str() + 2);
      if (line.find(" blocks rendered") != std::string::npos) blocks = line.substr(2);
      continue;
    }
    double ms = 0;
    char name[32];
    if (sscanf(line.c_str(), "%lf ms %31s", &ms, name) != 2) continue;
    size_t hex = line.rfind("  ");
    unsigned b[3] = {0, 0, 0};
    sscanf(line.c_str() + hex, " %x %x %x", &b[0], &b[1], &b[2]);
    recorded.push_back({ms, b[0] | b[1] << 8 | b[2] << 16});
  }
  // The messages arrive in the order they were sent.
  size_t matched = 0;
  std::vector<double> intake, toSample;
  const double blockMs = 1000.0 * block / rate;
  for (size_t i = 0; i < count && matched < recorded.size(); ++i) {
    if (recorded[matched].bytes != message(i)) continue;
    const Recorded& r = recorded[matched++];
    double arrivalNs = (double)startNs + r.ms * 1e6;
    intake.push_back((arrivalNs - (double)sent[i]) / 1e6);
    if (i % 2) continue;
    // The frame of arrival, the block that takes it (the first to start after
    // it), and the step of that block where it takes effect.
    int64_t frame = (int64_t)floor(r.ms * rate / 1000.0);
    int64_t taking = (frame / block + 1) * block;
    int64_t offset = frame + block - taking;
    int64_t applied = taking + (offset >= (int64_t)block ? block : 0);
    double sampleNs = (double)startNs + (double)applied * 1e9 / rate;
    toSample.push_back((sampleNs - (double)sent[i]) / 1e6);
  }
  double wall = (double)(end - start) / 1e9;
  printf("latency under load: %zu note messages in %.2f s (%.0f a second)%s, blocks of %u frames (%.2f ms)\n", count,
         wall, count / wall, busy ? ", both cores busy" : "", block, blockMs);
  printf("  note-to-first-sample: p50 %.3f  p99 %.3f  max %.3f ms  (target p99 at most %.2f ms: one block + 1 ms)%s\n",
         percentile(toSample, 0.5), percentile(toSample, 0.99), percentile(toSample, 1.0), blockMs + 1.0,
         percentile(toSample, 0.99) <= blockMs + 1.0 ? "" : "  NOT MET");
  printf("  of which the host's intake (call to taken): p50 %.3f  p99 %.3f  max %.3f ms\n", percentile(intake, 0.5),
         percentile(intake, 0.99), percentile(intake, 1.0));
  long long notes = (long long)(count + 1) / 2;
  printf("  note-ons sent %lld, recorded %zu, played %lld, lost %lld, refused %zu%s\n", notes, toSample.size(), played,
         lost, refused, played == notes && lost == 0 && refused == 0 ? "" : "  NOTES DROPPED");
  printf("  host CPU: %.1f%% of one core\n", 100.0 * cpu / wall);
  // The samples leave at their moment only while the renderer keeps its clock.
  printf("  host's renderer: %s\n", blocks.c_str());
  std::string cleanup = "rm -rf " + root;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
