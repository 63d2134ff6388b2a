// A long soak: open, play and close cycles of the MIDI and the wave device, each
// from a fresh client process, for a given time (--seconds N, default 60). It
// reports the cycles done, the slowest cycle and its ratio to the median cycle,
// and whether the machine grew between the first and the last tenth of the run:
// files below the machine root, named objects, liveness entries, used window
// table slots, and the open descriptors and resident memory of the one
// long-lived process, this benchmark (it keeps the instance window; the hosts
// end with every close, which it also checks).
//
// The benchmark is its own client: "soak_bench --client midi|wave MODULE".
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "bench/benchmachine.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

// ---- the client ----------------------------------------------------------------

// One cycle in this process: open, a little music, close. The exit code is the
// first result that was not 0 (the open's + 100, the close's + 200).
int runClient(bool midi, const char* module) {
  // The hosts this client starts write to its standard error: quiet them.
  if (!freopen("/dev/null", "w", stderr)) return 1;
  KvModule exports;
  if (!loadKvModule(module, &exports)) return 1;
  DeviceMessageFn mod = exports.modMessage;
  DeviceMessageFn wod = exports.wodMessage;
  if (!mod || !wod) return 1;
  if (midi) {
    MIDIOPENDESC desc = {};
    DWORD r = mod(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
    if (r) return 100 + (int)r;
    char sysex[1024];
    memset(sysex, 0x22, sizeof sysex);
    sysex[0] = (char)0xF0;
    sysex[sizeof sysex - 1] = (char)0xF7;
    for (int note = 60; note < 72; ++note) {
      mod(0, MODM_DATA, 0, 0x500090 | (DWORD)note << 8, 0);
      MIDIHDR hdr = {};
      hdr.lpData = sysex;
      hdr.dwBufferLength = sizeof sysex;
      hdr.dwFlags = MHDR_PREPARED;
      mod(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
      mod(0, MODM_DATA, 0, 0x000080 | (DWORD)note << 8, 0);
    }
    r = mod(0, MODM_CLOSE, 0, 0, 0);
    return r ? 200 + (int)r : 0;
  }
  WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
  WAVEOPENDESC desc = {};
  desc.lpFormat = &wf;
  DWORD r = wod(0, WODM_OPEN, 0, (DWORD_PTR)&desc, 0);
  if (r) return 100 + (int)r;
  // Four buffers of 20 ms, played out.
  static char audio[4][1764];
  WAVEHDR hdr[4] = {};
  for (int i = 0; i < 4; ++i) {
    for (size_t b = 0; b < sizeof audio[i]; ++b) audio[i][b] = (char)(b * 7);
    hdr[i].lpData = audio[i];
    hdr[i].dwBufferLength = sizeof audio[i];
    hdr[i].dwFlags = WHDR_PREPARED;
    wod(0, WODM_WRITE, 0, (DWORD_PTR)&hdr[i], sizeof hdr[i]);
  }
  double start = nowMs();
  while (!(hdr[3].dwFlags & WHDR_DONE) && nowMs() - start < 2000) Sleep(2);
  r = wod(0, WODM_CLOSE, 0, 0, 0);
  return r ? 200 + (int)r : 0;
}

// ---- what the machine holds ------------------------------------------------------

struct Sample {
  double atMs;
  double files, objects, entries, windowSlots, descriptors, rssKb;
};

// Files below `dir`, but those below `skip`.
size_t countFiles(const std::string& dir, const std::string& skip = "") {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (path == skip || lstat(path.c_str(), &st) != 0) continue;
    n += S_ISDIR(st.st_mode) ? countFiles(path, skip) : 1;
  }
  closedir(d);
  return n;
}

// Liveness entries whose process has ended: each process holds a lock on its
// own while it runs.
size_t endedEntries(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    int fd = open((dir + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) ++n;
    close(fd);
  }
  closedir(d);
  return n;
}

double rssKb() {
  std::ifstream f("/proc/self/statm");
  double pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * (double)sysconf(_SC_PAGESIZE) / 1024.0;
}

// Used window and queue slots, found without the platform's internals: every
// window the machine can find by class (the instance window and live hosts).
double liveHostWindows() {
  double n = 0;
  if (FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) ++n;
  if (FindWindowA(KV_HOST_WINDOW_CLASS, nullptr)) ++n;
  return n;
}

Sample sample(const std::string& root) {
  Sample s;
  s.files = (double)countFiles(root, root + "/procs");
  s.objects = (double)countFiles(root + "/objects");
  s.entries = (double)endedEntries(root + "/procs");
  s.windowSlots = liveHostWindows();
  s.descriptors = (double)countFiles("/proc/self/fd");
  s.rssKb = rssKb();
  return s;
}

// The largest value in the samples taken from fromMs to toMs of the run: a
// machine that reached its size in the first tenth (its objects are made by
// the first cycles) must not be any larger in the last.
double largest(const std::vector<Sample>& v, size_t count, double fromMs, double toMs, double Sample::*field) {
  double most = 0;
  for (size_t i = 0; i < count; ++i)
    if (v[i].atMs >= fromMs && v[i].atMs < toMs) most = std::max(most, v[i].*field);
  return most;
}

struct Cycles {
  std::vector<double> ms;
  int failed = 0;
  int lastFailure = 0;
};

void reportCycles(const char* what, Cycles c) {
  if (c.ms.empty()) return;
  std::sort(c.ms.begin(), c.ms.end());
  double median = c.ms[c.ms.size() / 2], p99 = c.ms[c.ms.size() * 99 / 100], slowest = c.ms.back();
  printf("%-5s cycles %5zu  failed %d%s  median %6.1f ms  p99 %6.1f ms  slowest %6.1f ms  slowest/median %.2f\n", what,
         c.ms.size(), c.failed, c.failed ? (" (last exit code " + std::to_string(c.lastFailure) + ")").c_str() : "",
         median, p99, slowest, median > 0 ? slowest / median : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--client") == 0) return runClient(strcmp(argv[2], "midi") == 0, argv[3]);
  double seconds = 60;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[i + 1]);

  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::string buildDir = benchBuildDir(self);
  std::string root = benchMachine(buildDir);
  if (root.empty() || !CopyFileA((buildDir + "/KVTSK16.EXE").c_str(), "C:\\KV\\KVWAVE16.EXE", FALSE) ||
      !WritePrivateProfileStringA("Host", "SoundServer", "none", "C:\\KV\\KVHOST.INI") ||
      !WritePrivateProfileStringA("Host", "MidiRecord", "", "C:\\KV\\KVHOST.INI") ||
      !WritePrivateProfileStringA("Host", "WaveRecord", "", "C:\\KV\\KVHOST.INI")) {
    fprintf(stderr, "soak_bench: cannot set up the machine\n");
    return 1;
  }
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = KV_INSTANCE_WINDOW_CLASS;
  RegisterClassA(&wc);
  CreateWindowExA(0, KV_INSTANCE_WINDOW_CLASS, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);

  std::string module = buildDir + "/KVDRVR32.DLL";
  // Everything the run records is allocated and touched before it starts, so
  // that the benchmark's own records do not count as growth.
  const size_t maxCycles = (size_t)(seconds * 100) + 10;
  Cycles cycles[2];
  for (Cycles& c : cycles) c.ms.reserve(maxCycles);
  std::vector<Sample> samples(maxCycles, Sample{});
  size_t count = 0;
  int strayHosts = 0;
  double start = nowMs();
  for (int i = 0; nowMs() - start < seconds * 1000 && count < maxCycles; ++i) {
    bool midi = i % 2 == 0;
    std::string cmd = std::string(self) + " --client " + (midi ? "midi " : "wave ") + module;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    double t0 = nowMs();
    // Named as the program itself: it has no extension for the search to add.
    if (!CreateProcessA(self, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      fprintf(stderr, "soak_bench: cannot start a client (error %u)\n", (unsigned)GetLastError());
      return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    double ms = nowMs() - t0;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    Cycles& c = cycles[midi ? 0 : 1];
    c.ms.push_back(ms);
    if (code != 0) {
      ++c.failed;
      c.lastFailure = (int)code;
    }
    // The host of the cycle ends on its close: a host window still there
    // after a while is a stray host.
    double waitStart = nowMs();
    while (FindWindowA(KV_HOST_WINDOW_CLASS, nullptr) && nowMs() - waitStart < 2000) Sleep(1);
    if (FindWindowA(KV_HOST_WINDOW_CLASS, nullptr)) ++strayHosts;
    samples[count] = sample(root);
    samples[count++].atMs = nowMs() - start;
  }

  printf("soak: %.0f s, fresh client processes, open/play/close of both devices\n", seconds);
  reportCycles("MIDI", cycles[0]);
  reportCycles("wave", cycles[1]);
  printf("hosts still running 2 s after their cycle: %d\n", strayHosts);
  double runMs = nowMs() - start;
  struct Measure {
    const char* name;
    double Sample::*field;
  } measures[] = {
      {"files below the machine root (but procs/)", &Sample::files},
      {"named objects", &Sample::objects},
      {"entries of ended processes in procs/", &Sample::entries},
      {"windows found by class", &Sample::windowSlots},
      {"descriptors of this process", &Sample::descriptors},
      {"resident memory of this process, KiB", &Sample::rssKb},
  };
  printf("growth, largest in the first tenth of the run -> largest in the last tenth:\n");
  for (const Measure& m : measures) {
    double first = largest(samples, count, 0, runMs / 10, m.field);
    double last = largest(samples, count, runMs * 9 / 10, runMs + 1, m.field);
    if (last > first)
      printf("  %-42s %10.1f -> %10.1f  GREW by %.1f\n", m.name, first, last, last - first);
    else
      printf("  %-42s %10.1f -> %10.1f  steady\n", m.name, first, last);
  }
  std::string cleanup = "rm -rf " + root;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
