// Thread message queues (message_queue.cpp): the transport under the message
// API of message.cpp.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "windowing.h"

namespace plat {
namespace user {

enum Kind : DWORD { kPost = 1, kSend = 2, kReply = 3 };
enum ReplyStatus : DWORD { kDelivered = 0, kNoWindow = 1 };

struct Wire {
  DWORD kind;
  DWORD msg;
  DWORD hwnd;
  DWORD status;
  unsigned long long seq;
  unsigned long long postedNs;
  unsigned long long wParam;
  long long lParam;
};
static_assert(sizeof(Wire) == 48, "one record per message");

// The monotonic time in ns, as posted records carry it.
unsigned long long nowNs();

struct Conn {
  int fd;
  int receiveTimeoutMs = 0;  // as last set with SO_RCVTIMEO; 0: none
  explicit Conn(int f) : fd(f) {}
  ~Conn() { close(fd); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
};

struct Posted {
  unsigned long long postedNs;
  MSG msg;
};

struct PendingSend {
  std::shared_ptr<Conn> from;
  Wire wire;
};

struct Reply {
  DWORD status;
  LRESULT result;
};

enum class Outcome { kAnswered, kTimedOut, kGone };

inline bool msgInRange(UINT message, UINT first, UINT last) {
  return (first == 0 && last == 0) || (message >= first && message <= last);
}

class ThreadQueue {
 public:
  std::string root;
  Table* table = nullptr;
  DWORD slot = (DWORD)-1;
  DWORD serial = 0;
  DWORD tid = 0;
  int listenFd = -1;
  bool listening = false;
  std::unordered_map<int, std::shared_ptr<Conn>> incoming;
  std::vector<struct pollfd> looking;
  std::unordered_map<DWORD, std::shared_ptr<Conn>> outgoing;  // by the target queue's serial
  std::deque<Posted> posted;                                  // in posting order
  std::deque<PendingSend> sent;
  bool quit = false;
  int quitCode = 0;
  unsigned long long nextSeq = 1;
  std::vector<unsigned long long> awaiting;   // sends of this thread still waiting, innermost last
  std::map<unsigned long long, Reply> early;  // answers to outer sends that came in during inner ones

  static ThreadQueue* create(const std::string& root);
  ~ThreadQueue();

  QueueSlot& shared() { return table->queues[slot]; }
  void touch() { __atomic_store_n(&shared().checked, monotonicMs(), __ATOMIC_RELAXED); }
  void setWaiting(bool on) { __atomic_store_n(&shared().waiting, on ? 1u : 0u, __ATOMIC_RELAXED); }

  void addPosted(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, unsigned long long postedNs);

  void take(const Wire& w, const std::shared_ptr<Conn>& from);

  // Reads every record a connection holds; forgets it once its sender is gone.
  void readAll(const std::shared_ptr<Conn>& conn);

  // Reads what has arrived, waiting up to `timeoutMs` (-1: until something
  // does) when nothing has.
  void drain(int timeoutMs);

  void acceptAll();

  void dispatchSent();

  bool quitMatches(UINT first, UINT last) const { return quit && msgInRange(WM_QUIT, first, last); }

  std::deque<Posted>::iterator findPosted(HWND filter, UINT first, UINT last);

  bool take(MSG* out, HWND filter, UINT first, UINT last, UINT flags);

  bool peek(MSG* out, HWND filter, UINT first, UINT last, UINT flags);

  void get(MSG* out, HWND filter, UINT first, UINT last);

  std::shared_ptr<Conn> connectTo(DWORD targetSerial);

  // Writes a record; when the receiver's buffer is full, waits for room until
  // the deadline (0: do not wait). Answers 0, EAGAIN (no room in time) or the
  // error that ended the connection.
  int write(const std::shared_ptr<Conn>& conn, const Wire& w, unsigned long long deadlineMs);

  void dropConnection(DWORD targetSerial) { outgoing.erase(targetSerial); }

  // Takes one record from the connection a send went out on. Answers false
  // when the receiver has gone.
  bool readReply(const std::shared_ptr<Conn>& conn, unsigned long long seq, int flags, bool* answered, LRESULT* result,
                 DWORD* status);

  // Waits for the answer to send `seq` on `conn` until the deadline (~0: none).
  Outcome awaitReply(const std::shared_ptr<Conn>& conn, unsigned long long seq, unsigned long long deadlineMs,
                     bool block, LRESULT* result, DWORD* status);
};

// This thread's queue on the current machine root, made on first use.
ThreadQueue* currentQueue();

}  // namespace user
}  // namespace plat
