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

// A late host sees its own name, is dismissed (the status cleared, its name
// taken back), the new host claims, and only then the late host's acceptance
// lands over the cleared status. The new host does not count that acceptance
// as its own: the late host takes it back, and the new host answers for itself.
TEST_F(HandshakeTest, AHostCountsOnlyAnAcceptanceItStoredItself) {
  HANDLE hLate = startHost("KVHOST.store=1@late-store,KVHOST.stored=1@late-stored");
  held("late-store");
  DWORD hwndLate = drv.midi->hwndHost;
  ASSERT_NE(hwndLate, 0u);
  HANDLE hNew = startHost("KVHOST.claim=1@new-claim,KVHOST.store=1@new-store");
  held("new-claim");
  // The dismissal, as the open makes it.
  drv.midi->dwStatus = CHANNEL_IDLE;
  drv.midi->hwndHost = 0;
  platHoldRelease("new-claim");
  held("new-store");
  DWORD hwndNew = drv.midi->hwndHost;
  ASSERT_NE(hwndNew, 0u);
  ASSERT_NE(hwndNew, hwndLate);
  platHoldRelease("late-store");
  held("late-stored");
  ASSERT_EQ(drv.midi->dwStatus, CHANNEL_ACCEPTED) << "the late host's stray acceptance";
  // The new host looks while the stray acceptance stands.
  platHoldRelease("new-store");
  platHoldRelease("late-stored");
  ASSERT_EQ(WaitForSingleObject(hLate, kHangGuardMs), WAIT_OBJECT_0);
  // Counted as its own, the acceptance taken back would leave the new host
  // serving an idle channel, which it leaves; it answers for itself instead.
  DWORD t0 = GetTickCount();
  while (drv.midi->dwStatus != CHANNEL_ACCEPTED && WaitForSingleObject(hNew, 1) == WAIT_TIMEOUT &&
         GetTickCount() - t0 < kHangGuardMs) {
  }
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_ACCEPTED);
  EXPECT_EQ(drv.midi->hwndHost, hwndNew);
  EXPECT_EQ(WaitForSingleObject(hNew, 0), (DWORD)WAIT_TIMEOUT) << "the new host serves";
  drv.midi->dwStatus = CHANNEL_OPEN;
  closeHost(hwndNew);
}

// The open dismisses a late host that named itself in the cleared channel; the
// late host's acceptance lands after the new host's claim, the open sees it,
// and the late host takes it back before the open has read it again. The open
// takes the acceptance in one step with reading it, so it either holds it
// (the late host's taking back then fails) or waits on for its own host.
TEST_F(HandshakeTest, TheOpenTakesNoAcceptanceALateHostTakesBack) {
  HANDLE hLate = startHost("KVHOST.claim=1@late-claim,KVHOST.store=1@late-store,KVHOST.stored=1@late-stored");
  held("late-claim");
  // The open's own launcher: the idle priority set, then restored after the
  // wait; held at the restore.
  platHoldInject("SetThreadPriority", 2, "open-waited");
  setenv(PLAT_HOLDS_ENV, "KVHOST.claim=1@new-claim,KVHOST.store=1@new-store", 1);
  DWORD dwOpen = 0xFFFF;
  MIDIOPENDESC desc = {};
  std::thread opener([&] { dwOpen = drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0); });
  held("new-claim");  // the open has cleared the block and started its host
  unsetenv(PLAT_HOLDS_ENV);
  platHoldRelease("late-claim");
  held("late-store");
  DWORD hwndLate = drv.midi->hwndHost;
  ASSERT_NE(hwndLate, 0u);
  EXPECT_EQ(hostMovesOn(hwndLate), 0u) << "the open dismisses the late host";
  platHoldRelease("new-claim");
  held("new-store");
  platHoldRelease("late-store");
  held("late-stored");
  held("open-waited");
  platHoldRelease("late-stored");
  ASSERT_EQ(WaitForSingleObject(hLate, kHangGuardMs), WAIT_OBJECT_0);
  platHoldRelease("open-waited");
  // The open has what it needs: it does not wait for its own host's answer.
  opener.join();
  platHoldRelease("new-store");
  EXPECT_EQ(dwOpen, 0u);
  if (dwOpen != 0) {
    // The open failed: its host, which answers now, is sent away by hand.
    DWORD t0 = GetTickCount();
    while (drv.midi->dwStatus != CHANNEL_ACCEPTED && GetTickCount() - t0 < kHangGuardMs) Sleep(1);
    drv.midi->dwStatus = CHANNEL_OPEN;
    closeHost(drv.midi->hwndHost);
    return;
  }
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}
