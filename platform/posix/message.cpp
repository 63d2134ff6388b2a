// The message API (PeekMessageA, GetMessageA, PostMessageA, SendMessageA ...)
// over the thread queues of message_queue.cpp: finding the queue of a window or
// a thread, posting to it, and sending to it and waiting for the answer.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "message_queue.h"

namespace plat {
namespace user {

namespace {

// A thread that has not looked at its queue for this long counts as hung.
const unsigned long long kHungAfterMs = 5000;

struct Target {
  DWORD serial = 0;
  DWORD tid = 0;
  DWORD pid = 0;
  bool hung = false;
  char token[kTokenBytes] = {};
};

void copyTarget(const QueueSlot& q, DWORD tid, DWORD pid, Target& out) {
  out.serial = q.serial;
  out.tid = tid;
  out.pid = pid;
  unsigned long long checked = __atomic_load_n(&q.checked, __ATOMIC_RELAXED);
  out.hung = !__atomic_load_n(&q.waiting, __ATOMIC_RELAXED) && monotonicMs() - checked > kHungAfterMs;
  memcpy(out.token, q.token, kTokenBytes);
}

bool windowTarget(ThreadQueue* q, HWND hwnd, Target& out) {
  TableLock tl(q->table);
  WindowSlot* w = windowSlot(q->table, hwnd);
  if (!w || w->queue >= kMaxQueues || q->table->queues[w->queue].serial == 0)
    return fail(ERROR_INVALID_WINDOW_HANDLE, false);
  copyTarget(q->table->queues[w->queue], w->tid, w->pid, out);
  return true;
}

bool threadTarget(ThreadQueue* q, DWORD tid, Target& out) {
  TableLock tl(q->table);
  for (QueueSlot& s : q->table->queues) {
    if (s.serial && s.tid == tid && slotProcessAlive(q->table, s.token)) {
      copyTarget(s, s.tid, s.pid, out);
      return true;
    }
  }
  return fail(ERROR_INVALID_THREAD_ID, false);
}

bool isSelf(ThreadQueue* q, const Target& t) { return t.serial == q->serial; }

// The target's queue would not take the record: forget a process that has
// gone, and report the error the platform gives for it.
template <typename T>
T targetGone(ThreadQueue* q, const Target& t, DWORD error, T result) {
  q->dropConnection(t.serial);
  {
    TableLock tl(q->table);
    slotProcessAlive(q->table, t.token);
  }
  return fail(error, result);
}

BOOL postTo(ThreadQueue* q, const Target& t, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, DWORD goneError) {
  if (isSelf(q, t)) {
    q->addPosted(hwnd, msg, wp, lp, nowNs());
    return TRUE;
  }
  std::shared_ptr<Conn> conn = q->connectTo(t.serial);
  if (!conn) return targetGone(q, t, goneError, FALSE);
  Wire w = {kPost, msg, (DWORD)(ULONG_PTR)hwnd, 0, 0, nowNs(), (unsigned long long)wp, (long long)lp};
  int rc = q->write(conn, w, 0);
  if (rc == EAGAIN) return fail(ERROR_NOT_ENOUGH_QUOTA, FALSE);
  if (rc != 0) return targetGone(q, t, goneError, FALSE);
  return TRUE;
}

// Sends to a window and waits for its answer until `timeoutMs` (INFINITE:
// without limit). Answers TRUE with the window procedure's result when the
// message was handled.
BOOL sendTo(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT flags, DWORD timeoutMs, LRESULT* result) {
  ThreadQueue* q = currentQueue();
  if (!q) return FALSE;
  Target t;
  if (!windowTarget(q, hwnd, t)) return FALSE;
  if (isSelf(q, t)) {
    WNDPROC proc = localProc(hwnd, nullptr);
    if (!proc) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    *result = proc(hwnd, msg, wp, lp);
    return TRUE;
  }
  if ((flags & SMTO_ABORTIFHUNG) && t.hung) return fail(ERROR_TIMEOUT, FALSE);
  unsigned long long deadline = timeoutMs == INFINITE ? ~0ull : monotonicMs() + timeoutMs;
  std::shared_ptr<Conn> conn = q->connectTo(t.serial);
  if (!conn) return targetGone(q, t, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  unsigned long long seq = q->nextSeq++;
  Wire w = {kSend, msg, (DWORD)(ULONG_PTR)hwnd, 0, seq, nowNs(), (unsigned long long)wp, (long long)lp};
  int rc = q->write(conn, w, deadline);
  if (rc == EAGAIN) return fail(ERROR_TIMEOUT, FALSE);
  if (rc != 0) return targetGone(q, t, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  q->awaiting.push_back(seq);
  DWORD status = kNoWindow;
  Outcome outcome = q->awaitReply(conn, seq, deadline, (flags & SMTO_BLOCK) != 0, result, &status);
  q->awaiting.erase(std::find(q->awaiting.begin(), q->awaiting.end(), seq));
  if (outcome == Outcome::kTimedOut) return fail(ERROR_TIMEOUT, FALSE);
  if (outcome == Outcome::kGone) return targetGone(q, t, ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (status != kDelivered) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return TRUE;
}

bool validFilter(HWND filter) {
  return !filter || filter == (HWND)(LONG_PTR)-1 || localProc(filter, nullptr) || windowOwner(filter, nullptr);
}

}  // namespace

}  // namespace user
}  // namespace plat

using namespace plat::user;

extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (plat::faultHit("PeekMessageA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  if (!lpMsg) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  ThreadQueue* q = currentQueue();
  if (!q) return FALSE;
  if (!validFilter(hWnd)) return plat::fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return q->peek(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (plat::faultHit("GetMessageA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, -1);
  if (!lpMsg) return plat::fail(ERROR_INVALID_PARAMETER, -1);
  ThreadQueue* q = currentQueue();
  if (!q) return -1;
  if (!validFilter(hWnd)) return plat::fail(ERROR_INVALID_WINDOW_HANDLE, -1);
  q->get(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  if (!lpMsg) return plat::fail(ERROR_INVALID_PARAMETER, (LRESULT)0);
  if (!lpMsg->hwnd) return 0;
  WNDPROC proc = localProc(lpMsg->hwnd, nullptr);
  if (!proc)
    return plat::fail(windowOwner(lpMsg->hwnd, nullptr) ? ERROR_MESSAGE_SYNC_ONLY : ERROR_INVALID_WINDOW_HANDLE,
                      (LRESULT)0);
  return proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// There is no keyboard, so no message ever needs translating.
extern "C" BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

extern "C" BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (plat::faultHit("PostMessageA")) return plat::fail(ERROR_NOT_ENOUGH_QUOTA, FALSE);
  ThreadQueue* q = currentQueue();
  if (!q) return FALSE;
  if (!hWnd) {
    q->addPosted(nullptr, Msg, wParam, lParam, nowNs());
    return TRUE;
  }
  Target t;
  if (!windowTarget(q, hWnd, t)) return FALSE;
  return postTo(q, t, hWnd, Msg, wParam, lParam, ERROR_INVALID_WINDOW_HANDLE);
}

extern "C" BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (plat::faultHit("PostThreadMessageA")) return plat::fail(ERROR_NOT_ENOUGH_QUOTA, FALSE);
  ThreadQueue* q = currentQueue();
  if (!q) return FALSE;
  Target t;
  if (idThread == q->tid) {
    q->addPosted(nullptr, Msg, wParam, lParam, nowNs());
    return TRUE;
  }
  if (!threadTarget(q, idThread, t)) return FALSE;
  return postTo(q, t, nullptr, Msg, wParam, lParam, ERROR_INVALID_THREAD_ID);
}

extern "C" void WINAPI PostQuitMessage(int nExitCode) {
  if (ThreadQueue* q = currentQueue()) {
    q->quit = true;
    q->quitCode = nExitCode;
  }
}

extern "C" LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (plat::faultHit("SendMessageA")) return plat::fail(ERROR_INVALID_WINDOW_HANDLE, (LRESULT)0);
  LRESULT result = 0;
  return sendTo(hWnd, Msg, wParam, lParam, SMTO_NORMAL, INFINITE, &result) ? result : 0;
}

extern "C" LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                              UINT uTimeout, PDWORD_PTR lpdwResult) {
  if (plat::faultHit("SendMessageTimeoutA")) return plat::fail(ERROR_TIMEOUT, (LRESULT)0);
  LRESULT result = 0;
  DWORD timeout = uTimeout == INFINITE ? INFINITE - 1 : uTimeout;
  if (!sendTo(hWnd, Msg, wParam, lParam, fuFlags, timeout, &result)) return 0;
  if (lpdwResult) *lpdwResult = (DWORD_PTR)result;
  return TRUE;
}
