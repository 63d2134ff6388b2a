// The machine-wide window table and the process's own records of its classes
// and windows, which the window services (window.cpp) and the message queues
// (message_queue.cpp, message.cpp) share.
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "windowing.h"

namespace plat {
namespace user {

namespace {

void initTable(void* addr, size_t, void*) {
  Table* t = static_cast<Table*>(addr);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutex_init(&t->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (getrandom(&t->instance, sizeof t->instance, 0) != (ssize_t)sizeof t->instance)
    t->instance = (unsigned long long)monotonicMs() ^ ((unsigned long long)getpid() << 32);
  t->nextSerial = 1;
  t->nextCreated = 1;
}

struct Tables {
  std::mutex lock;
  // Every table stays mapped while the process runs: a table starts afresh
  // only when no process of the machine has it open.
  std::map<std::string, std::unique_ptr<NamedMapping>> byRoot;
};

Tables& tables() {
  static Tables* t = new Tables;  // used from thread-exit work after static destructors
  return *t;
}

}  // namespace

void freeWindowSlot(WindowSlot& w) {
  w.hwnd = 0;
  ++w.reuse;
  if (w.reuse == 0) w.reuse = 1;
}

LocalState& local() {
  static LocalState* s = new LocalState;
  return *s;
}

Table* table() {
  std::string root = machineRoot();
  Tables& ts = tables();
  std::lock_guard<std::mutex> g(ts.lock);
  auto it = ts.byRoot.find(root);
  if (it != ts.byRoot.end()) return static_cast<Table*>(it->second->addr);
  if (!makeDirs(root)) return failErrno((Table*)nullptr);
  auto mapping = std::make_unique<NamedMapping>();
  if (!openNamed("user", "window-table", sizeof(Table), false, *mapping, initTable, nullptr)) return nullptr;
  Table* t = static_cast<Table*>(mapping->addr);
  ts.byRoot[root] = std::move(mapping);
  // What processes that have ended left in the table goes when the next
  // process comes.
  {
    TableLock tl(t);
    for (WindowSlot& w : t->windows)
      if (w.hwnd) slotProcessAlive(t, w.token);
    for (QueueSlot& q : t->queues)
      if (q.serial) slotProcessAlive(t, q.token);
  }
  return t;
}

TableLock::TableLock(Table* t) : t_(t) {
  // Every change under the lock is a few plain stores that leave the table
  // consistent, so a holder that died is simply taken over.
  if (pthread_mutex_lock(&t_->lock) == EOWNERDEAD) pthread_mutex_consistent(&t_->lock);
}

TableLock::~TableLock() { pthread_mutex_unlock(&t_->lock); }

WindowSlot* windowSlot(Table* t, HWND hwnd) {
  ULONG_PTR v = (ULONG_PTR)hwnd;
  if (v >> 32) return nullptr;
  DWORD index = (DWORD)(v & 0xFFFF) - kHandleBase;
  if (index >= kMaxWindows) return nullptr;
  WindowSlot& w = t->windows[index];
  return w.hwnd != 0 && w.hwnd == (DWORD)v ? &w : nullptr;
}

bool slotProcessAlive(Table* t, const char* token) {
  if (strcmp(token, processToken().c_str()) == 0) return true;
  if (processAlive(token)) return true;
  std::string gone(token);
  for (WindowSlot& w : t->windows)
    if (w.hwnd && gone == w.token) freeWindowSlot(w);
  for (QueueSlot& q : t->queues)
    if (q.serial && gone == q.token) q.serial = 0;
  return false;
}

void releaseQueueSlot(Table* t, DWORD queue) {
  if (queue >= kMaxQueues) return;
  for (WindowSlot& w : t->windows)
    if (w.hwnd && w.queue == queue && w.pid == t->queues[queue].pid) freeWindowSlot(w);
  t->queues[queue].serial = 0;
}

std::string queueSocketName(const Table* t, DWORD serial) {
  char name[64];
  snprintf(name, sizeof name, "kv-user-%016llx-%u", t->instance, serial);
  return name;
}

DWORD windowOwner(HWND hWnd, LPDWORD lpdwProcessId) {
  Table* t = table();
  if (!t) return 0;
  TableLock tl(t);
  WindowSlot* w = windowSlot(t, hWnd);
  if (!w || !slotProcessAlive(t, w->token)) return fail(ERROR_INVALID_WINDOW_HANDLE, 0u);
  if (lpdwProcessId) *lpdwProcessId = w->pid;
  return w->tid;
}

WNDPROC localProc(HWND hwnd, DWORD* ownerTid) {
  LocalState& s = local();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return nullptr;
  if (ownerTid) *ownerTid = it->second.tid;
  return it->second.proc;
}

void forgetThreadWindows(DWORD tid) {
  LocalState& s = local();
  std::lock_guard<std::mutex> g(s.lock);
  for (auto it = s.windows.begin(); it != s.windows.end();) {
    if (it->second.tid == tid) {
      s.windowClass.erase(it->first);
      it = s.windows.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace user
}  // namespace plat
