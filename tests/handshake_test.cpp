// The open handshake between an opener, a late host of an earlier open and the
// opener's own host, each held at an exact step by the platform's hold points:
// nobody takes another's answer, and no host stores an answer in a channel
// that no longer names it.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "kv/plat.h"
#include "product.h"
#include "support.h"
#include "sweep.h"

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
  HANDLE startHost(const std::string& holds, bool fWave = false) {
    std::string cmd =
        std::string(fWave ? "C:\\KV\\KVWAVE16.EXE /OpenKvWaveOut$ " : "C:\\KV\\KVMIDI16.EXE /OpenKvMidiOut$ ") +
        kvtest::driverModulePath();
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
    kvtest::waitUntil([&] { return drv.midi->hwndHost != from; }, kHangGuardMs);
    return drv.midi->hwndHost;
  }
  void closeHost(DWORD hwnd) {
    DWORD_PTR r = 0;
    SendMessageTimeoutA((HWND)(ULONG_PTR)hwnd, drv.midi->uHostMsg, HOSTCMD_MIDI_CLOSE, 0, SMTO_BLOCK, kHangGuardMs, &r);
  }

  // Steps the opener, a late host and the opener's host of the MIDI or the
  // wave channel through every ordering of their steps.
  void everyOrdering(bool fWave);

  // Starts a MIDI open on a thread of its own, held at every pass of its wait
  // for the answer (kOpenPass); the host it starts is held at `hostHolds`.
  void startOpen(const std::string& hostHolds) {
    platHoldInject("PeekMessageA", PLAT_HOLD_EVERY_CALL, kOpenPass);
    setenv(PLAT_HOLDS_ENV, hostHolds.c_str(), 1);
    opener = std::thread([this] {
      MIDIOPENDESC desc = {};
      dwOpen = drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
      fOpenDone = true;
    });
  }
  // The open's host has started (held at its first hold, `hostTag`): the
  // environment no longer hands holds to the processes this one starts.
  void openersHostHeld(const char* hostTag) {
    held(hostTag);
    unsetenv(PLAT_HOLDS_ENV);
  }
  // Waits until the open is held at its next pass; false once it returned.
  bool openHeld() {
    DWORD t0 = GetTickCount();
    while (!fOpenDone) {
      if (platHoldWait(kOpenPass, 10)) return true;
      if (GetTickCount() - t0 > kHangGuardMs) {
        ADD_FAILURE() << "the open neither returned nor came to its next pass";
        return false;
      }
    }
    return false;
  }
  // Lets the held open make one more pass; false once it returned.
  bool openPass() {
    platHoldRelease(kOpenPass);
    return openHeld();
  }
  // Lets the open run until it returns, then answers its result.
  DWORD openResult() {
    while (openPass()) {
    }
    opener.join();
    platFaultClear();
    return dwOpen;
  }

  static constexpr const char* kOpenPass = "open-pass";
  std::vector<PROCESS_INFORMATION> started;
  std::thread opener;
  std::atomic<bool> fOpenDone{false};
  DWORD dwOpen = 0xFFFF;
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
// lands over the cleared status. The late host leaves it (it cannot tell it
// from the new host's own) and the new host, still named, serves under it.
TEST_F(HandshakeTest, AStrayAcceptanceServesTheHostTheChannelNames) {
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
  // Taken back, the acceptance would leave the new host serving an idle
  // channel, which it leaves.
  kvtest::waitUntil(
      [&] { return drv.midi->dwStatus == CHANNEL_ACCEPTED || WaitForSingleObject(hNew, 0) != WAIT_TIMEOUT; },
      kHangGuardMs);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_ACCEPTED);
  EXPECT_EQ(drv.midi->hwndHost, hwndNew);
  EXPECT_EQ(WaitForSingleObject(hNew, 0), (DWORD)WAIT_TIMEOUT) << "the new host serves";
  drv.midi->dwStatus = CHANNEL_OPEN;
  closeHost(hwndNew);
}

// The open dismisses a late host that named itself in the cleared channel; the
// late host's acceptance lands after the new host's claim and the open sees
// it before the new host has answered. The late host leaves it, the open
// takes it for its own host's (in one step with reading it), and the new host
// serves under it.
TEST_F(HandshakeTest, AStrayAcceptanceTheOpenSeesFirstIsTakenForItsOwnHost) {
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
    kvtest::waitUntil([&] { return drv.midi->dwStatus == CHANNEL_ACCEPTED; }, kHangGuardMs);
    drv.midi->dwStatus = CHANNEL_OPEN;
    closeHost(drv.midi->hwndHost);
    return;
  }
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}

// A late host of an earlier open named itself after this open's clear and
// accepted; the open sends it away while it is inside its close, after its
// check that it is named and before it stores CHANNEL_IDLE. Freed then, its
// name would go to the open's own host, whose acceptance (or the open) that
// store would wipe out. It keeps its name until the close is handled; once it
// has ended, the open gives its name back and its own host serves.
TEST_F(HandshakeTest, ALateHostInsideItsCloseKeepsItsNameUntilTheCloseIsHandled) {
  HANDLE hLate = startHost("KVHOST.claim=1@late-claim,KVHOST.serve=1@late-serve,KVHOST.closing=1@late-closing");
  held("late-claim");
  startOpen("KVHOST.claim=1@new-claim");
  openersHostHeld("new-claim");
  ASSERT_TRUE(openHeld());
  platHoldRelease("late-claim");
  held("late-serve");
  DWORD hwndLate = drv.midi->hwndHost;
  ASSERT_NE(hwndLate, 0u);
  ASSERT_EQ(drv.midi->dwStatus, CHANNEL_ACCEPTED);
  platHoldRelease("late-serve");
  // The pass that sends the late host away; it handles the close (at once,
  // or from the posted command) and is held inside it.
  ASSERT_TRUE(openPass());
  held("late-closing");
  ASSERT_TRUE(openPass());
  EXPECT_EQ(drv.midi->hwndHost, hwndLate) << "the late host's name was freed while it was inside its close";
  platHoldRelease("late-closing");
  ASSERT_EQ(WaitForSingleObject(hLate, kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(drv.midi->dwStatus, CHANNEL_IDLE);
  platHoldRelease("new-claim");
  ASSERT_EQ(openResult(), 0u);
  EXPECT_NE(drv.midi->hwndHost, hwndLate);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}

// A late host checks that the channel names it and is about to store its
// refusal; the open sends it away, its own host claims, and only then does the
// refusal land, to be taken back a moment later. The open looks in between:
// the refusal is not its own host's, which has not ended (a host always ends
// after it refuses), so the open waits for its host's acceptance.
TEST_F(HandshakeTest, ALateHostsRefusalIsNotTakenForTheOpensOwnAnswer) {
  hostSetting("Answer", "refuse");
  HANDLE hLate = startHost("KVHOST.claim=1@late-claim,KVHOST.store=1@late-store,KVHOST.stored=1@late-stored");
  held("late-claim");  // the late host has read its settings
  hostSetting("Answer", "accept");
  startOpen("KVHOST.claim=1@new-claim,KVHOST.store=1@new-store");
  openersHostHeld("new-claim");
  ASSERT_TRUE(openHeld());
  platHoldRelease("late-claim");
  held("late-store");
  ASSERT_NE(drv.midi->hwndHost, 0u);
  ASSERT_TRUE(openPass());  // the dismissal: the late host has not answered
  ASSERT_EQ(drv.midi->hwndHost, 0u);
  platHoldRelease("new-claim");
  held("new-store");
  platHoldRelease("late-store");
  held("late-stored");
  ASSERT_EQ(drv.midi->dwStatus, CHANNEL_REFUSED);
  EXPECT_TRUE(openPass()) << "the open took the late host's refusal for its own host's";
  platHoldRelease("late-stored");
  ASSERT_EQ(WaitForSingleObject(hLate, kHangGuardMs), WAIT_OBJECT_0);
  platHoldRelease("new-store");
  ASSERT_EQ(openResult(), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}

// A late host's stray acceptance lands in the cleared channel; the open's own
// host claims and is held there, before anything else, and the open takes the
// acceptance at once. Its command message is in the block already, so the
// close reaches that host, which then ends.
TEST_F(HandshakeTest, AnOpenThatTakesAStrayAcceptanceCanCommandItsHostAtOnce) {
  HANDLE hLate = startHost("KVHOST.store=1@late-store,KVHOST.stored=1@late-stored");
  held("late-store");
  startOpen("KVHOST.claim=1@new-claim,KVHOST.named=1@new-named");
  openersHostHeld("new-claim");
  platHoldRelease("late-store");
  held("late-stored");
  ASSERT_EQ(drv.midi->dwStatus, CHANNEL_ACCEPTED);
  ASSERT_EQ(drv.midi->hwndHost, 0u);
  platHoldRelease("new-claim");
  held("new-named");
  DWORD hwndNew = drv.midi->hwndHost;
  ASSERT_NE(hwndNew, 0u);
  ASSERT_EQ(openResult(), 0u);
  EXPECT_NE(drv.midi->uHostMsg, 0u) << "the open's host cannot be commanded";
  platHoldRelease("late-stored");
  ASSERT_EQ(WaitForSingleObject(hLate, kHangGuardMs), WAIT_OBJECT_0);
  DWORD dwNew = kvtest::hostProcessOf(hwndNew);
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
  platHoldRelease("new-named");
  EXPECT_TRUE(kvtest::processEnds((int)dwNew, (int)kHangGuardMs)) << "the close did not reach the host";
}

// An open's clear (which empties the whole block) comes between the host's
// store of its command message and its claim: named, it stores the message
// again before anything can command it.
TEST_F(HandshakeTest, AHostNamedAfterAClearHasItsCommandMessageInTheBlock) {
  startHost("KVHOST.claim=1@claim,KVHOST.answer=1@answer");
  held("claim");
  ASSERT_NE(drv.midi->uHostMsg, 0u) << "stored before the claim";
  drv.midi->uHostMsg = 0;  // the clear
  platHoldRelease("claim");
  held("answer");
  DWORD hwndHost = drv.midi->hwndHost;
  ASSERT_NE(hwndHost, 0u);
  EXPECT_NE(drv.midi->uHostMsg, 0u);
  platHoldRelease("answer");
  kvtest::waitUntil([&] { return drv.midi->dwStatus == CHANNEL_ACCEPTED; }, kHangGuardMs);
  drv.midi->dwStatus = CHANNEL_OPEN;
  closeHost(hwndHost);
}

namespace {

// One party of the handshake, stepped from one hold to the next: the opener
// (this process's open, on a thread of its own) or a host process.
struct Party {
  std::string tag;                      // held at its steps under this tag
  std::string claimTag;                 // a host: held before each claim under this tag
  std::string serveTag;                 // a host: held as it begins to serve
  std::string endTag;                   // a host: held once it is done with the channel
  std::atomic<bool>* pfDone = nullptr;  // the opener: its open returned
  HANDLE hProcess = nullptr;            // a host started by the test
  // A host that serves takes no step of its own until the channel moves on.
  enum { RUNNING, AT_CLAIM, AT_STEP, SERVING, ENDED } where = RUNNING;
};

const DWORD kOrderingGuardMs = 30000;

// Waits until the party is held again or is done; false after the guard.
bool settle(Party& p) {
  DWORD t0 = GetTickCount();
  for (;;) {
    if (platHoldWait(p.tag.c_str(), 0)) {
      p.where = Party::AT_STEP;
      return true;
    }
    if (p.pfDone) {
      if (*p.pfDone) {
        p.where = Party::ENDED;
        return true;
      }
    } else {
      if (platHoldWait(p.claimTag.c_str(), 0)) {
        p.where = Party::AT_CLAIM;
        return true;
      }
      if (platHoldWait(p.serveTag.c_str(), 0)) {
        platHoldRelease(p.serveTag.c_str());
        p.where = Party::SERVING;
        return true;
      }
      if (platHoldWait(p.endTag.c_str(), 0)) {
        platHoldRelease(p.endTag.c_str());
        p.where = Party::ENDED;
        return true;
      }
    }
    if (GetTickCount() - t0 > kOrderingGuardMs) return false;
    Sleep(1);
  }
}

// Lets the party take its next step: from the hold it is at to the next.
bool step(Party& p) {
  if (p.where == Party::ENDED) return true;
  if (p.where == Party::SERVING) {
    if (platHoldWait(p.endTag.c_str(), 0)) {
      platHoldRelease(p.endTag.c_str());
      p.where = Party::ENDED;
    }
    return true;
  }
  platHoldRelease((p.where == Party::AT_CLAIM ? p.claimTag : p.tag).c_str());
  p.where = Party::RUNNING;
  return settle(p);
}

std::string hostHolds(const Party& p) {
  return "KVHOST.claim=*@" + p.claimTag + ",KVHOST.store=*@" + p.tag + ",KVHOST.stored=*@" + p.tag +
         ",KVHOST.serve=*@" + p.serveTag + ",KVHOST.end=*@" + p.endTag;
}

// Every interleaving of the parties' step sequences (a multiset of party
// letters), in which the opener's first step, which starts the new host,
// comes before the new host's first.
std::vector<std::string> orderingsOf(std::string steps) {
  std::vector<std::string> all;
  std::sort(steps.begin(), steps.end());
  do {
    if (steps.find('O') < steps.find('N')) all.push_back(steps);
  } while (std::next_permutation(steps.begin(), steps.end()));
  return all;
}

}  // namespace

// A late host of an earlier open, the next open and the host that open starts,
// stepped through every interleaving of their writes to the channel: the
// opener's clear (its first step, which also starts its host) and its passes
// over the answer (a dismissal of the late host, or the take of an answer);
// each host's claim, the store of its acceptance, and its re-check (the taking
// back of an acceptance stored into a channel that no longer names it). After
// the schedule every party runs free. Whatever the ordering, an open that
// succeeds is served by a live host of its own that the channel names, an open
// that fails leaves the channel unopened, and no host stays believing it
// serves: after the close (or the failed open), every host ends.
void HandshakeTest::everyOrdering(bool fWave) {
  volatile DWORD* pdwStatus = fWave ? &drv.wave->dwStatus : &drv.midi->dwStatus;
  volatile DWORD* phwndHost = fWave ? &drv.wave->hwndHost : &drv.midi->hwndHost;
  std::unique_ptr<kvtest::Child> instance;
  if (fWave) {
    instance.reset(new kvtest::Child("instance_window"));
    ASSERT_EQ(instance->expectLine(), "open");
  }
  // The handshake is all these hosts take part in: no SoundFont to load (the
  // host then serves without a synthesizer), no sound server, no record.
  hostSetting("SoundFont", "C:\\KV\\NONE.SF2");
  hostSetting("SoundServer", "none");
  hostSetting("MidiRecord", "");
  hostSetting("WaveRecord", "");
  const std::string id = std::to_string(GetCurrentProcessId());
  std::vector<std::string> orderings = orderingsOf("OOLLLNN");
  unsigned nOpened = 0, nChecked = 0, index = 0;
  kvtest::SweepShare share(fWave ? "wave orderings" : "MIDI orderings");
  for (const std::string& ordering : orderings) {
    if (!share.takes(index++)) continue;
    ++nChecked;
    SCOPED_TRACE("ordering " + ordering);
    platFaultClear();
    *pdwStatus = CHANNEL_IDLE;
    *phwndHost = 0;
    Party late, opener, fresh;
    late.tag = "ord" + id + ".L";
    late.claimTag = late.tag + "c";
    late.endTag = late.tag + "e";
    late.serveTag = late.tag + "s";
    fresh.tag = "ord" + id + ".N";
    fresh.claimTag = fresh.tag + "c";
    fresh.endTag = fresh.tag + "e";
    fresh.serveTag = fresh.tag + "s";
    opener.tag = "ord" + id + ".O";
    std::atomic<bool> fOpenDone{false};
    opener.pfDone = &fOpenDone;

    late.hProcess = startHost(hostHolds(late), fWave);
    ASSERT_TRUE(late.hProcess);
    ASSERT_TRUE(settle(late));
    // The opener: held before it claims and clears, and at every pass of its
    // wait for the answer. Its host inherits its holds from the environment.
    platHoldInject("CreateMutexA", 1, opener.tag.c_str());
    platHoldInject("PeekMessageA", PLAT_HOLD_EVERY_CALL, opener.tag.c_str());
    setenv(PLAT_HOLDS_ENV, hostHolds(fresh).c_str(), 1);
    DWORD dwOpen = 0xFFFF;
    MIDIOPENDESC desc = {};
    WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0};
    WAVEOPENDESC waveDesc = {};
    waveDesc.lpFormat = &wf;
    std::thread opening([&] {
      dwOpen = fWave ? drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&waveDesc, 0)
                     : drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0);
      fOpenDone = true;
    });
    ASSERT_TRUE(settle(opener));
    bool fFreshStarted = false;
    for (char c : ordering) {
      Party& p = c == 'O' ? opener : c == 'L' ? late : fresh;
      ASSERT_TRUE(step(p)) << c << " did not come to its next step";
      // The opener's first step starts its host, which then comes to its
      // first hold (or, finding the channel taken for good, ends).
      if (c == 'O' && !fFreshStarted && opener.where != Party::ENDED) {
        fFreshStarted = true;
        ASSERT_TRUE(settle(fresh));
      }
    }
    unsetenv(PLAT_HOLDS_ENV);
    // Everyone runs free until the open returns.
    DWORD t0 = GetTickCount();
    while (opener.where != Party::ENDED) {
      for (Party* p : {&opener, &late, &fresh}) {
        if (p == &fresh && !fFreshStarted) continue;
        ASSERT_TRUE(step(*p));
      }
      ASSERT_LT(GetTickCount() - t0, kOrderingGuardMs) << "the open did not return";
    }
    opening.join();
    platFaultClear();
    if (dwOpen == MMSYSERR_NOERROR) {
      ++nOpened;
      EXPECT_EQ(*pdwStatus, CHANNEL_OPEN);
      DWORD dwServer = kvtest::hostProcessOf(*phwndHost);
      EXPECT_NE(dwServer, 0u) << "the open is served by a live host";
      if (fWave) {
        EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
      } else {
        EXPECT_EQ(drv.modMessage(0, MODM_DATA, 0, 0x403C90, 0), 0u);
        EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
      }
    } else {
      // Every host here accepts, and none has to wait a second for a name:
      // an open that fails was robbed of its host's answer.
      ADD_FAILURE() << "the open answered " << dwOpen << " with the status at " << *pdwStatus;
    }
    // Every host ends: none is left serving. A host still claiming has named
    // itself nowhere; the late one is ended there, the new one gives up.
    t0 = GetTickCount();
    while (late.where != Party::ENDED || (fFreshStarted && fresh.where != Party::ENDED)) {
      if (late.where == Party::AT_CLAIM) {
        TerminateProcess(late.hProcess, 1);
        late.where = Party::ENDED;
      }
      for (Party* p : {&late, &fresh}) {
        if (p == &fresh && !fFreshStarted) continue;
        ASSERT_TRUE(step(*p)) << "a host is left serving";
      }
      ASSERT_LT(GetTickCount() - t0, kOrderingGuardMs) << "a host is left serving";
    }
  }
  printf("%s orderings checked: %u of %zu (opens served: %u)\n", fWave ? "wave" : "MIDI", nChecked, orderings.size(),
         nOpened);
}

// A late host of an earlier open, the next open and the host that open starts,
// stepped through every interleaving of their writes to the MIDI channel (see
// everyOrdering).
TEST_F(HandshakeTest, EveryOrderingOfOpenerLateHostAndNewHostEndsConsistent) { everyOrdering(false); }

// The same on the wave channel, whose open marks the channel open only once
// its pump has begun.
TEST_F(HandshakeTest, EveryWaveOrderingOfOpenerLateHostAndNewHostEndsConsistent) { everyOrdering(true); }
