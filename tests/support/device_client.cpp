// The device client: a client of the MIDI or the wave device in a process of
// its own, which runs a script of steps. The steps come as its arguments
// (one an argument), then as lines on its standard input until "exit" or the
// input's end, where the process ends with whatever is still open. A step
// that answers says one line; the others say nothing.
//
//   module [PATH]      loads the build's module (or PATH) and talks to it
//                      directly                                  "loaded"
//   mm DEVICE          the multimedia layer serves DEVICE (midi, wave) with
//                      the build's module                        "loaded"
//   notes [midi]       says each notification the client gets from now on
//                      (MOM_OPEN, WOM_DONE, ...); with midi, WOM_CLOSE comes
//                      with the MIDI channel's status then ("WOM_CLOSE 100")
//   open DEVICE [ID]   opens device ID (0) through the module when loaded,
//                      else through the layer                    result
//   open-on-thread DEVICE
//                      opens from a thread that ends at once     result
//   status, host       the channel's status, its host's process  number
//   devices, name ID   the layer's count of MIDI output devices, the name
//                      of device ID                              count, name
//   send MSG...        short messages, in hexadecimal            result
//   pause              pauses the wave device                    result
//   write N BYTES      queues N wave buffers of BYTES bytes      result
//   play ROUNDS        rounds of play: on MIDI a note, a long system-exclusive
//                      message and the note's end; on wave four buffers of
//                      20 ms, kept queued until they are done    result
//   stream             plays on a thread of its own until the next step
//   cycle              opens, plays a round and closes, over and over
//   close              closes the device                         result
//   idle               waits until the channel is idle           "idle"
//   unload             unloads the module           "unloaded" or "not unloaded"
//   hold OP N NAME     holds call N of platform operation OP at NAME
//   exit               ends the process at once
// A result is the device's answer, or for a step of several calls the first
// that failed.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/plat.h"
#include "product.h"

namespace {

const WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
const DWORD kPlayBufferBytes = 44100 * 4 / 50;  // 20 ms
const DWORD kSysexBytes = 8192;

// The wave buffers that play keeps queued. Buffers still queued when a player
// stops are returned by the close, which comes later: they outlive the player.
// A buffer is done when WOM_DONE says so, which the pump sends after it has
// marked the header, never by reading the header's flags while the pump may
// write them.
struct PlayBuffers {
  std::mutex lock;
  std::condition_variable done;
  bool queued[4] = {};
  std::vector<char> data = std::vector<char>(4 * kPlayBufferBytes, 0);
  WAVEHDR hdrs[4] = {};
};
PlayBuffers& playBuffers = *new PlayBuffers;  // the process detach may still return buffers
std::atomic<bool> sayNotes{false};
// The MIDI channel's status word, said with WOM_CLOSE when set.
std::atomic<const volatile DWORD*> midiStatusAtWaveClose{nullptr};

const char* nameOf(UINT msg) {
  switch (msg) {
    case MOM_OPEN: return "MOM_OPEN";
    case MOM_CLOSE: return "MOM_CLOSE";
    case MOM_DONE: return "MOM_DONE";
    case WOM_OPEN: return "WOM_OPEN";
    case WOM_DONE: return "WOM_DONE";
    case WOM_CLOSE: return "WOM_CLOSE";
    default: return "other";
  }
}

void CALLBACK clientCallback(HDRVR, UINT msg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
  const volatile DWORD* midiStatus = midiStatusAtWaveClose;
  if (sayNotes && msg == WOM_CLOSE && midiStatus)
    kvtest::say(std::string(nameOf(msg)) + " " + std::to_string(*midiStatus));
  else if (sayNotes)
    kvtest::say(nameOf(msg));
  if (msg != WOM_DONE) return;
  std::lock_guard<std::mutex> g(playBuffers.lock);
  for (int i = 0; i < 4; ++i)
    if (dwParam1 == (DWORD_PTR)&playBuffers.hdrs[i]) playBuffers.queued[i] = false;
  playBuffers.done.notify_all();
}

// The first result that is not MMSYSERR_NOERROR.
DWORD firstFailure(DWORD sofar, DWORD result) { return sofar != MMSYSERR_NOERROR ? sofar : result; }

class Client {
 public:
  // Runs one step; false when the process is to end.
  bool run(const std::string& step);

 private:
  DWORD open(bool wave, UINT id) {
    wave_ = wave;
    if (module_) {
      if (!wave) {
        static MIDIOPENDESC desc = {};
        desc.dwCallback = (DWORD_PTR)clientCallback;
        return drv_.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
      }
      static WAVEOPENDESC desc = {};
      desc.lpFormat = const_cast<WAVEFORMATEX*>(&kFormat);
      desc.dwCallback = (DWORD_PTR)clientCallback;
      return drv_.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION);
    }
    if (!wave) return midiOutOpen(&midiOut_, id, (DWORD_PTR)clientCallback, 0, CALLBACK_FUNCTION);
    return waveOutOpen(&waveOut_, id, &kFormat, (DWORD_PTR)clientCallback, 0, CALLBACK_FUNCTION);
  }
  DWORD openOnThread(bool wave) {
    struct Call {
      Client* client;
      bool wave;
    } call = {this, wave};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          Call* c = static_cast<Call*>(p);
          return c->client->open(c->wave, 0);
        },
        &call, 0, nullptr);
    DWORD result = 99;
    WaitForSingleObject(t, INFINITE);
    GetExitCodeThread(t, &result);
    CloseHandle(t);
    return result;
  }
  DWORD close() {
    if (module_) return wave_ ? drv_.wodMessage(0, WODM_CLOSE, 0, 0, 0) : drv_.modMessage(0, MODM_CLOSE, 0, 0, 0);
    return wave_ ? waveOutClose(waveOut_) : midiOutClose(midiOut_);
  }
  DWORD shortMsg(DWORD msg) {
    return module_ ? drv_.modMessage(0, MODM_DATA, 0, msg, 0) : midiOutShortMsg(midiOut_, msg);
  }
  DWORD longMsg(MIDIHDR& hdr) {
    if (module_) {
      hdr.dwFlags = MHDR_PREPARED;
      return drv_.modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
    }
    DWORD result = midiOutPrepareHeader(midiOut_, &hdr, sizeof hdr);
    result = firstFailure(result, midiOutLongMsg(midiOut_, &hdr, sizeof hdr));
    return firstFailure(result, midiOutUnprepareHeader(midiOut_, &hdr, sizeof hdr));
  }
  DWORD write(WAVEHDR& hdr) {
    if (module_) {
      hdr.dwFlags = WHDR_PREPARED;
      return drv_.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&hdr, sizeof hdr);
    }
    DWORD result = waveOutPrepareHeader(waveOut_, &hdr, sizeof hdr);
    return firstFailure(result, waveOutWrite(waveOut_, &hdr, sizeof hdr));
  }
  DWORD pause() { return module_ ? drv_.wodMessage(0, WODM_PAUSE, 0, 0, 0) : waveOutPause(waveOut_); }
  // The channel block of the module this process uses.
  volatile DWORD* channelStatus() {
    if (module_) return wave_ ? &drv_.wave->dwStatus : &drv_.midi->dwStatus;
    return reinterpret_cast<volatile DWORD*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KVDRVR32.DLL"), wave_ ? "gkWaveOut" : "gkMidiOut")));
  }
  DWORD play(int rounds);
  void stopStream() {
    if (!streamer_.joinable()) return;
    stop_ = true;
    streamer_.join();
  }

  kvtest::DriverModule drv_;
  bool module_ = false;
  bool wave_ = false;
  HMIDIOUT midiOut_ = nullptr;
  HWAVEOUT waveOut_ = nullptr;
  std::deque<std::vector<char>> data_;  // what `write` queued, for as long as the process lives
  std::deque<WAVEHDR> headers_;
  std::atomic<bool> stop_{false};
  std::thread streamer_;
};

// Plays until stop_ or `rounds` rounds (-1: no end).
DWORD Client::play(int rounds) {
  if (!wave_) {
    std::vector<char> sysex(kSysexBytes, 0x11);
    sysex.front() = (char)0xF0;
    sysex.back() = (char)0xF7;
    DWORD result = MMSYSERR_NOERROR;
    for (int i = 0; !stop_ && i != rounds; ++i) {
      result = firstFailure(result, shortMsg(0x7F3C90));
      MIDIHDR hdr = {};
      hdr.lpData = sysex.data();
      hdr.dwBufferLength = (DWORD)sysex.size();
      result = firstFailure(result, longMsg(hdr));
      result = firstFailure(result, shortMsg(0x003C80));
    }
    return result;
  }
  PlayBuffers& pb = playBuffers;
  std::unique_lock<std::mutex> g(pb.lock);
  for (int written = 0; !stop_ && written != rounds * 4;) {
    int free = -1;
    for (int i = 0; i < 4 && free < 0; ++i)
      if (!pb.queued[i]) free = i;
    if (free < 0) {
      pb.done.wait_for(g, std::chrono::milliseconds(5));
      continue;
    }
    WAVEHDR& h = pb.hdrs[free];
    h = WAVEHDR{};
    h.lpData = pb.data.data() + free * kPlayBufferBytes;
    h.dwBufferLength = kPlayBufferBytes;
    pb.queued[free] = true;
    // Written outside the lock: a reset or close from another thread returns
    // buffers through the callback, which takes it.
    g.unlock();
    DWORD result = write(h);
    g.lock();
    if (result != MMSYSERR_NOERROR) {
      pb.queued[free] = false;
      return result;
    }
    ++written;
  }
  while (!stop_ && rounds > 0 && (pb.queued[0] || pb.queued[1] || pb.queued[2] || pb.queued[3]))
    pb.done.wait_for(g, std::chrono::milliseconds(5));
  return MMSYSERR_NOERROR;
}

bool Client::run(const std::string& step) {
  stopStream();
  std::istringstream in(step);
  std::string verb, arg;
  in >> verb;
  auto answer = [](DWORD result) { kvtest::say(std::to_string(result)); };
  if (verb == "module") {
    std::string path;
    std::getline(in >> std::ws, path);
    module_ = drv_.load(path.empty() ? kvtest::driverModulePath() : path);
    kvtest::say(module_ ? "loaded" : "not loaded");
  } else if (verb == "mm") {
    in >> arg;
    kvtest::say(platMmUseDriver(arg.c_str(), kvtest::driverModulePath().c_str()) ? "loaded" : "not loaded");
  } else if (verb == "notes") {
    sayNotes = true;
    if (in >> arg && arg == "midi" && module_) midiStatusAtWaveClose = &drv_.midi->dwStatus;
  } else if (verb == "open") {
    UINT id = 0;
    in >> arg >> id;
    answer(open(arg == "wave", id));
  } else if (verb == "open-on-thread") {
    in >> arg;
    answer(openOnThread(arg == "wave"));
  } else if (verb == "status") {
    answer(*channelStatus());
  } else if (verb == "host") {
    answer(kvtest::hostProcessOf(wave_ ? drv_.wave->hwndHost : drv_.midi->hwndHost));
  } else if (verb == "devices") {
    answer(midiOutGetNumDevs());
  } else if (verb == "name") {
    UINT id = 0;
    in >> id;
    MIDIOUTCAPSA caps = {};
    DWORD result = midiOutGetDevCapsA(id, &caps, sizeof caps);
    kvtest::say(result == MMSYSERR_NOERROR ? std::string(caps.szPname) : std::to_string(result));
  } else if (verb == "send") {
    DWORD result = MMSYSERR_NOERROR;
    while (in >> arg) result = firstFailure(result, shortMsg((DWORD)strtoul(arg.c_str(), nullptr, 16)));
    answer(result);
  } else if (verb == "pause") {
    answer(pause());
  } else if (verb == "write") {
    int n = 0;
    size_t bytes = 0;
    in >> n >> bytes;
    DWORD result = MMSYSERR_NOERROR;
    for (int i = 0; i < n; ++i) {
      data_.emplace_back(bytes, 1);
      headers_.emplace_back();
      WAVEHDR& h = headers_.back();
      h.lpData = data_.back().data();
      h.dwBufferLength = (DWORD)bytes;
      result = firstFailure(result, write(h));
    }
    answer(result);
  } else if (verb == "play") {
    int rounds = 1;
    in >> rounds;
    answer(play(rounds));
  } else if (verb == "stream") {
    stop_ = false;
    streamer_ = std::thread([this] { play(-1); });
  } else if (verb == "cycle") {
    in >> arg;
    for (;;) {
      if (open(arg == "wave", 0) == MMSYSERR_NOERROR) {
        play(1);
        close();
      }
    }
  } else if (verb == "close") {
    answer(close());
  } else if (verb == "idle") {
    volatile DWORD* status = channelStatus();
    kvtest::say(status && kvtest::waitUntil([&] { return *status == CHANNEL_IDLE; }, 10000) ? "idle" : "busy");
  } else if (verb == "unload") {
    kvtest::say(FreeLibrary(drv_.handle) ? "unloaded" : "not unloaded");
  } else if (verb == "hold") {
    std::string op, name;
    unsigned nth = 0;
    in >> op >> nth >> name;
    platHoldInject(op.c_str(), nth, name.c_str());
  } else if (verb == "exit") {
    return false;
  } else {
    kvtest::say("unknown step " + step);
  }
  return true;
}

// Never destroyed: the process detach at exit may still return its buffers.
Client& client = *new Client;

}  // namespace

KV_HELPER(device_client) {
  for (int i = 1; i < argc; ++i)
    if (!client.run(argv[i])) return 0;
  std::string line;
  while (kvtest::hear(line))
    if (!client.run(line)) return 0;
  client.run("exit");
  return 0;
}
