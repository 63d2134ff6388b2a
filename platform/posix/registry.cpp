// The registry calls: keys and values of the machine's store
// (registry_store.cpp), opened keys as handles of the process's handle table.
#include <string.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry_store.h"

namespace {

using plat::reg::connectionOf;
using plat::reg::currentStore;
using plat::reg::fileTimeNow;
using plat::reg::folded;
using plat::reg::kMachineRootId;
using plat::reg::kUserRootId;
using plat::reg::Stmt;
using plat::reg::Store;
using plat::reg::Txn;

const size_t kMaxKeyName = 255;
// No key lies more than this many levels below its root.
const size_t kMaxKeyDepth = 512;
const size_t kMaxValueName = 16383;

// Generic rights, mapped onto the key rights when a key is opened.
const REGSAM kGenericRead = 0x80000000u;
const REGSAM kGenericWrite = 0x40000000u;
const REGSAM kGenericExecute = 0x20000000u;
const REGSAM kGenericAll = 0x10000000u;
const REGSAM kMaximumAllowed = 0x02000000u;

// ---- keys and handles -------------------------------------------------------------

struct KeyRef {
  std::shared_ptr<Store> store;
  sqlite3_int64 id = 0;
  REGSAM access = 0;
  bool allows(REGSAM needed) const { return (access & needed) == needed; }
};

class RegKey : public plat::Object {
 public:
  KeyRef ref;
};

bool isPredefined(HKEY h) { return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER; }

LSTATUS keyOf(HKEY h, KeyRef& out) {
  if (isPredefined(h)) {
    LSTATUS st = currentStore(out.store);
    out.id = h == HKEY_LOCAL_MACHINE ? kMachineRootId : kUserRootId;
    out.access = KEY_ALL_ACCESS;
    return st;
  }
  std::shared_ptr<RegKey> key = plat::handleAs<RegKey>((HANDLE)h);
  if (!key) return ERROR_INVALID_HANDLE;
  out = key->ref;
  return ERROR_SUCCESS;
}

REGSAM grantedAccess(REGSAM desired) {
  REGSAM out = desired & KEY_ALL_ACCESS;
  if (desired & (kMaximumAllowed | kGenericAll)) out |= KEY_ALL_ACCESS;
  if (desired & kGenericRead) out |= KEY_READ;
  if (desired & kGenericWrite) out |= KEY_WRITE;
  if (desired & kGenericExecute) out |= KEY_EXECUTE;
  return out;
}

HKEY newHandle(const std::shared_ptr<Store>& store, sqlite3_int64 id, REGSAM access) {
  auto key = std::make_shared<RegKey>();
  key->ref.store = store;
  key->ref.id = id;
  key->ref.access = grantedAccess(access);
  return (HKEY)plat::handleInsert(key);
}

// The components of a key path; empty components after the first are skipped.
LSTATUS splitPath(LPCSTR path, std::vector<std::string>& parts) {
  parts.clear();
  if (!path) return ERROR_SUCCESS;
  if (*path == '\\') return ERROR_BAD_PATHNAME;
  std::string part;
  for (const char* p = path;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
      if (!part.empty()) parts.push_back(part);
      part.clear();
      if (*p == '\0') return ERROR_SUCCESS;
    } else {
      part += *p;
    }
  }
}

LSTATUS keyAlive(Store& s, sqlite3_int64 id) {
  Stmt q(s, "SELECT 1 FROM keys WHERE id = ?");
  if (q.bind(id).row()) return ERROR_SUCCESS;
  return q.rc == SQLITE_OK ? ERROR_KEY_DELETED : q.status();
}

// The start of a call on an open key: its handle resolved, the access the
// call needs checked, a transaction begun, and the key found still there
// (another handle may have deleted it). status() says which step failed.
class KeyCall {
 public:
  KeyCall(HKEY hKey, REGSAM access, bool write) {
    if ((status_ = keyOf(hKey, key)) != ERROR_SUCCESS) return;
    if (!key.allows(access)) {
      status_ = ERROR_ACCESS_DENIED;
      return;
    }
    txn_.emplace(*key.store, write);
    if ((status_ = txn_->status()) == ERROR_SUCCESS) status_ = keyAlive(*key.store, key.id);
  }
  LSTATUS status() const { return status_; }
  Store& store() { return *key.store; }
  LSTATUS commit() { return txn_->commit(); }

  KeyRef key;

 private:
  std::optional<Txn> txn_;
  LSTATUS status_;
};

LSTATUS findChild(Store& s, sqlite3_int64 parent, const std::string& name, sqlite3_int64& child) {
  Stmt q(s, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
  if (q.bind(parent).bind(folded(name)).row()) {
    child = q.integer(0);
    return ERROR_SUCCESS;
  }
  return q.rc == SQLITE_OK ? ERROR_FILE_NOT_FOUND : q.status();
}

// Follows `parts` down from `from`, which must still exist.
LSTATUS walk(Store& s, sqlite3_int64 from, const std::vector<std::string>& parts, sqlite3_int64& to) {
  LSTATUS st = keyAlive(s, from);
  to = from;
  for (size_t i = 0; st == ERROR_SUCCESS && i < parts.size(); ++i) st = findChild(s, to, parts[i], to);
  return st;
}

// How many levels below its root the key lies (0 for a root).
LSTATUS depthOf(Store& s, sqlite3_int64 id, size_t& depth) {
  Stmt q(s,
         "WITH RECURSIVE up(id, n) AS (SELECT ?, 0 UNION ALL "
         "SELECT keys.parent, up.n + 1 FROM keys JOIN up ON keys.id = up.id WHERE keys.parent != 0 AND up.n <= ?) "
         "SELECT max(n) FROM up");
  if (!q.bind(id).bind((sqlite3_int64)kMaxKeyDepth).row()) return q.status();
  depth = (size_t)q.integer(0);
  return ERROR_SUCCESS;
}

LSTATUS touch(Store& s, sqlite3_int64 id) {
  return Stmt(s, "UPDATE keys SET written = ? WHERE id = ?").bind(fileTimeNow()).bind(id).run();
}

void putFileTime(PFILETIME ft, sqlite3_int64 ticks) {
  if (!ft) return;
  ft->dwLowDateTime = (DWORD)(ticks & 0xFFFFFFFF);
  ft->dwHighDateTime = (DWORD)((unsigned long long)ticks >> 32);
}

// Copies `text` with its terminator into a buffer of *capacity characters, as
// the enumeration calls do: a text that does not fit changes nothing.
bool putName(const std::string& text, LPSTR buffer, LPDWORD capacity) {
  if (text.size() >= *capacity) return false;
  memcpy(buffer, text.c_str(), text.size() + 1);
  *capacity = (DWORD)text.size();
  return true;
}

std::string valueName(LPCSTR name) { return name ? std::string(name) : std::string(); }

}  // namespace

// ---- keys -------------------------------------------------------------------------

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (plat::faultHit("RegOpenKeyExA")) return ERROR_ACCESS_DENIED;
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef from;
  std::vector<std::string> parts;
  LSTATUS st = keyOf(hKey, from);
  if (st == ERROR_SUCCESS) st = splitPath(lpSubKey, parts);
  if (st != ERROR_SUCCESS) return st;
  sqlite3_int64 id;
  {
    Txn txn(*from.store, false);
    if ((st = txn.status()) != ERROR_SUCCESS) return st;
    if ((st = walk(*from.store, from.id, parts, id)) != ERROR_SUCCESS) return st;
  }
  *phkResult = newHandle(from.store, id, samDesired);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                          REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                          LPDWORD lpdwDisposition) {
  if (plat::faultHit("RegCreateKeyExA")) return ERROR_ACCESS_DENIED;
  if (Reserved != 0 || !phkResult) return ERROR_INVALID_PARAMETER;
  if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_NOT_SUPPORTED;
  KeyRef from;
  std::vector<std::string> parts;
  LSTATUS st = keyOf(hKey, from);
  if (st == ERROR_SUCCESS) st = splitPath(lpSubKey, parts);
  if (st != ERROR_SUCCESS) return st;
  Store& s = *from.store;
  sqlite3_int64 id = from.id;
  bool created = false;
  {
    Txn txn(s, true);
    if ((st = txn.status()) != ERROR_SUCCESS || (st = keyAlive(s, id)) != ERROR_SUCCESS) return st;
    sqlite3_int64 now = fileTimeNow();
    for (size_t i = 0; i < parts.size(); ++i) {
      sqlite3_int64 parent = id;
      st = created ? ERROR_FILE_NOT_FOUND : findChild(s, parent, parts[i], id);
      if (st == ERROR_FILE_NOT_FOUND) {
        // Creating anything through a handle needs the right to create below it.
        if (!from.allows(KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        size_t depth = 0;
        if (!created && (st = depthOf(s, parent, depth)) != ERROR_SUCCESS) return st;
        if (!created && depth + (parts.size() - i) > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        bool last = i + 1 == parts.size();
        Stmt insert(s, "INSERT INTO keys(parent, name, fold, class, written) VALUES (?, ?, ?, ?, ?)");
        st = insert.bind(parent)
                 .bind(parts[i])
                 .bind(folded(parts[i]))
                 .bind(last && lpClass ? std::string(lpClass) : std::string())
                 .bind(now)
                 .run();
        if (st == ERROR_SUCCESS) st = touch(s, parent);
        id = sqlite3_last_insert_rowid(connectionOf(s));
        created = true;
      }
      if (st != ERROR_SUCCESS) return st;
    }
    if (created && (st = txn.commit()) != ERROR_SUCCESS) return st;
  }
  *phkResult = newHandle(from.store, id, samDesired);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (plat::faultHit("RegCloseKey")) return ERROR_INVALID_HANDLE;
  if (isPredefined(hKey)) return ERROR_SUCCESS;
  if (!plat::handleAs<RegKey>((HANDLE)hKey)) return ERROR_INVALID_HANDLE;
  return plat::handleClose((HANDLE)hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

extern "C" LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (plat::faultHit("RegDeleteKeyA")) return ERROR_ACCESS_DENIED;
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  KeyRef from;
  std::vector<std::string> parts;
  LSTATUS st = keyOf(hKey, from);
  if (st == ERROR_SUCCESS) st = splitPath(lpSubKey, parts);
  if (st != ERROR_SUCCESS) return st;
  Store& s = *from.store;
  Txn txn(s, true);
  sqlite3_int64 id;
  if ((st = txn.status()) != ERROR_SUCCESS || (st = walk(s, from.id, parts, id)) != ERROR_SUCCESS) return st;
  if (id == kMachineRootId || id == kUserRootId) return ERROR_ACCESS_DENIED;
  Stmt child(s, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  if (child.bind(id).row()) return ERROR_ACCESS_DENIED;
  if ((st = child.status()) != ERROR_SUCCESS) return st;
  sqlite3_int64 parentId = 0;
  {
    Stmt parent(s, "SELECT parent FROM keys WHERE id = ?");
    if (parent.bind(id).row()) parentId = parent.integer(0);
    if ((st = parent.status()) != ERROR_SUCCESS) return st;
  }
  if ((st = Stmt(s, "DELETE FROM vals WHERE key = ?").bind(id).run()) != ERROR_SUCCESS ||
      (st = Stmt(s, "DELETE FROM keys WHERE id = ?").bind(id).run()) != ERROR_SUCCESS ||
      (st = touch(s, parentId)) != ERROR_SUCCESS)
    return st;
  return txn.commit();
}

// ---- values -----------------------------------------------------------------------

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
  if (plat::faultHit("RegQueryValueExA")) return ERROR_REGISTRY_IO_FAILED;
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  KeyCall call(hKey, KEY_QUERY_VALUE, false);
  LSTATUS st = call.status();
  if (st != ERROR_SUCCESS) return st;
  const KeyRef& key = call.key;
  Store& s = call.store();
  Stmt q(s, "SELECT type, data FROM vals WHERE key = ? AND fold = ?");
  if (!q.bind(key.id).bind(folded(valueName(lpValueName))).row()) {
    if (q.rc != SQLITE_OK) return q.status();
    if (lpcbData && !lpData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  std::string data = q.bytes(1);
  if (lpType) *lpType = (DWORD)q.integer(0);
  if (lpData && data.size() > *lpcbData) {
    *lpcbData = (DWORD)data.size();
    return ERROR_MORE_DATA;
  }
  if (lpData) memcpy(lpData, data.data(), data.size());
  if (lpcbData) *lpcbData = (DWORD)data.size();
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                         DWORD cbData) {
  if (plat::faultHit("RegSetValueExA")) return ERROR_ACCESS_DENIED;
  if (!lpData && cbData) return ERROR_NOACCESS;
  std::string name = valueName(lpValueName);
  if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  KeyCall call(hKey, KEY_SET_VALUE, true);
  LSTATUS st = call.status();
  if (st != ERROR_SUCCESS) return st;
  const KeyRef& key = call.key;
  Store& s = call.store();
  // An update keeps the row, and with it the value's name and place in the order.
  Stmt upsert(s,
              "INSERT INTO vals(key, name, fold, type, data) VALUES (?, ?, ?, ?, ?) "
              "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  st = upsert.bind(key.id).bind(name).bind(folded(name)).bind((sqlite3_int64)dwType).bindStatic(lpData, cbData).run();
  if (st == ERROR_SUCCESS) st = touch(s, key.id);
  return st == ERROR_SUCCESS ? call.commit() : st;
}

extern "C" LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  if (plat::faultHit("RegDeleteValueA")) return ERROR_ACCESS_DENIED;
  KeyCall call(hKey, KEY_SET_VALUE, true);
  LSTATUS st = call.status();
  if (st != ERROR_SUCCESS) return st;
  const KeyRef& key = call.key;
  Store& s = call.store();
  st = Stmt(s, "DELETE FROM vals WHERE key = ? AND fold = ?").bind(key.id).bind(folded(valueName(lpValueName))).run();
  if (st != ERROR_SUCCESS) return st;
  if (sqlite3_changes(connectionOf(s)) == 0) return ERROR_FILE_NOT_FOUND;
  if ((st = touch(s, key.id)) != ERROR_SUCCESS) return st;
  return call.commit();
}

// ---- enumeration and inquiry -------------------------------------------------------

extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (plat::faultHit("RegEnumValueA")) return ERROR_REGISTRY_IO_FAILED;
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  KeyCall call(hKey, KEY_QUERY_VALUE, false);
  LSTATUS st = call.status();
  if (st != ERROR_SUCCESS) return st;
  const KeyRef& key = call.key;
  Store& s = call.store();
  Stmt q(s, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY rowid LIMIT 1 OFFSET ?");
  if (!q.bind(key.id).bind((sqlite3_int64)dwIndex).row()) return q.rc == SQLITE_OK ? ERROR_NO_MORE_ITEMS : q.status();
  std::string name = q.bytes(0), data = q.bytes(2);
  if (lpType) *lpType = (DWORD)q.integer(1);
  bool dataFits = !lpData || data.size() <= *lpcbData;
  if (!dataFits || !putName(name, lpValueName, lpcchValueName)) {
    if (lpcbData) *lpcbData = (DWORD)data.size();
    return ERROR_MORE_DATA;
  }
  if (lpData) memcpy(lpData, data.data(), data.size());
  if (lpcbData) *lpcbData = (DWORD)data.size();
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                        LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (plat::faultHit("RegEnumKeyExA")) return ERROR_REGISTRY_IO_FAILED;
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  KeyCall call(hKey, KEY_ENUMERATE_SUB_KEYS, false);
  LSTATUS st = call.status();
  if (st != ERROR_SUCCESS) return st;
  const KeyRef& key = call.key;
  Store& s = call.store();
  Stmt q(s, "SELECT name, class, written FROM keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
  if (!q.bind(key.id).bind((sqlite3_int64)dwIndex).row()) return q.rc == SQLITE_OK ? ERROR_NO_MORE_ITEMS : q.status();
  std::string name = q.bytes(0), cls = q.bytes(1);
  putFileTime(lpftLastWriteTime, q.integer(2));
  bool classFits = !lpClass || !lpcchClass || cls.size() < *lpcchClass;
  if (!classFits || !putName(name, lpName, lpcchName)) return ERROR_MORE_DATA;
  if (lpClass && lpcchClass)
    putName(cls, lpClass, lpcchClass);
  else if (lpcchClass)
    *lpcchClass = (DWORD)cls.size();
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (plat::faultHit("RegQueryInfoKeyA")) return ERROR_REGISTRY_IO_FAILED;
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  KeyCall call(hKey, KEY_QUERY_VALUE, false);
  if (call.status() != ERROR_SUCCESS) return call.status();
  const KeyRef& key = call.key;
  Store& s = call.store();
  Stmt self(s, "SELECT class, written FROM keys WHERE id = ?");
  if (!self.bind(key.id).row()) return self.rc == SQLITE_OK ? ERROR_KEY_DELETED : self.status();
  Stmt subkeys(s,
               "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(class)), 0) "
               "FROM keys WHERE parent = ?");
  Stmt values(s,
              "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) "
              "FROM vals WHERE key = ?");
  if (!subkeys.bind(key.id).row()) return subkeys.status();
  if (!values.bind(key.id).row()) return values.status();
  std::string cls = self.bytes(0);
  if (lpClass && lpcchClass && !putName(cls, lpClass, lpcchClass)) {
    *lpcchClass = (DWORD)cls.size();
    return ERROR_MORE_DATA;
  }
  if (lpcchClass) *lpcchClass = (DWORD)cls.size();
  if (lpcSubKeys) *lpcSubKeys = (DWORD)subkeys.integer(0);
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = (DWORD)subkeys.integer(1);
  if (lpcbMaxClassLen) *lpcbMaxClassLen = (DWORD)subkeys.integer(2);
  if (lpcValues) *lpcValues = (DWORD)values.integer(0);
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = (DWORD)values.integer(1);
  if (lpcbMaxValueLen) *lpcbMaxValueLen = (DWORD)values.integer(2);
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  putFileTime(lpftLastWriteTime, self.integer(1));
  return ERROR_SUCCESS;
}
