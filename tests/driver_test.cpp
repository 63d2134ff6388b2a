// The module's entry: DriverProc and its configuration command, process detach
// closing what a process leaves open, and the setup program.
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "product.h"

using kvtest::Child;

namespace {

struct DefCall {
  DWORD_PTR id;
  HDRVR hdrvr;
  UINT msg;
  LPARAM p1, p2;
};
std::vector<DefCall> defCalls;

LRESULT recordDefDriverProc(DWORD_PTR id, HDRVR hdrvr, UINT msg, LPARAM p1, LPARAM p2) {
  defCalls.push_back({id, hdrvr, msg, p1, p2});
  return 0x5EED + (LRESULT)msg;
}

class DriverEntryTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    ASSERT_NE(drv.driverProc, nullptr);
    defCalls.clear();
  }
  void TearDown() override {
    platSetDefDriverProcHook(nullptr);
    ProductTest::TearDown();
  }
};

}  // namespace

TEST_F(DriverEntryTest, UnknownMessagesGoToDefDriverProcWithAllFiveArguments) {
  platSetDefDriverProcHook(recordDefDriverProc);
  HDRVR h = (HDRVR)(uintptr_t)0x77;
  for (UINT msg : {0u, 11u, 0x4000u}) {
    EXPECT_EQ(drv.driverProc(0xD1, h, msg, -5, 0x12345), 0x5EED + (LRESULT)msg) << msg;
    ASSERT_FALSE(defCalls.empty());
    const DefCall& c = defCalls.back();
    EXPECT_EQ(c.id, 0xD1u);
    EXPECT_EQ(c.hdrvr, h);
    EXPECT_EQ(c.msg, msg);
    EXPECT_EQ(c.p1, -5);
    EXPECT_EQ(c.p2, 0x12345);
  }
  defCalls.clear();
  for (UINT msg = 1; msg <= 10; ++msg)
    if (msg != DRV_CONFIGURE) drv.driverProc(0, h, msg, 0, 0);
  EXPECT_TRUE(defCalls.empty()) << "messages 1 to 10 are the driver's own";
}

TEST_F(DriverEntryTest, InstallableDriverAnswers) {
  for (UINT msg : {DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_CLOSE, DRV_DISABLE, DRV_FREE, DRV_QUERYCONFIGURE})
    EXPECT_EQ(drv.driverProc(0, nullptr, msg, 0, 0), 1) << msg;
  EXPECT_EQ(drv.driverProc(0, nullptr, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
  EXPECT_EQ(drv.driverProc(0, nullptr, DRV_REMOVE, 0, 0), DRVCNF_RESTART);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
      << "install and remove register nothing";
}

TEST_F(DriverEntryTest, ConfigureStartsTheSetupProgramInTheInstallDirectory) {
  installProgram("RECARGS.EXE", "KVSETUP.EXE");
  EXPECT_EQ(drv.driverProc(0, nullptr, DRV_CONFIGURE, 500, 77), DRVCNF_OK);
  // The setup program is not waited for; it ends when it has written its record.
  std::string args;
  kvtest::waitUntil([&] {
    args = readInstallFile("KVSETUP.EXE.ARGS");
    return args.find('\n', args.find('\n') + 1) != std::string::npos;
  });
  EXPECT_EQ(args, "C:\\KV\\KVSETUP.EXE /CONFIG 0 -w 500 500\nC:\\KV\n");
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVSETUP.EXE"));
  EXPECT_EQ(drv.driverProc(0, nullptr, DRV_CONFIGURE, 500, 0), DRVCNF_CANCEL);
}

TEST_F(DriverEntryTest, SetupProgramShowsAndSetsTheConfiguration) {
  std::string out;
  EXPECT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"--help"}, &out), 0);
  EXPECT_NE(out.find("/CONFIG 0 -w HWND HWND"), std::string::npos) << out;
  EXPECT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/CONFIG", "0", "-w", "500", "500"}, &out), 0);
  EXPECT_NE(out.find("install directory  C:\\KV"), std::string::npos) << out;
  EXPECT_NE(out.find("KVMIDI16.EXE  present"), std::string::npos) << out;
  EXPECT_NE(out.find("MIDI output   not registered"), std::string::npos) << out;
  EXPECT_EQ(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/DIR", "D:\\Synth"}, &out), 0);
  char dir[MAX_PATH];
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", dir, sizeof dir, "KELVASON.INI");
  EXPECT_STREQ(dir, "D:\\Synth");
  EXPECT_NE(kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", {"/bogus"}, &out), 0);
}

TEST_F(DriverEntryTest, AProcessLeavingWithMidiOpenClosesTheChannelWithoutMomClose) {
  // A client that leaves main with the device still open when told to.
  Child client("device_client", {"mm midi", "notes", "open midi"});
  ASSERT_EQ(client.expectLine(), "loaded");
  ASSERT_EQ(client.expectLine(), "MOM_OPEN");
  ASSERT_EQ(client.expectLine(), "0");
  HWND host = (HWND)(ULONG_PTR)drv.midi->hwndHost;
  ASSERT_TRUE(IsWindow(host));
  client.send("exit");
  EXPECT_EQ(client.wait(), 0);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE) << "the host got the close command";
  MIDIOPENDESC desc = {};
  EXPECT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0), 0u) << "the system-wide gate is free";
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}

TEST_F(DriverEntryTest, AProcessLeavingWithWaveOpenReturnsItsBuffersAndCloses) {
  Child instance("instance_window");
  ASSERT_EQ(instance.expectLine(), "open");
  Child client("device_client", {"mm wave", "notes", "open wave", "pause", "write 3 4000"});
  ASSERT_EQ(client.expectLine(), "loaded");
  ASSERT_EQ(client.expectLine(), "WOM_OPEN");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client.expectLine(), "0");
  client.send("exit");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.expectLine(), "WOM_DONE");
  EXPECT_EQ(client.expectLine(), "WOM_CLOSE");
  EXPECT_EQ(client.wait(), 0);
  WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  WAVEOPENDESC desc = {};
  desc.lpFormat = &wf;
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, 0), 0u) << "both gates are free";
  EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
}

// At unload the wave device is shut down first and completely, with csMidi
// held: its buffers come back and WOM_CLOSE is sent while the MIDI channel is
// still open. The MIDI channel closes after it.
TEST_F(DriverEntryTest, UnloadingWithBothDevicesOpenClosesTheWaveDeviceBeforeTheMidiChannel) {
  Child instance("instance_window");
  ASSERT_EQ(instance.expectLine(), "open");
  Child client("device_client", {"module", "notes midi", "open midi", "open wave", "pause", "write 3 4000"});
  ASSERT_EQ(client.expectLine(), "loaded");
  ASSERT_EQ(client.expectLine(), "MOM_OPEN");
  ASSERT_EQ(client.expectLine(), "0");
  ASSERT_EQ(client.expectLine(), "WOM_OPEN");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client.expectLine(), "0") << "open, pause, write";
  client.send("unload");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.expectLine(), "WOM_DONE");
  EXPECT_EQ(client.expectLine(), "WOM_CLOSE " + std::to_string(CHANNEL_OPEN)) << "the MIDI channel closes after";
  EXPECT_EQ(client.expectLine(), "unloaded") << "no MOM_CLOSE at unload";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE) << "the MIDI host got its close command";
  client.send("exit");
  EXPECT_EQ(client.wait(), 0);
}

TEST_F(DriverEntryTest, UnloadingTheModuleWithWaveOpenReturnsItsBuffersAndCloses) {
  Child instance("instance_window");
  ASSERT_EQ(instance.expectLine(), "open");
  // A client that loads the module itself and unloads it with three buffers queued.
  Child client("device_client", {"module", "notes", "open wave", "pause", "write 3 4000"});
  ASSERT_EQ(client.expectLine(), "loaded");
  ASSERT_EQ(client.expectLine(), "WOM_OPEN");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client.expectLine(), "0");
  client.send("unload");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.expectLine(), "WOM_DONE");
  EXPECT_EQ(client.expectLine(), "WOM_CLOSE");
  EXPECT_EQ(client.expectLine(), "unloaded");
  WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  WAVEOPENDESC desc = {};
  desc.lpFormat = &wf;
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, 0), 0u) << "both gates are free";
  EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  client.send("exit");
  EXPECT_EQ(client.wait(), 0);
}
