// Windows and message queues within a thread, between threads and between
// processes: classes and window lifetime, registered messages, the queue's
// filters and order, sends with and without time-outs, and windows whose
// thread or process has gone.
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;
using kvtest::MachineTest;

namespace {

const char kHostClass[] = "KvTestHost";

// Messages the host window understands.
const UINT kEcho = WM_USER + 1;        // answers wParam * 3 + lParam
const UINT kBusy = WM_USER + 2;        // keeps its thread busy until told to go on
const UINT kRecord = WM_USER + 3;      // notes wParam
const UINT kReport = WM_USER + 4;      // prints the notes
const UINT kCallBack = WM_USER + 5;    // sends kAnswer to the window in lParam
const UINT kAnswer = WM_USER + 6;      // answers wParam + 100
const UINT kHang = WM_USER + 7;        // never returns
const UINT kThreadNote = WM_USER + 9;  // a thread message: prints wParam
const UINT kAwaitSent = WM_USER + 10;  // waits in a peek loop until a sent kRecord came in

std::vector<std::string> hostNotes;
bool hostSawSent = false;

LRESULT CALLBACK hostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case kEcho: return (LRESULT)(wParam * 3) + lParam;
    case kBusy: {
      kvtest::say("busy");
      std::string line;
      kvtest::hear(line);
      return 0;
    }
    case kRecord:
      hostNotes.push_back(std::to_string(wParam));
      if (lParam == 1) hostSawSent = true;
      return (LRESULT)hostNotes.size();
    case kReport: {
      std::string all;
      for (const std::string& n : hostNotes) all += (all.empty() ? "" : " ") + n;
      kvtest::say(all);
      return 0;
    }
    case kCallBack: {
      DWORD_PTR answer = 0;
      if (!SendMessageTimeoutA((HWND)lParam, kAnswer, wParam, 0, SMTO_NORMAL, 200, &answer)) return -1;
      return (LRESULT)answer;
    }
    case kHang: {
      kvtest::say("hanging");
      std::string line;
      kvtest::hear(line);
      return 0;
    }
    case kAwaitSent: {
      kvtest::say("waiting");
      MSG m;
      while (!hostSawSent) {
        PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0xFFFFFFFF, 0xFFFFFFFF, PM_NOREMOVE);
        Sleep(1);
      }
      return 0;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

HWND parseHwnd(const std::string& line, DWORD* tid = nullptr) {
  unsigned long hwnd = 0, t = 0;
  if (sscanf(line.c_str(), "hwnd %lu %lu", &hwnd, &t) != 2) return nullptr;
  if (tid) *tid = (DWORD)t;
  return (HWND)(ULONG_PTR)hwnd;
}

unsigned long long nowMs() { return GetTickCount(); }

// Records what a window of the test process is sent.
std::vector<UINT> clientSeen;
DWORD clientSeenOnThread = 0;

LRESULT CALLBACK clientProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  clientSeen.push_back(msg);
  clientSeenOnThread = GetCurrentThreadId();
  if (msg == kAnswer) return (LRESULT)wParam + 100;
  if (msg == kEcho) return (LRESULT)(wParam * 3) + lParam;
  if (msg == WM_CREATE && lParam && ((CREATESTRUCTA*)lParam)->lpCreateParams == (LPVOID)-1) return -1;
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

ATOM registerClientClass(const char* name = "KvTestClient") {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = clientProc;
  wc.lpszClassName = name;
  return RegisterClassA(&wc);
}

HWND createClient(const char* title = "client", HWND parent = nullptr, LPVOID param = nullptr) {
  return CreateWindowExA(0, "KvTestClient", title, WS_OVERLAPPED, 0, 0, 10, 10, parent, nullptr, nullptr, param);
}

}  // namespace

// A window in a process of its own: prints "hwnd HWND TID" and serves messages
// until it gets WM_QUIT or is killed.
KV_HELPER(window_host) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = hostProc;
  wc.lpszClassName = kHostClass;
  if (!RegisterClassA(&wc)) return 1;
  HWND hwnd =
      CreateWindowExA(0, kHostClass, argc > 1 ? argv[1] : "host", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (!hwnd) return 2;
  kvtest::say("hwnd " + std::to_string((ULONG_PTR)hwnd) + " " + std::to_string(GetCurrentThreadId()));
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    if (!m.hwnd && m.message == kThreadNote) kvtest::say("thread " + std::to_string(m.wParam));
    DispatchMessageA(&m);
  }
  return 0;
}

KV_HELPER(register_message) {
  (void)argc;
  kvtest::say(std::to_string(RegisterWindowMessageA(argv[1])));
  return 0;
}

class WindowTest : public MachineTest {};

TEST_F(WindowTest, ClassesAndWindowsLiveAndDieWithTheirOwners) {
  ATOM atom = registerClientClass();
  ASSERT_NE(atom, 0);
  // Class atoms and registered messages come from one machine-wide table.
  EXPECT_EQ(RegisterWindowMessageA("kvtestCLIENT"), (UINT)atom);
  EXPECT_EQ(registerClientClass(), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANNOT_FIND_WND_CLASS);

  clientSeen.clear();
  HWND top = createClient("Top Title");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ((ULONG_PTR)top >> 32, 0u);
  EXPECT_EQ(clientSeen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
  HWND hidden = CreateWindowExA(0, MAKEINTATOM(atom), "msg", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(hidden, nullptr);
  EXPECT_NE(hidden, top);
  EXPECT_TRUE(IsWindow(hidden));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(top, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, GetCurrentProcessId());
  // Message-only windows are not found; titles and names ignore case.
  EXPECT_EQ(FindWindowA("kvtestclient", "top title"), top);
  EXPECT_EQ(FindWindowA(MAKEINTATOM(atom), nullptr), top);
  EXPECT_EQ(FindWindowA(nullptr, "msg"), nullptr);
  EXPECT_EQ(FindWindowA("KvTestClient", "other"), nullptr);

  // A window refusing WM_CREATE is not created.
  EXPECT_EQ(createClient("refuses", nullptr, (LPVOID)-1), nullptr);
  EXPECT_EQ(FindWindowA(nullptr, "refuses"), nullptr);

  BOOL otherThreadDestroyed = TRUE;
  DWORD otherError = 0;
  std::thread([&] {
    otherThreadDestroyed = DestroyWindow(top);
    otherError = GetLastError();
  }).join();
  EXPECT_FALSE(otherThreadDestroyed);
  EXPECT_EQ(otherError, (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_FALSE(UnregisterClassA("KvTestClient", nullptr));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_HAS_WINDOWS);

  clientSeen.clear();
  EXPECT_TRUE(DestroyWindow(top));
  EXPECT_EQ(clientSeen, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
  EXPECT_FALSE(IsWindow(top));
  EXPECT_EQ(FindWindowA("KvTestClient", nullptr), nullptr);
  EXPECT_FALSE(DestroyWindow(top));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(DestroyWindow(hidden));
  EXPECT_TRUE(UnregisterClassA("KvTestClient", nullptr));

  // Windows go with the thread that created them.
  ASSERT_NE(registerClientClass(), 0);
  HWND threads = nullptr;
  std::thread([&] { threads = createClient("thread window"); }).join();
  ASSERT_NE(threads, nullptr);
  EXPECT_FALSE(IsWindow(threads));
  EXPECT_EQ(FindWindowA(nullptr, "thread window"), nullptr);
  EXPECT_EQ(SendMessageTimeoutA(threads, kEcho, 1, 1, SMTO_BLOCK, 1000, nullptr), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

  platFaultInject("CreateWindowExA", 1, 1);
  EXPECT_EQ(createClient("faulted"), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(WindowTest, RegisteredMessagesAreTheSameInEveryProcessOfOneMachineOnly) {
  UINT mine = RegisterWindowMessageA("KvTest Host Command");
  EXPECT_GE(mine, 0xC000u);
  EXPECT_LE(mine, 0xFFFFu);
  EXPECT_NE(RegisterWindowMessageA("KvTest Other"), mine);
  EXPECT_EQ(RegisterWindowMessageA(""), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  {
    Child other("register_message", {"kvtest host command"});
    EXPECT_EQ(other.expectLine(), std::to_string(mine));
  }
  // Another machine root is another machine: nothing registered there yet.
  std::string second = root + "-second";
  ASSERT_EQ(system(("mkdir -p " + second).c_str()), 0);
  setenv("KV_MACHINE_ROOT", second.c_str(), 1);
  ASSERT_NE(registerClientClass("KvTestIsolated"), 0);
  ASSERT_NE(CreateWindowExA(0, "KvTestIsolated", "isolated", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(RegisterWindowMessageA("KvTest Second Machine"), 0xC000u + 1);
  setenv("KV_MACHINE_ROOT", root.c_str(), 1);
  EXPECT_EQ(FindWindowA(nullptr, "isolated"), nullptr);
  ASSERT_EQ(system(("rm -rf " + second).c_str()), 0);
}

TEST_F(WindowTest, QueueFiltersOrderAndQuit) {
  ASSERT_NE(registerClientClass(), 0);
  HWND hwnd = createClient();
  ASSERT_NE(hwnd, nullptr);
  MSG m;
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_TRUE(PostMessageA(hwnd, WM_USER, 1, 10));
  EXPECT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 2, 20));
  EXPECT_TRUE(PostMessageA(nullptr, WM_USER + 2, 3, 30));

  // -1: thread messages only; PM_NOREMOVE leaves the message where it is.
  ASSERT_TRUE(PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  EXPECT_EQ(m.hwnd, nullptr);
  ASSERT_TRUE(PeekMessageA(&m, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER);
  EXPECT_EQ(m.hwnd, hwnd);
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_EQ(m.lParam, 10);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER + 2, WM_USER + 5, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)WM_USER + 2);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0xFFFFFFFF, 0xFFFFFFFF, PM_NOREMOVE));
  EXPECT_FALSE(PeekMessageA(&m, (HWND)(ULONG_PTR)0x7FFF0010, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(GetMessageA(&m, (HWND)(ULONG_PTR)0x7FFF0010, 0, 0), -1);

  // WM_QUIT comes once the posted messages are gone.
  PostQuitMessage(7);
  EXPECT_TRUE(PostMessageA(hwnd, WM_USER + 3, 0, 0));
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, (UINT)WM_USER + 1);
  ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, (UINT)WM_USER + 3);
  clientSeen.clear();
  EXPECT_EQ(DispatchMessageA(&m), 0);
  EXPECT_EQ(clientSeen, (std::vector<UINT>{WM_USER + 3}));
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
  EXPECT_EQ(m.message, (UINT)WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

  // A window of the calling thread gets sent messages by a direct call.
  clientSeen.clear();
  EXPECT_EQ(SendMessageA(hwnd, kEcho, 4, 1), 13);
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(hwnd, kEcho, 5, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, 0, &result));
  EXPECT_EQ(result, 15u);
  EXPECT_EQ(clientSeenOnThread, GetCurrentThreadId());

  // A destroyed window's posted messages go with it.
  EXPECT_TRUE(PostMessageA(hwnd, WM_USER + 4, 0, 0));
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, PeekLoopOfAnotherThreadHandlesSentMessages) {
  ASSERT_NE(registerClientClass(), 0);
  HWND hwnd = createClient();
  ASSERT_NE(hwnd, nullptr);
  std::atomic<bool> done{false};
  LRESULT sent = 0;
  DWORD_PTR result = 0;
  clientSeen.clear();
  std::thread sender([&] {
    sent = SendMessageTimeoutA(hwnd, kEcho, 6, 2, SMTO_BLOCK | SMTO_ABORTIFHUNG, 5000, &result);
    done = true;
  });
  // The wait of a launcher for its host: nothing matches the filter, nothing
  // is removed, and still the sent message is handled on this thread.
  MSG m;
  while (!done) {
    PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0xFFFFFFFF, 0xFFFFFFFF, PM_NOREMOVE);
    Sleep(1);
  }
  sender.join();
  EXPECT_NE(sent, 0);
  EXPECT_EQ(result, 20u);
  EXPECT_EQ(clientSeenOnThread, GetCurrentThreadId());
  EXPECT_EQ(clientSeen, (std::vector<UINT>{kEcho}));
}

TEST_F(WindowTest, SendToAnotherProcessAnswersOrTimesOut) {
  Child host("window_host", {"alpha"});
  DWORD tid = 0;
  HWND hwnd = parseHwnd(host.expectLine(), &tid);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(FindWindowA(kHostClass, "ALPHA"), hwnd);
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), tid);
  EXPECT_EQ(pid, (DWORD)host.pid());

  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kEcho, 7, 5, SMTO_BLOCK | SMTO_ABORTIFHUNG, 1000, &result), TRUE);
  EXPECT_EQ(result, 26u);
  EXPECT_EQ(SendMessageA(hwnd, kEcho, 100, -1), 299);

  // A thread busy until it is told to go on does not answer; it is not hung,
  // so the send waits out its time-out. (That time-out runs on the real
  // clock: a lower bound, which no load can break.)
  ASSERT_TRUE(PostMessageA(hwnd, kBusy, 0, 0));
  ASSERT_EQ(host.expectLine(), "busy");
  unsigned long long before = nowMs();
  result = 12345;
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kEcho, 1, 1, SMTO_BLOCK | SMTO_ABORTIFHUNG, 100, &result), 0);
  unsigned long long took = nowMs() - before;
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
  EXPECT_EQ(result, 12345u);
  EXPECT_GE(took, 95u);
  host.send("go on");
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kEcho, 2, 0, SMTO_BLOCK, 5000, &result), TRUE);
  EXPECT_EQ(result, 6u);

  // Thread messages across processes, and to a thread that has no queue.
  EXPECT_TRUE(PostThreadMessageA(tid, kThreadNote, 42, 0));
  EXPECT_EQ(host.expectLine(), "thread 42");
  EXPECT_FALSE(PostThreadMessageA(1, kThreadNote, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
  EXPECT_TRUE(PostMessageA(hwnd, WM_QUIT, 0, 0));
  EXPECT_EQ(host.wait(), 0);
}

TEST_F(WindowTest, SenderHandlesMessagesSentBackUnlessItBlocks) {
  ASSERT_NE(registerClientClass(), 0);
  HWND mine = createClient();
  Child host("window_host");
  HWND hwnd = parseHwnd(host.expectLine());
  ASSERT_NE(hwnd, nullptr);
  DWORD_PTR result = 0;
  clientSeen.clear();
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kCallBack, 5, (LPARAM)mine, SMTO_NORMAL, 5000, &result), TRUE);
  EXPECT_EQ(result, 105u);
  EXPECT_EQ(clientSeen, (std::vector<UINT>{kAnswer}));
  // SMTO_BLOCK: the message sent back waits until the send is over, so the
  // host's own send times out.
  clientSeen.clear();
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kCallBack, 5, (LPARAM)mine, SMTO_BLOCK, 5000, &result), TRUE);
  EXPECT_EQ((LRESULT)result, -1);
  EXPECT_TRUE(clientSeen.empty());
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_EQ(clientSeen, (std::vector<UINT>{kAnswer}));
}

TEST_F(WindowTest, PostedMessagesKeepTheirOrderAndSentOnesOvertakeThem) {
  Child host("window_host");
  HWND hwnd = parseHwnd(host.expectLine());
  ASSERT_NE(hwnd, nullptr);

  // The host waits in a peek loop that matches nothing while the posts pile up.
  ASSERT_TRUE(PostMessageA(hwnd, kAwaitSent, 0, 0));
  ASSERT_EQ(host.expectLine(), "waiting");
  std::string expected = "1000";
  for (int i = 1; i <= 50; ++i) {
    ASSERT_TRUE(PostMessageA(hwnd, kRecord, (WPARAM)i, 0));
    expected += " " + std::to_string(i);
  }
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(hwnd, kRecord, 1000, 1, SMTO_NORMAL, 5000, &result), TRUE);
  EXPECT_EQ(result, 1u);

  // Posts from two threads, each one posted after the other thread's last:
  // they arrive in that order although they travel different ways.
  std::mutex lock;
  std::condition_variable turn;
  int next = 51;
  auto poster = [&](int parity) {
    for (;;) {
      std::unique_lock<std::mutex> g(lock);
      turn.wait(g, [&] { return next > 90 || next % 2 == parity; });
      if (next > 90) return;
      PostMessageA(hwnd, kRecord, (WPARAM)next, 0);
      ++next;
      turn.notify_all();
    }
  };
  std::thread odd(poster, 1);
  poster(0);
  odd.join();
  for (int i = 51; i <= 90; ++i) expected += " " + std::to_string(i);
  ASSERT_TRUE(PostMessageA(hwnd, kReport, 0, 0));
  EXPECT_EQ(host.expectLine(), expected);
}

TEST_F(WindowTest, WindowOfAKilledProcessIsGoneAtOnce) {
  Child host("window_host", {"victim"});
  HWND hwnd = parseHwnd(host.expectLine());
  ASSERT_NE(hwnd, nullptr);
  DWORD_PTR result = 0;
  ASSERT_EQ(SendMessageTimeoutA(hwnd, kEcho, 1, 0, SMTO_BLOCK, 1000, &result), TRUE);
  ASSERT_EQ(FindWindowA(kHostClass, "victim"), hwnd);
  host.kill();
  host.wait();

  // With a time-out far beyond the hang guard: a send that waited for it
  // would not return.
  kvtest::Running calls([&] {
    EXPECT_EQ(SendMessageTimeoutA(hwnd, kEcho, 1, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, 600000, &result), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageA(hwnd, kEcho, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageA(hwnd, kEcho, 1, 0), 0);
  });
  ASSERT_TRUE(calls.ends());
  EXPECT_EQ(FindWindowA(kHostClass, "victim"), nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), 0u);
}

TEST_F(WindowTest, WaitingSenderNoticesTheReceiverBeingKilled) {
  Child host("window_host");
  HWND hwnd = parseHwnd(host.expectLine());
  ASSERT_NE(hwnd, nullptr);
  LRESULT answer = 1;
  DWORD error = 0;
  kvtest::Running sender([&] {
    answer = SendMessageA(hwnd, kHang, 0, 0);
    error = GetLastError();
  });
  ASSERT_EQ(host.expectLine(), "hanging");
  host.kill();
  ASSERT_TRUE(sender.ends()) << "the sender waits no more once the receiver is gone";
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(error, (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}
