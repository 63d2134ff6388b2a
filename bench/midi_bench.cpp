// Throughput of the MIDI path: short messages and system-exclusive bytes through
// modMessage into the shared ring while a real host process consumes with its
// synthesizer attached, each against a baseline measured in the same run: the
// ring protocol's bare per-byte work (store, interlocked increment; the
// consumer's interlocked decrement) between this process and a spinning
// consumer process.
// First pinned (the writer on CPU 0, the consumer, host or bare, on CPU 1),
// then unpinned (every process and thread free to run anywhere).
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "hostlink/shared.h"
#include "bench/benchmachine.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const int kRounds = 5;
const size_t kShortMessages = 2000000;
const size_t kSysexBytes = 8 << 20;

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// cpu -1: every CPU.
void pinTo(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (c == cpu || cpu < 0) CPU_SET(c, &set);
  sched_setaffinity(pid, sizeof set, &set);
}

// The bare protocol: one 4096-byte ring, a count, a spinning consumer process.
struct BareRing {
  volatile LONG count;
  BYTE ring[4096];
};

double bareBytesPerSecond(size_t bytes, size_t chunk, bool pinned) {
  auto* shared = static_cast<BareRing*>(
      mmap(nullptr, sizeof(BareRing), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  shared->count = 0;
  pid_t consumer = fork();
  if (consumer == 0) {
    if (pinned) pinTo(0, 1);
    unsigned pos = 0;
    BYTE sink = 0;
    for (;;) {
      LONG n = __atomic_load_n(&shared->count, __ATOMIC_ACQUIRE);
      for (LONG i = 0; i < n; ++i) {
        sink = (BYTE)(sink ^ shared->ring[pos]);
        __asm__ volatile("" : : "r"(sink));
        pos = (pos + 1) & 4095;
        InterlockedDecrement(&shared->count);
      }
    }
  }
  unsigned pos = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (size_t done = 0; done < bytes; done += chunk) {
    for (size_t i = 0; i < chunk; ++i) {
      while ((DWORD)shared->count >= 4096) {
      }
      shared->ring[pos] = (BYTE)i;
      pos = (pos + 1) & 4095;
      InterlockedIncrement(&shared->count);
    }
  }
  while (shared->count > 0) {
  }
  double s = seconds(t0);
  kill(consumer, SIGKILL);
  waitpid(consumer, nullptr, 0);
  munmap(shared, sizeof(BareRing));
  return (double)bytes / s;
}

// The machine's root, or "" when the host could not be installed.
std::string installProduct(const std::string& buildDir) {
  std::string root = benchMachine(buildDir, "KVMIDI16.EXE");
  bool set =
      !root.empty() && WritePrivateProfileStringA("Host", "MidiRecord", "", "C:\\KV\\KVHOST.INI") &&
      WritePrivateProfileStringA("Host", "SoundServer", "none", "C:\\KV\\KVHOST.INI") &&
      WritePrivateProfileStringA("Host", "SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2", "C:\\KV\\KVHOST.INI");
  return set ? root : "";
}

}  // namespace

int main(int argc, char** argv) {
  (void)argc;
  std::string buildDir = benchBuildDir(argv[0]);
  std::string root = installProduct(buildDir);
  if (root.empty()) {
    fprintf(stderr, "midi_bench: cannot install the host (error %u)\n", GetLastError());
    return 1;
  }
  KvModule module;
  loadKvModule((buildDir + "/KVDRVR32.DLL").c_str(), &module);
  DeviceMessageFn modMessage = module.modMessage;
  MIDIOPENDESC desc = {};
  if (!modMessage || modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) != MMSYSERR_NOERROR) {
    fprintf(stderr, "midi_bench: cannot open the MIDI device\n");
    return 1;
  }
  DWORD hostPid = 0;
  GetWindowThreadProcessId(FindWindowA(KV_HOST_WINDOW_CLASS, nullptr), &hostPid);
  // Every thread of the host: its consumer is one of them.
  auto placeHost = [&](int cpu) {
    std::string tasks = "/proc/" + std::to_string(hostPid) + "/task";
    if (DIR* d = opendir(tasks.c_str())) {
      while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') pinTo((pid_t)atoi(e->d_name), cpu);
      closedir(d);
    }
  };

  std::vector<BYTE> sysex(65536, 0x22);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
  hdr.dwBufferLength = (DWORD)sysex.size();
  hdr.dwFlags = MHDR_PREPARED;
  for (bool pinned : {true, false}) {
    pinTo(0, pinned ? 0 : -1);
    placeHost(pinned ? 1 : -1);
    std::vector<double> shortRate, shortBase, sysexRate, sysexBase;
    size_t refused = 0;
    for (int round = 0; round < kRounds; ++round) {
      auto t0 = std::chrono::steady_clock::now();
      for (size_t i = 0; i < kShortMessages; ++i) {
        // A ring that stays full for the driver's stall time refuses the
        // message: counted, as a busy machine may starve the consumer.
        if (modMessage(0, MODM_DATA, 0, 0x403C90 | ((i & 0x7F) << 8), 0) != 0) ++refused;
      }
      shortRate.push_back((double)kShortMessages / seconds(t0));
      shortBase.push_back(bareBytesPerSecond(kShortMessages * 3, 3, pinned) / 3);

      t0 = std::chrono::steady_clock::now();
      for (size_t done = 0; done < kSysexBytes; done += sysex.size()) {
        if (modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr) != 0) ++refused;
      }
      sysexRate.push_back((double)kSysexBytes / seconds(t0));
      sysexBase.push_back(bareBytesPerSecond(kSysexBytes, sysex.size(), pinned));
    }
    double sm = median(shortRate), sb = median(shortBase), xm = median(sysexRate), xb = median(sysexBase);
    printf("%s\n", pinned ? "pinned: writer on CPU 0, consumer on CPU 1" : "unpinned");
    printf("  short messages through modMessage:  %10.0f msg/s  (%.0f ns per message)\n", sm, 1e9 / sm);
    printf("  bare ring protocol, 3 bytes:        %10.0f msg/s  (%.0f ns per message)\n", sb, 1e9 / sb);
    printf("    driver path takes %.2fx the time of the bare protocol\n", sb / sm);
    printf("  system-exclusive bytes:             %10.2f MB/s\n", xm / 1e6);
    printf("  bare ring protocol bytes:           %10.2f MB/s\n", xb / 1e6);
    printf("    driver path takes %.2fx the time of the bare protocol\n", xb / xm);
    if (refused) printf("  %zu messages refused: the consumer was held up for the driver's stall time\n", refused);
    fflush(stdout);
  }
  modMessage(0, MODM_CLOSE, 0, 0, 0);
  std::string cleanup = std::string("rm -rf ") + root;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
