// The registry's store: keys and values in an SQLite database below the
// machine root, shared by every process of the machine. Each registry call is
// one transaction in write-ahead-log mode with full syncs, so a change is
// either wholly in the store or not at all, also when the process is killed or
// the power fails in the middle of it.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>

#include "internal.h"

namespace plat {
namespace reg {

// The ids of the two roots in every store.
const sqlite3_int64 kMachineRootId = 1;
const sqlite3_int64 kUserRootId = 2;

// Names are kept as given and found through their folded form.
std::string folded(const char* name, size_t length);
std::string folded(const std::string& name);
// Now as a FILETIME count.
sqlite3_int64 fileTimeNow();
LSTATUS fromSqlite(int rc);

class Store;
// The store of the current machine root, opened at its first use.
LSTATUS currentStore(std::shared_ptr<Store>& out);
// The store's connection, for what a statement leaves behind (the last
// inserted row, the rows changed).
sqlite3* connectionOf(Store& store);

// One cached statement, reset and unbound when it goes out of scope. The first
// failure is kept in `rc`.
class Stmt {
 public:
  Stmt(Store& store, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(sqlite3_int64 v);
  Stmt& bind(const std::string& bytes);
  // Binds `length` bytes that stay valid for the statement's life.
  Stmt& bindStatic(const void* data, size_t length);

  // Steps once: true for a row; false when done or failed.
  bool row();
  LSTATUS run() {
    row();
    return status();
  }
  LSTATUS status() const { return fromSqlite(rc); }

  sqlite3_int64 integer(int col);
  std::string bytes(int col);

  int rc = SQLITE_OK;

 private:
  void failed(int code);

  Store& store_;
  sqlite3_stmt* st_;
  int bound_ = 0;
};

// One call's transaction, holding the connection's lock; rolled back unless
// committed. Writers take the write lock at the start, so that two processes
// never both read and then both try to write. None starts on a damaged store.
class Txn {
 public:
  Txn(Store& store, bool write);
  ~Txn();
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  LSTATUS status() const { return status_; }
  LSTATUS commit();

 private:
  Store& store_;
  std::unique_lock<std::mutex> guard_;
  LSTATUS status_ = ERROR_SUCCESS;
  bool open_ = false;
};

// For the machine's tools: the store's host path below `root`; whether the
// store there is intact (ERROR_SUCCESS), missing (ERROR_FILE_NOT_FOUND) or
// damaged (ERROR_REGISTRY_CORRUPT); and a new, empty store in place of a
// damaged one, which goes aside with its log under the name put in `aside`
// (ERROR_ALREADY_EXISTS, and nothing changed, for an intact store).
std::string storePathOf(const std::string& root);
LSTATUS checkStore(const std::string& root);
LSTATUS renewStore(const std::string& root, std::string& aside);

}  // namespace reg
}  // namespace plat
