// kvreg: registry trees to REGEDIT4 text and back.
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kvplatform.h"
#include "support.h"

using kvtest::MachineTest;

namespace {

const char kTree[] = "Software\\KvTest\\Tree";

class KvregTest : public MachineTest {
 protected:
  int kvreg(const std::vector<std::string>& args, std::string* output = nullptr) {
    return kvtest::runProgram(kvtest::buildDir() + "/kvreg", args, output);
  }
  // kvreg with its stack limited to `kib` KiB, as a program whose stack a
  // deep tree would overflow.
  int kvregInStack(int kib, const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> all = {"-c", "ulimit -s " + std::to_string(kib) + " && exec \"$0\" \"$@\"",
                                    kvtest::buildDir() + "/kvreg"};
    all.insert(all.end(), args.begin(), args.end());
    return kvtest::runProgram("/bin/sh", all, output);
  }
  // Imports `text` as a file; answers kvreg's status, its words in `output`.
  int importText(const std::string& text, std::string* output = nullptr) {
    kvtest::writeFile(file("in.reg"), text);
    return kvreg({"import", file("in.reg")}, output);
  }
  std::string file(const char* name) { return root + "/" + name; }
  static void set(const char* path, const char* name, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), (DWORD)data.size()), 0);
    RegCloseKey(key);
  }

  // Every key and value below `path`, as comparable text.
  static std::string dump(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "missing";
    std::string out = "[" + path + "]\n";
    for (DWORD i = 0;; ++i) {
      char name[256];
      BYTE data[512];
      DWORD cch = sizeof name, cb = sizeof data, type = 0;
      if (RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &cb) != ERROR_SUCCESS) break;
      out += std::string(name) + " " + std::to_string(type) + " " + std::string((char*)data, cb) + "\n";
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD cch = sizeof name;
      if (RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      subkeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& s : subkeys) out += dump(path + "\\" + s);
    return out;
  }
};

}  // namespace

TEST_F(KvregTest, ExportImportRoundTripKeepsEveryValue) {
  const DWORD ten = 10;
  set(kTree, "", REG_SZ, std::string("default", 8));
  set(kTree, "Quoted \"name\"", REG_SZ, std::string("C:\\dir\\\"x\"", 11));
  set(kTree, "Bare", REG_SZ, "no terminator");
  set(kTree, "Lines", REG_SZ, std::string("one\r\ntwo", 9));
  set(kTree, "EndsInNewline", REG_SZ, "line\n");
  set(kTree, "Count", REG_DWORD, std::string(reinterpret_cast<const char*>(&ten), 4));
  set(kTree, "ShortDword", REG_DWORD, "ab");
  set(kTree, "Expand", REG_EXPAND_SZ, std::string("%SystemRoot%", 13));
  set(kTree, "Multi", REG_MULTI_SZ, std::string("a\0bc\0", 6));
  set(kTree, "Nothing", REG_NONE, "");
  set(kTree, "Quad", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += (char)i;
  set(kTree, "Long", REG_BINARY, bytes);
  set("Software\\KvTest\\Tree\\Sub\\Deeper", "v", REG_SZ, std::string("x", 2));
  HKEY empty = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Tree\\Empty", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &empty,
                  nullptr);
  RegCloseKey(empty);
  const std::string before = dump(kTree);

  ASSERT_EQ(kvreg({"export", "HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree", file("tree.reg")}), 0);
  std::string text = kvtest::readFile(file("tree.reg"));
  EXPECT_EQ(text.compare(0, 12, "REGEDIT4\r\n\r\n"), 0);
  for (const char* line : {
           "[HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree]\r\n",
           "@=\"default\"\r\n",
           "\"Quoted \\\"name\\\"\"=\"C:\\\\dir\\\\\\\"x\\\"\"\r\n",
           "\"Bare\"=hex(1):6e,6f,20,74,65,72,6d,69,6e,61,74,6f,72\r\n",
           "\"Count\"=dword:0000000a\r\n",
           "\"ShortDword\"=hex(4):61,62\r\n",
           "\"Multi\"=hex(7):61,00,62,63,00,00\r\n",
           "\"Nothing\"=hex(0):\r\n",
           "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n",
           "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
           "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n",
           "[HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree\\Sub\\Deeper]\r\n\"v\"=\"x\"\r\n\r\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;

  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KvTest\\Tree\\Sub\\Deeper"), ERROR_SUCCESS);
  kvtest::writeFile(file("remove.reg"), "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree]\n");
  ASSERT_EQ(kvreg({"import", file("remove.reg")}), 0);
  EXPECT_EQ(dump(kTree), "missing");

  ASSERT_EQ(kvreg({"import", file("tree.reg")}), 0);
  EXPECT_EQ(dump(kTree), before);
  ASSERT_EQ(kvreg({"export", "HKLM\\Software\\KvTest\\Tree", file("again.reg")}), 0);
  EXPECT_EQ(kvtest::readFile(file("again.reg")), text);
}

TEST_F(KvregTest, ImportDeletesValuesAndReportsBadLines) {
  set(kTree, "keep", REG_SZ, std::string("k", 2));
  set(kTree, "drop", REG_SZ, std::string("d", 2));
  set(kTree, "", REG_SZ, std::string("d", 2));
  kvtest::writeFile(file("edit.reg"),
                    "REGEDIT4\r\n"
                    "; a comment\r\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree]\r\n"
                    "\"drop\"=-\r\n"
                    "@=-\r\n"
                    "\"new\"=hex:01,\\\r\n"
                    "    02\r\n"
                    "\"bad\"=dword:xyz\r\n"
                    "\"escape\"=\"\\q\"\r\n"
                    "stray text\r\n"
                    "[HKEY_CLASSES_ROOT\\X]\r\n");
  std::string output;
  EXPECT_EQ(kvreg({"import", file("edit.reg")}, &output), 1);
  EXPECT_NE(output.find("edit.reg:8: bad value data"), std::string::npos) << output;
  EXPECT_NE(output.find("edit.reg:9: bad value data"), std::string::npos) << output;
  EXPECT_NE(output.find("edit.reg:10: not a key"), std::string::npos) << output;
  EXPECT_NE(output.find("edit.reg:11: HKEY_CLASSES_ROOT\\X: not a known root"), std::string::npos) << output;
  EXPECT_EQ(dump(kTree), "[Software\\KvTest\\Tree]\nkeep 1 k" + std::string(1, '\0') + "\nnew 3 \x01\x02\n");

  kvtest::writeFile(file("plain.txt"), "[HKEY_LOCAL_MACHINE\\Software\\KvTest\\Other]\n");
  EXPECT_EQ(kvreg({"import", file("plain.txt")}, &output), 1);
  EXPECT_NE(output.find("not a REGEDIT4 file"), std::string::npos);
  EXPECT_EQ(kvreg({"export", "HKLM\\Software\\KvTest\\Missing"}, &output), 1);
  EXPECT_NE(output.find("cannot open"), std::string::npos);
}

// A whole root exports under its bare name, so that the file imports back;
// also into a machine whose store was renewed after it was damaged.
TEST_F(KvregTest, ARootExportsUnderItsOwnNameAndImportsBack) {
  set(kTree, "v", REG_SZ, std::string("x", 2));
  const std::string before = dump(kTree);
  ASSERT_EQ(kvreg({"export", "HKLM", file("all.reg")}), 0);
  std::string text = kvtest::readFile(file("all.reg"));
  EXPECT_NE(text.find("\r\n[HKEY_LOCAL_MACHINE]\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n[HKEY_LOCAL_MACHINE\\Software\\KvTest\\Tree]\r\n"), std::string::npos) << text;

  setenv("KV_MACHINE_ROOT", (root + "/other").c_str(), 1);
  std::string out;
  EXPECT_EQ(kvreg({"import", file("all.reg")}, &out), 0) << out;
  EXPECT_EQ(dump(kTree), before);
  setenv("KV_MACHINE_ROOT", root.c_str(), 1);
}

static bool keyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A root key cannot be deleted, and its deletion leaves everything below it.
TEST_F(KvregTest, ARootKeyIsNeverDeletedNorAnythingBelowIt) {
  set(kTree, "v", REG_SZ, std::string("x", 2));
  HKEY user = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\KvTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(user);
  const std::string before = dump("Software");
  for (const char* line : {"[-HKEY_LOCAL_MACHINE]", "[-HKCU\\]", "[-hklm\\]", "[-HKEY_CURRENT_USER]"}) {
    SCOPED_TRACE(line);
    std::string out;
    EXPECT_EQ(importText(std::string("REGEDIT4\r\n\r\n") + line + "\r\n", &out), 1);
    EXPECT_NE(out.find("in.reg:3: cannot delete HKEY_"), std::string::npos) << out;
    EXPECT_NE(out.find(": a root key stays"), std::string::npos) << out;
    EXPECT_EQ(dump("Software"), before);
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\KvTest"));
  }
}

// A NUL ends a name early and a CR or LF ends its line: names holding them are
// refused, so the file changes neither the key it seems to name nor another.
// Export then still writes the whole registry.
TEST_F(KvregTest, NamesWithANulCrOrLfAreRefusedAndNothingElseChanges) {
  set("Software\\Victim", "n", REG_SZ, std::string("keep", 5));
  set("Software\\Victim\\Sub", "s", REG_SZ, std::string("keep", 5));
  const std::string before = dump("Software");
  const std::string nul(1, '\0');
  struct Case {
    const char* what;
    std::string text;
    const char* said;
  };
  const Case cases[] = {
      {"deletion", "[-HKLM\\Software\\Victim" + nul + "junk]\r\n", "in.reg:3: HKLM\\Software\\Victim...: a key name"},
      {"key", "[HKLM\\Software\\Victim" + nul + "junk]\r\n\"v\"=\"x\"\r\n", "in.reg:4: a value outside a key"},
      {"value", "[HKLM\\Software\\Victim]\r\n\"n" + nul + "m\"=\"x\"\r\n", "in.reg:4: a value name holding a NUL"},
      {"value with CR", "[HKLM\\Software\\Victim]\r\n\"n\rm\"=\"x\"\r\n", "in.reg:4: a value name holding a NUL"},
      {"CR-only lines", "[HKLM\\Software\\Victim]\r\"a\"=\"b\"\r[HKLM\\Software\\Other]\r",
       "in.reg:3: HKLM\\Software\\Victim]...: a key name holding a NUL, CR or LF"},
      {"key with LF", "[HKLM\\Software\\Vic\ntim]\r\n", "in.reg:3: unterminated key name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out;
    EXPECT_EQ(importText("REGEDIT4\r\n\r\n" + c.text, &out), 1);
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
    EXPECT_EQ(dump("Software"), before);
    EXPECT_EQ(kvreg({"export", "HKLM", file("all.reg")}, &out), 0) << out;
  }
}

// Keys as deep and names as long as the platform allows import; one level or
// one character more is refused with its reason, and nothing is made.
TEST_F(KvregTest, KeysBeyondTheDepthAndNameLimitsAreRefused) {
  std::string deepest = "HKLM\\Software\\Deep";
  for (int level = 3; level <= 512; ++level) deepest += "\\d";
  std::string out;
  EXPECT_EQ(importText("REGEDIT4\r\n\r\n[" + deepest + "]\r\n\"v\"=\"x\"\r\n", &out), 0) << out;
  EXPECT_EQ(importText("REGEDIT4\r\n\r\n[" + deepest + "\\e]\r\n", &out), 1);
  EXPECT_NE(out.find("in.reg:3: HKLM\\Software\\Deep\\d\\d"), std::string::npos) << out;
  EXPECT_NE(out.find(": more than 512 levels below its root"), std::string::npos) << out;
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, (deepest.substr(5) + "\\e").c_str()));

  const std::string longest(255, 'n');
  EXPECT_EQ(importText("REGEDIT4\r\n\r\n[HKLM\\Software\\" + longest + "]\r\n", &out), 0) << out;
  EXPECT_EQ(importText("REGEDIT4\r\n\r\n[HKLM\\Software\\Long\\" + longest + "n]\r\n", &out), 1);
  EXPECT_NE(out.find("in.reg:3: HKLM\\Software\\Long\\nnn"), std::string::npos) << out;
  EXPECT_NE(out.find(": a key name longer than 255 characters"), std::string::npos) << out;
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Long"));
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, ("Software\\" + longest).c_str()));
}

// A store deeper than the platform now lets any program make (an older one
// made it) still exports and deletes, in a stack far smaller than its depth
// needs with one frame per level.
TEST_F(KvregTest, ADeepStoreExportsAndDeletesWithoutRunningOutOfStack) {
  const int kLevels = 1000;
  set("Software\\Deep", "v", REG_SZ, std::string("x", 2));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root + "/registry.db").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  // Each new key goes below the newest one, which Deep is at the start.
  std::string sql = "BEGIN IMMEDIATE;";
  for (int i = 0; i < kLevels; ++i)
    sql += "INSERT INTO keys(parent, name, fold, written) SELECT max(id), x'64', x'44', 0 FROM keys;";
  sql += "COMMIT;";
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);

  std::string deepest = "HKEY_LOCAL_MACHINE\\Software\\Deep";
  for (int i = 0; i < kLevels; ++i) deepest += "\\d";
  std::string out;
  EXPECT_EQ(kvregInStack(256, {"export", "HKLM\\Software", file("deep.reg")}, &out), 0) << out;
  EXPECT_NE(kvtest::readFile(file("deep.reg")).find("[" + deepest + "]\r\n\r\n"), std::string::npos);

  kvtest::writeFile(file("remove.reg"), "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Deep]\r\n");
  EXPECT_EQ(kvregInStack(256, {"import", file("remove.reg")}, &out), 0) << out;
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Deep"));
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "Software"));
}
