// Take-over of the wave channel from clients that have gone: killed with their
// host, or killed while their open was still under way. Real client processes
// and real hosts, ended with SIGKILL; the channel of a live owner, or of an
// open under way, is never taken.
#include <signal.h>

#include <string>

#include "clock.h"
#include "kv/plat.h"
#include "product.h"

using kvtest::Child;

namespace {

class WaveTakeOverTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    ASSERT_TRUE(drv.load());
    instance.reset(new Child("instance_window"));
    ASSERT_EQ(instance->expectLine(), "open");
  }
  void TearDown() override {
    if (drv.wave && drv.wave->dwStatus == CHANNEL_OPEN) drv.wodMessage(0, WODM_CLOSE, 0, 0, 0);
    instance.reset();
    ProductTest::TearDown();
  }

  // Starts a wave host by hand, as a late host of an earlier open would come,
  // and answers its exit code once it has ended (99: it did not end in 5 s).
  DWORD hostStartedByHand() {
    char szCmd[1024];
    wsprintfA(szCmd, "C:\\KV\\KVWAVE16.EXE /OpenKvWaveOut$ %s", kvtest::driverModulePath().c_str());
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, szCmd, nullptr, nullptr, FALSE, 0, nullptr, "C:\\KV", &si, &pi)) return 98;
    DWORD dwExit = 99;
    if (WaitForSingleObject(pi.hProcess, 5000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return dwExit;
  }

  // Opens from this process, which is not the gone owner's.
  DWORD open() {
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 8000;
    format.wBitsPerSample = 8;
    format.nBlockAlign = 1;
    format.nAvgBytesPerSec = 8000;
    desc.lpFormat = &format;
    return drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, 0);
  }
  // An open that is to be refused, made with the clock stopped: a refusal
  // that waited out any time-out would not come.
  DWORD openRefusedAtOnce(const char* what) {
    DWORD result = 99;
    EXPECT_TRUE(kvtest::endsWithoutTheClock([&] { result = open(); })) << what;
    return result;
  }
  DWORD close() { return drv.wodMessage(0, WODM_CLOSE, 0, 0, 0); }

  // The process of the host window the channel names; 0 when none.
  DWORD hostProcess() { return kvtest::hostProcessOf(drv.wave->hwndHost); }

  // Has `opener` start its open, and answers the process of the host that
  // open started, once that host has named its window (0 if not within 5 s).
  DWORD hostOfAnOpenUnderWay(Child& opener) {
    if (opener.expectLine() != "loaded") return 0;
    opener.send("open wave");
    kvtest::waitUntil([&] { return hostProcess() != 0; });
    return hostProcess();
  }

  std::unique_ptr<Child> instance;
  WAVEFORMATEX format = {};
  WAVEOPENDESC desc = {};
};

void killProcess(DWORD pid) {
  ASSERT_NE(pid, 0u);
  ASSERT_EQ(::kill((pid_t)pid, SIGKILL), 0);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
}

}  // namespace

TEST_F(WaveTakeOverTest, AGoneOwnersChannelIsTakenOverWhenItsHostIsGoneOrIdle) {
  // The owner and its host are both killed: the host's window is gone.
  {
    Child owner("device_client", {"module", "open wave"});
    ASSERT_EQ(owner.expectLine(), "loaded");
    ASSERT_EQ(owner.expectLine(), "0");
    DWORD oldHost = drv.wave->hwndHost;
    killProcess(hostProcess());
    EXPECT_FALSE(IsWindow((HWND)(ULONG_PTR)oldHost));
    EXPECT_EQ(openRefusedAtOnce("live owner"), (DWORD)MMSYSERR_ALLOCATED) << "the owner lives, though its host is gone";
    owner.kill();
    owner.wait();
    ASSERT_EQ(drv.wave->dwStatus, CHANNEL_OPEN);
    EXPECT_EQ(open(), 0u) << "a gone host's channel is taken over";
    EXPECT_NE(drv.wave->hwndHost, oldHost);
    EXPECT_TRUE(IsWindow((HWND)(ULONG_PTR)drv.wave->hwndHost)) << "served by a new host";
    EXPECT_EQ(close(), 0u);
  }
  // The host went idle before the owner was killed (a posted close that
  // reached it late), and is told to close once more.
  {
    Child owner("device_client", {"module", "open wave"});
    ASSERT_EQ(owner.expectLine(), "loaded");
    ASSERT_EQ(owner.expectLine(), "0");
    DWORD pid = hostProcess();
    drv.setWaveLong(0, CHANNEL_IDLE);
    owner.kill();
    owner.wait();
    EXPECT_EQ(open(), 0u) << "an idle host's channel is taken over";
    EXPECT_TRUE(kvtest::processEnds((int)pid, 5000)) << "the old host was told to close";
    EXPECT_EQ(close(), 0u);
  }
  // The close command is only posted (the timed send fails): the host is
  // watched until the posted command has made it idle.
  {
    Child owner("device_client", {"module", "open wave"});
    ASSERT_EQ(owner.expectLine(), "loaded");
    ASSERT_EQ(owner.expectLine(), "0");
    DWORD pid = hostProcess();
    owner.kill();
    owner.wait();
    unsigned sends0 = platFaultCalls("SendMessageTimeoutA");
    platFaultInject("SendMessageTimeoutA", sends0 + 1, 1);
    EXPECT_EQ(open(), 0u) << "taken over once the posted close made the host idle";
    EXPECT_EQ(platFaultCalls("SendMessageTimeoutA"), sends0 + 1) << "the one timed send failed";
    EXPECT_TRUE(kvtest::processEnds((int)pid, 5000));
    EXPECT_EQ(close(), 0u);
  }
  EXPECT_EQ(kvtest::openElsewhere("wave"), "0 100 0") << "the close freed the system-wide gate";
}

TEST_F(WaveTakeOverTest, AHostThatDoesNotGoIdleKeepsItsChannel) {
  hostSetting("OnClose", "ignore");
  Child owner("device_client", {"module", "open wave"});
  ASSERT_EQ(owner.expectLine(), "loaded");
  ASSERT_EQ(owner.expectLine(), "0");
  DWORD pid = hostProcess();
  owner.kill();
  owner.wait();
  EXPECT_EQ(openRefusedAtOnce("host ignores the close"), (DWORD)MMSYSERR_ALLOCATED);
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_OPEN);
  killProcess(pid);
}

// The opener is killed while it waits for its host: it holds the system-wide
// gate, and its pump never started to play.
TEST_F(WaveTakeOverTest, AClientKilledWhileItsOpenWaitsLeavesTheChannelToTheNextOpen) {
  // A host that never answers, and never handles a command while it lingers.
  hostSetting("Answer", "never");
  Child opener("device_client", {"module"});
  // The host it started has named its window: the open waits for its answer.
  DWORD lateHost = hostOfAnOpenUnderWay(opener);
  ASSERT_NE(lateHost, 0u);
  hostSetting("Answer", "accept");
  EXPECT_EQ(openRefusedAtOnce("open under way"), (DWORD)MMSYSERR_ALLOCATED) << "an open under way is not taken over";
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_IDLE);

  opener.kill();
  opener.wait();
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_OPEN);
  EXPECT_NE(hostProcess(), lateHost) << "served by the host this open started";
  EXPECT_EQ(close(), 0u);
  killProcess(lateHost);
}

// As above, with a host that answers late: it accepts a while after its
// opener was killed, and then handles the close command it was sent.
TEST_F(WaveTakeOverTest, AClientKilledBeforeItsSlowHostAnswersLeavesTheChannelToTheNextOpen) {
  hostSetting("AnswerDelayMs", "3000");
  Child opener("device_client", {"module"});
  DWORD lateHost = hostOfAnOpenUnderWay(opener);
  ASSERT_NE(lateHost, 0u);
  opener.kill();
  opener.wait();
  hostSetting("AnswerDelayMs", "0");
  EXPECT_EQ(open(), 0u);
  EXPECT_NE(hostProcess(), lateHost) << "served by the host this open started, not by the late one";
  EXPECT_EQ(close(), 0u);
  EXPECT_TRUE(kvtest::processEnds((int)lateHost, 10000)) << "the late host ends on the close it was sent";
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(close(), 0u);
}

// A late host of an earlier open (its opener killed before it answered) starts
// while the current open waits for its own slow host. It must not take the
// channel: before the host claimed its place, the late host's window replaced
// the current host's, the open sent the late host away and cleared the
// channel, and the current host's acceptance then went unseen: the open waited
// 30 s and answered 6, and the late host served the ring on.
TEST_F(WaveTakeOverTest, ALateHostOfAnEarlierOpenNeverTakesTheChannel) {
  hostSetting("AnswerDelayMs", "3000");
  Child opener("device_client", {"module"});
  DWORD openersHost = hostOfAnOpenUnderWay(opener);
  ASSERT_NE(openersHost, 0u) << "the opener's host names its window before it answers";

  EXPECT_EQ(hostStartedByHand(), 1u) << "the late host leaves without serving the channel";

  EXPECT_EQ(opener.expectLine(10000), "0") << "the open is answered by its own host";
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_OPEN);
  EXPECT_EQ(hostProcess(), openersHost);
  opener.send("close");
  EXPECT_EQ(opener.expectLine(), "0");
  EXPECT_TRUE(kvtest::processEnds((int)openersHost, 5000));
}

// A host whose channel names another host (or none: an open cleared the block
// for its own host) no longer plays the ring, which is the next session's, and
// ends. Before, a host that never took its close command played on for good.
TEST_F(WaveTakeOverTest, AHostStopsServingOnceTheChannelNamesAnotherHost) {
  ASSERT_EQ(open(), 0u);
  DWORD pid = hostProcess();
  ASSERT_NE(pid, 0u);
  drv.setWaveLong(offsetof(WaveChannel, hwndHost), 0);
  EXPECT_TRUE(kvtest::processEnds((int)pid, 5000)) << "the host leaves the ring alone and ends";
  EXPECT_EQ(close(), 0u);
}

// A host that finds no playable format in the channel (an open cleared the
// block after the host claimed it) refuses it instead of dividing by the
// format's zero frame size.
TEST_F(WaveTakeOverTest, AHostFindingNoFormatInTheChannelRefusesIt) {
  hostSetting("WaveRecord", "");  // a record of no format would refuse first
  hostSetting("SoundServer", "none");
  ASSERT_EQ(drv.wave->dwStatus, CHANNEL_IDLE);
  ASSERT_EQ(drv.wave->wfFormat.nChannels, 0u);
  EXPECT_EQ(hostStartedByHand(), 1u) << "the host ends by itself, not by a signal";
  EXPECT_EQ(drv.wave->dwStatus, (DWORD)CHANNEL_REFUSED);
}
