// Internals shared by the window services (window.cpp) and the message queues
// (message_queue.cpp, message.cpp): the machine-wide window table and the
// process's own records of its classes and windows (windowing.cpp).
//
// The machine-wide table is one named object of the machine, guarded by one
// robust process-shared mutex. It holds the atom table, one slot per thread
// queue and one slot per window. A slot whose process has gone (however it
// ended) is seen as free by whoever looks at it next: every slot carries its
// process's liveness token.
#pragma once

#include <pthread.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"

namespace plat {
namespace user {

const unsigned kMaxAtoms = 4096;
const unsigned kMaxQueues = 1024;
const unsigned kMaxWindows = 1024;
const unsigned kNameBytes = 256;
const unsigned kTokenBytes = 64;
const ATOM kFirstAtom = 0xC000;
// A window's handle is its slot index plus this base in the low word and the
// slot's reuse count in the high word, so handles stay unique for long.
const DWORD kHandleBase = 0x10;

const DWORD kWindowMessageOnly = 1;
const DWORD kWindowChild = 2;

struct QueueSlot {
  DWORD serial;  // 0 = free; names the queue's socket
  DWORD tid;
  DWORD pid;
  DWORD waiting;               // 1 while the thread blocks for new messages
  unsigned long long checked;  // monotonic ms of the thread's last look at its queue
  char token[kTokenBytes];
};

struct WindowSlot {
  DWORD hwnd;  // 0 = free
  DWORD queue;
  DWORD pid;
  DWORD tid;
  DWORD flags;
  DWORD created;  // creation order, for the most recent match first
  WORD reuse;
  ATOM classAtom;
  char className[kNameBytes];
  char title[kNameBytes];
  char token[kTokenBytes];
};

struct Table {
  pthread_mutex_t lock;
  unsigned long long instance;  // random, names this table's sockets
  DWORD nextSerial;
  DWORD nextCreated;
  DWORD atomCount;
  char atoms[kMaxAtoms][kNameBytes];
  QueueSlot queues[kMaxQueues];
  WindowSlot windows[kMaxWindows];
};

// The table of the current machine root, mapped for the rest of the process.
Table* table();

class TableLock {
 public:
  explicit TableLock(Table* t);
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  Table* t_;
};

// Slot of a live window handle, or null; with `table` locked. Does not test
// the owner's liveness.
WindowSlot* windowSlot(Table* t, HWND hwnd);
// True when the slot's process still runs; frees every slot of a process
// that has gone. With `table` locked.
bool slotProcessAlive(Table* t, const char* token);
// Frees the windows of a queue slot and the slot itself. With `table` locked.
void releaseQueueSlot(Table* t, DWORD queue);

// The abstract socket name of a queue of this table.
std::string queueSocketName(const Table* t, DWORD serial);

// The process's own record of one of its windows.
struct LocalWindow {
  HWND hwnd;
  DWORD tid;
  WNDPROC proc;
  bool destroying;
};

// Frees a window slot; its handle is not given out again for long. With
// `table` locked.
void freeWindowSlot(WindowSlot& w);

// A class belongs to the machine it was registered on: its atom is that
// machine's.
struct LocalClass {
  std::string name;
  ATOM atom;
  WNDPROC proc;
  std::string root;
};

struct LocalState {
  std::mutex lock;
  std::map<std::string, LocalClass> classes;  // by lower-case name
  std::unordered_map<HWND, LocalWindow> windows;
  std::unordered_map<HWND, std::string> windowClass;
};

// The process's records, for the rest of the process.
LocalState& local();

// The thread that owns a live window, and its process in `lpdwProcessId`;
// 0 (ERROR_INVALID_WINDOW_HANDLE) for a window that is not, or whose process
// has gone.
DWORD windowOwner(HWND hWnd, LPDWORD lpdwProcessId);

// The procedure of a window of this process, or null.
WNDPROC localProc(HWND hwnd, DWORD* ownerTid);
// Forgets the process's records of windows of a thread whose queue ends.
void forgetThreadWindows(DWORD tid);

// The calling thread's queue: the slot it has in the table of the current
// root (created on first use), or (DWORD)-1 when it cannot be created.
DWORD currentQueueSlot();
// Drops posted messages for a window that is being destroyed.
void purgeWindowMessages(HWND hwnd);

inline std::string lowerAscii(const char* s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}

}  // namespace user
}  // namespace plat
