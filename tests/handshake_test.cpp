// The open handshake between an opener, a late host of an earlier open and the
// opener's own host, each held at an exact step by the platform's hold points:
// nobody takes another's answer, and no host stores an answer in a channel
// that no longer names it.
#include <stdlib.h>

#include <string>
#include <thread>

#include "kv/plat.h"
#include "product.h"
#include "support.h"

namespace {

const DWORD kHangGuardMs = 30000;

class HandshakeTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
  }
  void TearDown() override {
    for (PROCESS_INFORMATION& pi : started) {
      if (WaitForSingleObject(pi.hProcess, kHangGuardMs) != WAIT_OBJECT_0) ADD_FAILURE() << "a host did not end";
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    ProductTest::TearDown();
  }

  // Starts the MIDI host as the driver does, without an open waiting for it,
  // held at the points `holds` names (PLAT_HOLDS_ENV's form).
  HANDLE startHost(const std::string& holds) {
    std::string cmd = "C:\\KV\\KVMIDI16.EXE /OpenKvMidiOut$ " + kvtest::driverModulePath();
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    setenv(PLAT_HOLDS_ENV, holds.c_str(), 1);
    BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, "C:\\KV", &si, &pi);
    unsetenv(PLAT_HOLDS_ENV);
    EXPECT_TRUE(ok);
    if (!ok) return nullptr;
    started.push_back(pi);
    return pi.hProcess;
  }
  static void held(const char* tag) { ASSERT_TRUE(platHoldWait(tag, kHangGuardMs)) << "not held at " << tag; }
  // Waits until the channel's hwndHost moves on from `from`.
  DWORD hostMovesOn(DWORD from) {
    DWORD t0 = GetTickCount();
    while (drv.midi->hwndHost == from && GetTickCount() - t0 < kHangGuardMs) Sleep(1);
    return drv.midi->hwndHost;
  }
  void closeHost(DWORD hwnd) {
    DWORD_PTR r = 0;
    SendMessageTimeoutA((HWND)(ULONG_PTR)hwnd, drv.midi->uHostMsg, HOSTCMD_MIDI_CLOSE, 0, SMTO_BLOCK, kHangGuardMs, &r);
  }

  std::vector<PROCESS_INFORMATION> started;
};

}  // namespace

// The channel is named for another host between this host's claim and its
// refusal: the refusal is not stored, so the other host's open is not refused.
TEST_F(HandshakeTest, ARefusalIsStoredOnlyWhileTheChannelNamesTheHost) {
  hostSetting("Answer", "refuse");
  HANDLE hHost = startHost("KVHOST.answer=1@refuser");
  held("refuser");
  DWORD hwndRefuser = drv.midi->hwndHost;
  ASSERT_NE(hwndRefuser, 0u) << "the host claims before it answers";
  drv.midi->hwndHost = hwndRefuser + 1;  // another host's window
  platHoldRelease("refuser");
  ASSERT_EQ(WaitForSingleObject(hHost, kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_EQ(drv.midi->hwndHost, hwndRefuser + 1);
}
