// Fault injection: a per-process table of platform operations that are to fail,
// consulted by every operation that can fail. Seeded from the environment so that
// a test can make operations fail in a process it starts. Hold points share its
// counts: a test can also hold a process at the nth call of an operation, or
// make every call of one take longer (a disk that stalls).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"

namespace {

struct FaultRule {
  unsigned nth = 0;    // fail from this call on (counted in calls), 0 = no rule
  unsigned count = 0;  // this many calls fail; 0 = all from nth on
};

struct HoldRule {
  unsigned nth;     // hold at this call (counted in calls); PLAT_HOLD_EVERY_CALL: at every call
  std::string tag;  // names the events of the hold
};

struct FaultTable {
  std::mutex lock;
  // Looked up by the caller's name as it is, without building a string.
  std::map<std::string, unsigned, std::less<>> calls;
  std::map<std::string, FaultRule, std::less<>> rules;
  std::multimap<std::string, HoldRule, std::less<>> holds;
  std::map<std::string, unsigned, std::less<>> delays;  // milliseconds every call takes longer
  std::atomic<bool> any{false};
};

// The hold's own events are platform calls too: they are neither counted nor
// held.
thread_local bool tInHold = false;

FaultTable& table() {
  static FaultTable* t = new FaultTable;  // never destroyed: used by atexit work too
  return *t;
}

void addRule(FaultTable& t, const std::string& op, unsigned nth, unsigned count) {
  FaultRule rule;
  rule.nth = t.calls[op] + (nth == 0 ? 1 : nth);
  rule.count = count;
  t.rules[op] = rule;
  t.any = true;
}

void addHold(FaultTable& t, const std::string& op, unsigned nth, const std::string& tag) {
  if (nth != PLAT_HOLD_EVERY_CALL) nth = t.calls[op] + (nth == 0 ? 1 : nth);
  t.holds.emplace(op, HoldRule{nth, tag});
  t.any = true;
}

// Calls `each` with the operation and the rest of every "Op=rest" item of the
// comma-separated list in the environment variable `name`.
template <typename Each>
void forEachSeed(const char* name, Each each) {
  const char* spec = getenv(name);
  if (!spec) return;
  std::string s(spec);
  for (size_t pos = 0; pos < s.size();) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos) each(item.substr(0, eq), item.substr(eq + 1));
    pos = end + 1;
  }
}

// "Op=nth@TAG,Op2=*@TAG2" from the environment (*: every call).
void seedHoldsFromEnvironment(FaultTable& t) {
  forEachSeed(PLAT_HOLDS_ENV, [&](const std::string& op, const std::string& rest) {
    size_t at = rest.find('@');
    if (at == std::string::npos) return;
    unsigned nth = rest[0] == '*' ? PLAT_HOLD_EVERY_CALL : (unsigned)strtoul(rest.c_str(), nullptr, 10);
    addHold(t, op, nth, rest.substr(at + 1));
  });
}

std::string holdEventName(const char* tag, const char* what) { return std::string("KVHold.") + tag + "." + what; }

// Auto-reset: every time the thread is held says so once, and every release
// lets it go once, so a test can step a thread held at every call of a step.
HANDLE holdEvent(const char* tag, const char* what) {
  return CreateEventA(nullptr, FALSE, FALSE, holdEventName(tag, what).c_str());
}

// Says that this thread is held at `tag` and waits for the test to let it go.
void holdHere(const std::string& tag) {
  tInHold = true;
  HANDLE hGo = holdEvent(tag.c_str(), "go");
  HANDLE hHeld = holdEvent(tag.c_str(), "held");
  if (hHeld) SetEvent(hHeld);
  if (hGo) WaitForSingleObject(hGo, PLAT_HOLD_GUARD_MS);
  if (hHeld) CloseHandle(hHeld);
  if (hGo) CloseHandle(hGo);
  tInHold = false;
}

void addDelay(FaultTable& t, const std::string& op, unsigned ms) {
  if (ms == 0) {
    t.delays.erase(op);
    return;
  }
  t.delays[op] = ms;
  t.any = true;
}

// "Op=nth[:count],Op2=nth" from the environment, and "Op=ms" for the delays.
void seedFromEnvironment(FaultTable& t) {
  seedHoldsFromEnvironment(t);
  forEachSeed(PLAT_DELAYS_ENV, [&](const std::string& op, const std::string& rest) {
    addDelay(t, op, (unsigned)strtoul(rest.c_str(), nullptr, 10));
  });
  forEachSeed(PLAT_FAULTS_ENV, [&](const std::string& op, const std::string& rest) {
    unsigned nth = (unsigned)strtoul(rest.c_str(), nullptr, 10);
    size_t colon = rest.find(':');
    unsigned count = colon == std::string::npos ? 1 : (unsigned)strtoul(rest.c_str() + colon + 1, nullptr, 10);
    addRule(t, op, nth, count);
  });
}

// Appends "PROGRAM OP=CALLS" lines, one per counted operation, to the file
// named by PLAT_FAULT_CALLS_ENV, so that a test can learn what the processes it
// starts called. One write per process: the lines of processes ending at once
// do not mix.
void writeCallCounts() {
  const char* path = getenv(PLAT_FAULT_CALLS_ENV);
  if (!path || !*path) return;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  exe[n > 0 ? n : 0] = '\0';
  const char* name = strrchr(exe, '/') ? strrchr(exe, '/') + 1 : exe;
  std::string out;
  FaultTable& t = table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (auto& c : t.calls) out += std::string(name) + " " + c.first + "=" + std::to_string(c.second) + "\n";
  }
  FILE* f = fopen(path, "a");
  if (!f) return;
  fwrite(out.data(), 1, out.size(), f);
  fclose(f);
}

FaultTable& seededTable() {
  static std::once_flag once;
  FaultTable& t = table();
  std::call_once(once, [&] {
    std::lock_guard<std::mutex> g(t.lock);
    seedFromEnvironment(t);
    if (getenv(PLAT_FAULT_CALLS_ENV)) atexit(writeCallCounts);
  });
  return t;
}

}  // namespace

namespace plat {

bool faultHit(const char* op) {
  if (tInHold) return false;
  FaultTable& t = seededTable();
  std::string holdTag;
  bool fail = false;
  unsigned delayMs = 0;
  {
    std::lock_guard<std::mutex> g(t.lock);
    auto counted = t.calls.find(op);
    if (counted == t.calls.end()) counted = t.calls.emplace(op, 0).first;
    unsigned n = ++counted->second;
    if (!t.any) return false;
    auto held = t.holds.equal_range(op);
    for (auto h = held.first; h != held.second; ++h) {
      if (h->second.nth == n || h->second.nth == PLAT_HOLD_EVERY_CALL) holdTag = h->second.tag;
    }
    auto it = t.rules.find(op);
    if (it != t.rules.end()) {
      const FaultRule& r = it->second;
      fail = n >= r.nth && (r.count == 0 || n < r.nth + r.count);
    }
    auto slow = t.delays.find(op);
    if (slow != t.delays.end()) delayMs = slow->second;
  }
  // Held and delayed before the operation runs, without the table's lock. The
  // delay is real time, whatever a test has done to the platform's clock.
  if (!holdTag.empty()) holdHere(holdTag);
  if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return fail;
}

}  // namespace plat

extern "C" void platFaultInject(const char* op, unsigned nth, unsigned count) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  addRule(t, op, nth, count);
}

extern "C" void platHoldInject(const char* op, unsigned nth, const char* tag) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  addHold(t, op, nth, tag);
}

extern "C" void platDelayInject(const char* op, unsigned ms) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  addDelay(t, op, ms);
}

extern "C" void platHoldPoint(const char* name) { plat::faultHit(name); }

extern "C" BOOL platHoldWait(const char* tag, DWORD timeoutMs) {
  HANDLE hHeld = holdEvent(tag, "held");
  if (!hHeld) return FALSE;
  BOOL fHeld = WaitForSingleObject(hHeld, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(hHeld);
  return fHeld;
}

extern "C" void platHoldRelease(const char* tag) {
  HANDLE hGo = holdEvent(tag, "go");
  if (!hGo) return;
  SetEvent(hGo);
  CloseHandle(hGo);
}

extern "C" void platFaultClear(void) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  t.holds.clear();
  t.rules.clear();
  t.delays.clear();
  t.calls.clear();
  t.any = false;
}

extern "C" unsigned platFaultCountedOp(unsigned index, char* name, unsigned cbName) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  if (index >= t.calls.size()) return 0;
  auto it = t.calls.begin();
  std::advance(it, index);
  if (name && cbName) snprintf(name, cbName, "%s", it->first.c_str());
  return it->second;
}

extern "C" unsigned platFaultCalls(const char* op) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.calls.find(op);
  return it == t.calls.end() ? 0 : it->second;
}
