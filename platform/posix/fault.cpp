// Fault injection: a per-process table of platform operations that are to fail,
// consulted by every operation that can fail. Seeded from the environment so that
// a test can make operations fail in a process it starts.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "internal.h"

namespace {

struct FaultRule {
  unsigned nth = 0;    // fail from this call on (counted in calls), 0 = no rule
  unsigned count = 0;  // this many calls fail; 0 = all from nth on
};

struct FaultTable {
  std::mutex lock;
  // Looked up by the caller's name as it is, without building a string.
  std::map<std::string, unsigned, std::less<>> calls;
  std::map<std::string, FaultRule, std::less<>> rules;
  std::atomic<bool> any{false};
};

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

// "Op=nth[:count],Op2=nth" from the environment.
void seedFromEnvironment(FaultTable& t) {
  const char* spec = getenv(PLAT_FAULTS_ENV);
  if (!spec) return;
  std::string s(spec);
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      unsigned nth = (unsigned)strtoul(item.c_str() + eq + 1, nullptr, 10);
      size_t colon = item.find(':', eq);
      unsigned count = colon == std::string::npos ? 1 : (unsigned)strtoul(item.c_str() + colon + 1, nullptr, 10);
      addRule(t, item.substr(0, eq), nth, count);
    }
    pos = end + 1;
  }
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
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  auto counted = t.calls.find(op);
  if (counted == t.calls.end()) counted = t.calls.emplace(op, 0).first;
  unsigned n = ++counted->second;
  if (!t.any) return false;
  auto it = t.rules.find(op);
  if (it == t.rules.end()) return false;
  const FaultRule& r = it->second;
  return n >= r.nth && (r.count == 0 || n < r.nth + r.count);
}

}  // namespace plat

extern "C" void platFaultInject(const char* op, unsigned nth, unsigned count) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  addRule(t, op, nth, count);
}

extern "C" void platFaultClear(void) {
  FaultTable& t = seededTable();
  std::lock_guard<std::mutex> g(t.lock);
  t.rules.clear();
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
