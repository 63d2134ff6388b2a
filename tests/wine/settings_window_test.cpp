// The settings window on a display of its own (scripts/wine-test.sh runs
// these tests last, with Wine's X11 driver on an X server it starts): opened by
// the driver's configuration command and by the Start menu's command line,
// driven by window messages as a user's clicks would send them, with a
// screenshot of each kept in the build directory. What Apply saves is what
// the next note plays with, and a replace that fails leaves the old file whole.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

// clang-format off
#include "support.h"
#include <commctrl.h>
#include <shlobj.h>
// clang-format on

#include "hostlink/protocol.h"
#include "setup/win/settingsids.h"
#include "tones.h"

namespace {

const bool kWide = sizeof(void*) == 8;
const char kBank[] = "Z:\\usr\\share\\sounds\\sf2\\TimGM6mb.sf2";
const char kBrowseTitle[] = "Choose a SoundFont or DLS bank";
// The package's 64-bit programs, where the 32-bit suite finds them when the
// package was made (scripts/wine-test.sh).
const char kPackageX64[] = "C:\\PKG\\x64\\";
// The file name box of the system's file dialog.
const int kFileNameBox = 0x47c;

std::string buildFile(const char* path) {
  std::string windows = std::string("Z:") + KV_WINE_BUILD_DIR + "/" + path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

std::string userSettings() {
  char folder[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return "";
  return std::string(folder) + "\\Kelvasong\\KVHOST.INI";
}

HWND settingsWindow() { return FindWindowA("#32770", KV_SETTINGS_WINDOW_TITLE); }

std::string textOf(HWND dialog, int id) {
  char text[2048] = "";
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

void click(HWND dialog, int id) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The volume slider moved to `position`, as a drag ends.
void slideVolume(HWND dialog, int position) {
  HWND slider = GetDlgItem(dialog, IDC_VOLUME);
  SendMessageA(slider, TBM_SETPOS, TRUE, position);
  SendMessageA(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(slider));
}

// The subsystem in a program's file header: a windowed program never has a
// console window made for it.
WORD subsystemOf(const std::string& path) {
  std::string image = kvwine::readFile(path);
  if (image.size() < 0x40) return 0;
  LONG at = *reinterpret_cast<const LONG*>(&image[0x3c]);
  if (at < 0 || (size_t)at + 0x60 > image.size()) return 0;
  // Subsystem is at the same offset in both optional headers.
  return *reinterpret_cast<const WORD*>(&image[(size_t)at + 24 + 68]);
}

// Runs a program of the system below Wine to its end: false when it cannot.
bool runUnix(std::vector<std::string> args) {
  typedef NTSTATUS(CDECL * SpawnFn)(char* const argv[], int wait);
  SpawnFn spawn = reinterpret_cast<SpawnFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll"), "__wine_unix_spawnvp")));
  if (!spawn) return false;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return spawn(argv.data(), 1) == 0;
}

// A second output device, "Second", on the suite's sound server: the chosen
// device is then told apart from the default one. Its module's number is kept
// in the build directory for the unloading.
const char kSecondDevice[] = "Second";
std::string secondSinkModule() { return std::string(KV_WINE_BUILD_DIR) + "/second-sink.module"; }
bool addSecondDevice() {
  return runUnix({"sh", "-c",
                  "pactl load-module module-null-sink sink_name=kvsecond sink_properties=device.description=" +
                      std::string(kSecondDevice) + " > '" + secondSinkModule() + "'"});
}
void removeSecondDevice() {
  runUnix({"sh", "-c",
           "[ -s '" + secondSinkModule() + "' ] && pactl unload-module \"$(cat '" + secondSinkModule() +
               "')\"; rm -f '" + secondSinkModule() + "'"});
}

// The entries of the output device list.
std::vector<std::string> listedDevices(HWND dialog) {
  std::vector<std::string> names;
  LRESULT n = SendDlgItemMessageA(dialog, IDC_DEVICE, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    // Asked in UTF-16: Wine hands another process's list text over so.
    wchar_t name[512] = L"";
    SendDlgItemMessageW(dialog, IDC_DEVICE, CB_GETLBTEXT, (WPARAM)i, reinterpret_cast<LPARAM>(name));
    char text[1024] = "";
    WideCharToMultiByte(CP_ACP, 0, name, -1, text, sizeof text, nullptr, nullptr);
    names.push_back(text);
  }
  return names;
}

// The window as the X server shows it, by the X server's own tool, into the
// build directory; taken again until two takes agree, so that what the window
// still had to draw is in it. Answers the file.
std::string screenshot(HWND window, const char* name) {
  typedef NTSTATUS(CDECL * SpawnFn)(char* const argv[], int wait);
  SpawnFn spawn = reinterpret_cast<SpawnFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll"), "__wine_unix_spawnvp")));
  if (!spawn) {
    ADD_FAILURE() << "this Wine cannot start the X server's screenshot tool";
    return "";
  }
  RECT r;
  GetWindowRect(window, &r);
  char geometry[64];
  snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld", r.right - r.left, r.bottom - r.top, r.left, r.top);
  std::string png = std::string(KV_WINE_BUILD_DIR) + "/" + name + (kWide ? "-x86_64" : "-i686") + ".png";
  std::string last;
  for (int take = 0; take < 10; ++take) {
    std::vector<std::string> args = {
        "import", "-window", "root", "-crop", geometry, "+repage", "-define", "png:exclude-chunks=date,time", png};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (spawn(argv.data(), 1) != 0) {
      ADD_FAILURE() << "import did not start";
      return "";
    }
    std::string image =
        kvwine::readFile(buildFile((std::string(name) + (kWide ? "-x86_64" : "-i686") + ".png").c_str()));
    if (!image.empty() && image == last) break;
    last = image;
  }
  EXPECT_GT(last.size(), 1000u) << png;
  printf("screenshot of the settings window: %s\n", png.c_str());
  return png;
}

// The loudness of the record: the mean square over the first fifth of a
// second of sound, while one note sounds.
double loudness(const std::string& dir) {
  unsigned rate = 0;
  std::vector<double> s = kvwine::monoSamples(kvwine::readFile(dir + "\\KVMIDIIN.WAV"), &rate);
  size_t start = kvwine::soundStart(s);
  if (rate == 0 || start + rate / 5 > s.size()) return 0;
  double sum = 0;
  for (size_t i = start; i < start + rate / 5; ++i) sum += s[i] * s[i];
  return sum / (rate / 5);
}

class WineSettingsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cleanUp();
    ASSERT_FALSE(userSettings().empty());
    // The real FluidSynth where the package puts it: the test phrase sounds.
    const char* own = kWide ? "x64" : "x86";
    ASSERT_TRUE(CreateDirectoryA(in(own).c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(buildFile("fluidsynth/libfluidsynth-3.dll").c_str(),
                          (in(own) + "\\libfluidsynth-3.dll").c_str(), FALSE))
        << GetLastError();
    // With the package made, the 32-bit window has the 64-bit setup program
    // beside it, as the package lays it out, to tell the 64-bit side.
    withOther = !kWide && kvwine::exists(kPackageX64 + std::string("KVSETUP.EXE"));
    if (withOther) {
      ASSERT_TRUE(CreateDirectoryA(in("x64").c_str(), nullptr));
      for (const char* file : {"KVSETUP.EXE", "libfluidsynth-3.dll"})
        ASSERT_TRUE(CopyFileA((kPackageX64 + std::string(file)).c_str(), (in("x64\\") + file).c_str(), FALSE));
    }
  }
  void TearDown() override {
    if (HWND w = settingsWindow()) PostMessageA(w, WM_CLOSE, 0, 0);
    if (setup) {
      WaitForSingleObject(setup, 20000);
      CloseHandle(setup);
    }
    removeSecondDevice();
    cleanUp();
  }
  std::string in(const char* name) const { return kvwine::installDir() + "\\" + name; }
  void cleanUp() {
    kvwine::clearRecords("KVMIDIIN");
    DeleteFileA(in("KVMIDIIN.WAV").c_str());
    DeleteFileA(in("x64\\KVSETUP.EXE").c_str());
    for (const char* d : {"x86", "x64"}) {
      DeleteFileA((in(d) + "\\libfluidsynth-3.dll").c_str());
      RemoveDirectoryA(in(d).c_str());
    }
    SetFileAttributesA(userSettings().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(userSettings().c_str());
  }

  // Waits for the window and for the state it shows of each bitness; the
  // setup program's process in `setup`.
  HWND waitForWindow() {
    HWND w = nullptr;
    EXPECT_TRUE(kvwine::waitUntil([&] { return (w = settingsWindow()) != nullptr; }, 60000)) << "no settings window";
    if (!w) return nullptr;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (!setup) setup = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    EXPECT_TRUE(kvwine::waitUntil([&] { return textOf(w, IDC_STATE).find("SoundFont") != std::string::npos; }, 60000))
        << textOf(w, IDC_STATE);
    return w;
  }

  // Plays the window's test phrase; it sounds through the product's device,
  // with the bank the user chose.
  void playTestPhrase(HWND w) {
    kvwine::clearRecords("KVMIDIIN");
    click(w, IDC_PLAY);
    EXPECT_TRUE(kvwine::waitUntil([&] { return textOf(w, IDC_STATUS).rfind("Played", 0) == 0; }, 60000))
        << textOf(w, IDC_STATUS);
    EXPECT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kMidiHostExe, 20000));
    checkRecord();
  }

  // A note played by a program of its own: how loud it is in the record.
  double playNote() {
    EXPECT_EQ(kvwine::playSteps({"C0", "643C90", "+400", "3C90"}), "");
    checkRecord();
    return loudness(kvwine::installDir());
  }

  void checkRecord() {
    std::string text = kvwine::readFile(in("KVMIDIIN.TXT"));
    EXPECT_NE(text.find(std::string("# SoundFont ") + kBank + " (SoundFont= in the user's KVHOST.INI)\n"),
              std::string::npos)
        << text;
    EXPECT_GT(loudness(kvwine::installDir()), 0) << "the record is silent\n" << text;
  }

  HANDLE setup = nullptr;
  bool withOther = false;
};

}  // namespace

TEST_F(WineSettingsWindowTest, TheConfigurationCommandOpensTheWindowWhoseSettingsTheNextNotePlaysWith) {
  EXPECT_EQ(subsystemOf(in("KVSETUP.EXE")), IMAGE_SUBSYSTEM_WINDOWS_GUI) << "no console window opens with it";
  ASSERT_TRUE(addSecondDevice());
  kvwine::Driver drv;
  ASSERT_TRUE(drv.load());
  ASSERT_EQ(drv.driverProc(1, nullptr, DRV_CONFIGURE, 0, 0), (LRESULT)DRVCNF_OK);
  HWND w = waitForWindow();
  ASSERT_NE(w, nullptr);
  std::string state = textOf(w, IDC_STATE);
  const std::string own = kWide ? "x64" : "x86";
  EXPECT_NE(
      state.find("FluidSynth  " + in(own.c_str()) + "\\libfluidsynth-3.dll (in the host's " + own + " folder): loads"),
      std::string::npos)
      << state;
  if (withOther) {
    EXPECT_NE(state.find("64-bit programs\r\n  registered  no (no alias among the registered drivers names "
                         "KVDRVR32.DLL)\r\n  host        KVTSK64.EXE missing, KVMIDI64.EXE and KVWAVE64.EXE missing\r\n"
                         "  FluidSynth  " +
                         in("x64") + "\\libfluidsynth-3.dll (in the host's x64 folder): loads\r\n"),
              std::string::npos)
        << "the 64-bit setup program tells the 64-bit side\n"
        << state;
  }
  EXPECT_NE(state.find("32-bit programs\r\n"), std::string::npos) << state;
  EXPECT_NE(state.find("64-bit programs\r\n"), std::string::npos) << state;
  EXPECT_EQ(textOf(w, IDC_GAIN), "0.5");

  // The bank, through the file browser.
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, IDC_BROWSE)));
  HWND browser = nullptr;
  ASSERT_TRUE(kvwine::waitUntil([&] { return (browser = FindWindowA("#32770", kBrowseTitle)) != nullptr; }, 30000));
  ASSERT_TRUE(SetDlgItemTextA(browser, kFileNameBox, kBank));
  PostMessageA(browser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(browser, IDOK)));
  ASSERT_TRUE(kvwine::waitUntil([&] { return textOf(w, IDC_BANK) == kBank; }, 30000)) << textOf(w, IDC_BANK);
  click(w, IDC_APPLY);
  EXPECT_EQ(textOf(w, IDC_STATUS).rfind("Saved.", 0), 0u) << textOf(w, IDC_STATUS);
  EXPECT_EQ(kvwine::readFile(userSettings()), std::string("[Host]\r\nSoundFont=") + kBank + "\r\n");
  playTestPhrase(w);
  double before = playNote();

  std::string text = kvwine::readFile(in("KVMIDIIN.TXT"));
  EXPECT_NE(text.find("# sound output: WASAPI (shared mode, event-driven) on "), std::string::npos) << text;
  EXPECT_EQ(text.find(std::string("# sound output: WASAPI (shared mode, event-driven) on ") + kSecondDevice + ","),
            std::string::npos)
      << "the default device is not the second one\n"
      << text;

  // Twice the volume: twice the amplitude, four times the mean square; and
  // the second output device, from the system's own list.
  slideVolume(w, 20);
  EXPECT_EQ(textOf(w, IDC_GAIN), "1");
  std::vector<std::string> devices = listedDevices(w);
  auto second = std::find(devices.begin(), devices.end(), kSecondDevice);
  ASSERT_NE(second, devices.end()) << "the list lacks the second device: " << ::testing::PrintToString(devices);
  SendDlgItemMessageA(w, IDC_DEVICE, CB_SETCURSEL, (WPARAM)(second - devices.begin()), 0);
  SendMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_DEVICE, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(w, IDC_DEVICE)));
  click(w, IDC_APPLY);
  EXPECT_EQ(kvwine::readFile(userSettings()),
            std::string("[Host]\r\nSoundFont=") + kBank + "\r\nGain=1\r\nOutputDevice=" + kSecondDevice + "\r\n");
  double after = playNote();
  text = kvwine::readFile(in("KVMIDIIN.TXT"));
  EXPECT_NE(text.find(std::string("# sound output: WASAPI (shared mode, event-driven) on ") + kSecondDevice + ","),
            std::string::npos)
      << text;
  printf("a note's mean square: %.6g at gain 0.5, %.6g at gain 1\n", before, after);
  EXPECT_NEAR(after / before, 4.0, 0.2);
  screenshot(w, "settings-window-configure");

  PostMessageA(w, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(setup, 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(setup, &code);
  EXPECT_EQ(code, 0u);
}

TEST_F(WineSettingsWindowTest, TheStartMenusCommandLineOpensItAndAFailedReplaceLeavesTheOldFileWhole) {
  ASSERT_TRUE(CreateDirectoryA(userSettings().substr(0, userSettings().rfind('\\')).c_str(), nullptr) ||
              GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "SoundFont", kBank, userSettings().c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "Gain", "0.75", userSettings().c_str()));
  const std::string old = kvwine::readFile(userSettings());

  // As the shortcut starts it: no standard handles, no console.
  std::string line = "\"" + in("KVSETUP.EXE") + "\" /CONFIG";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(
      CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, kvwine::installDir().c_str(), &si, &pi))
      << GetLastError();
  CloseHandle(pi.hThread);
  setup = pi.hProcess;
  HWND w = waitForWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(textOf(w, IDC_BANK), kBank);
  EXPECT_EQ(textOf(w, IDC_GAIN), "0.75");
  EXPECT_EQ(SendDlgItemMessageA(w, IDC_VOLUME, TBM_GETPOS, 0, 0), 15);
  EXPECT_EQ(IsDlgButtonChecked(w, IDC_REVERB), (UINT)BST_CHECKED);
  screenshot(w, "settings-window-shortcut");

  // The new file is written beside the old one; the replace fails, as it does
  // while another program holds the file open without letting it be replaced.
  HANDLE holder = CreateFileA(userSettings().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  slideVolume(w, 10);
  CheckDlgButton(w, IDC_REVERB, BST_UNCHECKED);
  click(w, IDC_APPLY);
  std::string status = textOf(w, IDC_STATUS);
  CloseHandle(holder);
  EXPECT_EQ(status.rfind("Not saved: cannot replace " + userSettings() + " (error ", 0), 0u) << status;
  EXPECT_EQ(kvwine::readFile(userSettings()), old);
  EXPECT_FALSE(kvwine::exists(userSettings() + ".new"));

  click(w, IDC_APPLY);
  EXPECT_EQ(textOf(w, IDC_STATUS).rfind("Saved.", 0), 0u) << textOf(w, IDC_STATUS);
  EXPECT_EQ(kvwine::readFile(userSettings()), std::string("[Host]\r\nSoundFont=") + kBank + "\r\nReverb=0\r\n");
}
