// The fault sweep's client (see fault_sweep_test.cpp): one session of a device
// through the multimedia layer, with one platform call made to fail, then a
// normal session.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault_sweep.h"
#include "kv/plat.h"
#include "product.h"

using namespace faultsweep;

namespace {

// The notifications a client gets, delivered on any thread.
struct Notes {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<UINT> msgs;
};
Notes notes;

void CALLBACK noteCallback(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::lock_guard<std::mutex> g(notes.lock);
  notes.msgs.push_back(msg);
  notes.changed.notify_all();
}

// Waits, without platform calls of its own, until `done` holds; false after `ms`.
template <typename Pred>
bool waitFor(Pred done, int ms) {
  std::unique_lock<std::mutex> g(notes.lock);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    // Header flags change without a notification when the callback fails.
    if (notes.changed.wait_until(g, std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(5))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= until)
      return done();
  }
  return true;
}

struct Session {
  bool wave = false;
  HMIDIOUT midi = nullptr;
  HWAVEOUT waveOut = nullptr;
  BYTE sysex[300];
  MIDIHDR midiHdr = {};
  std::vector<std::vector<BYTE>> pcm;
  WAVEHDR waveHdr[4] = {};

  bool isOpen() const { return wave ? waveOut != nullptr : midi != nullptr; }

  // Runs one step; answers its result as words for the test ("0", "0 stalled" ...).
  std::string run(const std::string& step) {
    if (step == "open") return open();
    if (!isOpen()) return "skipped";
    if (step == "short")
      return std::to_string(midiOutShortMsg(midi, 0x7F3C90)) + " " + std::to_string(midiOutShortMsg(midi, 0x003C90));
    if (step == "long") return longWrite();
    if (step == "write") return waveWrite();
    if (step == "reset") return waveReset();
    if (step == "close") return close();
    return "unknown";
  }

  std::string open() {
    if (wave) {
      WAVEFORMATEX wf = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
      HWAVEOUT h = nullptr;
      MMRESULT r = waveOutOpen(&h, 0, &wf, (DWORD_PTR)noteCallback, 0, CALLBACK_FUNCTION);
      if (r == MMSYSERR_NOERROR) waveOut = h;
      return std::to_string(r);
    }
    HMIDIOUT h = nullptr;
    MMRESULT r = midiOutOpen(&h, 0, (DWORD_PTR)noteCallback, 0, CALLBACK_FUNCTION);
    if (r == MMSYSERR_NOERROR) midi = h;
    return std::to_string(r);
  }

  // A system-exclusive message long enough to wrap nothing but fill a few
  // host blocks; the device finishes it at once.
  std::string longWrite() {
    sysex[0] = 0xF0;
    for (size_t i = 1; i + 1 < sizeof sysex; ++i) sysex[i] = (BYTE)(i & 0x7F);
    sysex[sizeof sysex - 1] = 0xF7;
    midiHdr = {};
    midiHdr.lpData = reinterpret_cast<LPSTR>(sysex);
    midiHdr.dwBufferLength = sizeof sysex;
    MMRESULT p = midiOutPrepareHeader(midi, &midiHdr, sizeof midiHdr);
    if (p != MMSYSERR_NOERROR) return "prepare " + std::to_string(p);
    MMRESULT r = midiOutLongMsg(midi, &midiHdr, sizeof midiHdr);
    std::string out = std::to_string(r);
    if (r == MMSYSERR_NOERROR && !waitFor([&] { return (midiHdr.dwFlags & MHDR_DONE) != 0; }, 5000)) out += " not-done";
    // The header stays prepared when the device is still busy with it.
    MMRESULT u = midiOutUnprepareHeader(midi, &midiHdr, sizeof midiHdr);
    if (u != MMSYSERR_NOERROR) out += " unprepare " + std::to_string(u);
    return out;
  }

  // Four buffers of 10 ms, each back with WOM_DONE while the host plays.
  std::string waveWrite() {
    pcm.assign(4, std::vector<BYTE>(1764));
    std::string out;
    MMRESULT first = MMSYSERR_NOERROR;
    for (size_t i = 0; i < 4; ++i) {
      for (size_t j = 0; j < pcm[i].size(); ++j) pcm[i][j] = (BYTE)(j * 7 + i);
      WAVEHDR& h = waveHdr[i];
      h = {};
      h.lpData = reinterpret_cast<LPSTR>(pcm[i].data());
      h.dwBufferLength = (DWORD)pcm[i].size();
      MMRESULT r = waveOutPrepareHeader(waveOut, &h, sizeof h);
      if (r == MMSYSERR_NOERROR) r = waveOutWrite(waveOut, &h, sizeof h);
      if (r != MMSYSERR_NOERROR && first == MMSYSERR_NOERROR) first = r;
    }
    out = std::to_string(first);
    // A host that no longer plays keeps the buffers until the reset.
    if (!waitFor([&] { return allDone(true); }, 3000)) out += " stalled";
    return out;
  }

  // The pump stores the flags from its own thread: they are read with an
  // interlocked operation.
  bool allDone(bool writtenOnly) {
    for (WAVEHDR& h : waveHdr) {
      DWORD dwFlags = (DWORD)InterlockedOr(reinterpret_cast<volatile LONG*>(&h.dwFlags), 0);
      if ((dwFlags & WHDR_PREPARED) && (dwFlags & (WHDR_INQUEUE | WHDR_DONE)) != WHDR_DONE) {
        if (!writtenOnly || (dwFlags & WHDR_INQUEUE)) return false;
      }
    }
    return true;
  }

  // The reset hands back every buffer still queued, at once.
  std::string waveReset() {
    MMRESULT r = waveOutReset(waveOut);
    std::string out = std::to_string(r);
    if (r == MMSYSERR_NOERROR && !waitFor([&] { return allDone(true); }, 2000)) out += " kept-buffers";
    for (WAVEHDR& h : waveHdr) {
      if (!(h.dwFlags & WHDR_PREPARED)) continue;
      MMRESULT u = waveOutUnprepareHeader(waveOut, &h, sizeof h);
      if (u != MMSYSERR_NOERROR) out += " unprepare " + std::to_string(u);
    }
    return out;
  }

  std::string close() {
    MMRESULT r = wave ? waveOutClose(waveOut) : midiOutClose(midi);
    if (r == MMSYSERR_NOERROR) {
      midi = nullptr;
      waveOut = nullptr;
    }
    return std::to_string(r);
  }
};

}  // namespace

// One session of a device with a fault, then a normal session.
//   sweep_client DEVICE record           : says "count STEP OP CALLS" for each step
//   sweep_client DEVICE client STEP OP N : call N of OP in STEP fails
//   sweep_client DEVICE host OP N        : call N of OP fails in the hosts the session starts
//   sweep_client DEVICE normal           : the normal session only
// For each step it says "STEP RESULT [hit]", then "normal OK" or "normal FAILED ...".
KV_HELPER(sweep_client) {
  if (argc < 3) return 2;
  const bool wave = strcmp(argv[1], "wave") == 0;
  const std::string mode = argv[2];
  std::string faultStep, faultOp;
  unsigned nth = 0;
  if (mode == "client" && argc >= 6) {
    faultStep = argv[3];
    faultOp = argv[4];
    nth = (unsigned)atoi(argv[5]);
  } else if (mode == "host" && argc >= 5) {
    faultOp = argv[3];
    nth = (unsigned)atoi(argv[4]);
  } else if (mode != "record" && mode != "normal") {
    return 2;
  }
  // The table is seeded now, before the environment names faults for the hosts.
  platFaultCalls("");
  if (!platMmUseDriver(wave ? "wave" : "midi", kvtest::driverModulePath().c_str())) return 3;
  if (mode == "host") setenv(PLAT_FAULTS_ENV, (faultOp + "=" + std::to_string(nth)).c_str(), 1);

  const std::vector<std::string> names = steps(wave);
  Session s;
  s.wave = wave;
  for (const std::string& step : mode == "normal" ? std::vector<std::string>() : names) {
    Counts before = countedOps();
    bool armed = mode == "client" && step == faultStep;
    unsigned base = armed ? platFaultCalls(faultOp.c_str()) : 0;
    if (armed) platFaultInject(faultOp.c_str(), nth, 1);
    std::string result = s.run(step);
    if (armed) {
      bool hit = platFaultCalls(faultOp.c_str()) - base >= nth;
      platFaultClear();  // no more failures
      result += hit ? " hit" : " missed";
    }
    kvtest::say(step + " " + result);
    if (mode == "record") {
      for (auto& c : countedOps()) {
        unsigned n = c.second - (before.count(c.first) ? before[c.first] : 0);
        if (n) kvtest::say("count " + step + " " + c.first + " " + std::to_string(n));
      }
    }
  }
  // A close that failed leaves the device open: the client closes it again.
  if (s.isOpen()) {
    if (wave) waveOutReset(s.waveOut);
    kvtest::say("again " + s.close());
  }
  unsetenv(PLAT_FAULTS_ENV);
  unsetenv(PLAT_FAULT_CALLS_ENV);  // the counts wanted are the faulted hosts'

  // The normal session: every step must work.
  Session n;
  n.wave = wave;
  std::string failed;
  for (const std::string& step : names) {
    std::string result = n.run(step);
    bool ok = result == "0" || result == "0 0";
    if (!ok) failed += " " + step + "=" + result;
  }
  if (n.isOpen()) n.close();
  kvtest::say(failed.empty() ? "normal OK" : "normal FAILED" + failed);
  kvtest::say("end");
  return 0;
}
