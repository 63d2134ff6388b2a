// The MIDI host against broken and late peers: the command line it is started
// with, the close command, a count out of the ring's bounds, another host or
// the driver changing the channel under it.
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "product.h"

namespace {

void CALLBACK clientCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class MidiHostTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
  }

  DWORD open() {
    desc.dwCallback = (DWORD_PTR)clientCallback;
    return drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
  }
  DWORD close() { return drv.modMessage(0, MODM_CLOSE, 0, 0, 0); }
  DWORD longData(std::vector<BYTE>& bytes) {
    MIDIHDR hdr = {};
    hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
    hdr.dwBufferLength = (DWORD)bytes.size();
    hdr.dwFlags = MHDR_PREPARED;
    return drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
  }
  // The process of the host that serves the channel now.
  int hostPid() { return (int)kvtest::hostProcessOf(drv.midi->hwndHost); }

  MIDIOPENDESC desc = {};
};

}  // namespace

// The unquoted command line "C:\Program Files\KV\KVMIDI16.EXE ..." would
// start a program planted as C:\Program.exe, were the host's path not given as
// the program to start.
TEST_F(MidiHostTest, AnInstallDirectoryWithBlanksServesTheChannelAndStartsNoPlantedProgram) {
  ASSERT_TRUE(CreateDirectoryA("C:\\Program Files", nullptr));
  ASSERT_TRUE(CreateDirectoryA("C:\\Program Files\\KV", nullptr));
  ASSERT_TRUE(CopyFileA((kvtest::buildDir() + "/KVTSK16.EXE").c_str(), "C:\\Program Files\\KV\\KVMIDI16.EXE", FALSE));
  ASSERT_TRUE(CopyFileA((kvtest::buildDir() + "/KVTSK16.EXE").c_str(), "C:\\Program.exe", FALSE));
  ASSERT_TRUE(WritePrivateProfileStringA("KelvasongSetup", "KVDirectory", "C:\\Program Files\\KV", "KELVASON.INI"));
  ASSERT_TRUE(WritePrivateProfileStringA("Host", "MidiRecord", "KVMIDIIN", "C:\\Program Files\\KV\\KVHOST.INI"));
  ASSERT_EQ(open(), 0u);
  int pid = hostPid();
  char exe[4096] = {};
  ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1), 0);
  EXPECT_EQ(std::string(exe), root + "/drive_c/Program Files/KV/KVMIDI16.EXE") << "the channel's host";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(close(), 0u);
  ASSERT_TRUE(kvtest::processEnds(pid, 5000));
  EXPECT_EQ(kvtest::readFile(root + "/drive_c/Program Files/KV/KVMIDIIN.RAW"), std::string("\x90\x3C\x40", 3));
}

TEST_F(MidiHostTest, TheCloseCommandTakesTheCountedBytesAtOnceAndLeavesTheRing) {
  // A host that takes a byte a millisecond needs a second for what is counted.
  hostSetting("Consume", "slow");
  hostSetting("SlowByteUs", "1000");
  ASSERT_EQ(open(), 0u);
  int pid = hostPid();
  std::vector<BYTE> sysex(1000);
  for (size_t i = 0; i < sysex.size(); ++i) sysex[i] = (BYTE)(i % 0x70);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  ASSERT_EQ(longData(sysex), 0u);
  ASSERT_EQ(close(), 0u);
  // Within the driver's timed send: the next open may clear the block at once.
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_EQ(drv.midi->dwRingCount, 0);

  // The next session's count is its own.
  hostSetting("Consume", "stop");
  hostSetting("MidiRecord", "SECOND");
  ASSERT_EQ(open(), 0u);
  int next = hostPid();
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  ASSERT_TRUE(kvtest::processEnds(pid, 5000));
  EXPECT_EQ(drv.midi->dwRingCount, 3);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(readInstallFile("KVMIDIIN.RAW").substr(0, sysex.size()), std::string(sysex.begin(), sysex.end()))
      << "what was counted before the close still reached the synthesizer";
  EXPECT_EQ(close(), 0u);
  EXPECT_TRUE(kvtest::processEnds(next, 5000));
}

class MidiHostBrokenCountTest : public MidiHostTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(MidiHostBrokenCountTest, ACountOutsideTheRingEndsTheHost) {
  hostSetting("Consume", "normal");
  ASSERT_EQ(open(), 0u);
  int pid = hostPid();
  drv.setMidiLong(offsetof(MidiChannel, dwRingCount), (DWORD)GetParam());
  ASSERT_TRUE(kvtest::processEnds(pid, 5000)) << "the host gives the channel up";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_EQ(drv.midi->dwRingCount, GetParam()) << "nothing was taken";
  EXPECT_EQ(readInstallFile("KVMIDIIN.RAW"), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, MidiHostBrokenCountTest, ::testing::Values(0x7FFFFFFF, -1, 4097));

TEST_F(MidiHostTest, AHostStartedWhileTheChannelIsServedLeavesItAlone) {
  ASSERT_EQ(open(), 0u);
  DWORD hwndHost = drv.midi->hwndHost;
  int pid = hostPid();
  std::string cmd = "C:\\KV\\KVMIDI16.EXE /OpenKvMidiOut$ " + kvtest::driverModulePath();
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, "C:\\KV", &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0) << "the late host leaves";
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(drv.midi->hwndHost, hwndHost);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(close(), 0u);
  ASSERT_TRUE(kvtest::processEnds(pid, 5000));
  EXPECT_EQ(readInstallFile("KVMIDIIN.RAW"), std::string("\x90\x3C\x40", 3));
}

TEST_F(MidiHostTest, AHostLeavesAChannelThatNamesAnotherHost) {
  ASSERT_EQ(open(), 0u);
  int pid = hostPid();
  // As the next open's clear leaves it: no host named, the status kept.
  drv.setMidiLong(offsetof(MidiChannel, hwndHost), 0);
  ASSERT_TRUE(kvtest::processEnds(pid, 5000));
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN) << "left as it was";
}

TEST_F(MidiHostTest, AHostLearnsItIsClosedWhenTheStatusChanges) {
  ASSERT_EQ(open(), 0u);
  int pid = hostPid();
  drv.setMidiLong(offsetof(MidiChannel, dwStatus), CHANNEL_IDLE);
  EXPECT_TRUE(kvtest::processEnds(pid, 5000));
}
