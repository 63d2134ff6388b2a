// Kernel objects across threads and processes: named mutexes and their
// abandonment, events, critical sections, threads and interlocked counters.
#include <sched.h>
#include <signal.h>

#include <string>
#include <thread>

#include "clock.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;
using kvtest::MachineTest;

namespace {

const char kMutexName[] = "kvtest-owner-mutex";

DWORD WINAPI takeMutexAndEnd(LPVOID name) {
  HANDLE h = CreateMutexA(nullptr, TRUE, static_cast<const char*>(name));
  return h != nullptr && GetLastError() != ERROR_ALREADY_EXISTS ? 0 : 1;
}

}  // namespace

// Owns the named mutex and reports it; ends when told to (or is killed).
KV_HELPER(own_mutex) {
  (void)argc;
  HANDLE h = CreateMutexA(nullptr, TRUE, argv[1]);
  kvtest::say(h && GetLastError() != ERROR_ALREADY_EXISTS ? "owned" : "failed");
  std::string line;
  kvtest::hear(line);
  return 0;
}

class NamedMutexTest : public MachineTest {};

TEST_F(NamedMutexTest, MutexOfAnEndedThreadIsAcquiredAbandoned) {
  HANDLE mine = CreateMutexA(nullptr, FALSE, kMutexName);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  // The thread opens the existing mutex without getting ownership, so it
  // creates a second one under another name to own.
  HANDLE thread = CreateThread(nullptr, 0, takeMutexAndEnd, (LPVOID) "kvtest-thread-owned", 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(thread);
  // The thread closed nothing: its handle stays open in this process, so the
  // object lives on, owned by a thread that has ended.
  HANDLE owned = OpenMutexA(SYNCHRONIZE, FALSE, "kvtest-thread-owned");
  ASSERT_NE(owned, nullptr);
  EXPECT_EQ(WaitForSingleObject(owned, 0), WAIT_ABANDONED);
  // Once acquired it is an ordinary mutex of this thread: re-entrant, released twice.
  EXPECT_EQ(WaitForSingleObject(owned, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_FALSE(ReleaseMutex(owned));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
  CloseHandle(owned);
  CloseHandle(mine);
}

TEST_F(NamedMutexTest, LiveOwnerInAnotherProcessGivesTimeoutThenKilledOwnerGivesAbandoned) {
  HANDLE h = CreateMutexA(nullptr, FALSE, kMutexName);
  ASSERT_NE(h, nullptr);
  Child owner("own_mutex", {kMutexName});
  // The child finds the mutex existing, so it does not get it at creation.
  ASSERT_EQ(owner.expectLine(), "failed");
  owner.send("end");
  owner.wait();

  CloseHandle(h);
  Child owner2("own_mutex", {kMutexName});
  ASSERT_EQ(owner2.expectLine(), "owned");
  h = CreateMutexA(nullptr, FALSE, kMutexName);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  {
    // On the stopped clock: a wait of 0 never waits for it; one of 100 ms
    // ends when the clock has moved on 100 ms, with the mutex still owned.
    kvtest::FrozenClock clock;
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    DWORD result = 99;
    kvtest::Running wait([&] { result = WaitForSingleObject(h, 100); });
    ASSERT_TRUE(kvtest::clockWaiters(1));
    clock.advance(100);
    ASSERT_TRUE(wait.ends());
    EXPECT_EQ(result, (DWORD)WAIT_TIMEOUT);
  }

  owner2.kill();
  owner2.wait();
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(h));
  CloseHandle(h);
}

TEST_F(NamedMutexTest, OnlyTheOwningThreadReleasesAMutex) {
  // Owned twice by this thread: another thread's release is refused and
  // leaves it owned.
  HANDLE h = CreateMutexA(nullptr, TRUE, kMutexName);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  DWORD answer = 0, error = 0, wait = 0;
  std::thread other([&] {
    answer = ReleaseMutex(h);
    error = GetLastError();
    wait = WaitForSingleObject(h, 0);
  });
  other.join();
  EXPECT_FALSE(answer);
  EXPECT_EQ(error, (DWORD)ERROR_NOT_OWNER);
  EXPECT_EQ(wait, (DWORD)WAIT_TIMEOUT) << "still owned by this thread";
  EXPECT_TRUE(ReleaseMutex(h));
  EXPECT_TRUE(ReleaseMutex(h));
  EXPECT_FALSE(ReleaseMutex(h)) << "released as often as it was acquired";
  std::thread taker([&] {
    wait = WaitForSingleObject(h, 0);
    ReleaseMutex(h);
  });
  taker.join();
  EXPECT_EQ(wait, (DWORD)WAIT_OBJECT_0) << "free once released";
  CloseHandle(h);
}

TEST_F(NamedMutexTest, ObjectStartsAfreshOnceNoHandleIsOpen) {
  HANDLE a = CreateMutexA(nullptr, TRUE, kMutexName);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
  HANDLE b = CreateMutexA(nullptr, TRUE, kMutexName);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  CloseHandle(b);
  EXPECT_TRUE(ReleaseMutex(a));
  CloseHandle(a);
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(MachineTest, EventsManualAndAutoReset) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(manual && automatic);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  std::thread setter([&] {
    SetEvent(manual);
    SetEvent(automatic);
  });
  EXPECT_EQ(WaitForSingleObject(manual, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  setter.join();
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 20), WAIT_TIMEOUT);
  CloseHandle(manual);
  CloseHandle(automatic);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

// Waits on a named event that the test sets.
KV_HELPER(wait_named_event) {
  (void)argc;
  HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, argv[1]);
  kvtest::say(h ? "opened" : "missing");
  return h && WaitForSingleObject(h, 10000) == WAIT_OBJECT_0 ? 0 : 1;
}

TEST_F(MachineTest, NamedEventWakesAnotherProcess) {
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "kvtest-event");
  ASSERT_NE(h, nullptr);
  Child waiter("wait_named_event", {"kvtest-event"});
  ASSERT_EQ(waiter.expectLine(), "opened");
  EXPECT_TRUE(SetEvent(h));
  EXPECT_EQ(waiter.wait(), 0);
  CloseHandle(h);
}

TEST_F(MachineTest, CriticalSectionIsReentrantAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  bool otherGot = true;
  std::thread other([&] { otherGot = TryEnterCriticalSection(&cs); });
  other.join();
  EXPECT_FALSE(otherGot);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  std::thread again([&] {
    otherGot = TryEnterCriticalSection(&cs);
    if (otherGot) LeaveCriticalSection(&cs);
  });
  again.join();
  EXPECT_TRUE(otherGot);
  DeleteCriticalSection(&cs);
}

TEST_F(MachineTest, ThreadPriorityLevelsAreKeptAndUnknownOnesRefused) {
  HANDLE self = GetCurrentThread();
  EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
  for (int level :
       {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_NORMAL}) {
    EXPECT_TRUE(SetThreadPriority(self, level)) << level;
    EXPECT_EQ(GetThreadPriority(self), level);
  }
  EXPECT_FALSE(SetThreadPriority(self, 7));
  EXPECT_EQ(GetThreadPriority((HANDLE)(uintptr_t)0x4444), THREAD_PRIORITY_ERROR_RETURN);
  platFaultInject("GetThreadPriority", 1, 1);
  EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
}

// Time-critical is real time: granted where the system grants SCHED_FIFO, and
// refused, not pretended, where it does not (here: the fault "SCHED_FIFO").
TEST_F(MachineTest, TimeCriticalIsRealTimeOrItsRefusalIsReported) {
  std::thread([] {
    struct sched_param sp = {};
    sp.sched_priority = 1;
    bool systemGrants = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;
    sp.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &sp);
    HANDLE self = GetCurrentThread();
    EXPECT_EQ(SetThreadPriority(self, THREAD_PRIORITY_TIME_CRITICAL) != FALSE, systemGrants);
    EXPECT_EQ(sched_getscheduler(0) == SCHED_FIFO, systemGrants);
    EXPECT_EQ(GetThreadPriority(self), systemGrants ? THREAD_PRIORITY_TIME_CRITICAL : THREAD_PRIORITY_NORMAL);
    ASSERT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);

    platFaultInject("SCHED_FIFO", 1, 1);
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(self, THREAD_PRIORITY_TIME_CRITICAL)) << "the refusal is reported";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL) << "the level stays";
    EXPECT_NE(sched_getscheduler(0), SCHED_FIFO);
    EXPECT_EQ(SetThreadPriority(self, THREAD_PRIORITY_TIME_CRITICAL) != FALSE, systemGrants) << "one refusal only";
    SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
  }).join();
}

TEST_F(MachineTest, FaultInjectionFailsTheChosenCalls) {
  platFaultClear();
  platFaultInject("CreateEventA", 2, 2);
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE c = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE d = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(platFaultCalls("CreateEventA"), 4u);
  CloseHandle(a);
  CloseHandle(d);
}

TEST(Interlocked, AnswersTheNewValue) {
  LONG v = -1;
  EXPECT_EQ(InterlockedIncrement(&v), 0);
  EXPECT_EQ(InterlockedIncrement(&v), 1);
  EXPECT_EQ(InterlockedDecrement(&v), 0);
  EXPECT_EQ(InterlockedDecrement(&v), -1);
}
