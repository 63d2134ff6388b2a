// Test support for the platform's clock: a test stops it, runs the code under
// test on a thread of its own, sees that code wait for the clock or look at
// it, and moves the clock on. What the code does at a time-out's end is then
// checked on the clock, whatever the load of the machine; real time bounds
// only the guards against a hang.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "kv/plat.h"

namespace kvtest {

// Stops the platform's clock for this process (or, with `machine`, for this
// process and the processes of the machine that start after) and lets it run
// again at the end of the scope.
class FrozenClock {
 public:
  explicit FrozenClock(bool machine = false);
  ~FrozenClock();
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;
  void advance(DWORD ms);
  // How far the clock was moved on since the freeze.
  DWORD advanced() const { return advanced_; }

 private:
  DWORD advanced_ = 0;
};

// Runs `fn` on a thread of its own. The destructor joins it; a call still
// running then (a test that failed) is let go by moving a stopped clock on by
// a day first.
class Running {
 public:
  explicit Running(std::function<void()> fn);
  ~Running();
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  bool done() const { return done_; }
  // Waits until the call has returned; false after `guardMs`, a hang guard.
  bool ends(unsigned guardMs = 20000);

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Waits until the code has looked at the stopped clock `more` times through
// `op` (GetTickCount or timeGetTime) since `since` (a platFaultCalls count).
// Two looks after the clock moved show a loop that has seen the move and
// goes on waiting.
bool clockLooks(const char* op, unsigned since, unsigned more = 2);

// Waits until `n` threads of this process wait for the stopped clock.
bool clockWaiters(unsigned n);

// Runs `fn` with the clock stopped for this process; answers whether it
// returned without the clock moving, that is without waiting out any
// time-out (false after the hang guard).
bool endsWithoutTheClock(const std::function<void()>& fn);

}  // namespace kvtest
