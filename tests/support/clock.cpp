// Test support for the platform's clock.
#include "clock.h"

#include "support.h"

namespace kvtest {

FrozenClock::FrozenClock(bool machine) { EXPECT_TRUE(platClockFreeze(machine ? TRUE : FALSE)); }

FrozenClock::~FrozenClock() { platClockThaw(); }

void FrozenClock::advance(DWORD ms) {
  EXPECT_TRUE(platClockAdvance(ms));
  advanced_ += ms;
}

Running::Running(std::function<void()> fn)
    : thread_([this, fn] {
        fn();
        done_ = true;
      }) {}

Running::~Running() {
  if (!done_) platClockAdvance(24u * 3600u * 1000u);
  thread_.join();
}

bool Running::ends(unsigned guardMs) {
  return waitUntil([&] { return done_.load(); }, guardMs);
}

bool clockLooks(const char* op, unsigned since, unsigned more) {
  return waitUntil([&] { return platFaultCalls(op) >= since + more; });
}

bool clockWaiters(unsigned n) {
  return waitUntil([&] { return platClockWaiters() == n; });
}

bool endsWithoutTheClock(const std::function<void()>& fn) {
  FrozenClock clock;
  Running call(fn);
  return call.ends();
}

}  // namespace kvtest
