// The clock behind GetTickCount, timeGetTime and the time-outs of waits and
// sleeps, and the test's hold on it.
//
// It runs with the host's monotonic clock until a test freezes it, for this
// process or, through a block in the machine root, for this process and the
// processes that start after; then it stands still until the test moves it
// on. Until a freeze, a reading costs one load more than the host clock's.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "internal.h"

namespace {

// Lives in process memory, or in the machine root's clock file, mapped shared.
// Written with atomic stores only: processes read it while the test moves it.
struct ClockBlock {
  unsigned frozen;              // 1 while the clock stands
  unsigned long long frozenMs;  // the reading while it stands
  unsigned long long aheadMs;   // how far it is ahead of the host clock while it runs
};

const char kClockFile[] = "clock";

std::atomic<ClockBlock*> gBlock{nullptr};
std::atomic<bool> gLooked{false};
std::atomic<unsigned> gWaiters{0};
std::mutex gLock;  // freezes, thaws and the first look at the machine's block

std::string clockFilePath() { return plat::machineRoot() + "/" + kClockFile; }

ClockBlock* mapBlock(int fd) {
  void* p = mmap(nullptr, sizeof(ClockBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<ClockBlock*>(p);
}

// Maps the machine's block when a test froze the machine's clock before this
// process started; looked for once.
ClockBlock* lookAtMachine() {
  std::lock_guard<std::mutex> g(gLock);
  if (!gLooked.load(std::memory_order_acquire)) {
    int fd = open(clockFilePath().c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) == 0 && (size_t)st.st_size >= sizeof(ClockBlock)) gBlock.store(mapBlock(fd));
      close(fd);
    }
    gLooked.store(true, std::memory_order_release);
  }
  return gBlock.load(std::memory_order_acquire);
}

inline ClockBlock* block() {
  if (gLooked.load(std::memory_order_acquire)) return gBlock.load(std::memory_order_acquire);
  return lookAtMachine();
}

unsigned long long readingOf(ClockBlock* b) {
  if (__atomic_load_n(&b->frozen, __ATOMIC_ACQUIRE)) return __atomic_load_n(&b->frozenMs, __ATOMIC_ACQUIRE);
  return plat::monotonicMs() + __atomic_load_n(&b->aheadMs, __ATOMIC_ACQUIRE);
}

void freezeBlock(ClockBlock* b) {
  if (__atomic_load_n(&b->frozen, __ATOMIC_ACQUIRE)) return;
  __atomic_store_n(&b->frozenMs, readingOf(b), __ATOMIC_RELEASE);
  __atomic_store_n(&b->frozen, 1u, __ATOMIC_RELEASE);
}

// Counts this thread as waiting for the frozen clock while it lives.
struct ClockWaiter {
  ClockWaiter() { ++gWaiters; }
  ~ClockWaiter() { --gWaiters; }
};

void sleepOneMs() {
  struct timespec ts = {0, 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

}  // namespace

namespace plat {

unsigned long long clockMs() {
  ClockBlock* b = block();
  return b ? readingOf(b) : monotonicMs();
}

bool clockFrozen() {
  ClockBlock* b = block();
  return b && __atomic_load_n(&b->frozen, __ATOMIC_ACQUIRE);
}

DWORD clockWait(Object& obj, DWORD ms) {
  unsigned long long end = clockMs() + ms;
  ClockWaiter waiter;
  for (;;) {
    DWORD r = obj.wait(1);
    if (r != WAIT_TIMEOUT) return r;
    (void)faultHit("ClockWait");
    if (clockMs() >= end) return WAIT_TIMEOUT;
  }
}

void clockSleep(DWORD ms) {
  unsigned long long end = clockMs() + ms;
  ClockWaiter waiter;
  while (clockMs() < end) {
    sleepOneMs();
    (void)faultHit("ClockWait");
  }
}

}  // namespace plat

extern "C" BOOL platClockFreeze(BOOL fMachine) {
  std::lock_guard<std::mutex> g(gLock);
  if (!fMachine) {
    // The process's own block lives as long as the process: other threads may
    // still read it, and a freeze after a thaw uses it again.
    static ClockBlock own;
    ClockBlock* was = gBlock.load(std::memory_order_acquire);
    __atomic_store_n(&own.frozenMs, was ? readingOf(was) : plat::monotonicMs(), __ATOMIC_RELEASE);
    __atomic_store_n(&own.frozen, 1u, __ATOMIC_RELEASE);
    gBlock.store(&own, std::memory_order_release);
    gLooked.store(true, std::memory_order_release);
    return TRUE;
  }
  if (!platMachineInit()) return FALSE;
  int fd = open(clockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return plat::failErrno(FALSE);
  struct stat st;
  bool fresh = fstat(fd, &st) == 0 && st.st_size == 0;
  if (fresh && ftruncate(fd, sizeof(ClockBlock)) != 0) {
    close(fd);
    return plat::failErrno(FALSE);
  }
  ClockBlock* b = mapBlock(fd);
  close(fd);
  if (!b) return plat::failErrno(FALSE);
  if (fresh) {
    ClockBlock* was = gBlock.load(std::memory_order_acquire);
    __atomic_store_n(&b->frozenMs, was ? readingOf(was) : plat::monotonicMs(), __ATOMIC_RELEASE);
    __atomic_store_n(&b->frozen, 1u, __ATOMIC_RELEASE);
  } else {
    freezeBlock(b);
  }
  gBlock.store(b, std::memory_order_release);
  gLooked.store(true, std::memory_order_release);
  return TRUE;
}

extern "C" BOOL platClockAdvance(DWORD ms) {
  ClockBlock* b = block();
  if (!b || !__atomic_load_n(&b->frozen, __ATOMIC_ACQUIRE)) return plat::fail(ERROR_INVALID_FUNCTION, FALSE);
  __atomic_add_fetch(&b->frozenMs, (unsigned long long)ms, __ATOMIC_ACQ_REL);
  return TRUE;
}

extern "C" void platClockThaw(void) {
  std::lock_guard<std::mutex> g(gLock);
  ClockBlock* b = block();
  if (!b || !__atomic_load_n(&b->frozen, __ATOMIC_ACQUIRE)) return;
  unsigned long long now = plat::monotonicMs();
  unsigned long long at = __atomic_load_n(&b->frozenMs, __ATOMIC_ACQUIRE);
  __atomic_store_n(&b->aheadMs, at > now ? at - now : 0, __ATOMIC_RELEASE);
  __atomic_store_n(&b->frozen, 0u, __ATOMIC_RELEASE);
}

extern "C" unsigned platClockWaiters(void) { return gWaiters.load(); }
