// The platform's clock, stopped and moved on by a test: what GetTickCount,
// timeGetTime, timed waits and sleeps see, in this process and in the
// processes a machine-wide freeze reaches.
#include <string>

#include "clock.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;
using kvtest::FrozenClock;
using kvtest::Running;

namespace {

class ClockTest : public kvtest::MachineTest {};

}  // namespace

// Tells the test its reading of the clock, once at start and once per line.
KV_HELPER(clock_reader) {
  (void)argc;
  (void)argv;
  std::string line;
  do {
    kvtest::say(std::to_string(GetTickCount()) + " " + std::to_string(timeGetTime()));
  } while (kvtest::hear(line) && line == "again");
  return 0;
}

TEST_F(ClockTest, AStoppedClockMovesOnlyWhenAdvancedAndRunsOnFromThereWhenThawed) {
  DWORD at;
  {
    FrozenClock clock;
    at = GetTickCount();
    EXPECT_EQ(timeGetTime(), at);
    unsigned looks = platFaultCalls("GetTickCount");
    Sleep(1);  // a poll: real time passes, the clock does not
    EXPECT_EQ(GetTickCount(), at);
    EXPECT_EQ(platFaultCalls("GetTickCount"), looks + 1) << "readings of a stopped clock are counted";
    clock.advance(20000);
    EXPECT_EQ(GetTickCount(), at + 20000);
    EXPECT_EQ(timeGetTime(), at + 20000);
  }
  EXPECT_GE(GetTickCount() - at, 20000u) << "a thawed clock never goes back";
  EXPECT_FALSE(platClockAdvance(1)) << "a running clock is not moved by hand";
}

TEST_F(ClockTest, TimedWaitsAndSleepsEndWhenTheClockPassesTheirEnd) {
  FrozenClock clock;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  DWORD result = 99;
  {
    Running wait([&] { result = WaitForSingleObject(event, 1000); });
    ASSERT_TRUE(kvtest::clockWaiters(1));
    clock.advance(999);
    ASSERT_TRUE(kvtest::clockLooks("ClockWait", platFaultCalls("ClockWait")));
    EXPECT_FALSE(wait.done()) << "999 of 1000 ms";
    EXPECT_EQ(platClockWaiters(), 1u);
    clock.advance(1);
    ASSERT_TRUE(wait.ends());
    EXPECT_EQ(result, (DWORD)WAIT_TIMEOUT);
  }
  {
    Running wait([&] { result = WaitForSingleObject(event, 1000); });
    ASSERT_TRUE(kvtest::clockWaiters(1));
    SetEvent(event);
    ASSERT_TRUE(wait.ends()) << "a signal ends the wait without the clock";
    EXPECT_EQ(result, WAIT_OBJECT_0);
    ResetEvent(event);
  }
  {
    Running sleep([&] { Sleep(5000); });
    ASSERT_TRUE(kvtest::clockWaiters(1));
    clock.advance(4999);
    ASSERT_TRUE(kvtest::clockLooks("ClockWait", platFaultCalls("ClockWait")));
    EXPECT_FALSE(sleep.done());
    clock.advance(1);
    ASSERT_TRUE(sleep.ends());
  }
  EXPECT_EQ(platClockWaiters(), 0u);
  // Polls of 1 ms and less pass in real time; a wait of 0 never waits.
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] {
    EXPECT_EQ(WaitForSingleObject(event, 1), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    Sleep(1);
    Sleep(0);
  }));
  CloseHandle(event);
}

TEST_F(ClockTest, AMachineWideFreezeReachesTheProcessesStartedAfterIt) {
  Child before("clock_reader");
  std::string first = before.expectLine();
  FrozenClock clock(true);
  DWORD at = GetTickCount();
  Child after("clock_reader");
  EXPECT_EQ(after.expectLine(), std::to_string(at) + " " + std::to_string(at));
  clock.advance(30000);
  after.send("again");
  EXPECT_EQ(after.expectLine(), std::to_string(at + 30000) + " " + std::to_string(at + 30000));
  before.send("again");
  std::string second = before.expectLine();
  EXPECT_NE(second, std::to_string(at + 30000) + " " + std::to_string(at + 30000))
      << "a process that started before keeps the real clock";
  after.send("end");
  before.send("end");
  after.wait();
  before.wait();
}
