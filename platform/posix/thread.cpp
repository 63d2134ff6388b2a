// Threads, their priorities, clocks and sleeping.
//
// Priorities map onto the host scheduler as far as it allows: IDLE runs under
// SCHED_IDLE, TIME_CRITICAL under SCHED_FIFO, the levels between as nice values.
// TIME_CRITICAL is real time or nothing: where the system refuses SCHED_FIFO
// (no privilege, or the fault "SCHED_FIFO" injected) the thread runs as high
// as the system lets it (nice -20 where allowed), the call fails with
// ERROR_PRIVILEGE_NOT_HELD and the level stays as it was, so a program that
// needs real time learns that it has none. Where the system refuses a nice
// value of the levels between, the level is still recorded and the call
// succeeds, as the platform's own levels within a process always do.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "internal.h"

namespace {

struct ThreadRecord {
  // Written by the new thread and read by its creator, which waits for it.
  std::atomic<pid_t> tid{0};
  std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
};

class Thread : public plat::Object {
 public:
  std::shared_ptr<ThreadRecord> record = std::make_shared<ThreadRecord>();
  pthread_t pthread{};
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool joined = false;
  DWORD exitCode = STILL_ACTIVE;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;

  ~Thread() override {
    if (!joined) pthread_detach(pthread);
  }

  DWORD wait(DWORD ms) override {
    std::unique_lock<std::mutex> g(lock);
    if (ms == INFINITE) {
      ended.wait(g, [&] { return done; });
    } else if (!ended.wait_for(g, std::chrono::milliseconds(ms), [&] { return done; })) {
      return WAIT_TIMEOUT;
    }
    // Joining makes sure the thread has really gone, so the robust mutexes it
    // held are already marked abandoned when the wait returns.
    if (!joined && !pthread_equal(pthread, pthread_self())) {
      pthread_join(pthread, nullptr);
      joined = true;
    }
    return WAIT_OBJECT_0;
  }
};

thread_local std::shared_ptr<ThreadRecord> tlsRecord;
// Trivially destructible, so it still answers while a module's process detach
// runs at exit, after the thread's other thread_local objects are gone.
thread_local pid_t tlsTid = 0;

ThreadRecord& currentRecord() {
  if (!tlsRecord) {
    tlsRecord = std::make_shared<ThreadRecord>();
    tlsRecord->tid = (pid_t)syscall(SYS_gettid);
  }
  return *tlsRecord;
}

void* trampoline(void* arg) {
  std::shared_ptr<Thread> self(*static_cast<std::shared_ptr<Thread>*>(arg));
  delete static_cast<std::shared_ptr<Thread>*>(arg);
  self->record->tid = (pid_t)syscall(SYS_gettid);
  tlsRecord = self->record;
  DWORD code = self->start(self->param);
  plat::lockLoader();
  plat::unlockLoader();
  {
    std::lock_guard<std::mutex> g(self->lock);
    self->exitCode = code;
    self->done = true;
  }
  self->ended.notify_all();
  return nullptr;
}

// Applies a priority level to a host thread: the error, or 0.
DWORD applyPriority(pid_t tid, int level) {
  struct sched_param sp = {};
  switch (level) {
    case THREAD_PRIORITY_TIME_CRITICAL:
      sp.sched_priority = sched_get_priority_max(SCHED_FIFO) / 2;
      if (plat::faultHit("SCHED_FIFO") || sched_setscheduler(tid, SCHED_FIFO, &sp) != 0) {
        // A thread that has real time already keeps it.
        if (sched_getscheduler(tid) != SCHED_FIFO) {
          sp.sched_priority = 0;
          sched_setscheduler(tid, SCHED_OTHER, &sp);
          setpriority(PRIO_PROCESS, (id_t)tid, -20);
        }
        return ERROR_PRIVILEGE_NOT_HELD;
      }
      return 0;
    case THREAD_PRIORITY_IDLE: sched_setscheduler(tid, SCHED_IDLE, &sp); return 0;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST: {
      sched_setscheduler(tid, SCHED_OTHER, &sp);
      static const int nice[] = {10, 5, 0, -5, -10};
      setpriority(PRIO_PROCESS, (id_t)tid, nice[level + 2]);
      return 0;
    }
    default: return ERROR_INVALID_PARAMETER;
  }
}

std::shared_ptr<ThreadRecord> recordOf(HANDLE h) {
  if (h == plat::currentThreadPseudo()) {
    currentRecord();
    return tlsRecord;
  }
  auto t = plat::handleAs<Thread>(h);
  return t ? t->record : nullptr;
}

}  // namespace

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (plat::faultHit("CreateThread")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HANDLE) nullptr);
  if (!lpStartAddress || (dwCreationFlags & CREATE_SUSPENDED))
    return plat::fail(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
  auto t = std::make_shared<Thread>();
  t->start = lpStartAddress;
  t->param = lpParameter;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (dwStackSize) pthread_attr_setstacksize(&attr, dwStackSize < 65536 ? 65536 : dwStackSize);
  auto* arg = new std::shared_ptr<Thread>(t);
  // The new thread reads its record's tid itself; the creator needs it for the
  // thread id, so it waits for nothing and uses the record once it is set.
  int rc = pthread_create(&t->pthread, &attr, trampoline, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    t->joined = true;
    return plat::fail(plat::win32FromErrno(rc), (HANDLE) nullptr);
  }
  HANDLE h = plat::handleInsert(t);
  if (lpThreadId) {
    while (t->record->tid == 0) sched_yield();
    *lpThreadId = (DWORD)t->record->tid;
  }
  return h;
}

extern "C" HANDLE WINAPI GetCurrentThread(void) { return plat::currentThreadPseudo(); }
extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  if (tlsTid == 0) tlsTid = (pid_t)syscall(SYS_gettid);
  return (DWORD)tlsTid;
}
extern "C" HANDLE WINAPI GetCurrentProcess(void) { return plat::currentProcessPseudo(); }
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

extern "C" int WINAPI GetThreadPriority(HANDLE hThread) {
  if (plat::faultHit("GetThreadPriority")) return plat::fail(ERROR_INVALID_HANDLE, THREAD_PRIORITY_ERROR_RETURN);
  auto rec = recordOf(hThread);
  if (!rec) return plat::fail(ERROR_INVALID_HANDLE, THREAD_PRIORITY_ERROR_RETURN);
  return rec->priority;
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  if (plat::faultHit("SetThreadPriority")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  auto rec = recordOf(hThread);
  if (!rec) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  while (rec->tid == 0) sched_yield();
  DWORD error = applyPriority(rec->tid, nPriority);
  if (error) return plat::fail(error, FALSE);
  rec->priority = nPriority;
  return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = plat::handleAs<Thread>(hThread);
  if (!t || !lpExitCode) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  std::lock_guard<std::mutex> g(t->lock);
  *lpExitCode = t->exitCode;
  return TRUE;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  if (dwMilliseconds > 1 && plat::clockFrozen()) return plat::clockSleep(dwMilliseconds);
  struct timespec until = plat::deadlineAfter(dwMilliseconds);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

// Readings of a stopped clock are counted, so a test sees the code look at it.
extern "C" DWORD WINAPI GetTickCount(void) {
  if (plat::clockFrozen()) (void)plat::faultHit("GetTickCount");
  return (DWORD)plat::clockMs();
}
extern "C" DWORD WINAPI timeGetTime(void) {
  if (plat::clockFrozen()) (void)plat::faultHit("timeGetTime");
  return (DWORD)plat::clockMs();
}

namespace {
std::atomic<int> timerPeriods{0};
}

// The host timer is already finer than a millisecond; the periods are counted so
// that an unbalanced end is refused as the platform refuses it. Both are fault
// points, so that tests can count their calls.
extern "C" MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
  if (plat::faultHit("timeBeginPeriod") || uPeriod == 0) return TIMERR_NOCANDO;
  ++timerPeriods;
  return TIMERR_NOERROR;
}

extern "C" MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
  if (plat::faultHit("timeEndPeriod") || uPeriod == 0) return TIMERR_NOCANDO;
  int n = timerPeriods.load();
  while (n > 0 && !timerPeriods.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0 ? TIMERR_NOERROR : TIMERR_NOCANDO;
}
