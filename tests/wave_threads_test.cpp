// The wave device among threads: calls from the client's callback on the pump
// thread, closes and resets racing each other and the pump, failed signals and
// waits, the pump's ticks, and owners that end or stop refilling.
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "kv/plat.h"
#include "product.h"
#include "sound.h"

using kvtest::Child;
#include "wave_device.h"

using kvtest::Child;
using kvtest::waitUntil;
using namespace wavetest;

namespace {

// Runs `work` on a thread of its own. A call that does not come back within
// `timeoutMs` is stuck in the driver for good: the test fails and the process
// ends at once, as neither its tear-down nor its exit could finish.
void finishOrExit(const std::function<void()>& work, const char* what, DWORD timeoutMs = 5000) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
  });
  if (!waitUntil([&] { return done.load(); }, timeoutMs)) {
    ADD_FAILURE() << what << " did not come back";
    fflush(nullptr);
    _exit(1);
  }
  t.join();
}

// Busy threads that keep both processors taken, so that the client threads of
// a race are often pre-empted in the middle of what they do.
class Contention {
 public:
  explicit Contention(int n = 3) {
    for (int i = 0; i < n; ++i)
      threads_.emplace_back([this] {
        while (!stop_) {
        }
      });
  }
  ~Contention() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

bool threadExists(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

// What the client's callback does on its first WOM_DONE, on the pump thread.
std::function<void()> onFirstDone;
std::atomic<int> donesSeen{0};
DWORD callbackThread = 0;

void CALLBACK actingCallback(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (msg == WOM_DONE && ++donesSeen == 1 && onFirstDone) {
    callbackThread = GetCurrentThreadId();
    onFirstDone();
  }
}

std::vector<DWORD> messagesInOrder() {
  std::lock_guard<std::mutex> g(notificationLock);
  std::vector<DWORD> v;
  for (const Notification& n : notifications) v.push_back(n.msg);
  return v;
}

}  // namespace

// The host ends while the client streams: its buffers still come back, at the
// pace they would have played, and the position moves on; nothing waits for a
// host that will never read again.
TEST_F(WaveDeviceTest, BuffersComeBackAtTheirPaceAfterTheHostHasEnded) {
  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  // Half a second of sound in four buffers.
  std::vector<std::vector<BYTE>> data(4, std::vector<BYTE>(1000, 0x90));
  std::vector<WAVEHDR> headers;
  for (std::vector<BYTE>& d : data) headers.push_back(header(d));
  for (WAVEHDR& h : headers) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 0u);
  DWORD pid = kvtest::hostProcessOf(drv.wave->hwndHost);
  ASSERT_NE(pid, 0u);
  ASSERT_EQ(::kill((pid_t)pid, SIGKILL), 0);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 5000));
  DWORD t0 = GetTickCount();
  ASSERT_TRUE(waitUntil([&] { return countOf(WOM_DONE) == 4; }, 10000)) << countOf(WOM_DONE) << " of 4 came back";
  EXPECT_GE(GetTickCount() - t0, 400u) << "no faster than they would have played";
  for (WAVEHDR& h : headers) EXPECT_EQ(kvtest::headerFlags(h), WHDR_PREPARED | WHDR_DONE);
  MMTIME t = {};
  t.wType = TIME_BYTES;
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.cb, 4000u);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  EXPECT_EQ(countOf(WOM_CLOSE), 1u);
}

TEST_F(WaveDeviceTest, AGoneOwnersChannelIsTakenOverButNeverALiveOne) {
  hostSetting("Consume", "normal");
  // Opens on a thread that ends at once, as a careless client may.
  std::unique_ptr<Child> owner(new Child("device_client", {"module", "open-on-thread wave"}));
  ASSERT_EQ(owner->expectLine(), "loaded");
  ASSERT_EQ(owner->expectLine(), "0");
  HWND ownersHost = (HWND)(ULONG_PTR)drv.wave->hwndHost;
  // The owner lives, although the thread that opened has ended.
  EXPECT_EQ(open(pcm(1, 8000, 8)), 4u) << "the system-wide gate, from this process";
  EXPECT_EQ(kvtest::openElsewhere("wave"), "4 100 5") << "and from another one";
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_OPEN);
  EXPECT_TRUE(IsWindow(ownersHost)) << "the owner's host still serves it";

  // Killed, the owner leaves the gate held and its host running.
  owner->kill();
  owner->wait();
  EXPECT_TRUE(IsWindow(ownersHost));
  EXPECT_EQ(kvtest::openElsewhere("wave"), "0 100 0") << "a new process takes the channel over";
  EXPECT_EQ(open(pcm(1, 8000, 8)), 0u) << "and the gate is free after its close";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

// A client that dies while its device is open stops refilling the ring: the
// host then plays silence, not the marks it leaves on what it has played.
TEST_F(WaveDeviceTest, AClientThatStoppedRefillingLeavesSilenceNotABuzz) {
  hostSetting("Consume", "normal");
  hostSetting("SoundServer", "none");
  // Opens on a thread that ends at once, as a careless client may.
  std::unique_ptr<Child> owner(new Child("device_client", {"module", "open-on-thread wave"}));
  ASSERT_EQ(owner->expectLine(), "loaded");
  ASSERT_EQ(owner->expectLine(), "0");
  DWORD pid = kvtest::hostProcessOf(drv.wave->hwndHost);
  ASSERT_NE(pid, 0u);
  owner->kill();
  owner->wait();
  // The host plays on past the lead the client's pump had written.
  const std::string wav = installDir() + "/KVWAVEOUT.WAV";
  auto recorded = [&] {
    struct stat st;
    return stat(wav.c_str(), &st) == 0 ? (long long)st.st_size : 0;
  };
  const long long kHalfSecond = 44100 * 4 / 2;
  long long at0 = recorded();
  ASSERT_TRUE(waitUntil([&] { return recorded() > at0 + kHalfSecond; }, 20000)) << "the host stopped playing";
  hostSetting("WaveRecord", "");  // the host of the next open keeps no record over this one
  EXPECT_EQ(open(pcm(2, 44100, 16)), 0u) << "the gone client's channel is taken over";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  ASSERT_TRUE(kvtest::processEnds((int)pid, 20000)) << "the old host ended after its close";

  kvtest::Wav played = kvtest::readWav(wav);
  ASSERT_GT(played.frames(), (size_t)kHalfSecond / 4);
  EXPECT_EQ(kvtest::peak(played.samples, 0, played.samples.size()), 0) << "silence only";
  EXPECT_EQ(readInstallFile("KVWAVEOUT.TXT").find("underruns 0\n"), std::string::npos)
      << "the stretches not refilled are counted\n"
      << readInstallFile("KVWAVEOUT.TXT");
}

TEST_F(WaveDeviceTest, ASecondCloseAtTheSameTimeAnswersFiveAndDoesNothing) {
  std::atomic<int> closedAt0{0};
  Contention busy;
  for (int round = 0; round < 25; ++round) {
    ASSERT_EQ(open(pcm(1, 8000, 8)), 0u) << "round " << round;
    clearNotifications();
    std::atomic<bool> go{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> closers;
    for (int i = 0; i < 3; ++i)
      closers.emplace_back([&] {
        while (!go) {
        }
        // Closes until the device is seen closed, and a few times after.
        for (int after = 0; after < 200;) {
          DWORD r = wod(WODM_CLOSE);
          if (r == 0) ++opened;
          if (countOf(WOM_CLOSE) > 0) ++after;
        }
      });
    go = true;
    for (std::thread& t : closers) t.join();
    ASSERT_EQ(opened.load(), 1) << "round " << round;
    ASSERT_EQ(countOf(WOM_CLOSE), 1u) << "round " << round;
    closedAt0 += opened;
  }
  EXPECT_EQ(kvtest::openElsewhere("wave"), "0 100 0") << "the system-wide gate is free, once";
}

TEST_F(WaveDeviceTest, AHeaderWrittenAgainWhileQueuedIsRefused) {
  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  std::vector<BYTE> a(100, 1), b(100, 2);
  WAVEHDR ha = header(a), hb = header(b);
  ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&ha, sizeof ha), 0u);
  ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&hb, sizeof hb), 0u);
  // A header linked behind itself makes every later walk of the queue endless.
  finishOrExit(
      [&] {
        for (WAVEHDR* h : {&hb, &ha}) {
          h->dwFlags &= ~WHDR_INQUEUE;  // the client clears what it must not touch
          EXPECT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 33u) << "still queued";
          EXPECT_EQ(h->dwFlags, WHDR_PREPARED) << "and left as it was";
          EXPECT_EQ(h->lpNext, h == &ha ? &hb : nullptr);
        }
        clearNotifications();
        EXPECT_EQ(wod(WODM_CLOSE), 0u);
      },
      "the writes and the close");
  EXPECT_EQ(messagesInOrder(), (std::vector<DWORD>{WOM_DONE, WOM_DONE, WOM_CLOSE}));
}

TEST_F(WaveDeviceTest, EveryAcceptedWriteComesBackBeforeTheClose) {
  // Writers on three threads keep the queue lock busy, so that a close often
  // waits for it while another write has passed its first test.
  const int kWriters = 3, kHeaders = 300;
  std::vector<BYTE> data(8, 0x80);
  std::vector<std::vector<WAVEHDR>> headers(kWriters, std::vector<WAVEHDR>(kHeaders));
  Contention busy(2);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
    clearNotifications();
    std::vector<std::vector<DWORD>> answers(kWriters, std::vector<DWORD>(kHeaders, 99));
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.emplace_back([&, w] {
        for (int i = 0; i < kHeaders; ++i) {
          headers[w][i] = header(data);
          answers[w][i] = wod(WODM_WRITE, (DWORD_PTR)&headers[w][i], sizeof(WAVEHDR));
          ++written;
          if (answers[w][i] == 5) break;
        }
      });
    while (written < 60) {
    }
    EXPECT_EQ(wod(WODM_CLOSE), 0u);
    for (std::thread& t : writers) t.join();
    std::vector<DWORD> order = messagesInOrder();
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), (DWORD)WOM_CLOSE);
    size_t accepted = 0;
    for (int w = 0; w < kWriters; ++w)
      for (int i = 0; i < kHeaders; ++i) {
        if (answers[w][i] != 0) continue;
        ++accepted;
        ASSERT_EQ(headers[w][i].dwFlags, WHDR_PREPARED | WHDR_DONE) << "round " << round << ", header " << i;
      }
    EXPECT_EQ(countOf(WOM_DONE), accepted) << "round " << round;
  }
}

TEST_F(WaveDeviceTest, CallsFromTheCallbackOnThePumpThread) {
  format = pcm(1, 8000, 8);
  desc.lpFormat = &format;
  desc.dwCallback = (DWORD_PTR)actingCallback;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION), 0u);
  memset(drv.wave->abRing, 0xEE, 65536);
  moveReadPos(4, 320);
  std::vector<BYTE> a(8, 1), b(8, 2), c(80, 3);
  WAVEHDR ha = header(a), hb = header(b), hc = header(c);
  for (WAVEHDR* h : {&ha, &hb}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  // a and b are used up in one tick; returning a, the client resets (b comes
  // back) and writes c, which was not played and stays queued.
  DWORD reset = 99, written = 99, closed = 99;
  donesSeen = 0;
  callbackThread = 0;
  onFirstDone = [&] {
    reset = wod(WODM_RESET);
    written = wod(WODM_WRITE, (DWORD_PTR)&hc, sizeof hc);
  };
  clearNotifications();
  finishOrExit([&] { moveReadPos(20, 320); }, "the tick with a reset from the callback");
  EXPECT_EQ(reset, 0u);
  EXPECT_EQ(written, 0u);
  EXPECT_NE(callbackThread, GetCurrentThreadId()) << "the pump's thread";
  EXPECT_EQ(countOf(WOM_DONE), 2u);
  EXPECT_EQ(hb.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(hc.dwFlags, WHDR_PREPARED | WHDR_INQUEUE) << "c was not played";

  // Returning c, the client closes: the close answers at once and completes
  // once the callback has returned.
  donesSeen = 0;
  onFirstDone = [&] { closed = wod(WODM_CLOSE); };
  clearNotifications();
  // The position query takes the queue lock the pump takes every tick: the
  // reads of c above come before the pump returns it.
  MMTIME t = {};
  t.wType = TIME_MS;
  ASSERT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  drv.wave->dwReadPos = 200;
  finishOrExit([&] { EXPECT_TRUE(waitUntil([&] { return countOf(WOM_CLOSE) == 1; })); }, "the close from the callback");
  onFirstDone = nullptr;
  EXPECT_EQ(closed, 0u);
  EXPECT_EQ(messagesInOrder(), (std::vector<DWORD>{WOM_DONE, WOM_CLOSE}));
  EXPECT_EQ(hc.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(wod(WODM_CLOSE), 5u);
  EXPECT_EQ(open(pcm(1, 8000, 8)), 0u) << "the gates are free";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, FailedSignalsAndWaitsNeitherHangNorSilenceTheDevice) {
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  memset(drv.wave->abRing, 0xEE, 65536);
  moveReadPos(4, 652);
  // Every wait fails from now on: the pump goes on filling and returning.
  platFaultInject("WaitForSingleObject", 1, 0);
  // The wait after this tick fails at the latest.
  moveReadPos(1000, 652);
  moveReadPos(1500, 652);
  std::vector<BYTE> a(400, 0xA1);
  WAVEHDR ha = header(a);
  ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&ha, sizeof ha), 0u);
  moveReadPos(2000, 652);
  EXPECT_EQ(countOf(WOM_DONE), 1u) << "the buffer was played and returned";
  EXPECT_EQ(ha.dwFlags, WHDR_PREPARED | WHDR_DONE);
  finishOrExit([&] { EXPECT_EQ(wod(WODM_CLOSE), 0u); }, "the close with failing waits");
  platFaultClear();

  // A stop signal that is not given still stops the pump.
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  unsigned sets0 = platFaultCalls("SetEvent");
  platFaultInject("SetEvent", sets0 + 1, 1);
  finishOrExit([&] { EXPECT_EQ(wod(WODM_CLOSE), 0u); }, "the close with a failed signal");
  EXPECT_EQ(platFaultCalls("SetEvent") - sets0, 1u);
  EXPECT_EQ(countOf(WOM_CLOSE), 2u);
}

// ---- the pump's schedule and the close's wait for it ----

TEST_F(WaveDeviceTest, PumpTicksEveryTenMillisecondsTimeCriticalWithAFineTimerWhileOpen) {
  ASSERT_EQ(open(pcm(2, 4096, 16)), 0u);
  // The pump's ticks are its waits on the stop event; nothing else of this
  // process waits on anything while it runs. The schedule is fixed and catches
  // up after late ticks, so, counted from the open, their number follows the
  // clock.
  pid_t pump = pumpThread();
  // What the system really applied: real-time scheduling where allowed,
  // otherwise the highest share of the processor.
  int policy = sched_getscheduler(pump);
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, (id_t)pump);
  EXPECT_TRUE(policy == SCHED_FIFO || (policy == SCHED_OTHER && nice == -20)) << pump << ": " << policy << " " << nice;
  EXPECT_EQ(platFaultCalls("timeBeginPeriod"), 1u);
  EXPECT_EQ(platFaultCalls("timeEndPeriod"), 0u);

  {
    // Once the clock stands, the pump waits for it, and each move of the
    // clock is answered by the ticks whose time has come: one for 10 ms,
    // more than one at once for 30 ms (a late tick is caught up), and over
    // all the moves one tick per 10 ms. The pump's schedule is up to 20 ms
    // ahead of the clock (a late tick, then a wait of at most 10 ms), so the
    // first move may bring one tick more or fewer.
    kvtest::FrozenClock clock;
    ASSERT_TRUE(kvtest::clockWaiters(1));
    // Ticks after a move, once the pump waits for the clock again.
    auto ticksAfter = [&](DWORD ms) {
      unsigned waits0 = platFaultCalls("WaitForSingleObject");
      clock.advance(ms);
      EXPECT_TRUE(
          kvtest::waitUntil([&] { return platFaultCalls("WaitForSingleObject") > waits0 && platClockWaiters() == 1; }));
      return platFaultCalls("WaitForSingleObject") - waits0;
    };
    unsigned ticks = ticksAfter(10);
    EXPECT_TRUE(ticks == 1 || ticks == 2) << ticks;
    for (int i = 0; i < 20; ++i) {
      unsigned n = ticksAfter(10);
      ASSERT_EQ(n, 1u) << "move " << i;
      ticks += n;
    }
    unsigned late = ticksAfter(30);
    EXPECT_GE(late, 2u) << "a late tick is caught up at once";
    EXPECT_LE(late, 4u);
    ticks += late;
    for (int i = 0; i < 5; ++i) ticks += ticksAfter(10);
    EXPECT_GE(ticks * 10 + 20, clock.advanced()) << ticks << " ticks in " << clock.advanced() << " ms";
    EXPECT_LE(ticks * 10, clock.advanced() + 20) << ticks << " ticks in " << clock.advanced() << " ms";
  }
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  EXPECT_FALSE(threadExists(pump)) << "the close waited for the pump's end";
  EXPECT_EQ(platFaultCalls("timeBeginPeriod"), 1u);
  EXPECT_EQ(platFaultCalls("timeEndPeriod"), 1u) << "the timer period is given back";
}

namespace {
std::atomic<int> slowDones{0};
void CALLBACK slowCallback(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (msg == WOM_DONE && ++slowDones == 1) Sleep(300);
}
}  // namespace

TEST_F(WaveDeviceTest, CloseWaitsForThePumpEvenBehindASlowCallback) {
  format = pcm(1, 8000, 8);
  desc.lpFormat = &format;
  desc.dwCallback = (DWORD_PTR)slowCallback;
  slowDones = 0;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION), 0u);
  pid_t pump = pumpThread();
  slowDones = 0;
  std::vector<BYTE> a(8, 1), b(8, 2), c(8000, 3);
  WAVEHDR ha = header(a), hb = header(b), hc = header(c);
  for (WAVEHDR* h : {&ha, &hb, &hc}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  clearNotifications();
  drv.wave->dwReadPos = 100;  // the pump uses a and b up and returns a slowly
  ASSERT_TRUE(waitUntil([&] { return slowDones == 1; }));
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  EXPECT_FALSE(threadExists(pump));
  std::vector<DWORD> order = messagesInOrder();
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), (DWORD)WOM_CLOSE);
  EXPECT_EQ(countOf(WOM_DONE), 3u);
  Sleep(30);
  EXPECT_EQ(messagesInOrder(), order) << "nothing after WOM_CLOSE";
}

// A client thread that asks for the position in samples (or bytes) takes no
// lock the pump needs: here the pump holds the queue lock, returning a buffer
// to a callback that waits, and the position still answers. So a client
// preempted while it asks never holds up the pump.
TEST_F(WaveDeviceTest, ThePositionAnswersWhileThePumpHoldsTheQueueLock) {
  format = pcm(1, 8000, 8);
  desc.lpFormat = &format;
  desc.dwCallback = (DWORD_PTR)actingCallback;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION), 0u);
  std::vector<BYTE> a(8, 1), b(8000, 2);
  WAVEHDR ha = header(a), hb = header(b);
  for (WAVEHDR* h : {&ha, &hb}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(release, nullptr);
  std::atomic<bool> inCallback{false};
  donesSeen = 0;
  onFirstDone = [&] {
    inCallback = true;
    WaitForSingleObject(release, 30000);
  };
  // In milliseconds the query takes the queue lock: the pump's next tick sees
  // the callback's work.
  MMTIME t = {};
  t.wType = TIME_MS;
  ASSERT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  drv.wave->dwReadPos = 100;  // the pump copies a and part of b, and returns a
  ASSERT_TRUE(waitUntil([&] { return inCallback.load(); }));
  t.wType = TIME_SAMPLES;
  finishOrExit([&] { EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u); }, "the position query");
  EXPECT_GE(t.u.sample, 8u) << "a's samples are counted";
  SetEvent(release);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
  onFirstDone = nullptr;
  CloseHandle(release);
}

// ---- hosts that do not accept ----

TEST_F(WaveDeviceTest, AHostThatRefusesOrAnswersAnotherValueLeavesTheGatesFree) {
  struct Case {
    const char* answer;
    DWORD result;
  };
  for (Case c : {Case{"refuse", 4u}, Case{"100", 6u}, Case{"7", 6u}}) {
    hostSetting("Answer", c.answer);
    EXPECT_EQ(open(pcm(1, 8000, 8)), c.result) << c.answer;
    EXPECT_EQ(wod(WODM_CLOSE), 5u) << c.answer;
    EXPECT_EQ(wod(WODM_RESET), 5u) << c.answer;
  }
  EXPECT_EQ(notifications.size(), 0u);
  hostSetting("Answer", "accept");
  EXPECT_EQ(kvtest::openElsewhere("wave"), "0 100 0") << "both gates are free";
}

TEST_F(WaveDeviceTest, AHostThatNeverAnswersIsGivenUpAfterThirtySeconds) {
  hostSetting("Answer", "never");
  hostSetting("NeverLingerMs", "40000");
  DWORD result = 99;
  {
    // The host stays on the same stopped clock.
    kvtest::FrozenClock clock(true);
    kvtest::Running opening([&] { result = open(pcm(1, 8000, 8)); });
    // The pump waits for the go, the open on the host's process.
    ASSERT_TRUE(kvtest::clockWaiters(2));
    unsigned looks = platFaultCalls("GetTickCount");
    clock.advance(29999);
    ASSERT_TRUE(kvtest::clockLooks("GetTickCount", looks));
    EXPECT_FALSE(opening.done()) << "still waiting after 29999 ms";
    clock.advance(2);
    ASSERT_TRUE(opening.ends());
    clock.advance(11000);  // the host's linger
  }
  EXPECT_EQ(result, 6u);
  EXPECT_EQ(drv.wave->dwStatus, CHANNEL_IDLE);
  EXPECT_EQ(notifications.size(), 0u);
  hostSetting("Answer", "accept");
  EXPECT_EQ(open(pcm(1, 8000, 8)), 0u) << "both gates are free";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, PositionAndPauseFromOtherThreadsWhilePlaying) {
  hostSetting("Consume", "normal");
  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  std::vector<BYTE> data(400, 0x90);
  std::vector<WAVEHDR> headers(8, header(data));
  for (WAVEHDR& h : headers) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&h, sizeof h), 0u);
  std::atomic<bool> stop{false};
  std::atomic<bool> backwards{false};
  std::thread poller([&] {
    DWORD last = 0;
    while (!stop) {
      MMTIME t = {};
      t.wType = TIME_SAMPLES;
      wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
      if (t.u.sample < last) backwards = true;
      last = t.u.sample;
    }
  });
  std::thread pauser([&] {
    while (!stop) {
      wod(WODM_PAUSE);
      Sleep(15);
      wod(WODM_RESTART);
      Sleep(15);
    }
  });
  EXPECT_TRUE(waitUntil([&] { return countOf(WOM_DONE) == headers.size(); })) << "every buffer was played";
  stop = true;
  poller.join();
  pauser.join();
  EXPECT_FALSE(backwards) << "the position never goes back";
  MMTIME t = {};
  t.wType = TIME_SAMPLES;
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.sample, 8u * 400);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, AClientThatPollsTheFlagsRefillsEachBufferOnceItIsDone) {
  // No callback and no event: the client watches WHDR_DONE, as the pump sets
  // it from its own thread, and fills and writes a buffer again as soon as it
  // is done, while the pump goes on with the other one.
  hostSetting("Consume", "normal");
  ASSERT_EQ(open(pcm(1, 8000, 8)), 0u);
  std::vector<BYTE> data[2] = {std::vector<BYTE>(160), std::vector<BYTE>(160)};
  WAVEHDR headers[2] = {header(data[0]), header(data[1])};
  const int rounds = 24;
  int written = 0;
  DWORD t0 = GetTickCount();
  while (written < rounds && GetTickCount() - t0 < 10000) {
    for (int i = 0; i < 2 && written < rounds; ++i) {
      if (written >= 2 && !kvtest::headerDone(headers[i])) continue;
      std::fill(data[i].begin(), data[i].end(), (BYTE)(0x80 + written));
      headers[i].dwFlags = WHDR_PREPARED;
      ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)&headers[i], sizeof headers[i]), 0u);
      ++written;
    }
    Sleep(1);
  }
  ASSERT_EQ(written, rounds) << "a buffer did not come back";
  EXPECT_TRUE(waitUntil([&] { return kvtest::headerDone(headers[0]) && kvtest::headerDone(headers[1]); }));
  EXPECT_EQ(countOf(WOM_DONE), (size_t)rounds);
  MMTIME t = {};
  t.wType = TIME_SAMPLES;
  EXPECT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  EXPECT_EQ(t.u.sample, rounds * 160u);
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}

TEST_F(WaveDeviceTest, ACloseFromTheCallbackOfAResetCompletesOnceTheResetIsOver) {
  format = pcm(1, 8000, 8);
  desc.lpFormat = &format;
  desc.dwCallback = (DWORD_PTR)actingCallback;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION), 0u);
  std::vector<BYTE> a(8, 1), b(8, 2);
  WAVEHDR ha = header(a), hb = header(b);
  for (WAVEHDR* h : {&ha, &hb}) ASSERT_EQ(wod(WODM_WRITE, (DWORD_PTR)h, sizeof *h), 0u);
  // The reset holds the queue lock while it returns the buffers; the pump's
  // next tick waits for it meanwhile.
  DWORD closed = 99;
  donesSeen = 0;
  onFirstDone = [&] {
    Sleep(30);
    closed = wod(WODM_CLOSE);
  };
  clearNotifications();
  DWORD resetThread = 0;
  finishOrExit(
      [&] {
        resetThread = GetCurrentThreadId();
        EXPECT_EQ(wod(WODM_RESET), 0u);
      },
      "the reset whose callback closes");
  finishOrExit([&] { EXPECT_TRUE(waitUntil([&] { return countOf(WOM_CLOSE) == 1; })); }, "the close's end");
  onFirstDone = nullptr;
  EXPECT_EQ(closed, 0u);
  EXPECT_EQ(callbackThread, resetThread);
  EXPECT_EQ(messagesInOrder(), (std::vector<DWORD>{WOM_DONE, WOM_DONE, WOM_CLOSE}));
  EXPECT_EQ(open(pcm(1, 8000, 8)), 0u) << "the gates are free";
  EXPECT_EQ(wod(WODM_CLOSE), 0u);
}
