// The process's handle table: handles are small multiples of four, as the
// platform's are, each naming one reference to a kernel object.
#include <errno.h>
#include <time.h>

#include <mutex>
#include <vector>

#include "internal.h"

namespace {

struct HandleTable {
  std::mutex lock;
  std::vector<std::shared_ptr<plat::Object>> slots;
};

HandleTable& table() {
  static HandleTable* t = new HandleTable;  // outlives every static destructor
  return *t;
}

size_t slotOf(HANDLE h) {
  uintptr_t v = (uintptr_t)h;
  if (v < 4 || (v & 3) != 0) return (size_t)-1;
  return v / 4 - 1;
}

}  // namespace

namespace plat {

HANDLE handleInsert(std::shared_ptr<Object> obj) {
  HandleTable& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  for (size_t i = 0; i < t.slots.size(); ++i) {
    if (!t.slots[i]) {
      t.slots[i] = std::move(obj);
      return (HANDLE)(uintptr_t)((i + 1) * 4);
    }
  }
  t.slots.push_back(std::move(obj));
  return (HANDLE)(uintptr_t)(t.slots.size() * 4);
}

std::shared_ptr<Object> handleLookup(HANDLE h) {
  HandleTable& t = table();
  size_t i = slotOf(h);
  std::lock_guard<std::mutex> g(t.lock);
  if (i >= t.slots.size()) return nullptr;
  return t.slots[i];
}

bool handleClose(HANDLE h) {
  std::shared_ptr<Object> dropped;  // destroyed outside the table's lock
  HandleTable& t = table();
  size_t i = slotOf(h);
  std::lock_guard<std::mutex> g(t.lock);
  if (i >= t.slots.size() || !t.slots[i]) return false;
  dropped = std::move(t.slots[i]);
  return true;
}

struct timespec deadlineAfter(DWORD ms, clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

unsigned long long monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long long)ts.tv_sec * 1000ull + (unsigned long long)ts.tv_nsec / 1000000ull;
}

}  // namespace plat

extern "C" BOOL WINAPI CloseHandle(HANDLE h) {
  if (h == plat::currentProcessPseudo() || h == plat::currentThreadPseudo()) return TRUE;
  if (plat::faultHit("CloseHandle")) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (!plat::handleClose(h)) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD dwMilliseconds) {
  if (plat::faultHit("WaitForSingleObject")) return plat::fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  std::shared_ptr<plat::Object> obj = plat::handleLookup(h);
  if (!obj) return plat::fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  if (dwMilliseconds > 1 && dwMilliseconds != INFINITE && plat::clockFrozen())
    return plat::clockWait(*obj, dwMilliseconds);
  return obj->wait(dwMilliseconds);
}

extern "C" BOOL WINAPI DuplicateHandle(HANDLE hSourceProcess, HANDLE hSource, HANDLE hTargetProcess, LPHANDLE lpTarget,
                                       DWORD, BOOL, DWORD) {
  if (hSourceProcess != plat::currentProcessPseudo() || hTargetProcess != plat::currentProcessPseudo())
    return plat::fail(ERROR_NOT_SUPPORTED, FALSE);
  std::shared_ptr<plat::Object> obj = plat::handleLookup(hSource);
  if (!obj || !lpTarget) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  *lpTarget = plat::handleInsert(std::move(obj));
  return TRUE;
}
