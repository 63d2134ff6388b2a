// Message queues, the transport under the message API (message.cpp): one per
// thread, across every process of the machine.
//
// A queue is a listening SOCK_SEQPACKET socket in the abstract namespace, named
// after its slot in the machine-wide window table (windowing.h), and the
// connections accepted from it. A thread that posts or sends to another queue
// connects once and keeps the connection; a sent message is answered on the
// connection it came in on. When the owning process dies, however it dies, the
// kernel closes its sockets: a waiting sender sees its connection hang up at
// once, and a new connect is refused.
//
// Posted messages from one sender arrive in the order they were written. Each
// record carries the monotonic time it was posted at, and the receiver merges
// the connections by that time, after reading until one look over all of them
// finds nothing more: a post that happened before another was written before
// it, so it is read no later than that one and sorts ahead of it.
//
// The waits are plain poll and recv calls on the sockets, so the kernel wakes
// the receiver the way it wakes a reader of a single socket.
#include "message_queue.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace plat {
namespace user {

namespace {

bool msgMatches(const MSG& m, HWND filter, UINT first, UINT last) {
  if (filter == (HWND)(LONG_PTR)-1) {
    if (m.hwnd) return false;
  } else if (filter && m.hwnd != filter) {
    return false;
  }
  return msgInRange(m.message, first, last);
}

thread_local ThreadQueue* tlsQueue = nullptr;

pthread_key_t queueKey() {
  static pthread_key_t key;
  static std::once_flag once;
  // The key's destructor ends a thread's queue when the thread ends; the main
  // thread's queue simply goes with its process.
  std::call_once(once, [] {
    pthread_key_create(&key, [](void* q) {
      delete static_cast<ThreadQueue*>(q);
      tlsQueue = nullptr;
    });
  });
  return key;
}

// The common case, a root named by the environment, answered without building
// the root's name.
bool sameRootAsEnvironment(const std::string& root) {
  const char* env = getenv(PLAT_ROOT_ENV);
  if (!env || !*env) return false;
  size_t n = strlen(env);
  while (n > 1 && env[n - 1] == '/') --n;
  return root.size() == n && memcmp(root.data(), env, n) == 0;
}

}  // namespace

unsigned long long nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec;
}

void ThreadQueue::addPosted(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, unsigned long long postedNs) {
  Posted p = {postedNs, MSG{hwnd, msg, wp, lp, (DWORD)(postedNs / 1000000ull), POINT{0, 0}}};
  auto at = std::upper_bound(posted.begin(), posted.end(), postedNs,
                             [](unsigned long long ns, const Posted& q) { return ns < q.postedNs; });
  posted.insert(at, p);
}

void ThreadQueue::take(const Wire& w, const std::shared_ptr<Conn>& from) {
  if (w.kind == kSend) {
    sent.push_back(PendingSend{from, w});
  } else if (w.kind == kPost) {
    HWND hwnd = (HWND)(ULONG_PTR)w.hwnd;
    DWORD owner = 0;
    // A post that raced with the window's destruction goes with the window.
    if (hwnd && (!localProc(hwnd, &owner) || owner != tid)) return;
    addPosted(hwnd, w.msg, (WPARAM)w.wParam, (LPARAM)w.lParam, w.postedNs);
  }
}

void ThreadQueue::readAll(const std::shared_ptr<Conn>& conn) {
  const unsigned kBatch = 16;
  Wire records[kBatch];
  struct iovec iov[kBatch];
  struct mmsghdr hdrs[kBatch];
  for (;;) {
    for (unsigned i = 0; i < kBatch; ++i) {
      iov[i] = {&records[i], sizeof(Wire)};
      hdrs[i] = {};
      hdrs[i].msg_hdr.msg_iov = &iov[i];
      hdrs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(conn->fd, hdrs, kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    for (int i = 0; i < n; ++i) {
      if (hdrs[i].msg_len != sizeof(Wire)) {
        n = -1;
        break;
      }
      take(records[i], conn);
    }
    if (n < 0 || n == 0) {
      incoming.erase(conn->fd);
      return;
    }
    if ((unsigned)n < kBatch) return;
  }
}

void ThreadQueue::drain(int timeoutMs) {
  for (bool again = true; again; timeoutMs = 0) {
    looking.clear();
    for (auto& c : incoming) looking.push_back({c.first, POLLIN, 0});
    // The listener goes last: a sender that connected before it wrote a
    // post read here is then accepted in the same look.
    looking.push_back({listenFd, POLLIN, 0});
    if (timeoutMs != 0) setWaiting(true);
    int n;
    while ((n = poll(looking.data(), looking.size(), timeoutMs)) < 0 && errno == EINTR) {
    }
    if (timeoutMs != 0) setWaiting(false);
    touch();
    // poll looks at the connections one after the other: with several of
    // them, a post that happened before one read here may have reached a
    // connection after poll passed it. Another look finds it.
    again = n > 0 && looking.size() > 2;
    for (const struct pollfd& p : looking) {
      if (!p.revents) continue;
      if (p.fd == listenFd) {
        acceptAll();
        continue;
      }
      auto it = incoming.find(p.fd);
      if (it != incoming.end()) readAll(std::shared_ptr<Conn>(it->second));
    }
  }
}

void ThreadQueue::acceptAll() {
  int c;
  while ((c = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
    auto conn = std::make_shared<Conn>(c);
    incoming[c] = conn;
    readAll(conn);
  }
}

void ThreadQueue::dispatchSent() {
  while (!sent.empty()) {
    PendingSend p = std::move(sent.front());
    sent.pop_front();
    HWND hwnd = (HWND)(ULONG_PTR)p.wire.hwnd;
    DWORD owner = 0;
    WNDPROC proc = localProc(hwnd, &owner);
    Wire r = p.wire;
    r.kind = kReply;
    r.status = kDelivered;
    r.lParam = 0;
    if (!proc || owner != tid) {
      r.status = kNoWindow;
    } else {
      r.lParam = (long long)proc(hwnd, p.wire.msg, (WPARAM)p.wire.wParam, (LPARAM)p.wire.lParam);
    }
    // A sender that gave up or went away finds nothing, or nobody reads it.
    (void)!send(p.from->fd, &r, sizeof r, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

std::deque<Posted>::iterator ThreadQueue::findPosted(HWND filter, UINT first, UINT last) {
  return std::find_if(posted.begin(), posted.end(),
                      [&](const Posted& p) { return msgMatches(p.msg, filter, first, last); });
}

bool ThreadQueue::take(MSG* out, HWND filter, UINT first, UINT last, UINT flags) {
  auto it = findPosted(filter, first, last);
  if (it != posted.end()) {
    *out = it->msg;
    if (flags & PM_REMOVE) posted.erase(it);
    return true;
  }
  if (quitMatches(first, last)) {
    *out = MSG{nullptr, WM_QUIT, (WPARAM)quitCode, 0, GetTickCount(), POINT{0, 0}};
    if (flags & PM_REMOVE) quit = false;
    return true;
  }
  return false;
}

bool ThreadQueue::peek(MSG* out, HWND filter, UINT first, UINT last, UINT flags) {
  drain(0);
  dispatchSent();
  return take(out, filter, first, last, flags);
}

void ThreadQueue::get(MSG* out, HWND filter, UINT first, UINT last) {
  for (;;) {
    // A message that is already here is handed out only after a look at
    // what arrived meanwhile; otherwise the look waits for something.
    bool ready = !sent.empty() || quitMatches(first, last) || findPosted(filter, first, last) != posted.end();
    drain(ready ? 0 : -1);
    dispatchSent();
    if (take(out, filter, first, last, PM_REMOVE)) return;
  }
}

std::shared_ptr<Conn> ThreadQueue::connectTo(DWORD targetSerial) {
  auto it = outgoing.find(targetSerial);
  if (it != outgoing.end()) return it->second;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  std::string name = queueSocketName(table, targetSerial);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
  int rc;
  while ((rc = connect(fd, (struct sockaddr*)&addr, len)) < 0 && errno == EINTR) {
  }
  if (rc < 0) {
    close(fd);
    return nullptr;
  }
  auto conn = std::make_shared<Conn>(fd);
  outgoing[targetSerial] = conn;
  return conn;
}

int ThreadQueue::write(const std::shared_ptr<Conn>& conn, const Wire& w, unsigned long long deadlineMs) {
  for (;;) {
    if (send(conn->fd, &w, sizeof w, MSG_NOSIGNAL | MSG_DONTWAIT) == (ssize_t)sizeof w) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    unsigned long long now = monotonicMs();
    if (deadlineMs <= now) return EAGAIN;
    struct pollfd p = {conn->fd, POLLOUT, 0};
    poll(&p, 1, deadlineMs == ~0ull ? -1 : (int)std::min<unsigned long long>(deadlineMs - now, 1 << 30));
  }
}

bool ThreadQueue::readReply(const std::shared_ptr<Conn>& conn, unsigned long long seq, int flags, bool* answered,
                            LRESULT* result, DWORD* status) {
  Wire w;
  ssize_t got = recv(conn->fd, &w, sizeof w, flags);
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  if (got != (ssize_t)sizeof w) return false;
  if (w.kind != kReply) return true;
  if (w.seq == seq) {
    *status = w.status;
    *result = (LRESULT)w.lParam;
    *answered = true;
  } else if (std::find(awaiting.begin(), awaiting.end(), w.seq) != awaiting.end()) {
    early[w.seq] = Reply{w.status, (LRESULT)w.lParam};
  }
  return true;
}

Outcome ThreadQueue::awaitReply(const std::shared_ptr<Conn>& conn, unsigned long long seq,
                                unsigned long long deadlineMs, bool block, LRESULT* result, DWORD* status) {
  for (;;) {
    auto e = early.find(seq);
    if (e != early.end()) {
      *status = e->second.status;
      *result = e->second.result;
      early.erase(e);
      return Outcome::kAnswered;
    }
    int timeout = -1;
    if (deadlineMs != ~0ull) {
      unsigned long long now = monotonicMs();
      if (now >= deadlineMs) return Outcome::kTimedOut;
      timeout = (int)std::min<unsigned long long>(deadlineMs - now, 1 << 30);
    }
    bool answered = false;
    if (block) {
      // SMTO_BLOCK: the thread handles nothing else while it waits, so it
      // simply blocks on the connection, with the socket's own time-out.
      if (timeout > 0 && conn->receiveTimeoutMs != timeout) {
        struct timeval tv = {timeout / 1000, (timeout % 1000) * 1000};
        setsockopt(conn->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        conn->receiveTimeoutMs = timeout;
      } else if (timeout < 0 && conn->receiveTimeoutMs != 0) {
        struct timeval tv = {0, 0};
        setsockopt(conn->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        conn->receiveTimeoutMs = 0;
      }
      if (!readReply(conn, seq, 0, &answered, result, status)) return Outcome::kGone;
      if (answered) return Outcome::kAnswered;
      continue;
    }
    // Otherwise it handles what other threads send it while it waits.
    std::vector<struct pollfd> p = {{conn->fd, POLLIN, 0}, {listenFd, POLLIN, 0}};
    for (auto& c : incoming) p.push_back({c.first, POLLIN, 0});
    setWaiting(true);
    int n = poll(p.data(), p.size(), timeout);
    setWaiting(false);
    if (n < 0 && errno != EINTR) return Outcome::kGone;
    if (n <= 0) continue;
    if (p[0].revents) {
      if (!readReply(conn, seq, MSG_DONTWAIT, &answered, result, status)) return Outcome::kGone;
      if (answered) return Outcome::kAnswered;
    }
    if (n > (p[0].revents ? 1 : 0)) {
      drain(0);
      dispatchSent();
    }
  }
}

ThreadQueue* ThreadQueue::create(const std::string& root) {
  Table* t = plat::user::table();
  if (!t) return nullptr;
  auto q = std::make_unique<ThreadQueue>();
  q->root = root;
  q->table = t;
  q->tid = GetCurrentThreadId();
  {
    TableLock tl(t);
    for (int pass = 0; pass < 2 && q->slot == (DWORD)-1; ++pass) {
      for (DWORD i = 0; i < kMaxQueues; ++i) {
        if (t->queues[i].serial == 0) {
          q->slot = i;
          break;
        }
      }
      // Full: queues of processes that have gone make room.
      if (q->slot == (DWORD)-1)
        for (QueueSlot& s : t->queues)
          if (s.serial) slotProcessAlive(t, s.token);
    }
    if (q->slot == (DWORD)-1) return fail(ERROR_NOT_ENOUGH_MEMORY, (ThreadQueue*)nullptr);
    if (++t->nextSerial == 0) t->nextSerial = 1;
    q->serial = t->nextSerial;
    QueueSlot& s = t->queues[q->slot];
    // Reserved without a thread id: nobody finds it before its socket listens.
    s.tid = 0;
    s.pid = GetCurrentProcessId();
    s.waiting = 0;
    s.checked = monotonicMs();
    strncpy(s.token, processToken().c_str(), kTokenBytes - 1);
    s.token[kTokenBytes - 1] = '\0';
    s.serial = q->serial;
  }
  q->listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  std::string name = queueSocketName(t, q->serial);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, name.data(), name.size());
  socklen_t len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
  if (q->listenFd < 0 || bind(q->listenFd, (struct sockaddr*)&addr, len) != 0 || listen(q->listenFd, SOMAXCONN) != 0) {
    DWORD error = win32FromErrno(errno);
    q.reset();
    return fail(error, (ThreadQueue*)nullptr);
  }
  {
    TableLock tl(t);
    t->queues[q->slot].tid = q->tid;
  }
  q->listening = true;
  return q.release();
}

ThreadQueue::~ThreadQueue() {
  if (slot != (DWORD)-1) {
    TableLock tl(table);
    if (table->queues[slot].serial == serial) releaseQueueSlot(table, slot);
  }
  if (listening) forgetThreadWindows(tid);
  outgoing.clear();
  incoming.clear();
  if (listenFd >= 0) close(listenFd);
}

ThreadQueue* currentQueue() {
  if (tlsQueue && sameRootAsEnvironment(tlsQueue->root)) return tlsQueue;
  std::string root = machineRoot();
  if (tlsQueue && tlsQueue->root == root) return tlsQueue;
  pthread_key_t key = queueKey();
  delete tlsQueue;
  tlsQueue = ThreadQueue::create(root);
  pthread_setspecific(key, tlsQueue);
  return tlsQueue;
}

DWORD currentQueueSlot() {
  ThreadQueue* q = currentQueue();
  return q ? q->slot : (DWORD)-1;
}

void purgeWindowMessages(HWND hwnd) {
  if (!tlsQueue) return;
  auto& posted = tlsQueue->posted;
  posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const Posted& p) { return p.msg.hwnd == hwnd; }),
               posted.end());
}

}  // namespace user
}  // namespace plat
