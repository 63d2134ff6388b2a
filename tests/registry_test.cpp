// The registry calls: buffer rules and answer codes, names and their order,
// access rights, stale handles and fault points; and the store shared by the
// processes of one machine, concurrent writers and writers killed mid-write.
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;
using kvtest::MachineTest;

namespace {

const char kTestKey[] = "Software\\KvTest";

LSTATUS setValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
  return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS setText(HKEY key, const char* name, const char* text) {
  return setValue(key, name, REG_SZ, text, (DWORD)strlen(text) + 1);
}

std::string queryText(HKEY key, const char* name) {
  char buf[256] = {};
  DWORD size = sizeof buf - 1;
  LSTATUS st = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  return st == ERROR_SUCCESS ? std::string(buf, size) : "error " + std::to_string(st);
}

std::vector<std::string> valueNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    LSTATUS st = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st != ERROR_SUCCESS) {
      EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.push_back(name);
  }
}

std::vector<std::string> subkeyNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    LSTATUS st = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st != ERROR_SUCCESS) {
      EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
      return names;
    }
    names.push_back(name);
  }
}

HKEY createKey(HKEY root, const char* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS)
      << path;
  return key;
}

using Names = std::vector<std::string>;

class RegistryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    key = createKey(HKEY_LOCAL_MACHINE, kTestKey);
    ASSERT_NE(key, nullptr);
  }
  void TearDown() override {
    RegCloseKey(key);
    platFaultClear();
    MachineTest::TearDown();
  }
  HKEY key = nullptr;
};

}  // namespace

TEST_F(RegistryTest, QueryAnswersTypeSizeAndMoreData) {
  ASSERT_EQ(setText(key, "Text", "hello"), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 6u);

  char buf[8];
  memset(buf, 'x', sizeof buf);
  size = 5;
  type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(memcmp(buf, "hello", 6), 0);

  // Data is kept exactly as given: no terminator is added, none is required.
  ASSERT_EQ(setValue(key, "Bare", REG_SZ, "hello", 5), ERROR_SUCCESS);
  ASSERT_EQ(setValue(key, "Empty", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(setValue(key, "Bad", REG_BINARY, nullptr, 4), ERROR_NOACCESS);

  // A missing value: no buffer answers size 0, a buffer keeps its size.
  size = 77;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, (DWORD)sizeof buf);
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
            ERROR_INVALID_PARAMETER);

  // No name and the empty name are both the default value.
  ASSERT_EQ(setText(key, nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(queryText(key, ""), std::string("default", 8));
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  HKEY inner = createKey(key, "MixedCase\\Inner");
  RegCloseKey(inner);
  HKEY again = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\kvtest\\MIXEDCASE\\inner", 0, KEY_READ, &again),
            ERROR_SUCCESS);
  RegCloseKey(again);
  DWORD disposition = 0;
  inner = createKey(key, "mixedcase", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(inner);
  EXPECT_EQ(subkeyNames(key), Names({"MixedCase"}));

  ASSERT_EQ(setText(key, "Alpha", "one"), ERROR_SUCCESS);
  ASSERT_EQ(setText(key, "ALPHA", "two"), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(key), Names({"Alpha"}));
  EXPECT_EQ(queryText(key, "aLpHa"), std::string("two", 4));
  EXPECT_EQ(RegDeleteValueA(key, "alpha"), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(key), Names());

  // In code page 932 the second byte of a character may be an ASCII letter:
  // 0x83 0x61 and 0x83 0x41 are two different characters.
  ASSERT_TRUE(platSetAnsiCodePage(932));
  ASSERT_EQ(setText(key, "\x83\x61", "small"), ERROR_SUCCESS);
  ASSERT_EQ(setText(key, "\x83\x41", "other"), ERROR_SUCCESS);
  EXPECT_EQ(valueNames(key), Names({"\x83\x61", "\x83\x41"}));
  ASSERT_EQ(setText(key, "\x83\x61x", "small"), ERROR_SUCCESS);
  EXPECT_EQ(queryText(key, "\x83\x61X"), std::string("small", 6));
}

TEST_F(RegistryTest, ValuesEnumerateInCreationOrderSubkeysByName) {
  for (const char* name : {"zeta", "alpha", "Mid"}) ASSERT_EQ(setText(key, name, name), ERROR_SUCCESS);
  ASSERT_EQ(setText(key, "ALPHA", "again"), ERROR_SUCCESS);  // an update keeps the place
  EXPECT_EQ(valueNames(key), Names({"zeta", "alpha", "Mid"}));
  ASSERT_EQ(RegDeleteValueA(key, "zeta"), ERROR_SUCCESS);
  ASSERT_EQ(setText(key, "Zeta", "new"), ERROR_SUCCESS);  // a new value goes last
  EXPECT_EQ(valueNames(key), Names({"alpha", "Mid", "Zeta"}));

  for (const char* name : {"b", "C", "a"}) RegCloseKey(createKey(key, name));
  EXPECT_EQ(subkeyNames(key), Names({"a", "b", "C"}));
}

TEST_F(RegistryTest, EnumerationNameCapacityCountsTheTerminator) {
  ASSERT_EQ(setText(key, "Test", "foobar"), ERROR_SUCCESS);
  char name[16];
  BYTE data[16];
  DWORD cch = 4, cb = sizeof data, type = 0;
  strcpy(name, "xxxxxx");
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(cb, 7u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_STREQ(name, "xxxxxx");

  cch = 5;
  cb = 2;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 5u);
  EXPECT_EQ(cb, 7u);
  EXPECT_STREQ(name, "xxxxxx");

  cb = sizeof data;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cch, 4u);
  EXPECT_STREQ(name, "Test");
  EXPECT_EQ(cb, 7u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "foobar");
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  RegCloseKey(createKey(key, "Sub"));
  cch = 3;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 3u);
  cch = 4;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 3u);
  EXPECT_STREQ(name, "Sub");
  cch = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, CreateMakesEveryMissingLevelOpenNeedsThePath) {
  DWORD disposition = 0;
  HKEY deep = createKey(HKEY_LOCAL_MACHINE, "Software\\KvTest\\A\\B\\C", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(deep);
  deep = createKey(key, "A\\B\\C\\", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(deep);

  HKEY h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(key, "A\\Missing", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RegOpenKeyExA(key, "\\A", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(key, std::string(256, 'n').c_str(), 0, KEY_READ, &h), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(key, "V", 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr, &h, nullptr),
            ERROR_NOT_SUPPORTED);

  DWORD subkeys = 9, values = 9, longestName = 0, longestValue = 0, longestData = 0;
  ASSERT_EQ(setValue(key, "Long value name", REG_BINARY, "0123456789", 10), ERROR_SUCCESS);
  RegCloseKey(createKey(key, "Longer subkey"));
  EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestName, nullptr, &values, &longestValue,
                             &longestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2u);
  EXPECT_EQ(longestName, 13u);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(longestValue, 15u);
  EXPECT_EQ(longestData, 10u);
}

// The depth counts from the root, also for a key made through a handle of a
// deep key; a refused creation makes none of the levels it would have made.
TEST_F(RegistryTest, NoKeyIsMadeDeeperThan512LevelsBelowItsRoot) {
  std::string levels;  // Software\KvTest is 2 levels deep
  for (int level = 3; level <= 500; ++level) levels += std::string(levels.empty() ? "" : "\\") + "k";
  HKEY at500 = createKey(key, levels.c_str());
  ASSERT_NE(at500, nullptr);
  std::string twelve = "a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a\\a";
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExA(at500, (twelve + "\\a").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(at500, "a", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\KvTest\\" + levels + "\\" + twelve + "\\a").c_str(), 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  HKEY at512 = createKey(at500, twelve.c_str());
  ASSERT_NE(at512, nullptr);
  EXPECT_EQ(RegCreateKeyExA(at512, "a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_INVALID_PARAMETER);
  DWORD disposition = 0;
  RegCloseKey(createKey(at500, twelve.c_str(), &disposition));
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(at512);
  RegCloseKey(at500);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeysAndStaleHandlesSeeKeyDeleted) {
  RegCloseKey(createKey(key, "A\\B"));
  EXPECT_EQ(RegDeleteKeyA(key, "A"), ERROR_ACCESS_DENIED);
  HKEY b = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key, "A\\B", 0, KEY_ALL_ACCESS, &b), ERROR_SUCCESS);
  ASSERT_EQ(setText(b, "v", "x"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "a\\b"), ERROR_SUCCESS);

  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(b, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(setText(b, "v", "y"), ERROR_KEY_DELETED);
  HKEY below = nullptr;
  EXPECT_EQ(RegCreateKeyExA(b, "C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &below, nullptr), ERROR_KEY_DELETED);
  // The same path created again is a new key; the old handle stays stale.
  RegCloseKey(createKey(key, "A\\B"));
  EXPECT_EQ(RegQueryInfoKeyA(b, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(key, "A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "A"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, HandleAccessRightsAreEnforced) {
  RegCloseKey(createKey(key, "Existing"));
  ASSERT_EQ(setText(key, "v", "x"), ERROR_SUCCESS);
  HKEY reader = nullptr, setter = nullptr, created = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
  EXPECT_EQ(setText(reader, "v", "y"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(reader, "New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(reader, "Existing", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr), ERROR_SUCCESS);
  RegCloseKey(created);
  EXPECT_EQ(queryText(reader, "v"), std::string("x", 2));

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_SET_VALUE, &setter), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(setter, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  char name[16];
  DWORD cch = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(setter, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(setText(setter, "v", "y"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(setter, "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(setter, "v"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(reader);
  RegCloseKey(setter);
}

TEST_F(RegistryTest, HandlesAndPredefinedRoots) {
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY user = createKey(HKEY_CURRENT_USER, kTestKey);
  ASSERT_EQ(setText(user, "where", "user"), ERROR_SUCCESS);
  ASSERT_EQ(setText(key, "where", "machine"), ERROR_SUCCESS);
  EXPECT_EQ(queryText(user, "where"), std::string("user", 5));
  EXPECT_EQ(queryText(key, "where"), std::string("machine", 8));
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(user), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(user, "where", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

  // Another kind of handle is no key, and closing it as one leaves it open.
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);
}

TEST_F(RegistryTest, EveryCallHasAFaultPoint) {
  ASSERT_EQ(setText(key, "v", "x"), ERROR_SUCCESS);
  RegCloseKey(createKey(key, "Sub"));
  char name[64];
  DWORD cch, cb;
  BYTE data[64];
  HKEY h = nullptr;
  struct Case {
    const char* op;
    LSTATUS failure;
    std::function<LSTATUS()> call;
  };
  const std::vector<Case> cases = {
      {"RegOpenKeyExA", ERROR_ACCESS_DENIED,
       [&] { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &h); }},
      {"RegCreateKeyExA", ERROR_ACCESS_DENIED,
       [&] { return RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr); }},
      {"RegCloseKey", ERROR_INVALID_HANDLE, [&] { return RegCloseKey(h); }},
      {"RegSetValueExA", ERROR_ACCESS_DENIED, [&] { return setText(key, "w", "y"); }},
      {"RegQueryValueExA", ERROR_REGISTRY_IO_FAILED,
       [&] { return RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &cb); }},
      {"RegEnumValueA", ERROR_REGISTRY_IO_FAILED,
       [&] {
         cch = sizeof name;
         cb = sizeof data;
         return RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, data, &cb);
       }},
      {"RegEnumKeyExA", ERROR_REGISTRY_IO_FAILED,
       [&] {
         cch = sizeof name;
         return RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
       }},
      {"RegQueryInfoKeyA", ERROR_REGISTRY_IO_FAILED,
       [&] {
         return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
       }},
      {"RegDeleteValueA", ERROR_ACCESS_DENIED, [&] { return RegDeleteValueA(key, "w"); }},
      {"RegDeleteKeyA", ERROR_ACCESS_DENIED, [&] { return RegDeleteKeyA(key, "New"); }},
  };
  // Each failing call changes nothing; the next call does the work.
  for (const Case& c : cases) {
    platFaultInject(c.op, 1, 1);
    EXPECT_EQ(c.call(), c.failure) << c.op;
    EXPECT_EQ(c.call(), ERROR_SUCCESS) << c.op;
  }
  EXPECT_EQ(valueNames(key), Names({"v"}));
  EXPECT_EQ(subkeyNames(key), Names({"Sub"}));
}

// ---- the store across processes ----------------------------------------------------

// Reports the text of a value of HKLM\Software\KvTest, or "missing".
KV_HELPER(reg_query) {
  (void)argc;
  HKEY key = nullptr;
  char buf[256] = {};
  DWORD size = sizeof buf - 1;
  bool found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key) == ERROR_SUCCESS &&
               RegQueryValueExA(key, argv[1], nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS;
  kvtest::say(found ? buf : "missing");
  RegCloseKey(key);
  return 0;
}

// Waits for "go", then sets values PREFIX0 .. PREFIX<count-1> one call each.
KV_HELPER(reg_write_many) {
  (void)argc;
  std::string prefix = argv[1];
  int count = atoi(argv[2]);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != 0) return 1;
  kvtest::say("ready");
  std::string line;
  kvtest::hear(line);
  for (int i = 0; i < count; ++i) {
    std::string name = prefix + std::to_string(i);
    if (setText(key, name.c_str(), name.c_str()) != ERROR_SUCCESS) return 2;
  }
  kvtest::say("done");
  return 0;
}

// Rewrites one large value over and over and reports each round once it is
// stored; runs until killed. A round's value starts with its number, and every
// byte after that equals the number's low byte.
const DWORD kBlobSize = 256 * 1024;
KV_HELPER(reg_rewrite_blob) {
  (void)argc;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != 0) return 1;
  std::vector<BYTE> blob(kBlobSize);
  for (DWORD round = (DWORD)atoi(argv[1]);; ++round) {
    memset(blob.data(), round & 0xFF, blob.size());
    memcpy(blob.data(), &round, sizeof round);
    if (RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), kBlobSize) != ERROR_SUCCESS) return 2;
    kvtest::say(std::to_string(round));
  }
}

TEST_F(RegistryTest, ValuesReachEveryProcessOfTheMachineAndNoOther) {
  ASSERT_EQ(setText(key, "Shared", "from the test"), ERROR_SUCCESS);
  Child same("reg_query", {"Shared"});
  EXPECT_EQ(same.expectLine(), "from the test");
  EXPECT_EQ(same.wait(), 0);

  std::string mine = root;
  setenv("KV_MACHINE_ROOT", (root + "/other-machine").c_str(), 1);
  Child other("reg_query", {"Shared"});
  setenv("KV_MACHINE_ROOT", mine.c_str(), 1);
  EXPECT_EQ(other.expectLine(), "missing");
  EXPECT_EQ(other.wait(), 0);
}

TEST_F(RegistryTest, ConcurrentWritersToOneKeyAllLand) {
  const int kEach = 150;
  Child first("reg_write_many", {"first", std::to_string(kEach)});
  Child second("reg_write_many", {"second", std::to_string(kEach)});
  ASSERT_EQ(first.expectLine(), "ready");
  ASSERT_EQ(second.expectLine(), "ready");
  first.send("go");
  second.send("go");
  EXPECT_EQ(first.expectLine(30000), "done");
  EXPECT_EQ(second.expectLine(30000), "done");
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(second.wait(), 0);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, (DWORD)(2 * kEach));
  for (int i = 0; i < kEach; ++i) {
    for (std::string name : {"first" + std::to_string(i), "second" + std::to_string(i)})
      ASSERT_EQ(queryText(key, name.c_str()), name + '\0');
  }
}

TEST_F(RegistryTest, WriterKilledMidWriteLeavesTheOldOrTheNewValue) {
  DWORD next = 1;
  for (int kill = 0; kill < 3; ++kill) {
    Child writer("reg_rewrite_blob", {std::to_string(next)});
    // Let it get some rounds in, so that the kill lands among writes and checkpoints.
    DWORD heard = 0;
    for (int i = 0; i < 5; ++i) heard = (DWORD)atoi(writer.expectLine(30000).c_str());
    writer.kill();
    writer.wait();

    std::vector<BYTE> blob(kBlobSize + 1);
    DWORD size = (DWORD)blob.size();
    ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, blob.data(), &size), ERROR_SUCCESS);
    ASSERT_EQ(size, kBlobSize);
    DWORD round;
    memcpy(&round, blob.data(), sizeof round);
    for (DWORD i = sizeof round; i < size; ++i) ASSERT_EQ(blob[i], round & 0xFF) << "torn value at byte " << i;
    // A reported round was stored; the writer may have got further than we read.
    EXPECT_GE(round, heard);
    next = round + 1;
  }
  EXPECT_EQ(setText(key, "After", "fine"), ERROR_SUCCESS);
  EXPECT_EQ(queryText(key, "After"), std::string("fine", 5));
}

// Waits for the machine's event "KvFirstCall", then makes its first registry
// call on a machine whose store does not exist yet, and answers its result.
KV_HELPER(reg_first_call) {
  (void)argc;
  (void)argv;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "KvFirstCall");
  kvtest::say(go ? "ready" : "no event");
  if (!go || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return 1;
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (st == ERROR_SUCCESS) RegCloseKey(key);
  kvtest::say(std::to_string(st));
  return 0;
}

TEST_F(MachineTest, ProcessesCreatingTheStoreTogetherAllSucceed) {
  const int kRounds = 40, kProcesses = 6;
  std::string mine = root;
  for (int round = 0; round < kRounds; ++round) {
    // The children's machine, for as long as the test starts and releases them.
    setenv("KV_MACHINE_ROOT", (root + "/machine" + std::to_string(round)).c_str(), 1);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "KvFirstCall");
    ASSERT_NE(go, nullptr);
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) children.push_back(std::make_unique<Child>("reg_first_call"));
    for (auto& c : children) ASSERT_EQ(c->expectLine(), "ready");
    SetEvent(go);
    CloseHandle(go);
    setenv("KV_MACHINE_ROOT", mine.c_str(), 1);
    for (int i = 0; i < kProcesses; ++i)
      EXPECT_EQ(children[i]->expectLine(), "0") << "round " << round << " process " << i;
    for (auto& c : children) EXPECT_EQ(c->wait(), 0);
  }
}
