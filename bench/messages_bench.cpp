// Round trips between two processes: a bare Unix-socket request and reply,
// SendMessageTimeoutA to a window of the other process, and PostMessageA
// there answered by a PostMessageA back. Each is timed one round trip at a
// time, in interleaved batches, and reported as median and 99th percentile
// and as a ratio to the bare socket of the same run.
//
// Run: messages_bench [rounds [per-batch]]
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kvplatform.h"

extern char** environ;

namespace {

const UINT kPing = WM_USER + 1;      // answers wParam + 1
const UINT kPostBack = WM_USER + 2;  // posts kPong to the window in lParam
const UINT kPong = WM_USER + 3;
const UINT kEchoBatch = WM_USER + 4;  // serves wParam bare socket round trips
const double kTarget = 1.5;

struct Record {
  unsigned char bytes[48];  // the size of one queue record
};

unsigned long long nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec;
}

int peerSocket = -1;

LRESULT CALLBACK peerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case kPing: return (LRESULT)wParam + 1;
    case kPostBack: PostMessageA((HWND)lParam, kPong, wParam, 0); return 0;
    case kEchoBatch:
      for (WPARAM i = 0; i < wParam; ++i) {
        Record r;
        if (read(peerSocket, &r, sizeof r) != (ssize_t)sizeof r) break;
        if (write(peerSocket, &r, sizeof r) != (ssize_t)sizeof r) break;
      }
      return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

HWND createWindow(const char* cls, WNDPROC proc) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = cls;
  if (!RegisterClassA(&wc)) return nullptr;
  return CreateWindowExA(0, cls, cls, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

int runPeer(int fd) {
  peerSocket = fd;
  HWND hwnd = createWindow("KvBenchPeer", peerProc);
  unsigned long long handle = (unsigned long long)(ULONG_PTR)hwnd;
  if (!hwnd || write(fd, &handle, sizeof handle) != (ssize_t)sizeof handle) return 1;
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  return 0;
}

struct Stats {
  double median;
  double p99;
};

Stats statsOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return Stats{v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--peer") == 0) return runPeer(atoi(argv[2]));
  int rounds = argc > 1 ? atoi(argv[1]) : 20;
  int perBatch = argc > 2 ? atoi(argv[2]) : 500;

  char root[] = "/tmp/kvbench-XXXXXX";
  if (!mkdtemp(root)) return 1;
  setenv("KV_MACHINE_ROOT", root, 1);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 1;
  std::string self = "/proc/self/exe", fdArg = std::to_string(sv[1]);
  char* peerArgv[] = {argv[0], (char*)"--peer", &fdArg[0], nullptr};
  pid_t peer;
  if (posix_spawn(&peer, self.c_str(), nullptr, nullptr, peerArgv, environ) != 0) return 1;
  close(sv[1]);
  unsigned long long handle = 0;
  if (read(sv[0], &handle, sizeof handle) != (ssize_t)sizeof handle) return 1;
  HWND peerWindow = (HWND)(ULONG_PTR)handle;
  HWND mine = createWindow("KvBenchMain", DefWindowProcA);
  if (!mine) return 1;

  std::vector<double> bare, sent, posted;
  for (int round = 0; round < rounds; ++round) {
    PostMessageA(peerWindow, kEchoBatch, (WPARAM)perBatch, 0);
    for (int i = 0; i < perBatch; ++i) {
      Record r = {};
      unsigned long long t0 = nowNs();
      if (write(sv[0], &r, sizeof r) != (ssize_t)sizeof r || read(sv[0], &r, sizeof r) != (ssize_t)sizeof r) return 1;
      bare.push_back((double)(nowNs() - t0) / 1000.0);
    }
    for (int i = 0; i < perBatch; ++i) {
      DWORD_PTR result = 0;
      unsigned long long t0 = nowNs();
      if (!SendMessageTimeoutA(peerWindow, kPing, (WPARAM)i, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, 1000, &result) ||
          result != (DWORD_PTR)i + 1)
        return 1;
      sent.push_back((double)(nowNs() - t0) / 1000.0);
    }
    for (int i = 0; i < perBatch; ++i) {
      MSG m;
      unsigned long long t0 = nowNs();
      if (!PostMessageA(peerWindow, kPostBack, (WPARAM)i, (LPARAM)mine)) return 1;
      if (GetMessageA(&m, mine, kPong, kPong) <= 0 || m.wParam != (WPARAM)i) return 1;
      posted.push_back((double)(nowNs() - t0) / 1000.0);
    }
  }
  PostMessageA(peerWindow, WM_QUIT, 0, 0);
  int status = 0;
  waitpid(peer, &status, 0);
  std::string cleanup = std::string("rm -rf ") + root;
  if (system(cleanup.c_str()) != 0) return 1;

  Stats b = statsOf(bare), s = statsOf(sent), p = statsOf(posted);
  printf("%d round trips each, between two processes (microseconds)\n", rounds * perBatch);
  printf("%-34s %10s %10s %12s %10s\n", "", "median", "p99", "median/bare", "p99/bare");
  printf("%-34s %10.1f %10.1f %12s %10s\n", "bare Unix socket request/reply", b.median, b.p99, "1.00", "1.00");
  printf("%-34s %10.1f %10.1f %12.2f %10.2f\n", "SendMessageTimeoutA round trip", s.median, s.p99, s.median / b.median,
         s.p99 / b.p99);
  printf("%-34s %10.1f %10.1f %12.2f %10.2f\n", "PostMessageA there and back", p.median, p.p99, p.median / b.median,
         p.p99 / b.p99);
  bool met = s.median / b.median <= kTarget && p.median / b.median <= kTarget;
  printf("median ratios within %.1fx: %s\n", kTarget, met ? "yes" : "no");
  return 0;
}
