// The synthesizer host's latency and its cost.
//
// Latency: from modMessage(MODM_DATA) of a note-on to the note's first
// non-silent sample in the host's output stream (its rendered record: frame f
// belongs to the moment stream start + f / rate, both on the steady clock every
// process shares), for several block lengths, each against its block length
// (target: at most one block plus 1 ms). Also the first note after the channel
// has been quiet for a while, with the records kept (MidiRecord): a sample is
// heard no sooner than its block is handed to the sound server, so that
// figure counts how late the render thread began the note's block (the
// first after the rest, as the record says; one session per note).
//
// Cost: the host process's CPU time as a share of one core, with the device
// open and nothing playing (idle for long, in a rest of a few seconds, and
// right after a message), and while 64 voices sound.
//
//   sound_bench [--after-quiet]   (--after-quiet: only the first note after a quiet spell)
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "hostlink/shared.h"
#include "bench/benchmachine.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

DeviceMessageFn modMessage;
std::string installDir;

const unsigned kRate = 44100;
const int kNotes = 60;

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool setting(const char* key, const std::string& value) {
  return WritePrivateProfileStringA("Host", key, value.c_str(), "C:\\KV\\KVHOST.INI");
}

bool open() {
  MIDIOPENDESC desc = {};
  return modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) == MMSYSERR_NOERROR;
}
void send(DWORD msg) { modMessage(0, MODM_DATA, 0, msg, 0); }

pid_t hostPid() {
  DWORD pid = 0;
  GetWindowThreadProcessId(FindWindowA(KV_HOST_WINDOW_CLASS, nullptr), &pid);
  return (pid_t)pid;
}

// Closes and waits for the host to end: its records are complete then.
void close() {
  pid_t pid = hostPid();
  modMessage(0, MODM_CLOSE, 0, 0, 0);
  for (int i = 0; pid > 0 && kill(pid, 0) == 0 && i < 3000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The record's interleaved stereo samples (16-bit WAV with a 44-byte header).
std::vector<int16_t> recordSamples() {
  std::string wav = readFile(installDir + "/BENCH.WAV");
  std::vector<int16_t> s(wav.size() > 44 ? (wav.size() - 44) / 2 : 0);
  if (!s.empty()) memcpy(s.data(), wav.data() + 44, s.size() * 2);
  return s;
}

int64_t streamStartNs() {
  std::string text = readFile(installDir + "/BENCH.TXT");
  size_t at = text.find("# stream start ");
  return at == std::string::npos ? 0 : atoll(text.c_str() + at + 15);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(p * (double)(v.size() - 1) + 0.5))];
}

// Latencies in ms of notes sent at the given times, found in the record.
std::vector<double> latencies(const std::vector<int64_t>& sent) {
  std::vector<int16_t> s = recordSamples();
  int64_t start = streamStartNs();
  std::vector<double> out;
  for (int64_t t : sent) {
    size_t f = (size_t)((t - start) * (int64_t)kRate / 1000000000);
    while (f * 2 + 1 < s.size() && s[f * 2] == 0 && s[f * 2 + 1] == 0) ++f;
    if (f * 2 + 1 >= s.size()) continue;
    out.push_back((double)(start + (int64_t)f * 1000000000 / kRate - t) / 1e6);
  }
  return out;
}

// How late the render thread began the first block after a rest, from the
// record (ms); -1 when the record does not say.
double afterRestLateMs() {
  std::string text = readFile(installDir + "/BENCH.TXT");
  const char* what = ", the first block after one at most ";
  size_t at = text.find(what);
  return at == std::string::npos ? -1 : atof(text.c_str() + at + strlen(what));
}

// The first note after `quietMs` without messages, one session each: from
// the call to the moment its first sample is due in the stream, or, when the
// render thread began its block later than the block's moment, to then.
struct AfterQuiet {
  std::vector<double> heard, late;
};
AfterQuiet measureAfterQuiet(int notes, int quietMs) {
  setting("BlockFrames", "64");
  AfterQuiet out;
  for (int i = 0; i < notes; ++i) {
    if (!open()) return out;
    send(0x13C0);  // organ: sound from its first frame
    sleepMs(quietMs + (i * 7) % 13);
    int64_t sent = steadyNs();
    send(0x644590);
    sleepMs(25);
    send(0x0078B0);
    sleepMs(50);
    close();
    std::vector<double> l = latencies({sent});
    if (l.empty()) {
      printf("  (session %d: the note is not in the record)\n", i);
      continue;
    }
    int64_t due = sent + (int64_t)(l[0] * 1e6);
    int64_t start = streamStartNs();
    int64_t frame = (due - start) * (int64_t)kRate / 1000000000;
    int64_t blockNs = start + frame / 64 * 64 * 1000000000 / (int64_t)kRate;
    double late = afterRestLateMs();
    if (late < 0) {
      printf("  (session %d: the record does not say how late the block after the rest began)\n", i);
      continue;
    }
    int64_t handed = blockNs + (int64_t)(late * 1e6);
    out.heard.push_back((double)((handed > due ? handed : due) - sent) / 1e6);
    out.late.push_back(late);
  }
  return out;
}

// Notes with silence between them, sent at varying points of the block.
std::vector<double> measureLatency(unsigned block, int notes, int gapMs) {
  setting("BlockFrames", std::to_string(block));
  if (!open()) return {};
  send(0x13C0);  // organ: sound from its first frame
  std::vector<int64_t> sent;
  for (int i = 0; i < notes; ++i) {
    sleepMs(gapMs + (i * 7) % 13);
    sent.push_back(steadyNs());
    send(0x644590);
    sleepMs(25);
    send(0x0078B0);  // all sound off
  }
  sleepMs(50);
  close();
  return latencies(sent);
}

// The nanoseconds every thread of the process has run.
long long cpuNs(pid_t pid) {
  long long total = 0;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(tasks.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      total += atoll(readFile(tasks + "/" + e->d_name + "/schedstat").c_str());
    }
    closedir(d);
  }
  return total;
}

double coreShare(pid_t pid, int ms) {
  long long c0 = cpuNs(pid);
  int64_t t0 = steadyNs();
  sleepMs(ms);
  return 100.0 * (double)(cpuNs(pid) - c0) / (double)(steadyNs() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  // --after-quiet: only the first note after a quiet spell.
  const bool onlyAfterQuiet = argc > 1 && strcmp(argv[1], "--after-quiet") == 0;
  std::string buildDir = benchBuildDir(argv[0]);
  std::string root = benchMachine(buildDir);
  installDir = root + "/drive_c/KV";
  if (root.empty() || !setting("MidiRecord", "BENCH") || !setting("SoundServer", "none") || !setting("Reverb", "0") ||
      !setting("Chorus", "0") || !setting("SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2")) {
    fprintf(stderr, "sound_bench: cannot install the host (error %u)\n", GetLastError());
    return 1;
  }
  KvModule module;
  loadKvModule((buildDir + "/KVDRVR32.DLL").c_str(), &module);
  modMessage = module.modMessage;
  if (!modMessage) return 1;

  printf("latency from modMessage to the first non-silent sample of the host's output stream (%d notes)\n", kNotes);
  printf("  block  block ms   median ms   p99 ms   median/block  p99/(block+1ms)\n");
  for (unsigned block : {64u, 128u, 256u, 512u, 1024u}) {
    if (onlyAfterQuiet) break;
    std::vector<double> l = measureLatency(block, kNotes, 40);
    double b = 1000.0 * block / kRate;
    double med = percentile(l, 0.5), p99 = percentile(l, 0.99);
    printf("  %5u  %8.2f  %10.2f  %7.2f  %12.2f  %15.2f\n", block, b, med, p99, med / b, p99 / (b + 1));
    if (getenv("KV_BENCH_VERBOSE"))
      for (double x : l) printf("    %.2f\n", x);
  }
  AfterQuiet quiet = measureAfterQuiet(5, 3000);
  const double target = 1000.0 * 64 / kRate + 1;
  printf(
      "  first note after 3 s without messages, records kept (block 64): median %.2f ms, worst %.2f ms (target median "
      "at most %.2f ms)%s; its block began %.2f ms late at the median, %.2f at worst\n",
      percentile(quiet.heard, 0.5), percentile(quiet.heard, 1), target,
      percentile(quiet.heard, 0.5) <= target ? "" : "  NOT MET", percentile(quiet.late, 0.5),
      percentile(quiet.late, 1));
  if (onlyAfterQuiet) {
    std::string cleanup = std::string("rm -rf ") + root;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
  }

  setting("MidiRecord", "");
  setting("BlockFrames", "64");
  if (!open()) return 1;
  pid_t pid = hostPid();
  sleepMs(3000);
  double rest = coreShare(pid, 5000);
  sleepMs(31000 - 8000);
  double idle = coreShare(pid, 5000);
  send(0x0078B0);
  double justAfter = coreShare(pid, 1500);
  for (DWORD ch = 0; ch < 4; ++ch) {
    send(0x13C0 | ch);
    for (DWORD key = 0; key < 16; ++key) send(0x500090 | ch | (40 + key * 2 + ch) << 8);
  }
  sleepMs(500);
  double voices = coreShare(pid, 5000);
  close();
  printf("host CPU, share of one core\n");
  printf("  device open, idle (31 s without messages): %6.2f%%\n", idle);
  printf("  device open, 3 to 8 s after a message:    %6.2f%%\n", rest);
  printf("  device open, within 2 s of a message:     %6.2f%%\n", justAfter);
  printf("  64 voices sounding:                        %6.2f%%\n", voices);
  std::string cleanup = std::string("rm -rf ") + root;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
