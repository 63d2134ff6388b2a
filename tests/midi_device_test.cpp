// The MIDI device against real host processes: the system-wide open and close
// handshake, take-over of a channel whose owner has gone, host failures, and
// the notifications a client gets.
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "clock.h"
#include "kv/plat.h"
#include "support.h"
#include "product.h"

using kvtest::Child;

namespace {

struct Notification {
  DWORD flags;
  DWORD msg;
  DWORD_PTR instance, p1, p2;
};

std::vector<Notification> notifications;

void recordCallback(DWORD_PTR, DWORD flags, HDRVR, DWORD msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
  notifications.push_back({flags, msg, instance, p1, p2});
}

void CALLBACK clientCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class MidiDeviceTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    notifications.clear();
    platSetDriverCallbackHook(recordCallback);
    ASSERT_TRUE(drv.load());
  }
  void TearDown() override {
    platSetDriverCallbackHook(nullptr);
    ProductTest::TearDown();
  }

  DWORD open(DWORD flags = CALLBACK_FUNCTION, DWORD_PTR callback = (DWORD_PTR)clientCallback) {
    desc.hMidi = (HMIDI)(uintptr_t)0x1234;
    desc.dwCallback = callback;
    desc.dwInstance = 0xABCD;
    return drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, flags);
  }
  // An open that finds the channel's owner alive, made on the stopped clock:
  // it waits for the owner mutex 50 ms of the clock (the owner's host may be
  // looking at it), no less, and is then refused without any other wait.
  DWORD openRefusedAfterTheOwnerLook() {
    kvtest::FrozenClock clock;
    DWORD result = 99;
    kvtest::Running opening([&] { result = open(); });
    EXPECT_TRUE(kvtest::clockWaiters(1)) << "the open waits for the owner mutex";
    clock.advance(49);
    EXPECT_TRUE(kvtest::clockLooks("ClockWait", platFaultCalls("ClockWait")));
    EXPECT_FALSE(opening.done()) << "still waiting after 49 ms";
    clock.advance(1);
    EXPECT_TRUE(opening.ends());
    return result;
  }

  DWORD close() { return drv.modMessage(0, MODM_CLOSE, 0, 0, 0); }

  MIDIOPENDESC desc = {};
};

}  // namespace

TEST_F(MidiDeviceTest, OpenStartsTheHostAndCloseStopsIt) {
  ASSERT_EQ(open(), 0u);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(drv.midi->dwVersion, CHANNEL_VERSION);
  EXPECT_NE(drv.midi->hwndHost, 0u);
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_EQ(notifications[0].msg, (DWORD)MOM_OPEN);
  EXPECT_EQ(notifications[0].flags, 11u) << "CALLBACK_FUNCTION's high word with DCB_NOSWITCH";
  EXPECT_EQ(notifications[0].instance, 0xABCDu);

  EXPECT_EQ(open(), (DWORD)MMSYSERR_ALLOCATED) << "one client per process";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x7F3C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x003C, 0), 0u);

  ASSERT_EQ(close(), 0u);
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_EQ(notifications[1].msg, (DWORD)MOM_CLOSE);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE) << "the host stores idle before the close command returns";
  EXPECT_EQ(close(), (DWORD)MMSYSERR_INVALHANDLE);
  EXPECT_EQ(readInstallFile("KVMIDIIN.RAW"), std::string("\x90\x3C\x7F\x90\x3C\x00", 6));
  EXPECT_NE(readInstallFile("KVMIDIIN.TXT").find("note-on"), std::string::npos);

  // The channel is free again for the next open.
  ASSERT_EQ(open(CALLBACK_NULL, 0), 0u);
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(notifications.size(), 2u) << "a client without a callback gets no notification";

  // A callback without a callback type in the flags: DCB_NOSWITCH alone.
  ASSERT_EQ(open(CALLBACK_NULL), 0u);
  ASSERT_EQ(notifications.size(), 3u);
  EXPECT_EQ(notifications[2].flags, 8u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, RefusingHostGivesAllocatedAndFreesTheGate) {
  hostSetting("Answer", "refuse");
  EXPECT_EQ(open(), (DWORD)MMSYSERR_ALLOCATED);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_REFUSED);
  EXPECT_TRUE(notifications.empty());
  hostSetting("Answer", "5");
  EXPECT_EQ(open(), (DWORD)MMSYSERR_ERROR) << "an answer other than accept or refuse";
  hostSetting("Answer", "accept");
  EXPECT_EQ(open(), 0u) << "both gates were given back";
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, MissingHostCopyFallsBackToTheBaseHostAndNoHostAtAllIsAnError) {
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVMIDI16.EXE"));
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
  ASSERT_TRUE(DeleteFileA("C:\\KV\\KVTSK16.EXE"));
  DWORD result = 99;
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = open(); })) << "no wait when nothing was started";
  EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
}

// The owner mutex is one for every session: a client of another session
// holds it while its host, in that session, cannot be seen from this one. A
// mutex that cannot be opened (another user's, say) counts as held too.
TEST_F(MidiDeviceTest, AnOwnerMutexHeldInAnySessionOrNotOpenedRefusesTheOpenBeforeAnyHostStarts) {
  installProgram("RECARGS.EXE", "KVMIDI16.EXE");
  {
    Child owner("own_mutex", {KV_MIDI_OWNER_MUTEX});
    ASSERT_EQ(owner.expectLine(), "owned");
    EXPECT_EQ(open(), (DWORD)MMSYSERR_ALLOCATED) << "held by a client of another session";
    owner.send("end");
  }
  platFaultInject("CreateMutexA", 1, 1);
  EXPECT_EQ(open(), (DWORD)MMSYSERR_ALLOCATED) << "not opened";
  EXPECT_EQ(readInstallFile("KVMIDI16.EXE.ARGS"), "") << "no host was started";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_TRUE(notifications.empty());
  installProgram("KVTSK16.EXE", "KVMIDI16.EXE");
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, CloseReleasesTheChannelWhateverTheStatusSays) {
  for (DWORD status : {CHANNEL_IDLE, CHANNEL_ACCEPTED, 5u}) {
    notifications.clear();
    ASSERT_EQ(open(), 0u) << status;
    drv.setMidiLong(0, status);
    EXPECT_EQ(close(), 0u) << status;
    ASSERT_EQ(notifications.size(), 2u) << status;
    EXPECT_EQ(notifications[1].msg, (DWORD)MOM_CLOSE);
    EXPECT_EQ(kvtest::openElsewhere("midi"), "0 100 0") << "gate and owner mutex were freed, status " << status;
  }
}

TEST_F(MidiDeviceTest, LongDataIsFinishedAtOnceAlsoWhenTheRingWriteGivesUp) {
  hostSetting("Consume", "stop");
  ASSERT_EQ(open(), 0u);
  std::vector<BYTE> sysex(5000, 0x11);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
  hdr.dwBufferLength = (DWORD)sysex.size();
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, 0), (DWORD)MIDIERR_NOTREADY);
  EXPECT_EQ(hdr.dwFlags, MHDR_PREPARED | MHDR_DONE);
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_EQ(notifications[1].msg, (DWORD)MOM_DONE);
  EXPECT_EQ(notifications[1].p1, (DWORD_PTR)&hdr);
  EXPECT_EQ(drv.midi->dwRingCount, 4096) << "the bytes stored before the give-up stay queued";

  hdr.dwBufferLength = 0;
  hdr.dwFlags = MHDR_PREPARED;
  EXPECT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, 0), 0u);
  EXPECT_TRUE(hdr.dwFlags & MHDR_DONE);
  EXPECT_EQ(notifications.size(), 3u);
  EXPECT_EQ(close(), 0u);
}

// Clients in processes of their own are device clients (support/device_client.cpp).
// The next open is held at its second wait for the owner mutex, which only
// an open that found the mutex owned makes: "hold WaitForSingleObject 2 NAME".

TEST_F(MidiDeviceTest, OneClientInTheSystemAndTakeOverAfterTheOwnerIsKilled) {
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
TEST_F(MidiDeviceTest, TheHostTakesALiveOwnerForLive) {
  hostSetting("MidiRecord", "KVMIDIIN");
  hostSetting("Consume", "slow");
  hostSetting("SlowByteUs", "1000");
  ASSERT_EQ(open(), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  // A second of taking bytes, through several of the host's looks at the owner.
  std::vector<BYTE> sysex(1000, 0x10);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
  hdr.dwBufferLength = (DWORD)sysex.size();
  hdr.dwFlags = MHDR_PREPARED;
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
TEST_F(MidiDeviceTest, AnOpenThatMeetsTheHostsLookAtTheOwnerMutexLooksAgain) {
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

TEST_F(MidiDeviceTest, TakeOverNeedsTheOldHostToGoIdle) {
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
TEST_F(MidiDeviceTest, TakeOverWaitsForAPostedCloseToMakeTheOldHostIdle) {
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

TEST_F(MidiDeviceTest, HostThatNeverAnswersTimesOutAfterTwentySeconds) {
  hostSetting("Answer", "never");
  hostSetting("NeverLingerMs", "21000");
  DWORD result = 99;
  int priorityBefore = 0, priorityAfter = 1;
  {
    // The host stays on the same stopped clock.
    kvtest::FrozenClock clock(true);
    kvtest::Running opening([&] {
      priorityBefore = GetThreadPriority(GetCurrentThread());
      result = open();
      priorityAfter = GetThreadPriority(GetCurrentThread());
    });
    ASSERT_TRUE(kvtest::clockWaiters(1)) << "the open's first wait, on the host's process";
    unsigned looks = platFaultCalls("GetTickCount");
    clock.advance(19999);
    ASSERT_TRUE(kvtest::clockLooks("GetTickCount", looks));
    EXPECT_FALSE(opening.done()) << "still waiting after 19999 ms";
    clock.advance(2);
    ASSERT_TRUE(opening.ends());
    clock.advance(1000);  // the host's linger
  }
  EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_EQ(priorityAfter, priorityBefore) << "restored after the idle-priority wait";
  hostSetting("Answer", "accept");
  EXPECT_EQ(open(), 0u) << "the gate is free";
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, ChannelOfAnEndedOpeningThreadIsTakenOverAndThenOwned) {
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

TEST_F(MidiDeviceTest, AProcessWhoseChannelWasTakenOverClosesOnlyItself) {
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

TEST_F(MidiDeviceTest, ChannelOfAGoneOwnerIsTakenOverWhenItsHostIsGoneOrIdle) {
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

TEST_F(MidiDeviceTest, ACloseCommandThatIsNotDeliveredStillEndsTheHost) {
  ASSERT_EQ(open(), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  ASSERT_NE(pid, 0u);
  platFaultInject("SendMessageTimeoutA", 1, 1);
  platFaultInject("PostMessageA", 1, 1);
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE) << "the host learns it from the status";
  EXPECT_TRUE(kvtest::processEnds((int)pid, 5000)) << "the host does not live on";
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, WithoutTheModulePathTheOpenFailsAtOnceAndStartsNothing) {
  installProgram("RECARGS.EXE", "KVMIDI16.EXE");
  platFaultInject("GetModuleFileNameA", 1, 1);
  DWORD result = 99;
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = open(); }));
  EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
  EXPECT_EQ(readInstallFile("KVMIDI16.EXE.ARGS"), "") << "no host was started";
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  EXPECT_TRUE(notifications.empty());
}

TEST_F(MidiDeviceTest, AHostThatEndsWithoutAnsweringEndsTheWait) {
  hostSetting("Answer", "never");
  hostSetting("NeverLingerMs", "200");
  DWORD result = 99;
  EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = open(); }))
      << "the host's end, not the 20 s of a host that might still answer";
  EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
  hostSetting("Answer", "accept");
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
}

namespace {

struct Reentry {
  kvtest::DriverModule* drv;
  DWORD openFromClose = 99;
};
Reentry reentry;

void reopeningCallback(DWORD_PTR, DWORD, HDRVR, DWORD msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (msg != MOM_CLOSE) return;
  MIDIOPENDESC desc = {};
  reentry.openFromClose = reentry.drv->modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
}

}  // namespace

TEST_F(MidiDeviceTest, AnOpenFromTheCloseCallbackIsRefusedAndTheNextOneSucceeds) {
  reentry.drv = &drv;
  platSetDriverCallbackHook(reopeningCallback);
  ASSERT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
  EXPECT_EQ(reentry.openFromClose, (DWORD)MMSYSERR_ALLOCATED) << "the process still counts as open during MOM_CLOSE";
  platSetDriverCallbackHook(recordCallback);
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, TheNextOpenStartsFromACleanBlockBeforeItsHostStarts) {
  ASSERT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
  // What a session may leave behind: running status, a write position, stall
  // time, a count no host would take.
  drv.setMidiLong(offsetof(MidiChannel, dwRunningStatus), 0x90);
  drv.setMidiLong(offsetof(MidiChannel, dwWritePos), 77);
  drv.setMidiLong(offsetof(MidiChannel, dwStallMs), 10000);
  drv.setMidiLong(offsetof(MidiChannel, dwRingCount), 0x7FFFFFFF);
  drv.setMidiLong(offsetof(MidiChannel, lWriteLock), 0);
  hostSetting("Consume", "stop");
  ASSERT_EQ(open(), 0u);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_OPEN) << "the host found a count it could serve";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x40, 0), 0u);
  EXPECT_EQ(drv.midi->dwRingCount, 0) << "no running status: dropped";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u) << "no stall time, no lock held";
  EXPECT_EQ(drv.midi->dwRingCount, 3);
  EXPECT_EQ(drv.midi->abRing[0], 0x90) << "from index 0";
  EXPECT_EQ(drv.midi->dwWritePos, 3u);
  EXPECT_EQ(close(), 0u);
}

TEST_F(MidiDeviceTest, AClientKilledWhileItsOpenWaitsLeavesTheChannelToTheNextOpen) {
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

TEST_F(MidiDeviceTest, SlowALateHostsAnswerIsNotTakenByTheNextOpen) {
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

TEST_F(MidiDeviceTest, AClientKilledAtAnyPointOfItsOpenLeavesTheChannelToTheNextOpen) {
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
