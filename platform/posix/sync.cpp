// Critical sections, events and mutexes. Events and mutexes keep their state in
// a small block: private memory for unnamed objects, a named object shared by
// every process of the machine otherwise. Mutexes are robust, so a mutex whose
// owning thread ended (or whose process was killed) is acquired with
// WAIT_ABANDONED.
#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>

#include <new>

#include "internal.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "critical section storage");

static pthread_mutex_t* csMutex(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (cs->opaque) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}
extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(csMutex(cs)); }
extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  return pthread_mutex_trylock(csMutex(cs)) == 0;
}
extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(csMutex(cs)); }
extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(csMutex(cs)); }

namespace {

void initMutex(pthread_mutex_t* m, bool shared, bool recursive) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (shared) pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

// Locks a robust mutex that guards internal state; a holder that died left the
// state consistent (every change under it is a single store), so it is taken over.
void lockState(pthread_mutex_t* m) {
  if (pthread_mutex_lock(m) == EOWNERDEAD) pthread_mutex_consistent(m);
}

// Waits on a robust mutex with the platform's time-out semantics.
int lockTimed(pthread_mutex_t* m, DWORD ms) {
  if (ms == 0) return pthread_mutex_trylock(m);
  if (ms == INFINITE) return pthread_mutex_lock(m);
  // pthread_mutex_timedlock, whose deadline is on the realtime clock, rather
  // than pthread_mutex_clocklock: the thread sanitizer sees a lock taken only
  // through the former, and reports the later unlock as one of a mutex that
  // was never locked.
  struct timespec until = plat::deadlineAfter(ms, CLOCK_REALTIME);
  return pthread_mutex_timedlock(m, &until);
}

// ---- events ----------------------------------------------------------------------

struct EventBlock {
  pthread_mutex_t lock;
  pthread_cond_t cond;
  int manualReset;
  int signalled;
};

void initEventBlock(EventBlock* b, bool shared, bool manual, bool initial) {
  initMutex(&b->lock, shared, false);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (shared) pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_cond_init(&b->cond, &attr);
  pthread_condattr_destroy(&attr);
  b->manualReset = manual;
  b->signalled = initial;
}

class Event : public plat::Object {
 public:
  EventBlock* block = nullptr;
  EventBlock own{};
  plat::NamedMapping named;

  DWORD wait(DWORD ms) override {
    struct timespec until = plat::deadlineAfter(ms == INFINITE ? 0 : ms);
    lockState(&block->lock);
    while (!block->signalled) {
      if (ms == 0) break;
      int rc = ms == INFINITE ? pthread_cond_wait(&block->cond, &block->lock)
                              : pthread_cond_timedwait(&block->cond, &block->lock, &until);
      if (rc == EOWNERDEAD) pthread_mutex_consistent(&block->lock);
      if (rc == ETIMEDOUT) break;
    }
    bool got = block->signalled != 0;
    if (got && !block->manualReset) block->signalled = 0;
    pthread_mutex_unlock(&block->lock);
    return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  void set(bool on) {
    lockState(&block->lock);
    block->signalled = on;
    if (on) pthread_cond_broadcast(&block->cond);
    pthread_mutex_unlock(&block->lock);
  }
};

struct EventInit {
  bool manual, initial;
};

HANDLE openEvent(LPCSTR name, bool create, bool manual, bool initial) {
  auto ev = std::make_shared<Event>();
  if (!name) {
    initEventBlock(&ev->own, false, manual, initial);
    ev->block = &ev->own;
  } else {
    EventInit init{manual, initial};
    auto initFn = [](void* addr, size_t, void* ctx) {
      auto* i = static_cast<EventInit*>(ctx);
      initEventBlock(static_cast<EventBlock*>(addr), true, i->manual, i->initial);
    };
    if (!plat::openNamed("event", name, sizeof(EventBlock), !create, ev->named, initFn, &init)) return nullptr;
    ev->block = static_cast<EventBlock*>(ev->named.addr);
  }
  HANDLE h = plat::handleInsert(ev);
  SetLastError(name && !ev->named.fresh ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

// ---- mutexes ---------------------------------------------------------------------

// The owning thread and its count of acquisitions are kept beside the mutex,
// written only by the owner while it holds it, so that a release by a thread
// that does not own the mutex is refused without unlocking it.
struct MutexBlock {
  pthread_mutex_t mutex;
  pid_t owner;
  unsigned count;
};

pid_t currentTid() { return (pid_t)GetCurrentThreadId(); }

// Notes that this thread got the mutex (abandoned: from an owner that ended).
void noteOwner(MutexBlock* b, bool abandoned) {
  if (!abandoned && __atomic_load_n(&b->owner, __ATOMIC_RELAXED) == currentTid()) {
    ++b->count;
    return;
  }
  __atomic_store_n(&b->owner, currentTid(), __ATOMIC_RELAXED);
  b->count = 1;
}

class Mutex : public plat::Object {
 public:
  MutexBlock* block = nullptr;
  plat::NamedMapping named;

  // A thread may close its last handle to a mutex it still owns; the mutex then
  // stays on that thread's robust list, so its memory must stay mapped (and an
  // unnamed one allocated) for good.
  ~Mutex() override { named.addr = nullptr; }

  DWORD wait(DWORD ms) override {
    int rc = lockTimed(&block->mutex, ms);
    if (rc == 0) {
      noteOwner(block, false);
      return WAIT_OBJECT_0;
    }
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&block->mutex);
      noteOwner(block, true);
      return WAIT_ABANDONED;
    }
    if (rc == EBUSY || rc == ETIMEDOUT) return WAIT_TIMEOUT;
    return plat::fail(plat::win32FromErrno(rc), WAIT_FAILED);
  }
};

HANDLE openMutex(LPCSTR name, bool create, bool initialOwner) {
  auto mx = std::make_shared<Mutex>();
  if (!name) {
    mx->block = new MutexBlock();
    initMutex(&mx->block->mutex, false, true);
  } else {
    auto initFn = [](void* addr, size_t, void*) {
      auto* b = static_cast<MutexBlock*>(addr);
      initMutex(&b->mutex, true, true);
      b->owner = 0;
      b->count = 0;
    };
    if (!plat::openNamed("mutex", name, sizeof(MutexBlock), !create, mx->named, initFn, nullptr)) return nullptr;
    mx->block = static_cast<MutexBlock*>(mx->named.addr);
  }
  bool fresh = !name || mx->named.fresh;
  // As on the platform, only the creator of a mutex gets the initial ownership.
  if (fresh && initialOwner) {
    pthread_mutex_lock(&mx->block->mutex);
    noteOwner(mx->block, false);
  }
  HANDLE h = plat::handleInsert(mx);
  SetLastError(fresh ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return h;
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (plat::faultHit("CreateEventA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HANDLE) nullptr);
  return openEvent(lpName, true, bManualReset != 0, bInitialState != 0);
}

extern "C" HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  if (plat::faultHit("OpenEventA")) return plat::fail(ERROR_FILE_NOT_FOUND, (HANDLE) nullptr);
  if (!lpName) return plat::fail(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
  return openEvent(lpName, false, false, false);
}

extern "C" BOOL WINAPI SetEvent(HANDLE h) {
  auto ev = plat::handleAs<Event>(h);
  if (!ev || plat::faultHit("SetEvent")) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  ev->set(true);
  return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE h) {
  auto ev = plat::handleAs<Event>(h);
  if (!ev) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  ev->set(false);
  return TRUE;
}

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  if (plat::faultHit("CreateMutexA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HANDLE) nullptr);
  return openMutex(lpName, true, bInitialOwner != 0);
}

extern "C" HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
  if (plat::faultHit("OpenMutexA")) return plat::fail(ERROR_FILE_NOT_FOUND, (HANDLE) nullptr);
  if (!lpName) return plat::fail(ERROR_INVALID_PARAMETER, (HANDLE) nullptr);
  return openMutex(lpName, false, false);
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE h) {
  auto mx = plat::handleAs<Mutex>(h);
  if (!mx) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (plat::faultHit("ReleaseMutex")) return plat::fail(ERROR_NOT_OWNER, FALSE);
  MutexBlock* b = mx->block;
  if (__atomic_load_n(&b->owner, __ATOMIC_RELAXED) != currentTid()) return plat::fail(ERROR_NOT_OWNER, FALSE);
  if (--b->count == 0) __atomic_store_n(&b->owner, 0, __ATOMIC_RELAXED);
  int rc = pthread_mutex_unlock(&b->mutex);
  return rc == 0 ? TRUE : plat::fail(ERROR_NOT_OWNER, FALSE);
}
