// A damaged registry store tells the truth: every registry call answers
// ERROR_REGISTRY_CORRUPT, kvreg and the setup program say that the store is
// damaged and where it is, the installation exports and the multimedia layer
// answer failure, and nothing writes the store until it is renewed on purpose.
// Also for a store damaged under a process that holds it open.
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"

using kvtest::Child;

namespace {

const size_t kPage = 4096;  // the page size of a new store

std::string noise(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = (char)(random() & 0xFF);
  return bytes;
}

LSTATUS setString(HKEY root, const char* path, const char* name, const std::string& text) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), (DWORD)text.size() + 1);
  RegCloseKey(key);
  return st;
}

// Runs SQL on a database file of its own, as another program would; the
// file holds all of it afterwards.
void changeWithSqlite(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// What is done to an intact store (its bytes), on a scratch path of the test.
struct Damage {
  const char* name;
  std::function<std::string(const std::string& good, const std::string& scratch)> make;
};

// Names the damage in test output.
void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

std::string sqliteChanged(const std::string& good, const std::string& scratch, const char* sql) {
  kvtest::writeFile(scratch, good);
  changeWithSqlite(scratch, sql);
  return kvtest::readFile(scratch);
}

const Damage kDamages[] = {
    {"ZeroLength", [](const std::string&, const std::string&) { return std::string(); }},
    {"CutInsideTheHeader", [](const std::string& good, const std::string&) { return good.substr(0, 60); }},
    {"CutMidPage", [](const std::string& good, const std::string&) { return good.substr(0, kPage + 1500); }},
    {"CutAtAPageBoundary", [](const std::string& good, const std::string&) { return good.substr(0, 2 * kPage); }},
    {"CutByOneByte", [](const std::string& good, const std::string&) { return good.substr(0, good.size() - 1); }},
    {"Garbage", [](const std::string& good, const std::string&) { return noise(good.size(), 1); }},
    {"GarbageAfterTheHeader",
     [](const std::string& good, const std::string&) { return good.substr(0, 100) + noise(good.size() - 100, 2); }},
    {"DamagedTablePage",
     [](const std::string& good, const std::string&) {
       return good.substr(0, 2 * kPage) + noise(kPage, 3) + good.substr(3 * kPage);
     }},
    {"AnotherProgramsDatabase",
     [](const std::string&, const std::string& scratch) {
       return sqliteChanged("", scratch,
                            "PRAGMA journal_mode=WAL; CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT);"
                            "INSERT INTO notes(text) VALUES ('not a registry')");
     }},
    {"TablesWithoutTheirRoots",
     [](const std::string& good, const std::string& scratch) {
       return sqliteChanged(good, scratch, "DELETE FROM keys WHERE parent = 0");
     }},
    {"ValuesTableMissing", [](const std::string& good,
                              const std::string& scratch) { return sqliteChanged(good, scratch, "DROP TABLE vals"); }},
};

// Opens both devices of the layer's first drivers and says what each open,
// and the MIDI error text, answered.
KV_HELPER(store_open_devices) {
  (void)argc;
  (void)argv;
  unsetenv(PLAT_MM_DRIVERS_ENV);
  HMIDIOUT midi = nullptr;
  MMRESULT m = midiOutOpen(&midi, 0, 0, 0, CALLBACK_NULL);
  WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
  HWAVEOUT wave = nullptr;
  MMRESULT w = waveOutOpen(&wave, 0, &format, 0, 0, CALLBACK_NULL);
  char text[256] = {};
  midiOutGetErrorTextA(m, text, sizeof text);
  kvtest::say("midi " + std::to_string(m) + " wave " + std::to_string(w) + " devices " +
              std::to_string(midiOutGetNumDevs()) + " " + std::to_string(waveOutGetNumDevs()) + ": " + text);
  if (midi) midiOutClose(midi);
  if (wave) waveOutClose(wave);
  return 0;
}

class StoreTest : public kvtest::ProductTest {
 protected:
  std::string store() const { return root + "/registry.db"; }
  void useMachine(const std::string& dir) { setenv(PLAT_ROOT_ENV, dir.c_str(), 1); }

  // Makes the process let go of the store it holds: the next registry call
  // opens the store of another machine.
  void letGo() {
    std::string mine = getenv(PLAT_ROOT_ENV);
    useMachine(root + "/elsewhere");
    RegQueryInfoKeyA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    useMachine(mine);
  }

  // The bytes of an intact store with the driver registered and enough values
  // for a dozen pages, made on a machine of its own and let go of, so that
  // its file holds all of it.
  std::string intactStore() {
    std::string dir = root + "/intact";
    useMachine(dir);
    EXPECT_EQ(setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", "KVDRVR32.DLL"), ERROR_SUCCESS);
    EXPECT_EQ(setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "wave", "KVDRVR32.DLL"), ERROR_SUCCESS);
    for (int i = 0; i < 150; ++i)
      EXPECT_EQ(setString(HKEY_CURRENT_USER, "Software\\KvTest", ("value" + std::to_string(i)).c_str(),
                          std::string(200, (char)('a' + i % 26))),
                ERROR_SUCCESS);
    letGo();
    useMachine(root);
    EXPECT_FALSE(kvtest::fileExists(dir + "/registry.db-wal"));
    return kvtest::readFile(dir + "/registry.db");
  }

  int program(const char* name, const std::vector<std::string>& args, std::string& out) {
    out.clear();
    return kvtest::runProgram(kvtest::buildDir() + "/" + name, args, &out);
  }

  // Every registry call answers that the store is damaged.
  void expectEveryCallCorrupt() {
    HKEY key = nullptr;
    DWORD size = 0, count = 0;
    char name[64];
    DWORD cch = sizeof name;
    const BYTE data[] = "x";
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_SZ, data, sizeof data), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "v"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegEnumValueA(HKEY_CURRENT_USER, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
  }
};

class DamagedStoreTest : public StoreTest, public ::testing::WithParamInterface<Damage> {};

}  // namespace

TEST_P(DamagedStoreTest, EveryAnswerTellsAndNothingWritesTheStoreUntilRenewed) {
  std::string damaged = GetParam().make(intactStore(), root + "/scratch.db");
  kvtest::writeFile(store(), damaged);
  ASSERT_TRUE(kvtest::fileExists(store()));
  EXPECT_EQ(platRegistryCheck(), ERROR_REGISTRY_CORRUPT);

  expectEveryCallCorrupt();

  std::string out;
  EXPECT_EQ(program("kvreg", {"export", "HKLM\\SOFTWARE"}, out), 1) << out;
  EXPECT_NE(out.find("the registry store is damaged: " + store() + "\n"), std::string::npos) << out;
  kvtest::writeFile(root + "/change.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\X]\r\n\"a\"=\"b\"\r\n");
  EXPECT_EQ(program("kvreg", {"import", root + "/change.reg"}, out), 1) << out;
  EXPECT_NE(out.find("the registry store is damaged: " + store() + "\n"), std::string::npos) << out;

  for (const char* verb : {"/INSTALL", "/REMOVE"}) {
    EXPECT_EQ(program("KVSETUP.EXE", {verb, kvtest::driverModulePath()}, out), 1) << out;
    EXPECT_NE(out.find("KVSETUP: the registry store is damaged: " + store() + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("nothing was changed"), std::string::npos) << out;
    EXPECT_EQ(out.find("not registered"), std::string::npos) << out;
  }
  EXPECT_EQ(program("KVSETUP.EXE", {}, out), 1) << out;
  EXPECT_NE(out.find("KVSETUP: the registry store is damaged: " + store() + "\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("not registered"), std::string::npos) << out;

  // The exports themselves, as another setup program would call them: not
  // even the host copies or the module's copy change.
  ASSERT_TRUE(drv.load());
  typedef int(WINAPI * ExportFn)(void);
  for (const char* name : {"kvRemoveDriverNT", "kvInstallDriverNT"}) {
    ExportFn fn = reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(drv.handle, name)));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), -1) << name;
  }
  EXPECT_TRUE(kvtest::fileExists(installDir() + "/KVMIDI16.EXE"));
  EXPECT_TRUE(kvtest::fileExists(installDir() + "/KVWAVE16.EXE"));
  char source[MAX_PATH], target[MAX_PATH];
  EXPECT_FALSE(platPendingFileOperation(0, source, sizeof source, target, sizeof target)) << source;
  EXPECT_FALSE(kvtest::fileExists(root + "/drive_c/WINDOWS/system32/KVDRVR32.000"));

  // An open through the multimedia layer: the list of drivers could not be
  // read, which is not the same as no driver installed.
  Child client("store_open_devices");
  std::string answer = client.expectLine();
  EXPECT_EQ(answer.substr(0, answer.find(':')), "midi 14 wave 14 devices 0 0");
  EXPECT_NE(answer.find("The registry is damaged"), std::string::npos) << answer;
  EXPECT_EQ(client.wait(), 0);

  letGo();
  EXPECT_TRUE(kvtest::readFile(store()) == damaged) << "the damaged store was written";
  EXPECT_FALSE(kvtest::fileExists(store() + ".new"));

  // Renewed on purpose: the damaged store is kept beside the new one.
  char aside[4096];
  ASSERT_EQ(platRegistryRenew(aside, sizeof aside), ERROR_SUCCESS);
  EXPECT_EQ(std::string(aside).rfind(store() + ".damaged-", 0), 0u) << aside;
  EXPECT_TRUE(kvtest::readFile(aside) == damaged) << "the store put aside is the damaged one";
  EXPECT_EQ(platRegistryCheck(), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(setString(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, "midi", "KVDRVR32.DLL"), ERROR_SUCCESS);
  EXPECT_EQ(platRegistryRenew(aside, sizeof aside), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(program("KVSETUP.EXE", {"/INSTALL", kvtest::driverModulePath()}, out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedStoreTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST_F(StoreTest, ANewMachineGetsAStoreAndOnlyADamagedOneIsRenewed) {
  std::string out;
  EXPECT_EQ(program("kvmachine", {"registry"}, out), 0) << out;
  EXPECT_EQ(out, store() + ": not made yet (the first use of the registry makes it)\n");
  EXPECT_EQ(program("kvmachine", {"renew-registry"}, out), 1) << out;
  EXPECT_FALSE(kvtest::fileExists(store()));

  EXPECT_EQ(setString(HKEY_CURRENT_USER, "Software\\KvTest", "kept", "yes"), ERROR_SUCCESS);
  letGo();
  EXPECT_EQ(program("kvmachine", {"registry"}, out), 0) << out;
  EXPECT_EQ(out, store() + ": intact\n");
  std::string intact = kvtest::readFile(store());
  EXPECT_EQ(program("kvmachine", {"renew-registry"}, out), 1) << out;
  EXPECT_NE(out.find("is intact; it was left alone"), std::string::npos) << out;
  EXPECT_TRUE(kvtest::readFile(store()) == intact) << "the intact store was changed";

  kvtest::writeFile(store(), intact.substr(0, intact.size() / 2));
  EXPECT_EQ(program("kvmachine", {"registry"}, out), 1) << out;
  EXPECT_NE(out.find(store() + ": damaged"), std::string::npos) << out;
  EXPECT_EQ(program("kvmachine", {"renew-registry"}, out), 0) << out;
  EXPECT_NE(out.find("the damaged registry store is kept as " + store() + ".damaged-"), std::string::npos) << out;
  EXPECT_EQ(program("kvmachine", {"registry"}, out), 0) << out;
  EXPECT_EQ(program("kvreg", {"export", "HKCU"}, out), 0) << out;
  EXPECT_EQ(out.find("kept"), std::string::npos) << out;
}

// A store damaged while this process holds it open, with changes of its own
// still in the store's log: the calls answer that it is damaged, also through
// handles opened before, and letting go of the store writes nothing into it.
TEST_F(StoreTest, StoreDamagedUnderARunningProcessIsNeitherReadNorWritten) {
  struct UnderFoot {
    const char* name;
    std::function<void(const std::string& path)> damage;
  };
  const UnderFoot kinds[] = {
      {"cut short", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), (off_t)kPage + 100), 0); }},
      {"header overwritten",
       [](const std::string& path) {
         std::string bytes = kvtest::readFile(path);
         kvtest::writeFile(path, noise(100, 4) + bytes.substr(100));
       }},
      {"deleted", [](const std::string& path) { ASSERT_EQ(unlink(path.c_str()), 0); }},
  };
  for (const UnderFoot& kind : kinds) {
    SCOPED_TRACE(kind.name);
    std::string dir = root + "/" + kind.name;
    useMachine(dir);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\KvTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    for (int i = 0; i < 40; ++i)
      ASSERT_EQ(setString(key, nullptr, ("value" + std::to_string(i)).c_str(), std::string(300, 'v')), ERROR_SUCCESS);
    letGo();  // the file holds these
    for (int i = 0; i < 40; ++i)
      ASSERT_EQ(setString(key, nullptr, ("value" + std::to_string(i)).c_str(), std::string(300, 'w')), ERROR_SUCCESS);
    ASSERT_TRUE(kvtest::fileExists(dir + "/registry.db-wal")) << "the changes wait in the log";

    std::string path = dir + "/registry.db";
    kind.damage(path);
    std::string damaged = kvtest::readFile(path);
    bool present = kvtest::fileExists(path);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "value1", nullptr, nullptr, nullptr, &size), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(setString(key, nullptr, "more", "x"), ERROR_REGISTRY_CORRUPT);
    expectEveryCallCorrupt();
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    letGo();
    EXPECT_EQ(kvtest::fileExists(path), present);
    EXPECT_TRUE(kvtest::readFile(path) == damaged) << "the damaged store was written";
    EXPECT_TRUE(kvtest::fileExists(dir + "/registry.db-wal")) << "the log of the damaged store is kept";

    // Renewed, the log goes aside with the store it belongs to.
    char aside[4096];
    ASSERT_EQ(platRegistryRenew(aside, sizeof aside), ERROR_SUCCESS);
    EXPECT_TRUE(kvtest::fileExists(std::string(aside) + "-wal"));
    EXPECT_EQ(setString(HKEY_CURRENT_USER, "Software\\KvTest", "after", "fine"), ERROR_SUCCESS);
    useMachine(root);
  }
}
