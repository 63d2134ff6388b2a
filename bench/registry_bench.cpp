// Registry writes and reads per second through RegSetValueExA and
// RegQueryValueExA, each measured next to SQLite's own rate for the same work
// in the same run: a bare table in a database of its own with the registry's
// durability settings (write-ahead log, full syncs), one statement per
// transaction. The ratio says what the registry's handles, checks and
// transactions cost on top of the store.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const int kNames = 64;  // values written and read in turn
const char kKey[] = "Software\\KvBench";
const char kData[] = "C:\\WINDOWS\\system32\\kvdrvr32.dll";

// Data that differs from one write to the next: SQLite skips rewriting a row
// whose bytes stay the same, which would leave the raw writes nothing to sync.
std::string dataOf(long sequence) { return std::to_string(sequence) + kData; }

std::string valueName(int i) { return "value" + std::to_string(i); }

// A machine of its own for the run, removed afterwards.
class ScratchMachine {
 public:
  ScratchMachine() {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvbench-XXXXXX";
    if (mkdtemp(&dir[0])) root = dir;
    setenv(PLAT_ROOT_ENV, root.c_str(), 1);
  }
  ~ScratchMachine() {
    auto remove = [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); };
    if (!root.empty()) nftw(root.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  std::string root;
};

ScratchMachine* gMachine = nullptr;

// The bare table, with the registry's settings.
class RawTable {
 public:
  RawTable() {
    std::string path = gMachine->root + "/raw.db";
    sqlite3_open(path.c_str(), &db_);
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_exec(db_,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE IF NOT EXISTS t(name BLOB PRIMARY KEY, data BLOB NOT NULL);",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_,
                       "INSERT INTO t(name, data) VALUES (?, ?) "
                       "ON CONFLICT(name) DO UPDATE SET data = excluded.data",
                       -1, &insert_, nullptr);
    sqlite3_prepare_v2(db_, "SELECT data FROM t WHERE name = ?", -1, &select_, nullptr);
  }
  ~RawTable() {
    sqlite3_finalize(insert_);
    sqlite3_finalize(select_);
    sqlite3_close(db_);
  }
  bool write(const std::string& name, const std::string& data) {
    sqlite3_bind_blob(insert_, 1, name.data(), (int)name.size(), SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 2, data.c_str(), (int)data.size() + 1, SQLITE_STATIC);
    bool ok = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    return ok;
  }
  bool read(const std::string& name, std::vector<char>& out) {
    sqlite3_bind_blob(select_, 1, name.data(), (int)name.size(), SQLITE_STATIC);
    bool ok = sqlite3_step(select_) == SQLITE_ROW;
    if (ok) {
      const char* p = static_cast<const char*>(sqlite3_column_blob(select_, 0));
      out.assign(p, p + sqlite3_column_bytes(select_, 0));
    }
    sqlite3_reset(select_);
    return ok;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the registry operation in the loop of `state`, then as many raw
// operations on the same value names, and reports both rates and their ratio.
// Each operation gets its value name and its sequence number.
template <typename RegistryOp, typename RawOp>
void compare(benchmark::State& state, const char* unit, RegistryOp registryOp, RawOp rawOp) {
  std::vector<std::string> names;
  for (int i = 0; i < kNames; ++i) names.push_back(valueName(i));
  long done = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!registryOp(names[done % kNames], done)) state.SkipWithError("registry call failed");
    ++done;
  }
  double registryRate = done / secondsSince(start);

  RawTable raw;
  for (const std::string& name : names) raw.write(name, dataOf(-1));
  start = std::chrono::steady_clock::now();
  for (long i = 0; i < done; ++i) {
    if (!rawOp(raw, names[i % kNames], i)) state.SkipWithError("raw SQLite call failed");
  }
  double rawRate = done / secondsSince(start);

  state.counters[std::string("registry_") + unit + "_per_s"] = registryRate;
  state.counters[std::string("sqlite_") + unit + "_per_s"] = rawRate;
  state.counters["registry_vs_sqlite"] = registryRate / rawRate;
}

HKEY openBenchKey() {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

void RegSetValueExA_vs_sqlite_insert(benchmark::State& state) {
  HKEY key = openBenchKey();
  compare(
      state, "writes",
      [&](const std::string& name, long sequence) {
        std::string data = dataOf(sequence);
        return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                              (DWORD)data.size() + 1) == ERROR_SUCCESS;
      },
      [](RawTable& raw, const std::string& name, long sequence) { return raw.write(name, dataOf(sequence)); });
  RegCloseKey(key);
}

void RegQueryValueExA_vs_sqlite_select(benchmark::State& state) {
  HKEY key = openBenchKey();
  std::string data = dataOf(-1);
  for (int i = 0; i < kNames; ++i)
    RegSetValueExA(key, valueName(i).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   (DWORD)data.size() + 1);
  std::vector<char> out;
  compare(
      state, "reads",
      [&](const std::string& name, long) {
        BYTE buf[MAX_PATH];
        DWORD size = sizeof buf, type;
        return RegQueryValueExA(key, name.c_str(), nullptr, &type, buf, &size) == ERROR_SUCCESS;
      },
      [&](RawTable& raw, const std::string& name, long) { return raw.read(name, out); });
  RegCloseKey(key);
}

BENCHMARK(RegSetValueExA_vs_sqlite_insert)->UseRealTime()->MinTime(2.0);
BENCHMARK(RegQueryValueExA_vs_sqlite_select)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  ScratchMachine machine;
  gMachine = &machine;
  if (machine.root.empty()) {
    perror("mkdtemp");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
