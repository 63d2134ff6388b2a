// The setup file (KelvasongSetup.exe, made by scripts/package.sh) in a fresh
// 64-bit prefix of its own: silent installation into Program Files, clients
// of both bitnesses playing, the entry in Settings > Apps, the repair of what
// Windows deletes (from the command line, and offered at logon), installing
// over an earlier installation, silent removal, and an elevation entered with
// another account's credentials. wine-test.sh makes the prefix, with the
// setup file and its package in C:\SETUP, and runs only these tests there.
// Each test starts and ends with nothing of the product installed, and checks
// at its end that the registry, the system directories and Program Files are
// as they were at its start.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "hostlink/protocol.h"
#include "note.h"
#include "playing.h"
#include "support.h"
// After the system's own declarations, which support.h includes.
#include <tlhelp32.h>

using kvwine::Child;

namespace {

const char kSetupFile[] = "C:\\SETUP\\KelvasongSetup.exe";
// The package the setup file was made from, to compare the installation with.
const char kPackage[] = "C:\\SETUP\\Kelvasong";
const char kInstallDir[] = "C:\\Program Files\\Kelvasong";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelvasong";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kShortcut[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Kelvasong Settings.lnk";
// As this 32-bit process reaches each system directory.
const char kSystem64[] = "C:\\windows\\Sysnative";
const char kSystem32[] = "C:\\windows\\syswow64";

std::string sz(const std::string& s) { return std::to_string(REG_SZ) + ":" + s + std::string(1, '\0'); }
std::string dword(DWORD d) { return std::to_string(REG_DWORD) + ":" + std::to_string(d); }
std::string in(const std::string& dir, const char* name) { return dir + "\\" + name; }

// ---- the machine, compared as the main job compares it -----------------------------------

void dumpKey(HKEY key, const std::string& path, REGSAM view, std::string& out) {
  out += "[" + path + "]\n";
  std::vector<std::string> lines;
  for (DWORD i = 0;; ++i) {
    char name[512];
    BYTE data[4096];
    DWORD cch = sizeof name, size = sizeof data, type = 0;
    LSTATUS st = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st != ERROR_SUCCESS) continue;
    lines.push_back(std::string(name) + "=" + std::to_string(type) + ":" +
                    std::string(reinterpret_cast<char*>(data), size));
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) out += "  " + line + "\n";
  std::vector<std::string> subkeys;
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.push_back(name);
  }
  std::sort(subkeys.begin(), subkeys.end());
  for (const std::string& name : subkeys) {
    // Each view is dumped by itself; a 32-bit process that opens a view's
    // Wow6432Node below the classes is led back to the same key, for ever;
    // Perflib's language keys are the performance counters' texts, not keys
    // of the registry; and Wine keeps its own state below its key.
    if (lstrcmpiA(name.c_str(), "Wow6432Node") == 0 || lstrcmpiA(name.c_str(), "Classes") == 0 ||
        lstrcmpiA(name.c_str(), "Perflib") == 0 || lstrcmpiA((path + "\\" + name).c_str(), "HKCU\\Software\\Wine") == 0)
      continue;
    HKEY sub;
    if (RegOpenKeyExA(key, name.c_str(), 0, KEY_READ | view, &sub) != ERROR_SUCCESS) continue;
    dumpKey(sub, path + "\\" + name, view, out);
    RegCloseKey(sub);
  }
}

std::string registryTree(HKEY root, const char* rootName, const char* path, REGSAM view) {
  std::string out;
  HKEY key;
  std::string name = std::string(rootName) + "\\" + path + (view == KEY_WOW64_32KEY ? " (32-bit view)" : "");
  if (RegOpenKeyExA(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return "[" + name + "] absent\n";
  dumpKey(key, name, view, out);
  RegCloseKey(key);
  return out;
}

// Each file below `dir` (below its folders too when `deep`) with its size.
void listFiles(const std::string& dir, const std::string& shown, bool deep, std::string& out) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> lines;
  std::vector<std::string> folders;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      lines.push_back(shown + "\\" + name + "\\");
      folders.push_back(name);
    } else {
      lines.push_back(shown + "\\" + name + " " + std::to_string(found.nFileSizeLow));
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) out += line + "\n";
  if (!deep) return;
  std::sort(folders.begin(), folders.end());
  for (const std::string& folder : folders) listFiles(dir + "\\" + folder, shown + "\\" + folder, true, out);
}

// What installation and removal may touch: the registry the main job exports
// (the drivers' keys, the mapper's, the media resources) in both views, with
// the Run and Uninstall keys and the media device's keys; the Windows
// directory's files, both system directories, Program Files and the Start menu.
std::string machine() {
  std::string out;

  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    out += registryTree(HKEY_LOCAL_MACHINE, "HKLM", "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", view);
    out += registryTree(HKEY_LOCAL_MACHINE, "HKLM", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", view);
    out += registryTree(HKEY_LOCAL_MACHINE, "HKLM", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", view);
  }
  for (const char* path :
       {"SYSTEM\\CurrentControlSet\\Control\\MediaResources", "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\MEDIA",
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}"})
    out += registryTree(HKEY_LOCAL_MACHINE, "HKLM", path, KEY_WOW64_64KEY);
  out += registryTree(HKEY_CURRENT_USER, "HKCU", "Software", 0);
  listFiles("C:\\windows", "C:\\windows", false, out);
  listFiles(kSystem64, "system32", false, out);
  listFiles(kSystem32, "syswow64", false, out);
  listFiles("C:\\Program Files", "C:\\Program Files", true, out);
  listFiles("C:\\Program Files (x86)", "C:\\Program Files (x86)", true, out);
  listFiles("C:\\ProgramData\\Microsoft\\Windows\\Start Menu", "Start Menu", true, out);
  return out;
}

// The lines only before ("- ") and only after ("+ "); empty when none.
std::string differences(const std::string& before, const std::string& after) {
  std::multiset<std::string> a, b;
  std::istringstream sa(before), sb(after);
  for (std::string line; std::getline(sa, line);) a.insert(line);
  for (std::string line; std::getline(sb, line);) b.insert(line);
  std::string out;
  for (const std::string& line : a)
    if (b.count(line) < a.count(line) && out.find("- " + line + "\n") == std::string::npos) out += "- " + line + "\n";
  for (const std::string& line : b)
    if (a.count(line) < b.count(line) && out.find("+ " + line + "\n") == std::string::npos) out += "+ " + line + "\n";
  return out;
}

// ---- the product's programs ----------------------------------------------------------------

DWORD run(const std::string& commandLine, const std::string& dir = kInstallDir) {
  return kvwine::runShown(commandLine, dir, true);
}

void systemStart() { ASSERT_EQ(run(std::string(kSystem64) + "\\wineboot.exe -r", "C:\\windows"), 0u); }

// The instance window ends with the session, before the next logon: the one
// the installation started, or an earlier logon's.
void endSession() {
  HWND window = FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr);
  if (!window) return;
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  ASSERT_NE(process, nullptr);
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  CloseHandle(process);
}

int driverAliases(REGSAM view) {
  int n = 0;
  for (auto& v : kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, view))
    if (v.second == sz("KVDRVR32.DLL")) ++n;
  return n;
}

// Deletes the driver's aliases of one registry view whose names start with
// `prefix` ("midi": the MIDI alias, as Windows' MIDI repair does; "": all).
void deleteAliases(REGSAM view, const std::string& prefix) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_ALL_ACCESS | view, &key), ERROR_SUCCESS);
  for (auto& v : kvwine::keyValues(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, view)) {
    if (v.second == sz("KVDRVR32.DLL") && v.first.compare(0, prefix.size(), prefix) == 0) {
      EXPECT_EQ(RegDeleteValueA(key, v.first.c_str()), ERROR_SUCCESS) << v.first;
    }
  }
  RegCloseKey(key);
}

std::string registryString(HKEY root, const char* path, const char* name, REGSAM view) {
  std::string value = kvwine::keyValues(root, path, view)[name];
  size_t colon = value.find(':');
  if (colon == std::string::npos) return "";
  value.erase(0, colon + 1);
  while (!value.empty() && value.back() == '\0') value.pop_back();
  return value;
}

void createKey(HKEY root, const char* path, REGSAM view) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_READ | view, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

// The processes whose parent is `parent`.
std::vector<DWORD> childrenOf(DWORD parent) {
  std::vector<DWORD> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32 pe = {};
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
    if (pe.th32ParentProcessID == parent) ids.push_back(pe.th32ProcessID);
  CloseHandle(snap);
  return ids;
}

// The user's own dialog of the product ("Kelvasong"), answered with `id`
// (IDYES, IDNO, IDOK) once it is there.
void answerDialog(int id) {
  HWND dialog = nullptr;
  ASSERT_TRUE(kvwine::waitUntil([&] { return (dialog = FindWindowA("#32770", "Kelvasong")) != nullptr; }, 60000))
      << "no question";
  PostMessageA(dialog, WM_COMMAND, (WPARAM)id, 0);
  ASSERT_TRUE(kvwine::waitUntil([&] { return !IsWindow(dialog); })) << "the question stayed";
}

class WineSetupFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sizeof(void*) == 8) GTEST_SKIP() << "the 32-bit suite installs the setup file";
    if (!kvwine::exists(kSetupFile) || !kvwine::exists(kvwine::kOtherSuite))
      GTEST_SKIP() << "no setup file in C:\\SETUP (wine-test.sh lays it out in a prefix of its own)";
    // The keys Windows always has and the driver's registration adds to, as
    // the main job's machine has them: the removal takes its values, not them.
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
      for (const char* path : {KV_USER_INSTALLABLE_KEY, KV_RELATED_DESC_KEY, KV_DRIVERS_DESC_KEY})
        createKey(HKEY_LOCAL_MACHINE, path, view);
    createKey(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0);
    before = machine();
  }
  // As Windows runs it: the setup file, elevated, with /S.
  void installSilently() {
    ASSERT_EQ(run(std::string(kSetupFile) + " /S", "C:\\SETUP"), 0u);
    ASSERT_EQ(kvwine::installDir(), kInstallDir);
  }
  // As Settings > Apps runs it: the entry's QuietUninstallString. NSIS's
  // uninstaller copies itself to TEMP, so that its own file can be deleted,
  // starts the copy and returns at once; the copy does the removal and is
  // waited for.
  void uninstallSilently() {
    std::string quiet = registryString(HKEY_LOCAL_MACHINE, kUninstallKey, "QuietUninstallString", KEY_WOW64_64KEY);
    ASSERT_EQ(quiet, "\"C:\\Program Files\\Kelvasong\\Uninstall.exe\" /S");
    Child uninstaller(quiet, "C:\\", true);
    DWORD id = GetProcessId(uninstaller.process());
    std::string said;
    ASSERT_EQ(uninstaller.finish(said), 0u) << said;
    std::vector<DWORD> copies = childrenOf(id);
    ASSERT_EQ(copies.size(), 1u) << "the uninstaller's copy";
    HANDLE copy = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copies[0]);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(WaitForSingleObject(copy, 120000), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(copy, &code);
    CloseHandle(copy);
    EXPECT_EQ(code, 0u) << "the removal failed";
  }
  // The registry, the system directories and Program Files are as they were.
  void expectMachineAsBefore() { EXPECT_EQ(differences(before, machine()), ""); }
  // What the machine's Run key starts for whoever logs on, started as logon
  // starts it, its output read by the test.
  std::unique_ptr<Child> logon() {
    std::string line = registryString(HKEY_LOCAL_MACHINE, kRunKey, KV_INSTANCE_RUN_VALUE, KEY_WOW64_64KEY);
    EXPECT_EQ(line, "\"C:\\Program Files\\Kelvasong\\KVTSK16.EXE\" /Logon");
    return std::unique_ptr<Child>(new Child(line, kInstallDir));
  }
  // The lines `child` says up to the one that holds `until`. Blank lines come
  // too: under Wine a windowed program the child starts (the setup program)
  // writes to the child's own output. A line that never came ends it.
  std::string linesUntil(Child& child, const std::string& until) {
    std::string lines;
    const ::testing::TestResult& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int partsBefore = result.total_part_count();
    for (;;) {
      std::string line = child.expectLine(60000);
      lines += line + "\n";
      if (line.find(until) != std::string::npos || (line.empty() && result.total_part_count() != partsBefore))
        return lines;
    }
  }
  // The host records a note, for the test to read; the test's own file goes
  // before the removal, with the records.
  void recordNotes() {
    ASSERT_TRUE(WritePrivateProfileStringA("Host", "MidiRecord", "KVMIDIIN", in(kInstallDir, "KVHOST.INI").c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Host", "WaveRecord", "KVWAVEOUT", in(kInstallDir, "KVHOST.INI").c_str()));
  }
  void forgetRecords() {
    for (const char* f :
         {"KVHOST.INI", "KVMIDIIN.TXT", "KVMIDIIN.RAW", "KVMIDIIN.WAV", "KVWAVEOUT.WAV", "KVWAVEOUT.TXT"})
      DeleteFileA(in(kInstallDir, f).c_str());
  }
  std::string before;
};

}  // namespace

// Installed silently, the product plays from clients of both bitnesses
// through the bundled FluidSynth and bank; its entry in Settings > Apps holds
// its values. When Windows drops the Drivers32 entries of a bitness, the
// logon offers the repair, which puts them back, and the command line's
// /REPAIR does the same; a note plays again. Removed silently after a system
// start, it leaves the machine as it was.
TEST_F(WineSetupFileTest, InstalledSilentlyItPlaysIsRepairedAndUninstalledSilentlyLeavesNothing) {
  installSilently();
  std::map<std::string, std::string> entry = kvwine::keyValues(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY);
  EXPECT_EQ(entry["DisplayName"], sz("Kelvasong Software-WaveTable-Synthesizer"));
  EXPECT_EQ(entry["DisplayVersion"], sz("1.0.0.0"));
  EXPECT_EQ(entry["Publisher"], sz("Orvellin"));
  EXPECT_EQ(entry["DisplayIcon"], sz("C:\\Program Files\\Kelvasong\\KVSETUP.EXE,0"));
  EXPECT_EQ(entry["InstallLocation"], sz(kInstallDir));
  EXPECT_EQ(entry["UninstallString"], sz("\"C:\\Program Files\\Kelvasong\\Uninstall.exe\""));
  EXPECT_EQ(entry["NoModify"], dword(1));
  EXPECT_EQ(entry["NoRepair"], dword(1));
  // The package's size, in kilobytes.
  std::string files;
  listFiles(kPackage, "", true, files);
  unsigned long long bytes = 0;
  std::istringstream lines(files);
  for (std::string line; std::getline(lines, line);)
    if (line.back() != '\\') bytes += std::stoull(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(entry["EstimatedSize"].compare(0, 2, "4:"), 0);
  unsigned long long kb = entry["EstimatedSize"].size() > 2 ? std::stoull(entry["EstimatedSize"].substr(2)) : 0;
  EXPECT_TRUE(kb >= bytes / 1024 && kb <= bytes / 1024 + 200) << kb << " KB for " << bytes << " bytes";
  EXPECT_TRUE(kvwine::keyValues(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY).empty())
      << "the entry is in the 64-bit view, where Settings > Apps reads it";
  // Every file of the package, as the package has it.
  std::istringstream names(files);
  for (std::string line; std::getline(names, line);) {
    if (line.back() == '\\') continue;
    std::string name = line.substr(1, line.rfind(' ') - 1);
    EXPECT_TRUE(kvwine::readFile(in(kInstallDir, name.c_str())) == kvwine::readFile(in(kPackage, name.c_str())))
        << name;
  }
  EXPECT_TRUE(kvwine::exists(kShortcut)) << "the Start menu's Kelvasong Settings";
  EXPECT_NE(kvwine::readFile(kShortcut).find("KVSETUP.EXE"), std::string::npos);
  EXPECT_EQ(driverAliases(KEY_WOW64_32KEY), 2) << "a MIDI and a wave alias in the 32-bit view";
  EXPECT_EQ(driverAliases(KEY_WOW64_64KEY), 2) << "a MIDI and a wave alias in the 64-bit view";

  systemStart();
  EXPECT_TRUE(kvwine::readFile(in(kSystem32, "KVDRVR32.DLL")) == kvwine::readFile(in(kPackage, "KVDRVR32.DLL")));
  EXPECT_TRUE(kvwine::readFile(in(kSystem64, "KVDRVR32.DLL")) == kvwine::readFile(in(kPackage, "x64\\KVDRVR32.DLL")));
  recordNotes();
  kvwine::expectA4From(false, kInstallDir);
  kvwine::expectA4From(true, kInstallDir);

  // Windows drops the 64-bit entries: the logon offers the repair, once.
  deleteAliases(KEY_WOW64_64KEY, "");
  EXPECT_EQ(run(in(kInstallDir, "KVSETUP.EXE") + " /CHECK"), (DWORD)KV_SETUP_NEEDS_REPAIR);
  endSession();
  std::unique_ptr<Child> instance = logon();
  std::string said = linesUntil(*instance, "its repair is offered");
  answerDialog(IDYES);
  said += linesUntil(*instance, "KVSETUP.EXE /REPAIR answered");
  EXPECT_NE(said.find("KVSETUP.EXE /REPAIR answered 0"), std::string::npos) << said;
  answerDialog(IDOK);
  EXPECT_EQ(driverAliases(KEY_WOW64_64KEY), 2) << "the repair put them back\n" << said;
  kvwine::expectA4From(true, kInstallDir);

  // And the 32-bit ones, repaired from the command line.
  deleteAliases(KEY_WOW64_32KEY, "");
  EXPECT_EQ(run(in(kInstallDir, "KVSETUP.EXE") + " /REPAIR"), 0u);
  EXPECT_EQ(driverAliases(KEY_WOW64_32KEY), 2);
  EXPECT_EQ(run(in(kInstallDir, "KVSETUP.EXE") + " /CHECK"), (DWORD)KV_SETUP_DONE);
  kvwine::expectA4From(false, kInstallDir);

  forgetRecords();
  systemStart();
  uninstallSilently();
  EXPECT_EQ(instance->wait(10000), 0u) << "the removal ended the instance window";
  // The removal waited for the instance's program to end: no file of the
  // folder was in use, so the folder went at once, not at the restart.
  EXPECT_FALSE(kvwine::exists(kInstallDir));
  systemStart();
  expectMachineAsBefore();
}

// Installing over an earlier installation keeps the machine's settings
// (KVHOST.INI) and the user's mapper settings from before the first. Windows'
// MIDI repair then deletes only the 64-bit MIDI alias; the logon offers the
// repair once, not at the next logon. The silent removal still takes
// everything: the setup program registers the driver again before it removes
// it. What the user made in the folder stays, and nothing else.
TEST_F(WineSetupFileTest, InstallingOverKeepsTheSettingsAndUninstallAfterWindowsRepairLeavesNothing) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, KV_MIDIMAP_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char instrument[] = "mmsynth.dll<0000>";
  RegSetValueExA(key, "CurrentInstrument", 0, REG_SZ, reinterpret_cast<const BYTE*>(instrument), sizeof instrument);
  RegCloseKey(key);
  before = machine();
  const auto mapperBefore = kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY);

  installSilently();
  const std::string settings = "[Host]\r\nGain=0.7\r\n";
  {
    FILE* f = fopen(in(kInstallDir, "KVHOST.INI").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(settings.data(), 1, settings.size(), f);
    fclose(f);
  }
  installSilently();
  EXPECT_EQ(kvwine::readFile(in(kInstallDir, "KVHOST.INI")), settings) << "installing over keeps the settings";
  EXPECT_EQ(kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_SAVE_KEY)["CurrentInstrument"], sz(instrument))
      << "the user's mapper settings from before the first installation";
  systemStart();

  deleteAliases(KEY_WOW64_64KEY, "midi");
  EXPECT_EQ(driverAliases(KEY_WOW64_64KEY), 1) << "the wave alias stays, as Windows' repair leaves it";
  endSession();
  {
    std::unique_ptr<Child> instance = logon();
    linesUntil(*instance, "its repair is offered");
    answerDialog(IDNO);
    std::string said = linesUntil(*instance, "declined");
    EXPECT_NE(said.find("the repair was declined; it is not offered again"), std::string::npos) << said;
    endSession();
    EXPECT_EQ(instance->wait(10000), 0u);
  }
  std::unique_ptr<Child> instance = logon();
  std::string said = linesUntil(*instance, "not offered again");
  EXPECT_NE(said.find("its repair was offered at an earlier logon"), std::string::npos) << said;
  EXPECT_EQ(FindWindowA("#32770", "Kelvasong"), nullptr) << "asked again";

  uninstallSilently();
  EXPECT_EQ(instance->wait(10000), 0u) << "the removal ended the instance window";
  EXPECT_EQ(kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY), mapperBefore);
  EXPECT_EQ(kvwine::readFile(in(kInstallDir, "KVHOST.INI")), settings) << "the removal leaves what the user made";
  std::string left;
  listFiles(kInstallDir, "", true, left);
  EXPECT_EQ(left, "\\KVHOST.INI " + std::to_string(settings.size()) + "\n") << "and only that";
  DeleteFileA(in(kInstallDir, "KVHOST.INI").c_str());
  RemoveDirectoryA(kInstallDir);
  systemStart();
  expectMachineAsBefore();
}

// A standard user elevates with an administrator's credentials: the elevated
// setup program runs as the administrator. Wine has one account, which plays
// the administrator here; a registry of its own below HKEY_USERS plays the
// user's, and /USER names it, as the setup program's unelevated run names its
// invoker to its elevated one. The user's mapper settings are saved, set and
// given back in the user's registry, not the administrator's; the instance
// window is started by the machine's Run key at logon, for whoever logs on,
// and the wave device opens.
TEST_F(WineSetupFileTest, AnElevationWithAnotherAccountsCredentialsServesTheUserAtTheDesktop) {
  const char kUser[] = "S-1-5-21-0-0-0-1001";
  const std::string userMapper = std::string(kUser) + "\\" + KV_MIDIMAP_KEY;
  const std::string userRun = std::string(kUser) + "\\" + kRunKey;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, userMapper.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char instrument[] = "mmsynth.dll<0000>";
  RegSetValueExA(key, "CurrentInstrument", 0, REG_SZ, reinterpret_cast<const BYTE*>(instrument), sizeof instrument);
  RegCloseKey(key);
  // An earlier version started the instance window from the user's own Run key.
  ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, userRun.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char earlier[] = "\"C:\\SETUP\\Kelvasong\\KVTSK16.EXE\" /Instance";
  RegSetValueExA(key, KV_INSTANCE_RUN_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(earlier), sizeof earlier);
  RegCloseKey(key);
  const auto userBefore = kvwine::keyValues(HKEY_USERS, userMapper.c_str());
  const auto ownBefore = kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY);
  before = machine();

  const std::string setup = in(kPackage, "KVSETUP.EXE");
  ASSERT_EQ(run(setup + " /DIR " + kPackage, kPackage), 0u);
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "WaveRecord", "KVWAVEOUT", in(kPackage, "KVHOST.INI").c_str()));
  Child installation(setup + " /INSTALL /USER " + kUser, kPackage, true);
  std::string said;
  ASSERT_EQ(installation.finish(said), 0u) << said;
  printf("%s", said.c_str());
  EXPECT_NE(said.find(std::string("changed for ") + kUser), std::string::npos) << said;
  EXPECT_NE(said.find("instance window: the program that asked for elevation starts it"), std::string::npos);
  auto userMap = kvwine::keyValues(HKEY_USERS, userMapper.c_str());
  EXPECT_EQ(userMap["CurrentInstrument"], sz("KVDRVR32.DLL<0000>")) << "the user's mapper points at the driver";
  EXPECT_EQ(
      kvwine::keyValues(HKEY_USERS, (std::string(kUser) + "\\" + KV_MIDIMAP_SAVE_KEY).c_str())["CurrentInstrument"],
      sz(instrument))
      << "and the user's own settings are kept for the removal";
  EXPECT_TRUE(kvwine::keyValues(HKEY_USERS, userRun.c_str()).empty()) << "the earlier version's Run value went";
  EXPECT_EQ(kvwine::keyValues(HKEY_CURRENT_USER, KV_MIDIMAP_KEY), ownBefore)
      << "nothing in the administrator's own registry";
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, KV_PRODUCT_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(registryString(HKEY_LOCAL_MACHINE, kRunKey, KV_INSTANCE_RUN_VALUE, KEY_WOW64_64KEY),
            "\"C:\\SETUP\\Kelvasong\\KVTSK16.EXE\" /Logon");

  // Wine's session start (wineboot without arguments) runs the machine's Run
  // key, as Windows does at logon; the wave device opens for the user.
  ASSERT_EQ(run(std::string(kSystem64) + "\\wineboot.exe", "C:\\windows"), 0u);
  ASSERT_TRUE(kvwine::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) != nullptr; }, 60000))
      << "logon started the instance window";
  {
    kvwine::Driver drv;
    ASSERT_TRUE(drv.load());
    kvwine::streamSignal(drv);
    // The module leaves the system directory at the next system start.
    FreeLibrary(drv.handle);
  }

  Child removal(setup + " /REMOVE /USER " + kUser, kPackage, true);
  ASSERT_EQ(removal.finish(said), 0u) << said;
  printf("%s", said.c_str());
  EXPECT_EQ(kvwine::keyValues(HKEY_USERS, userMapper.c_str()), userBefore) << "the user's own settings came back";
  EXPECT_TRUE(kvwine::waitUntil([] { return FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr) == nullptr; }));
  DeleteFileA(in(kPackage, "KVHOST.INI").c_str());
  for (const char* f : {"KVWAVEOUT.WAV", "KVWAVEOUT.TXT"}) DeleteFileA(in(kPackage, f).c_str());
  DeleteFileA("C:\\windows\\KELVASON.INI");
  systemStart();
  expectMachineAsBefore();
  std::string hive;
  HKEY user;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, kUser, 0, KEY_READ, &user), ERROR_SUCCESS);
  dumpKey(user, kUser, 0, hive);
  RegCloseKey(user);
  // The user's Run key held only the earlier version's value: it went too.
  const std::string version = std::string(kUser) + "\\Software\\Microsoft\\Windows\\CurrentVersion";
  EXPECT_EQ(hive,
            std::string("[") + kUser + "]\n[" + kUser + "\\Software]\n[" + kUser + "\\Software\\Microsoft]\n[" + kUser +
                "\\Software\\Microsoft\\Windows]\n[" + version + "]\n[" + version + "\\Multimedia]\n[" + version +
                "\\Multimedia\\MIDIMap]\n  CurrentInstrument=1:" + std::string(instrument, sizeof instrument) + "\n")
      << "nothing of the product is left in the user's registry";
  RegDeleteTreeA(HKEY_USERS, kUser);
}
