// The MIDI device against real host processes: the system-wide open and close
// handshake, host failures, and the notifications a client gets.
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
using miditest::MidiDeviceTest;
using miditest::notifications;

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
  std::vector<BYTE> sysex;
  MIDIHDR hdr = miditest::preparedSysex(sysex, 5000, 0x11);
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
  platSetDriverCallbackHook(miditest::recordCallback);
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

namespace {

// What a reset writes: on every channel the sustain and sostenuto pedals
// lifted, then all notes off.
std::string notesOffBytes() {
  std::string bytes;
  for (int ch = 0; ch < 16; ++ch)
    for (char controller : {64, 66, 123}) bytes += {(char)(0xB0 | ch), controller, 0};
  return bytes;
}

}  // namespace

TEST_F(MidiDeviceTest, AResetEndsTheNotesOfEveryChannelAndForgetsRunningStatus) {
  hostSetting("Consume", "stop");
  ASSERT_EQ(open(), 0u);
  ASSERT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_RESET, 0, 0, 0), 0u);
  EXPECT_EQ(drv.midi->dwRingCount, 3 + 144);
  EXPECT_EQ(drv.midi->dwRunningStatus, 0u);
  EXPECT_EQ(drv.midi->lWriteLock, -1);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403E, 0), 0u);
  EXPECT_EQ(drv.midi->dwRingCount, 3 + 144) << "a message without status after the reset is dropped";
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403E90, 0), 0u);
  EXPECT_EQ(notifications.size(), 1u) << "a reset sends no notification";
  ASSERT_EQ(close(), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_RESET, 0, 0, 0), 0u) << "closed: nothing to end";
  EXPECT_EQ(readInstallFile("KVMIDIIN.RAW"), std::string("\x90\x3C\x40", 3) + notesOffBytes() + "\x90\x3E\x40");
}

TEST_F(MidiDeviceTest, AResetLeavesAChannelThisProcessDoesNotHaveOpen) {
  hostSetting("Consume", "stop");
  {
    Child client("device_client", {"module", "open midi", "send 403C90"});
    ASSERT_EQ(client.expectLine(), "loaded");
    ASSERT_EQ(client.expectLine(), "0");
    ASSERT_EQ(client.expectLine(), "0");
    EXPECT_EQ(drv.modMessage(0, MODM_RESET, 0, 0, 0), 0u);
    EXPECT_EQ(drv.midi->dwRingCount, 3) << "another process's client";
    EXPECT_EQ(drv.midi->dwRunningStatus, 0x90u);
    client.send("close");
    ASSERT_EQ(client.expectLine(), "0");
  }
  // Taken over: the next open's clear names no host; this one leaves.
  ASSERT_EQ(open(), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.midi->hwndHost);
  ASSERT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  drv.setMidiLong(offsetof(MidiChannel, hwndHost), 0);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
  EXPECT_EQ(drv.modMessage(0, MODM_RESET, 0, 0, 0), 0u);
  EXPECT_EQ(drv.midi->dwRingCount, 3) << "a channel taken over is no longer this client's";
}

// The reset's bytes wait for the writer lock and for room in the ring as any
// other write does, and give up as it does; running status is forgotten
// whatever was written.
TEST_F(MidiDeviceTest, AResetWaitsAndGivesUpAsAnyRingWriteDoes) {
  hostSetting("Consume", "stop");
  ASSERT_EQ(open(), 0u);
  ASSERT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  auto resetOnTheClock = [&](DWORD ms) {
    kvtest::FrozenClock clock;
    DWORD result = 99;
    unsigned looks = platFaultCalls("timeGetTime");
    kvtest::Running reset([&] { result = drv.modMessage(0, MODM_RESET, 0, 0, 0); });
    EXPECT_TRUE(kvtest::clockLooks("timeGetTime", looks)) << "the reset waits on the clock";
    clock.advance(ms - 1);
    EXPECT_TRUE(kvtest::clockLooks("timeGetTime", platFaultCalls("timeGetTime")));
    EXPECT_FALSE(reset.done()) << "still waiting after " << ms - 1 << " ms";
    clock.advance(1);
    EXPECT_TRUE(reset.ends());
    return result;
  };
  {
    Child holder("hold_write_lock", {kvtest::driverModulePath()});
    ASSERT_EQ(holder.expectLine(), "holding");
    EXPECT_EQ(resetOnTheClock(50), (DWORD)MIDIERR_NOTREADY) << "the writer lock is another writer's";
    EXPECT_EQ(drv.midi->dwRingCount, 3);
    EXPECT_EQ(drv.midi->dwRunningStatus, 0x90u) << "nothing went through the ring";
    holder.send("release");
    ASSERT_EQ(holder.expectLine(), "released");
  }
  std::vector<BYTE> sysex;
  MIDIHDR hdr = miditest::preparedSysex(sysex, 4096 - 3 - 10, 0x11);
  ASSERT_EQ(drv.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, 0), 0u);
  EXPECT_EQ(resetOnTheClock(1000), (DWORD)MIDIERR_NOTREADY) << "the host took nothing for a second";
  EXPECT_EQ(drv.midi->dwRingCount, 4096) << "the bytes stored before the give-up stay queued";
  EXPECT_EQ(drv.midi->dwStallMs, 1000u);
  EXPECT_EQ(drv.midi->dwRunningStatus, 0u);
  EXPECT_EQ(drv.midi->lWriteLock, -1);
  EXPECT_EQ(close(), 0u);
}
