// The registry value operations of installation and removal: reads with their
// defaults, writes, value and key deletions, and the forced deletion of a tree.
#include <string.h>

#include <string>

#include "install/registry.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::MachineTest;

namespace {

const char kOps[] = "Software\\KvTest\\Ops";

class RegistryOpsTest : public MachineTest {
 protected:
  void TearDown() override {
    platFaultClear();
    MachineTest::TearDown();
  }

  void store(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), 0);
    RegCloseKey(key);
  }
  void storeText(const char* path, const char* name, const char* text) {
    store(path, name, REG_SZ, text, (DWORD)strlen(text) + 1);
  }

  static bool exists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  // Type and bytes of a value as stored, or "missing".
  static std::string stored(const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "missing";
    char data[64];
    DWORD type = 0, size = sizeof data;
    LSTATUS st = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return st == ERROR_SUCCESS ? std::to_string(type) + ":" + std::string(data, size) : "missing";
  }
};

}  // namespace

TEST_F(RegistryOpsTest, StringReadsEndAtTheLastStoredByte) {
  char buf[520];
  store(kOps, "Bare", REG_SZ, "abc", 3);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Bare", "dflt", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "ab");
  storeText(kOps, "Whole", "abc");
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Whole", "dflt", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "abc");
  store(kOps, "Expand", REG_EXPAND_SZ, "%SystemRoot%\\x", 15);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Expand", "dflt", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "%SystemRoot%\\x");

  const char multi[] = "one\0two\0";  // with the array's terminator: two strings and the list's end
  store(kOps, "Multi", REG_MULTI_SZ, multi, sizeof multi);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Multi", "dflt", buf, sizeof buf), 0);
  EXPECT_EQ(memcmp(buf, multi, sizeof multi), 0);
  EXPECT_STREQ(buf, "one");
}

TEST_F(RegistryOpsTest, StringReadsFallBackToTheDefault) {
  char buf[8];
  const DWORD seven = 7;
  storeText(kOps, "Long", "0123456789");
  store(kOps, "Number", REG_DWORD, &seven, 4);
  store(kOps, "Empty", REG_SZ, "", 0);
  for (const char* name : {"Long", "Number", "Empty", "Missing"}) {
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, name, "dflt", buf, sizeof buf), -1) << name;
    EXPECT_STREQ(buf, "dflt") << name;
  }
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Missing", "Long", "dflt", buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "dflt");

  // A default longer than the buffer is cut to one byte less and terminated.
  char guarded[8];
  memset(guarded, 'x', sizeof guarded);
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Missing", "abcdefg", guarded, 4), -1);
  EXPECT_EQ(std::string(guarded, sizeof guarded), std::string("abc\0xxxx", 8));
  EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, kOps, "Missing", "abcdefg", guarded, 0), -1);
  EXPECT_EQ(std::string(guarded, sizeof guarded), std::string("abc\0xxxx", 8));  // no room, nothing written
}

TEST_F(RegistryOpsTest, DwordReadsTakeOnlyFourByteDwords) {
  const DWORD value = 0x12345678;
  store(kOps, "Dword", REG_DWORD, &value, 4);
  store(kOps, "Text", REG_SZ, "123", 4);
  store(kOps, "Binary", REG_BINARY, &value, 4);
  store(kOps, "Short", REG_DWORD, &value, 2);
  DWORD result = 0;
  EXPECT_EQ(regReadDword(HKEY_LOCAL_MACHINE, kOps, "Dword", 9, &result), 0);
  EXPECT_EQ(result, value);
  for (const char* name : {"Text", "Binary", "Short", "Missing"}) {
    result = 0xDEADBEEF;
    EXPECT_EQ(regReadDword(HKEY_LOCAL_MACHINE, kOps, name, 9, &result), -1) << name;
    EXPECT_EQ(result, 9u) << name;
  }
}

TEST_F(RegistryOpsTest, WritesCreateThePathAndStoreTypedValues) {
  const char deep[] = "Software\\KvTest\\Ops\\A\\B";
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, deep, "Name", "text"), 0);
  EXPECT_EQ(stored(deep, "Name"), std::string("1:text\0", 7));
  EXPECT_EQ(regWriteDword(HKEY_LOCAL_MACHINE, deep, "Count", 0x01020304), 0);
  EXPECT_EQ(stored(deep, "Count"), std::string("4:\x04\x03\x02\x01", 6));
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, deep, "Name", "other"), 0);
  EXPECT_EQ(stored(deep, "Name"), std::string("1:other\0", 8));

  platFaultInject("RegSetValueExA", 1, 1);
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, deep, "Name", "lost"), -1);
  platFaultInject("RegCreateKeyExA", 1, 1);
  EXPECT_EQ(regWriteDword(HKEY_LOCAL_MACHINE, deep, "Count", 5), -1);
  EXPECT_EQ(stored(deep, "Name"), std::string("1:other\0", 8));
}

TEST_F(RegistryOpsTest, ValueDeletionNeedsTheValue) {
  storeText(kOps, "Gone", "x");
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, kOps, "Gone", nullptr), 0);
  EXPECT_EQ(stored(kOps, "Gone"), "missing");
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, kOps, "Gone", nullptr), -1);
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Nowhere", "Gone", nullptr), -1);
  EXPECT_FALSE(exists("Software\\KvTest\\Nowhere"));
}

TEST_F(RegistryOpsTest, KeyDeletionWithoutForceTakesOnlyAnEmptyKey) {
  const char tree[] = "Software\\KvTest\\Ops\\Tree";
  storeText(kOps, "Only", "x");
  storeText("Software\\KvTest\\Ops\\Tree\\Leaf", "v", "x");
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, kOps, nullptr, nullptr), -1);  // one value
  EXPECT_EQ(stored(kOps, "Only"), std::string("1:x\0", 4));
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, tree, nullptr, nullptr), -1);  // one subkey
  // Neither "force" in another case nor "Force" of another type is a forced deletion.
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, tree, nullptr, "force"), -1);
  EXPECT_EQ(regWriteValue(HKEY_LOCAL_MACHINE, tree, nullptr, reinterpret_cast<const BYTE*>("Force"), 6, REG_EXPAND_SZ),
            -1);
  EXPECT_TRUE(exists("Software\\KvTest\\Ops\\Tree\\Leaf"));
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Nowhere", nullptr, nullptr), -1);

  const char empty[] = "Software\\KvTest\\Ops\\Empty";
  ASSERT_EQ(regWriteString(HKEY_LOCAL_MACHINE, empty, "v", "x"), 0);
  ASSERT_EQ(regWriteString(HKEY_LOCAL_MACHINE, empty, "v", nullptr), 0);
  const BYTE* force = reinterpret_cast<const BYTE*>("Force");
  EXPECT_EQ(regWriteValue(HKEY_LOCAL_MACHINE, empty, nullptr, force, 6, REG_BINARY), 0);
  EXPECT_FALSE(exists(empty));
  ASSERT_EQ(regWriteDword(HKEY_LOCAL_MACHINE, empty, "v", 1), 0);
  ASSERT_EQ(regWriteString(HKEY_LOCAL_MACHINE, empty, "v", nullptr), 0);
  EXPECT_EQ(regWriteDword(HKEY_LOCAL_MACHINE, empty, nullptr, 1), 0);  // a DWORD without a name deletes if empty
  EXPECT_FALSE(exists(empty));
}

TEST_F(RegistryOpsTest, ForceRemovesTheWholeTree) {
  storeText("Software\\KvTest\\Ops\\T\\A\\A1\\A11", "deep", "x");
  storeText("Software\\KvTest\\Ops\\T\\A\\A2", "v", "x");
  storeText("Software\\KvTest\\Ops\\T\\B", "v", "x");
  storeText("Software\\KvTest\\Ops\\T", "top", "x");
  storeText("Software\\KvTest\\Ops\\Sibling", "v", "x");
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force"), 0);
  EXPECT_FALSE(exists("Software\\KvTest\\Ops\\T"));
  EXPECT_TRUE(exists("Software\\KvTest\\Ops\\Sibling"));
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force"), -1);

  // Never the root itself.
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "", nullptr, "Force"), -1);
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, nullptr, nullptr, "Force"), -1);
  EXPECT_TRUE(exists("Software\\KvTest\\Ops\\Sibling"));
}

TEST_F(RegistryOpsTest, ForceStepsOverWhatItCannotRemove) {
  storeText("Software\\KvTest\\Ops\\T\\A\\A1", "v", "x");
  storeText("Software\\KvTest\\Ops\\T\\B", "v", "x");
  // The first deletion is that of A1: A then keeps a subkey and stays, B still goes.
  platFaultInject("RegDeleteKeyA", 1, 1);
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force"), -1);
  EXPECT_TRUE(exists("Software\\KvTest\\Ops\\T\\A\\A1"));
  EXPECT_FALSE(exists("Software\\KvTest\\Ops\\T\\B"));

  // A key that cannot be enumerated at all ends the walk instead of looping.
  platFaultInject("RegEnumKeyExA", 1, 0);
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force"), -1);
  EXPECT_TRUE(exists("Software\\KvTest\\Ops\\T\\A\\A1"));
  platFaultClear();
  EXPECT_EQ(regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force"), 0);
  EXPECT_FALSE(exists("Software\\KvTest\\Ops\\T"));
}

TEST_F(RegistryOpsTest, EveryOperationClosesWhatItOpens) {
  // Handles are reused lowest first: a key left open would move the next handle.
  HANDLE before = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(before);
  char buf[16];
  DWORD dw;
  storeText("Software\\KvTest\\Ops\\T\\A", "v", "x");
  regReadString(HKEY_LOCAL_MACHINE, kOps, "Missing", "d", buf, sizeof buf);
  regReadDword(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T\\A", "v", 0, &dw);
  regWriteString(HKEY_LOCAL_MACHINE, kOps, "v", "x");
  regWriteString(HKEY_LOCAL_MACHINE, kOps, "v", nullptr);
  regWriteString(HKEY_LOCAL_MACHINE, kOps, "v", nullptr);
  regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, nullptr);
  platFaultInject("RegSetValueExA", 1, 1);
  regWriteDword(HKEY_LOCAL_MACHINE, kOps, "n", 1);
  regWriteString(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Ops\\T", nullptr, "Force");
  HANDLE after = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(after, before);
  CloseHandle(after);
}

TEST(CopyBounded, CopiesTheTerminatorOnlyWhenTheSourceIsShorter) {
  char dest[8];
  memset(dest, 'x', sizeof dest);
  EXPECT_EQ(copyBounded(dest, "ab", 5), dest);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string("ab\0xxxxx", 8));
  memset(dest, 'x', sizeof dest);
  copyBounded(dest, "abcdef", 3);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string("abcxxxxx", 8));
  memset(dest, 'x', sizeof dest);
  copyBounded(dest, "abc", 3);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string("abcxxxxx", 8));
}
