// The module's entry under a real Win32 implementation: the configuration
// command, unloading with a device open, and a client process that ends with
// its devices open.
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <memory>

#include "support.h"

using kvwine::Child;

namespace {

const WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};

DWORD openWave(kvwine::Driver& drv) {
  WAVEOPENDESC desc = {};
  desc.hWave = reinterpret_cast<HWAVE>(0x5A);
  desc.lpFormat = reinterpret_cast<LPWAVEFORMAT>(const_cast<WAVEFORMATEX*>(&kFormat));
  return drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL);
}

DWORD openMidi(kvwine::Driver& drv) {
  MIDIOPENDESC desc = {};
  desc.hMidi = reinterpret_cast<HMIDI>(0x5B);
  return drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_NULL);
}

// The command line of a running process, read from its parameter block.
std::wstring commandLineOf(HANDLE process) {
  typedef NTSTATUS(WINAPI * QueryFn)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  QueryFn query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION pbi = {};
  if (!query || query(process, ProcessBasicInformation, &pbi, sizeof pbi, nullptr) != 0) return L"";
  PEB peb;
  RTL_USER_PROCESS_PARAMETERS params;
  if (!ReadProcessMemory(process, pbi.PebBaseAddress, &peb, sizeof peb, nullptr) ||
      !ReadProcessMemory(process, peb.ProcessParameters, &params, sizeof params, nullptr))
    return L"";
  std::wstring cmd(params.CommandLine.Length / sizeof(WCHAR), L'\0');
  if (!ReadProcessMemory(process, params.CommandLine.Buffer, &cmd[0], params.CommandLine.Length, nullptr)) return L"";
  // A block read as the process starts may hold its length but not yet its
  // text: that reads as nothing seen.
  return cmd.c_str();
}

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

TEST(WineDriverTest, ConfigureStartsTheSetupProgramWithItsCommandLine) {
  kvwine::Driver drv;
  ASSERT_TRUE(drv.load());
  // The job reports the setup program's start at once, before it can end.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT assoc = {job, port};
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &assoc, sizeof assoc));
  ASSERT_TRUE(AssignProcessToJobObject(job, GetCurrentProcess()));

  // The setup program opens its settings window and stays until the window is
  // closed (WineSettingsWindowTest drives it): here it is ended once its
  // command line has been read. Should it end before its parameter block is
  // read, nothing was seen of its command line, and the command is given
  // again (at most five times).
  std::wstring cmd;
  for (int attempt = 0; attempt < 5 && cmd.empty(); ++attempt) {
    ASSERT_EQ(drv.driverProc(1, nullptr, DRV_CONFIGURE, 4660, 0), (LRESULT)DRVCNF_OK);
    DWORD msg = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED data = nullptr;
    HANDLE setup = nullptr;
    while (!setup && GetQueuedCompletionStatus(port, &msg, &key, &data, 10000)) {
      if (msg != JOB_OBJECT_MSG_NEW_PROCESS || (DWORD)(ULONG_PTR)data == GetCurrentProcessId()) continue;
      setup = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                          (DWORD)(ULONG_PTR)data);
    }
    ASSERT_NE(setup, nullptr) << "no process started, or it could not be opened";
    // Wine writes the new process's parameter block as the process starts.
    for (DWORD start = GetTickCount(); cmd.empty() && GetTickCount() - start < 5000;) {
      cmd = commandLineOf(setup);
      if (cmd.empty() && WaitForSingleObject(setup, 1) == WAIT_OBJECT_0) break;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(setup, &code);
    EXPECT_EQ(code, STILL_ACTIVE) << "the setup program did not take its command line";
    TerminateProcess(setup, 0);
    WaitForSingleObject(setup, 10000);
    CloseHandle(setup);
  }
  EXPECT_EQ(cmd, widen(kvwine::installDir() + "\\KVSETUP.EXE /CONFIG 0 -w 4660 4660"));
  CloseHandle(port);
  CloseHandle(job);
}

// Opens the wave device, says "open", and unloads the module when told.
KV_HELPER(unload_with_wave_open) {
  (void)argc;
  (void)argv;
  kvwine::Driver drv;
  if (!drv.load()) return 2;
  DWORD rc = openWave(drv);
  kvwine::say(rc == 0 ? "open" : "failed " + std::to_string(rc));
  std::string line;
  kvwine::hear(line);
  FreeLibrary(drv.handle);
  kvwine::say("unloaded");
  return 0;
}

// Opens the devices its arguments name ("midi", "wave"), says "open", and ends
// without closing them when its input ends.
KV_HELPER(exit_with_devices_open) {
  kvwine::Driver drv;
  if (!drv.load()) return 2;
  std::string result = "open";
  for (int i = 1; i < argc; ++i) {
    DWORD rc = strcmp(argv[i], "midi") == 0 ? openMidi(drv) : openWave(drv);
    if (rc != 0) result = std::string("failed ") + argv[i] + " " + std::to_string(rc);
  }
  kvwine::say(result);
  std::string line;
  kvwine::hear(line);
  return 0;
}

class WineLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvwine::clearRecords();
    ASSERT_NO_FATAL_FAILURE(kvwine::startInstanceWindow(instance));
  }
  void TearDown() override { instance.reset(); }
  std::unique_ptr<Child> instance;
};

TEST_F(WineLifecycleTest, UnloadingTheModuleWithTheWaveDeviceOpenReturns) {
  Child client = Child::helper("unload_with_wave_open");
  ASSERT_EQ(client.expectLine(), "open");
  client.send("unload");
  EXPECT_EQ(client.expectLine(5000), "unloaded");
  EXPECT_EQ(client.wait(), 0u);
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kWaveHostExe, 10000)) << "the wave host was not closed";
  kvwine::Driver drv;
  ASSERT_TRUE(drv.load());
  EXPECT_EQ(openWave(drv), 0u) << "the wave device stays usable";
  EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
}

// A client that ends with devices open: the process's other threads (the wave
// pump among them) are gone before the module is told that the process
// detaches. Afterwards both devices open again.
void endWithDevicesOpen(const std::vector<std::string>& devices) {
  {
    Child client = Child::helper("exit_with_devices_open", devices);
    ASSERT_EQ(client.expectLine(), "open");
    client.send("end");
    ASSERT_EQ(client.wait(10000), 0u) << "the client did not end";
  }
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kWaveHostExe, 10000)) << "the wave host was not closed";
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kMidiHostExe, 10000)) << "the MIDI host was not closed";
  kvwine::Driver drv;
  ASSERT_TRUE(drv.load());
  EXPECT_EQ(openMidi(drv), 0u) << "the MIDI device stays usable";
  EXPECT_EQ(openWave(drv), 0u) << "the wave device stays usable";
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
  EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
}

TEST_F(WineLifecycleTest, AClientThatEndsWithTheMidiDeviceOpenLeavesBothUsable) { endWithDevicesOpen({"midi"}); }

TEST_F(WineLifecycleTest, AClientThatEndsWithTheWaveDeviceOpenLeavesBothUsable) { endWithDevicesOpen({"wave"}); }

TEST_F(WineLifecycleTest, AClientThatEndsWithBothDevicesOpenLeavesThemUsable) { endWithDevicesOpen({"midi", "wave"}); }

// A host handed the module of the other bitness refuses it at once. For a
// 32-bit host the path of the 64-bit module in the system directory is
// redirected to SysWOW64, where its own bitness's module lies: loaded so, it
// would serve the wrong channel while the 64-bit client waits.
TEST(WineHostTest, AHostHandedAModuleOfTheOtherBitnessRefusesItAtOnce) {
  // The other bitness's system directory, as this process reaches it, and as
  // a client of that bitness names it.
  bool wide = sizeof(void*) == 8;
  std::string otherDir = wide ? "C:\\windows\\syswow64" : "C:\\windows\\Sysnative";
  std::string named = wide ? "C:\\windows\\syswow64\\KVDRVR32.DLL" : "C:\\windows\\system32\\KVDRVR32.DLL";
  // A module of the other bitness: one of the system's own of that bitness.
  std::string planted = otherDir + "\\KVDRVR32.DLL";
  ASSERT_TRUE(CopyFileA((otherDir + "\\winmm.dll").c_str(), planted.c_str(), FALSE)) << GetLastError();
  // A setting it cannot use, said first: everything the host says carries its
  // own name, KVTSK16 or KVTSK64.
  std::string ini = kvwine::installDir() + "\\KVHOST.INI";
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "Gain", "loud", ini.c_str()));
  Child host(kvwine::installDir() + "\\" + kvwine::kMidiHostExe + " /OpenKvMidiOut$ " + named, kvwine::installDir(),
             true);
  std::string output;
  DWORD code = host.finish(output, 20000);
  DeleteFileA(planted.c_str());
  WritePrivateProfileStringA("Host", "Gain", nullptr, ini.c_str());
  EXPECT_EQ(code, 1u) << output;
  std::string self = std::string(kvwine::kHostExe, 7) + ": ";
  EXPECT_NE(output.find(self + "KVHOST.INI: Gain=loud is not a number"), std::string::npos) << output;
  EXPECT_NE(output.find(self + named +
                        (wide ? " is a 32-bit module; this 64-bit host" : " is a 64-bit module; this 32-bit host")),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find(wide ? "KVTSK16" : "KVTSK64"), std::string::npos) << output;
}
