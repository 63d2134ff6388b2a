// Take-over of the MIDI channel: an owner that has gone, whether killed, ended
// or its opening thread gone, leaves the channel to the next open once its host
// is gone or idle; a live owner keeps it; a late host of an earlier open never
// takes it.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "clock.h"
#include "kv/plat.h"
#include "midi_device.h"
#include "support.h"

using kvtest::Child;

namespace {

class MidiTakeOverTest : public miditest::MidiDeviceTest {};

}  // namespace

TEST_F(MidiTakeOverTest, OneClientInTheSystemAndTakeOverAfterTheOwnerIsKilled) {
  Child owner("device_client", {"module", "open midi"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  ASSERT_EQ(owner.expectLine(), "0");
  owner.send("send 403C90");
  ASSERT_EQ(owner.expectLine(), "0");

  EXPECT_EQ(openRefusedAfterTheOwnerLook(), (DWORD)MMSYSERR_ALLOCATED) << "a live owner holds the channel";

  owner.kill();
  owner.wait();
  DWORD oldHost = drv.midi->hwndHost;
  ASSERT_EQ(open(), 0u) << "the gone owner's channel is taken over";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_NE(drv.midi->hwndHost, oldHost) << "a new host serves the new client";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403E90, 0), 0u);
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(kvtest::openElsewhere("midi"), "0 100 0") << "the close freed the system-wide gate";
}

// The host looks at the owner mutex, under the same name as the client, to
// tell a client that has gone; a live one keeps its notes.
TEST_F(MidiTakeOverTest, TheHostTakesALiveOwnerForLive) {
  hostSetting("MidiRecord", "KVMIDIIN");
  hostSetting("Consume", "slow");
  hostSetting("SlowByteUs", "1000");
  ASSERT_EQ(open(), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  // A second of taking bytes, through several of the host's looks at the owner.
  std::vector<BYTE> sysex;
  MIDIHDR hdr = miditest::preparedSysex(sysex, 1000, 0x10);
  ASSERT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr), 0u);
  ASSERT_TRUE(kvtest::waitUntil([&] { return drv.midi->dwRingCount == 0; }, 20000));
  EXPECT_EQ(close(), 0u);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
  std::string record = readInstallFile("KVMIDIIN.TXT");
  EXPECT_NE(record.find("F0"), std::string::npos) << record;
  EXPECT_EQ(record.find("owner has gone"), std::string::npos) << record;
}

// The host of the killed owner's channel looks whether its owner has gone by
// acquiring the owner mutex for a moment; the next open meets the mutex held
// by that look, and looks again until the host has let it go.
TEST_F(MidiTakeOverTest, AnOpenThatMeetsTheHostsLookAtTheOwnerMutexLooksAgain) {
  setenv(PLAT_HOLDS_ENV, "KVHOST.probe=1@probe,KVHOST.probed=1@probed", 1);
  Child owner("device_client", {"module"});
  unsetenv(PLAT_HOLDS_ENV);
  ASSERT_EQ(owner.expectLine(), "loaded");
  owner.send("open midi");
  ASSERT_EQ(owner.expectLine(), "0");
  owner.kill();
  owner.wait();
  ASSERT_TRUE(platHoldWait("probe", 30000)) << "the host looks at the owner mutex";
  Child next("device_client", {"module"});
  ASSERT_EQ(next.expectLine(), "loaded");
  next.send("hold WaitForSingleObject 2 second-look");
  next.send("open midi");
  EXPECT_TRUE(platHoldWait("second-look", 10000)) << "the open did not wait for the mutex";
  platHoldRelease("probe");
  ASSERT_TRUE(platHoldWait("probed", 30000));
  platHoldRelease("second-look");
  platHoldRelease("probed");
  EXPECT_EQ(next.expectLine(30000), "0") << "the open was refused";
  next.send("send 403C90");
  EXPECT_EQ(next.expectLine(), "0");
  next.send("close");
  EXPECT_EQ(next.expectLine(), "0");
}

TEST_F(MidiTakeOverTest, TakeOverNeedsTheOldHostToGoIdle) {
  hostSetting("OnClose", "ignore");
  Child owner("device_client", {"module", "open midi"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  ASSERT_EQ(owner.expectLine(), "0");
  owner.kill();
  owner.wait();
  EXPECT_EQ(open(), (DWORD)MMSYSERR_ALLOCATED) << "the host did not report idle";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
}

// A host still on its way into its message loop, or slowed by a busy machine,
// does not handle the timed close: the command is posted, and the take-over
// waits for it to make the host idle.
TEST_F(MidiTakeOverTest, TakeOverWaitsForAPostedCloseToMakeTheOldHostIdle) {
  Child owner("device_client", {"module", "open midi"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  ASSERT_EQ(owner.expectLine(), "0");
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  ASSERT_NE(pid, 0u);
  owner.kill();
  owner.wait();
  unsigned sends0 = platFaultCalls("SendMessageTimeoutA");
  platFaultInject("SendMessageTimeoutA", sends0 + 1, 1);
  // A watch that ran out would have refused the take-over.
  EXPECT_EQ(open(), 0u) << "taken over once the posted close made the host idle";
  EXPECT_EQ(platFaultCalls("SendMessageTimeoutA"), sends0 + 1) << "the one timed send failed";
  EXPECT_TRUE(kvtest::processEnds((int)pid, 5000)) << "the old host closed";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiTakeOverTest, ChannelOfAnEndedOpeningThreadIsTakenOverAndThenOwned) {
  Child owner("device_client", {"module", "open-on-thread midi"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  ASSERT_EQ(owner.expectLine(), "0");
  // The owner's process lives and keeps its handle to the mutex; the thread
  // that owned it has ended.
  ASSERT_EQ(open(), 0u);
  EXPECT_EQ(kvtest::openElsewhere("midi"), "4 100 5") << "the new owner really owns the channel";
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(kvtest::openElsewhere("midi"), "0 100 0");
}

TEST_F(MidiTakeOverTest, AProcessWhoseChannelWasTakenOverClosesOnlyItself) {
  Child stale("device_client", {"module", "open-on-thread midi"});
  ASSERT_EQ(stale.expectLine(), "loaded");
  ASSERT_EQ(stale.expectLine(), "0");
  ASSERT_EQ(open(), 0u) << "taken over";
  DWORD hwndHost = drv.midi->hwndHost;
  stale.send("close");
  EXPECT_EQ(stale.expectLine(), "0") << "the stale client is closed";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN) << "the new owner's host got no close command";
  EXPECT_EQ(drv.midi->hwndHost, hwndHost);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(kvtest::openElsewhere("midi"), "4 100 5") << "the gate is still held";
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(kvtest::openElsewhere("midi"), "0 100 0");

  // A stale process that ends without closing: its process detach closes only
  // its own state too.
  Child leaving("device_client", {"module", "open-on-thread midi"});
  ASSERT_EQ(leaving.expectLine(), "loaded");
  ASSERT_EQ(leaving.expectLine(), "0");
  ASSERT_EQ(open(), 0u) << "taken over";
  leaving.send("exit");
  EXPECT_EQ(leaving.wait(), 0);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiTakeOverTest, ChannelOfAGoneOwnerIsTakenOverWhenItsHostIsGoneOrIdle) {
  // The host crashed: its window no longer exists and cannot answer.
  {
    Child owner("device_client", {"module", "open midi"});
    ASSERT_EQ(owner.expectLine(), "loaded");
    ASSERT_EQ(owner.expectLine(), "0");
    DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill((pid_t)pid, SIGKILL), 0);
    ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
    owner.kill();
    owner.wait();
    ASSERT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
    EXPECT_EQ(open(), 0u) << "a gone host's channel is taken over";
    EXPECT_EQ(close(), 0u);
  }
  // The host already went idle (a posted close reached it late).
  {
    Child owner("device_client", {"module", "open midi"});
    ASSERT_EQ(owner.expectLine(), "loaded");
    ASSERT_EQ(owner.expectLine(), "0");
    drv.setMidiLong(0, CHANNEL_IDLE);
    owner.kill();
    owner.wait();
    EXPECT_EQ(open(), 0u) << "an idle host's channel is taken over";
    EXPECT_EQ(close(), 0u);
  }
}

TEST_F(MidiTakeOverTest, AClientKilledWhileItsOpenWaitsLeavesTheChannelToTheNextOpen) {
  // The owner's host would answer long after the test has ended.
  hostSetting("AnswerDelayMs", "600000");
  Child owner("device_client", {"module"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  owner.send("open midi");
  // The host it started has made its window: the open waits for its answer.
  ASSERT_TRUE(kvtest::waitUntil([] { return FindWindowA(KV_HOST_WINDOW_CLASS, nullptr) != nullptr; }));
  EXPECT_EQ(openRefusedAfterTheOwnerLook(), (DWORD)MMSYSERR_ALLOCATED) << "an open under way is not taken over";
  owner.kill();
  owner.wait();
  hostSetting("AnswerDelayMs", "0");
  EXPECT_EQ(open(), 0u) << "taken over without waiting for the owner's host, which never answers";
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiTakeOverTest, SlowALateHostsAnswerIsNotTakenByTheNextOpen) {
  // The first host answers a second after its open stopped waiting, while the
  // second open's own host is slower still.
  hostSetting("AnswerDelayMs", "21000");
  hostSetting("MidiRecord", "FIRST");
  EXPECT_EQ(open(), (DWORD)MMSYSERR_ERROR);
  hostSetting("AnswerDelayMs", "2500");
  hostSetting("MidiRecord", "SECOND");
  ASSERT_EQ(open(), 0u) << "served by the host it started, once the late one was sent away";
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  ASSERT_NE(pid, 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(close(), 0u);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
  EXPECT_EQ(readInstallFile("SECOND.RAW"), std::string("\x90\x3C\x40", 3));
  EXPECT_EQ(readInstallFile("FIRST.RAW"), "");
}

TEST_F(MidiTakeOverTest, AClientKilledAtAnyPointOfItsOpenLeavesTheChannelToTheNextOpen) {
  for (DWORD killAfterMs : {0u, 1u, 2u, 4u, 8u, 15u, 30u, 60u, 120u}) {
    Child client("device_client", {"module"});
    ASSERT_EQ(client.expectLine(), "loaded");
    client.send("open midi");
    // Not a hand-off: any moment of the open, or after it, must do.
    Sleep(killAfterMs);
    client.kill();
    client.wait();
    EXPECT_EQ(open(), 0u) << "killed after " << killAfterMs << " ms";
    EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u) << killAfterMs;
    EXPECT_EQ(close(), 0u);
  }
}
