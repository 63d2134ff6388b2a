// The registry's store: its file, its opening, creation and checks, its
// statements and transactions, and the services the machine's tools call on it.
#include "registry_store.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace plat {
namespace reg {

// Names are kept as given and found through their folded form: ASCII letters in
// upper case. The second byte of a double-byte character of the machine's code
// page stays as it is, since it may fall among the ASCII letters.
std::string folded(const char* name, size_t length) {
  std::string out(name, length);
  UINT codePage = GetACP();
  for (size_t i = 0; i < out.size(); ++i) {
    if (IsDBCSLeadByteEx(codePage, (BYTE)out[i]))
      ++i;
    else if (out[i] >= 'a' && out[i] <= 'z')
      out[i] = (char)(out[i] - 'a' + 'A');
  }
  return out;
}
std::string folded(const std::string& name) { return folded(name.data(), name.size()); }

sqlite3_int64 fileTimeNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const sqlite3_int64 kSecondsFrom1601To1970 = 11644473600LL;
  return ((sqlite3_int64)ts.tv_sec + kSecondsFrom1601To1970) * 10000000LL + ts.tv_nsec / 100;
}

LSTATUS fromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// ---- the store ---------------------------------------------------------------

namespace {

const char kStoreFile[] = "registry.db";
const char kStoreLockFile[] = "registry.lock";
// Another process holds the store's write lock only for the length of one
// call; waiting this long means the store is stuck, not busy.
const int kBusyTimeoutMs = 10000;

// Keys form a tree through `parent` (0 above the two roots); ids are never
// reused, so a handle whose key was deleted keeps naming nothing. Values
// enumerate in rowid order, which an update in place keeps.
const char kSchema[] =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  class BLOB NOT NULL DEFAULT x'',"
    "  written INTEGER NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, fold));"
    "CREATE INDEX vals_by_key ON vals(key);"
    "INSERT INTO keys(id, parent, name, fold, written) VALUES"
    "  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0),"
    "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0);";

// What a store of ours must hold: both tables with every column, and the roots.
const char* const kSchemaChecks[] = {
    "SELECT count(*) = 2 FROM keys WHERE parent = 0 AND id IN (1, 2) AND name NOTNULL AND fold NOTNULL "
    "AND class NOTNULL AND written NOTNULL",
    "SELECT count(*) = 0 FROM vals WHERE key ISNULL AND name ISNULL AND fold ISNULL AND type ISNULL AND data ISNULL",
};

// The first bytes of every SQLite file, and where its header keeps the page
// size and the journal mode (2 and 2: a write-ahead log, which every store of
// ours uses).
const char kFileMagic[] = "SQLite format 3";
const size_t kFileHeader = 100;

std::string storePath(const std::string& root) { return root + "/" + kStoreFile; }

bool fileSize(const std::string& path, off_t& size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  size = st.st_size;
  return true;
}

// The machine's lock on opening, creating and renewing its store, held for the
// object's life. Switching a new store to write-ahead logging takes an
// exclusive lock that SQLite does not wait for, so a second process opening the
// new store at the same moment would get SQLITE_BUSY from it.
class OpenLock {
 public:
  explicit OpenLock(const std::string& root) {
    if (!plat::makeDirs(root)) return;
    fd_ = ::open((root + "/" + kStoreLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~OpenLock() {
    if (fd_ >= 0) close(fd_);
  }
  OpenLock(const OpenLock&) = delete;
  OpenLock& operator=(const OpenLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Makes the store of a new machine: written whole under another name, then
// renamed into place, so that the store's name never stands for a store cut
// short (a zero-length or half-made store is a damaged one). Runs under the
// open lock.
LSTATUS createStore(const std::string& root) {
  std::string path = storePath(root), made = path + ".new";
  // A log left behind without its store holds changes nothing can place.
  off_t logSize = 0;
  if (fileSize(path + "-wal", logSize) && logSize > 0) return ERROR_REGISTRY_CORRUPT;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((made + suffix).c_str());
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(made.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    int schema = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    int end = sqlite3_exec(db, schema == SQLITE_OK ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    rc = schema != SQLITE_OK ? schema : end;
  }
  // Closing the only connection moves the log into the file and removes it.
  int closed = sqlite3_close(db);
  if (rc == SQLITE_OK) rc = closed;
  if (rc == SQLITE_OK && rename(made.c_str(), path.c_str()) != 0) rc = SQLITE_CANTOPEN;
  if (rc != SQLITE_OK) {
    unlink(made.c_str());
    return fromSqlite(rc);
  }
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return ERROR_SUCCESS;
}

}  // namespace

class Store {
 public:
  ~Store() {
    for (auto& s : statements_) sqlite3_finalize(s.second);
    // A damaged store, or one whose file is no longer the machine's, is left
    // as it lies: closing does not move the log into it.
    if (db && !fileLooksWhole()) markDamaged();
    sqlite3_close(db);
  }

  LSTATUS open(const std::string& machineRoot) {
    root = machineRoot;
    OpenLock lock(root);
    if (!lock.held()) return ERROR_CANTOPEN;
    return openLocked(false);
  }

  // Opens the machine's store, under the open lock, and reads it whole. A
  // machine without a store gets a new one, unless `existingOnly`.
  LSTATUS openLocked(bool existingOnly) {
    std::string path = storePath(root);
    off_t size;
    if (!fileSize(path, size)) {
      if (errno != ENOENT) return ERROR_CANTOPEN;
      if (existingOnly) return ERROR_FILE_NOT_FOUND;
      LSTATUS made = createStore(root);
      if (made != ERROR_SUCCESS) return made;
    }
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return fromSqlite(rc);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    LSTATUS st = check();
    if (st == ERROR_REGISTRY_CORRUPT) markDamaged();
    return st;
  }

  // The prepared statement for `sql` (a literal), kept for the next call.
  sqlite3_stmt* prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) return nullptr;
    statements_[sql] = st;
    return st;
  }

  // Whether the store may still be used: it was not found damaged, its file is
  // still the machine's store, and it looks whole. Called with `lock` held.
  bool intact() {
    if (damaged) return false;
    if (fileLooksWhole()) return true;
    markDamaged();
    return false;
  }

  // From now on every call on the store answers that it is damaged, and
  // nothing is written to it, also not when the process lets it go.
  void markDamaged() {
    damaged = true;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }

  std::mutex lock;  // one transaction at a time on the connection
  sqlite3* db = nullptr;
  std::string root;
  std::atomic<bool> damaged{false};

 private:
  // Reads the store whole once, writing nothing: its file, SQLite's own check
  // of every page, and the tables and roots every store of ours holds.
  LSTATUS check() {
    if (!fileLooksWhole()) return ERROR_REGISTRY_CORRUPT;
    // Reads go through read(), never through a mapping, which a store cut
    // short under the process would turn into a crash.
    int rc = sqlite3_exec(db, "PRAGMA synchronous=FULL; PRAGMA mmap_size=0; BEGIN", nullptr, nullptr, nullptr);
    bool whole = rc == SQLITE_OK && answersTrue("PRAGMA quick_check(1)", "ok", rc);
    for (const char* sql : kSchemaChecks) whole = whole && answersTrue(sql, nullptr, rc);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (whole) return ERROR_SUCCESS;
    // A statement that cannot even be prepared names a table or column the
    // store lacks.
    if (rc == SQLITE_OK || (rc & 0xFF) == SQLITE_ERROR) return ERROR_REGISTRY_CORRUPT;
    return fromSqlite(rc);
  }

  // Runs a one-row query: true when its answer is the text `expected`, or
  // (without it) a true number.
  bool answersTrue(const char* sql, const char* expected, int& rc) {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    bool yes = false;
    if (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      yes = expected ? text && strcmp(reinterpret_cast<const char*>(text), expected) == 0
                     : sqlite3_column_int64(st, 0) != 0;
      rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    return yes;
  }

  // The file as it lies: still the file SQLite opened under the store's name,
  // not shorter than last seen, its header that of a store of ours, and whole
  // pages. After the first look it costs one stat() while the file stays as
  // it was; the header is read again only when the file changed.
  bool fileLooksWhole() {
    struct stat now;
    if (stat(storePath(root).c_str(), &now) != 0) return false;
    if (!pageSize_) {
      // The first look ties the name to SQLite's own file.
      int moved = 0;
      if (sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved) return false;
    } else if (now.st_ino != seen_.st_ino || now.st_dev != seen_.st_dev) {
      return false;
    }
    if (now.st_size < seen_.st_size) return false;
    if (pageSize_ && now.st_size == seen_.st_size && sameTime(now.st_mtim, seen_.st_mtim) &&
        sameTime(now.st_ctim, seen_.st_ctim))
      return true;
    sqlite3_file* file = nullptr;
    unsigned char header[kFileHeader];
    if (now.st_size < (off_t)kFileHeader ||
        sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file || !file->pMethods ||
        file->pMethods->xRead(file, header, (int)kFileHeader, 0) != SQLITE_OK)
      return false;
    unsigned pageSize = header[16] << 8 | header[17];
    if (pageSize == 1) pageSize = 65536;
    if (memcmp(header, kFileMagic, sizeof kFileMagic) != 0 || header[18] != 2 || header[19] != 2 || pageSize < 512 ||
        (pageSize & (pageSize - 1)) != 0 || (pageSize_ && pageSize != pageSize_))
      return false;
    // Pages are written whole, so a file of part of a page was cut short.
    if (!pageSize_ && now.st_size % pageSize != 0) return false;
    pageSize_ = pageSize;
    seen_ = now;
    return true;
  }

  static bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  }

  std::map<const char*, sqlite3_stmt*> statements_;
  unsigned pageSize_ = 0;  // 0 until the first look
  struct stat seen_ = {};
};

// The store of the current machine root. A process that changes its machine
// root (tests do) gets the new machine's store; handles keep the store they
// were opened in. A store found damaged is opened afresh at the next call, so
// that one put aside and renewed (platRegistryRenew) is left behind.
LSTATUS currentStore(std::shared_ptr<Store>& out) {
  static std::mutex* lock = new std::mutex;
  static std::shared_ptr<Store>* current = new std::shared_ptr<Store>;  // outlives static destructors
  std::string root = plat::machineRoot();
  std::lock_guard<std::mutex> g(*lock);
  if (!*current || (*current)->root != root || (*current)->damaged) {
    auto store = std::make_shared<Store>();
    LSTATUS st = store->open(root);
    if (st != ERROR_SUCCESS) return st;
    *current = store;
  }
  out = *current;
  return ERROR_SUCCESS;
}

Stmt::Stmt(Store& store, const char* sql) : store_(store), st_(store.prepare(sql)) {
  if (!st_) failed(sqlite3_errcode(store.db) ? sqlite3_errcode(store.db) : SQLITE_ERROR);
}

Stmt::~Stmt() {
  if (st_) {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
}

Stmt& Stmt::bind(sqlite3_int64 v) {
  if (st_) sqlite3_bind_int64(st_, ++bound_, v);
  return *this;
}

Stmt& Stmt::bind(const std::string& bytes) {
  if (st_) sqlite3_bind_blob(st_, ++bound_, bytes.data(), (int)bytes.size(), SQLITE_TRANSIENT);
  return *this;
}

Stmt& Stmt::bindStatic(const void* data, size_t length) {
  if (st_) sqlite3_bind_blob64(st_, ++bound_, length ? data : "", length, SQLITE_STATIC);
  return *this;
}

bool Stmt::row() {
  if (!st_ || rc != SQLITE_OK) return false;
  int r = sqlite3_step(st_);
  if (r == SQLITE_ROW) return true;
  if (r != SQLITE_DONE) failed(r);
  return false;
}

sqlite3_int64 Stmt::integer(int col) { return sqlite3_column_int64(st_, col); }

std::string Stmt::bytes(int col) {
  const void* p = sqlite3_column_blob(st_, col);
  int n = sqlite3_column_bytes(st_, col);
  return p && n > 0 ? std::string(static_cast<const char*>(p), (size_t)n) : std::string();
}

// Keeps the first failure; damage SQLite finds in the store stays found.
void Stmt::failed(int code) {
  rc = code;
  if (fromSqlite(code) == ERROR_REGISTRY_CORRUPT) store_.markDamaged();
}

Txn::Txn(Store& store, bool write) : store_(store), guard_(store.lock) {
  if (!store_.intact()) {
    status_ = ERROR_REGISTRY_CORRUPT;
    return;
  }
  Stmt begin(store_, write ? "BEGIN IMMEDIATE" : "BEGIN");
  status_ = begin.run();
  open_ = status_ == ERROR_SUCCESS;
}

Txn::~Txn() {
  if (open_) Stmt(store_, "ROLLBACK").run();
}

LSTATUS Txn::commit() {
  Stmt end(store_, "COMMIT");
  LSTATUS st = end.run();
  if (st == ERROR_SUCCESS) open_ = false;
  return st;
}

sqlite3* connectionOf(Store& store) { return store.db; }

// ---- checking and renewing the store, for the machine's tools ------------------------

namespace {

// The first free name beside the store for a damaged one put aside:
// registry.db.damaged-YYYYMMDD-HHMMSS, with -2, -3 ... after it when taken.
std::string asideName(const std::string& path) {
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  std::string base = path + ".damaged-" + stamp, name = base;
  struct stat st;
  for (int n = 2; lstat(name.c_str(), &st) == 0 || lstat((name + "-wal").c_str(), &st) == 0; ++n)
    name = base + "-" + std::to_string(n);
  return name;
}

}  // namespace

std::string storePathOf(const std::string& root) { return storePath(root); }

LSTATUS checkStore(const std::string& root) {
  Store store;
  store.root = root;
  OpenLock lock(store.root);
  if (!lock.held()) return ERROR_CANTOPEN;
  return store.openLocked(true);
}

LSTATUS renewStore(const std::string& root, std::string& aside) {
  aside.clear();
  std::string path = storePath(root);
  OpenLock lock(root);
  if (!lock.held()) return ERROR_CANTOPEN;
  {
    Store store;
    store.root = root;
    LSTATUS st = store.openLocked(true);
    if (st == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
    if (st == ERROR_FILE_NOT_FOUND) {
      // No store: a new one is made at the first call, unless a log was left
      // without it.
      off_t logSize = 0;
      if (!fileSize(path + "-wal", logSize) || logSize == 0) return ERROR_FILE_NOT_FOUND;
    } else if (st != ERROR_REGISTRY_CORRUPT) {
      return st;
    }
  }
  // The store goes aside with its log, which belongs to it; the index of the
  // log is rebuilt from the log and goes.
  std::string name = asideName(path);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && rename(path.c_str(), name.c_str()) != 0) return ERROR_ACCESS_DENIED;
  if (lstat((path + "-wal").c_str(), &st) == 0 && rename((path + "-wal").c_str(), (name + "-wal").c_str()) != 0)
    return ERROR_ACCESS_DENIED;
  unlink((path + "-shm").c_str());
  aside = name;
  return createStore(root);
}

}  // namespace reg
}  // namespace plat
