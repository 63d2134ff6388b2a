// The decoder of the fuzzer of the module's exports (see exports_decoder.h and
// tests/fuzz/README.md for the input format).
//
// Client memory lives in an arena of slots, each a few read-write pages with a
// page that cannot be touched behind it. A record the module may read is put
// at the very end of its slot, so that reading one byte too many faults at
// once; "wild" pointers point into a page that cannot be touched, or into the
// first page of the address space. A crash therefore always means that the
// module read or wrote where the client gave it no right to.
//
// What the decoder never does, because no module could defend itself against
// it: it never passes a wild pointer for memory the module is to write (the
// capabilities, the position, the volume: the platform has no probe for
// writable memory), and it never changes lpData, dwBufferLength or lpNext of a
// wave header while the module holds it (the module links its queue through
// lpNext and reads the data in place until WOM_DONE). Everything else of a
// queued header (its flags, its data bytes) it changes freely.
#include "tests/fuzz/exports_decoder.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "tests/fuzz/exports_arena.h"

namespace kvfuzz {

namespace {

// An input runs its calls for at most this long; the rest of it is skipped.
// Calls that wait on a host (a ring that stays full, an open that waits for an
// answer) keep their own time limits within it.
const DWORD INPUT_BUDGET_MS = 800;
const DWORD CLOSE_FINISH_WAIT_MS = 5000;

// ---- what the harness knows of the devices ---------------------------------------

enum CallbackAction {
  CB_NONE,
  CB_WAVE_RESET,
  CB_WAVE_CLOSE,
  CB_WAVE_WRITE_AGAIN,
  CB_WAVE_POSITION,
  CB_WAVE_PAUSE,
  CB_MIDI_CLOSE,
  CB_MIDI_LONG_AGAIN,
  CB_ACTIONS
};

struct State {
  std::mutex lock;
  const Exports* ex = nullptr;
  // Writes of each header that the module took, or is taking, and has not
  // returned: raised before the write (a WOM_DONE may come before the write
  // answers), lowered by a refusal and by every WOM_DONE.
  int queued[WAVE_HEADERS] = {};
  // The client marked the header done while it was queued: the module may
  // drop it from the queue without a notification.
  bool tampered[WAVE_HEADERS] = {};
  bool waveSeenOpen = false;  // a WOM_OPEN with no WOM_CLOSE after it
  // The open has a callback: every notification passes the watch. Without
  // one, the buffers' flags tell what came back.
  bool waveVisible = false;
  LONG waveClosesOnPump = 0;  // closes from the callback that the pump finishes
  DWORD_PTR midiHeader = 0;   // the header of the long-data call under way
  CallbackAction action = CB_NONE;
  HWND instanceWindow = nullptr;
  HANDLE event = nullptr;
  const char* hostSetting[sizeof DEFAULT_HOST_SETTINGS / sizeof DEFAULT_HOST_SETTINGS[0]] = {};
};
State st;

thread_local int callbackDepth = 0;

// KV_FUZZ_TRACE=1 shows every call and its answer on standard error.
bool tracing() {
  static const bool on = getenv("KV_FUZZ_TRACE") != nullptr;
  return on;
}

void trace(const char* what, UINT dev, UINT msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR answer) {
  if (!tracing()) return;
  fprintf(stderr, "kvfuzz: %s(%u, %u, 0x%llx, 0x%llx) = %llu\n", what, dev, msg, (unsigned long long)p1,
          (unsigned long long)p2, (unsigned long long)answer);
}

[[noreturn]] void broken(const char* what, DWORD_PTR detail) {
  fprintf(stderr, "kvfuzz: the module broke its word: %s (0x%llx)\n", what, (unsigned long long)detail);
  fflush(stderr);
  abort();
}

WAVEHDR* headerOf(int i) { return reinterpret_cast<WAVEHDR*>(atEnd(SLOT_WAVEHDR + i, sizeof(WAVEHDR))); }

int headerIndex(DWORD_PTR p) {
  for (int i = 0; i < WAVE_HEADERS; ++i)
    if ((DWORD_PTR)headerOf(i) == p) return i;
  return -1;
}

// Sees every notification of the module before it is delivered.
void watchNotification(DWORD_PTR, DWORD, HDRVR, DWORD dwMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
  std::lock_guard<std::mutex> g(st.lock);
  switch (dwMsg) {
    case WOM_OPEN: st.waveSeenOpen = true; break;
    case WOM_CLOSE:
      st.waveSeenOpen = false;
      if (st.waveClosesOnPump > 0) --st.waveClosesOnPump;
      break;
    case WOM_DONE: {
      if (!st.waveSeenOpen) broken("WOM_DONE outside an open", dwParam1);
      int i = headerIndex(dwParam1);
      if (i < 0 || st.queued[i] <= 0) broken("WOM_DONE for a header the module does not hold", dwParam1);
      --st.queued[i];
      break;
    }
    case MOM_DONE:
      if (dwParam1 != st.midiHeader) broken("MOM_DONE for another header", dwParam1);
      break;
    default: break;
  }
}

DWORD wod(UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0, UINT dev = 0, DWORD_PTR user = 0) {
  DWORD r = st.ex->wodMessage(dev, msg, user, p1, p2);
  trace("wodMessage", dev, msg, p1, p2, r);
  return r;
}

DWORD mod(UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0, UINT dev = 0, DWORD_PTR user = 0) {
  DWORD r = st.ex->modMessage(dev, msg, user, p1, p2);
  trace("modMessage", dev, msg, p1, p2, r);
  return r;
}

// Once the device is closed, every buffer it took has come back: seen in a
// WOM_DONE, or, for an open without a callback, in the header's flags. A
// header the client itself marked done while it was queued may be dropped
// without a notification. st.lock is held.
void settleHeaders() {
  for (int i = 0; i < WAVE_HEADERS; ++i) {
    if (st.queued[i] > 0 && !st.tampered[i]) {
      DWORD flags = headerOf(i)->dwFlags;
      if (st.waveVisible || !(flags & WHDR_DONE) || (flags & WHDR_INQUEUE))
        broken("a buffer was never returned", (DWORD_PTR)headerOf(i));
    }
    st.queued[i] = 0;
    st.tampered[i] = false;
  }
}

// Writes header i (already filled in) and keeps the harness's account of it.
DWORD writeHeader(int i, DWORD cbHdr) {
  {
    std::lock_guard<std::mutex> g(st.lock);
    ++st.queued[i];
  }
  DWORD r = wod(WODM_WRITE, (DWORD_PTR)headerOf(i), cbHdr);
  std::lock_guard<std::mutex> g(st.lock);
  if (r != MMSYSERR_NOERROR) --st.queued[i];
  return r;
}

// The client's callback: what a careless client does from inside it.
void CALLBACK clientCallback(HDRVR, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
  if (callbackDepth > 0) return;
  ++callbackDepth;
  CallbackAction action;
  {
    std::lock_guard<std::mutex> g(st.lock);
    action = st.action;
  }
  if (uMsg == WOM_DONE) {
    switch (action) {
      case CB_WAVE_RESET: wod(WODM_RESET); break;
      case CB_WAVE_CLOSE: {
        {
          std::lock_guard<std::mutex> g(st.lock);
          ++st.waveClosesOnPump;
        }
        if (wod(WODM_CLOSE) != MMSYSERR_NOERROR) {
          std::lock_guard<std::mutex> g(st.lock);
          --st.waveClosesOnPump;
        }
        break;
      }
      case CB_WAVE_WRITE_AGAIN: {
        int i = headerIndex(dwParam1);
        if (i >= 0) writeHeader(i, sizeof(WAVEHDR));
        break;
      }
      case CB_WAVE_POSITION: {
        MMTIME t;
        t.wType = TIME_MS;
        wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t);
        break;
      }
      case CB_WAVE_PAUSE: wod(WODM_PAUSE); break;
      default: break;
    }
  } else if (uMsg == MOM_DONE) {
    if (action == CB_MIDI_CLOSE) mod(MODM_CLOSE);
    if (action == CB_MIDI_LONG_AGAIN) mod(MODM_LONGDATA, dwParam1, sizeof(MIDIHDR));
  }
  --callbackDepth;
}

// A callback and its type for an open: the harness's own function, window,
// thread or event, or anything where the type makes the platform call nothing.
void callbackFor(Reader& in, DWORD* pdwFlags, DWORD_PTR* pdwCallback) {
  uint8_t b = in.u8();
  DWORD type = b % 8;
  *pdwFlags = (type << 16) | (*pdwFlags & 0xFFFF);
  switch (type) {
    case DCB_FUNCTION: *pdwCallback = b & 0x80 ? 0 : (DWORD_PTR)clientCallback; break;
    case DCB_WINDOW: *pdwCallback = b & 0x80 ? (DWORD_PTR)in.u32() : (DWORD_PTR)st.instanceWindow; break;
    case DCB_TASK: *pdwCallback = b & 0x80 ? (DWORD_PTR)in.u32() : (DWORD_PTR)GetCurrentThreadId(); break;
    case DCB_EVENT: *pdwCallback = b & 0x80 ? (DWORD_PTR)in.u32() : (DWORD_PTR)st.event; break;
    default: *pdwCallback = (DWORD_PTR)in.u32(); break;
  }
}

// ---- the calls --------------------------------------------------------------------

void callDriverProc(Reader& in) {
  uint8_t b = in.u8();
  UINT msg = b < 12 ? b : b == 12 ? 0x4000 : in.u32();
  LPARAM l1 = (LPARAM)(LONG)in.u32();
  LPARAM l2 = (LPARAM)(LONG)in.u32();
  DWORD_PTR id = in.u8();
  HDRVR hdrvr = (HDRVR)(DWORD_PTR)in.u8();
  trace("DriverProc", (UINT)id, msg, (DWORD_PTR)l1, (DWORD_PTR)l2,
        (DWORD_PTR)st.ex->driverProc(id, hdrvr, msg, l1, l2));
}

UINT deviceId(Reader& in) {
  uint8_t b = in.u8();
  if (b < 224) return 0;
  return b & 1 ? 1 : in.u32();
}

void callMod(Reader& in) {
  UINT dev = deviceId(in);
  uint8_t b = in.u8();
  UINT msg = b < 200 ? b % 12 : in.u32();
  DWORD p2 = in.u32();
  DWORD_PTR p1;
  switch (msg) {
    case MODM_GETDEVCAPS: {
      size_t cb = LOWORD(p2) < sizeof(MIDIOUTCAPSW) ? LOWORD(p2) : sizeof(MIDIOUTCAPSW);
      p1 = outputPointer(in, SLOT_CAPS, cb);
      break;
    }
    case MODM_OPEN: {
      DWORD_PTR dwCallback;
      callbackFor(in, &p2, &dwCallback);
      p1 = recordPointer<MIDIOPENDESC>(in, SLOT_MIDIDESC, [&](MIDIOPENDESC& d) {
        d.hMidi = (HMIDI)(DWORD_PTR)in.u16();
        d.dwCallback = dwCallback;
        d.dwInstance = in.u32();
      });
      break;
    }
    case MODM_DATA: p1 = in.u32(); break;
    case MODM_LONGDATA:
      p1 = recordPointer<MIDIHDR>(in, SLOT_MIDIHDR, [&](MIDIHDR& h) {
        dataAndLength(in, SLOT_MIDIDATA, &h.lpData, &h.dwBufferLength);
        h.dwFlags = in.u8() < 224 ? MHDR_PREPARED : in.u32();
      });
      break;
    default: p1 = anyParam(in); break;
  }
  {
    std::lock_guard<std::mutex> g(st.lock);
    st.midiHeader = p1;
  }
  mod(msg, p1, p2, dev, in.u32());
}

WORD pick(Reader& in, const WORD* values, size_t n) {
  uint8_t b = in.u8();
  return b < n ? values[b] : (WORD)in.u16();
}

void fillFormat(Reader& in, WAVEFORMATEX& wf) {
  static const WORD tags[] = {WAVE_FORMAT_PCM, WAVE_FORMAT_PCM, WAVE_FORMAT_PCM, WAVE_FORMAT_PCM, 3, 0};
  static const WORD channels[] = {1, 2, 2, 0, 3};
  static const WORD bits[] = {16, 8, 16, 24, 0};
  static const DWORD rates[] = {44100, 8000, 1000, 65535, 999, 65536, 0, 22050};
  wf.wFormatTag = pick(in, tags, sizeof tags / sizeof tags[0]);
  wf.nChannels = pick(in, channels, sizeof channels / sizeof channels[0]);
  uint8_t r = in.u8();
  wf.nSamplesPerSec = r < 8 ? rates[r] : in.u32();
  wf.wBitsPerSample = pick(in, bits, sizeof bits / sizeof bits[0]);
  wf.nBlockAlign = (WORD)((DWORD)wf.nChannels * wf.wBitsPerSample / 8);
  wf.nAvgBytesPerSec = wf.nSamplesPerSec * wf.nBlockAlign;
  wf.cbSize = in.u16();
}

// A wave header written afresh into slot i, or the header as it stands when
// the module holds it.
void callWrite(Reader& in, DWORD p2) {
  int i = in.u8() % WAVE_HEADERS;
  bool held;
  {
    std::lock_guard<std::mutex> g(st.lock);
    held = st.queued[i] > 0;
  }
  uint8_t how = in.u8();
  static const DWORD sizes[] = {sizeof(WAVEHDR), sizeof(WAVEHDR), 32, 0, sizeof(WAVEHDR) + 1};
  DWORD cbHdr = how % 8 < 5 ? sizes[how % 8] : in.u32();
  if (!held && how & 0x80) {
    // Short and wild headers: the module must not take them.
    DWORD_PTR p = recordPointer<WAVEHDR>(in, SLOT_WAVEHDR + i, [&](WAVEHDR& h) {
      dataAndLength(in, SLOT_WAVEDATA + i, &h.lpData, &h.dwBufferLength);
      h.dwFlags = WHDR_PREPARED;
    });
    if (p != (DWORD_PTR)headerOf(i)) {
      if (wod(WODM_WRITE, p, cbHdr) == MMSYSERR_NOERROR) broken("a short or wild header was taken", p);
      return;
    }
  } else if (!held) {
    WAVEHDR* h = headerOf(i);
    memset((void*)h, 0, sizeof *h);
    dataAndLength(in, SLOT_WAVEDATA + i, &h->lpData, &h->dwBufferLength);
    uint8_t f = in.u8();
    h->dwFlags = f < 160   ? WHDR_PREPARED
                 : f < 192 ? WHDR_PREPARED | WHDR_DONE
                 : f < 224 ? WHDR_PREPARED | WHDR_INQUEUE
                           : in.u32();
    h->lpNext = reinterpret_cast<WAVEHDR*>(anyParam(in));
  }
  (void)p2;
  writeHeader(i, cbHdr);
}

void callWod(Reader& in) {
  UINT dev = deviceId(in);
  uint8_t b = in.u8();
  UINT msg = b < 220 ? b % 22 : in.u32();
  DWORD p2 = in.u32();
  DWORD_PTR p1;
  DWORD_PTR dwOpenCallback = 0;
  switch (dev == 0 ? msg : 0) {
    case WODM_GETDEVCAPS: {
      size_t cb = LOWORD(p2) < sizeof(WAVEOUTCAPSW) ? LOWORD(p2) : sizeof(WAVEOUTCAPSW);
      p1 = outputPointer(in, SLOT_CAPS, cb);
      break;
    }
    case WODM_OPEN: {
      DWORD_PTR& dwCallback = dwOpenCallback;
      p2 = in.u8() < 32 ? WAVE_FORMAT_QUERY : 0;
      callbackFor(in, &p2, &dwCallback);
      p1 = recordPointer<WAVEOPENDESC>(in, SLOT_WAVEDESC, [&](WAVEOPENDESC& d) {
        d.hWave = (HWAVE)(DWORD_PTR)in.u16();
        d.dwCallback = dwCallback;
        d.dwInstance = in.u32();
        d.lpFormat = reinterpret_cast<LPWAVEFORMATEX>(
            recordPointer<WAVEFORMATEX>(in, SLOT_FORMAT, [&](WAVEFORMATEX& wf) { fillFormat(in, wf); }));
      });
      break;
    }
    case WODM_WRITE: callWrite(in, p2); return;
    case WODM_GETPOS: {
      static const UINT types[] = {TIME_MS, TIME_SAMPLES, TIME_BYTES, TIME_SMPTE, TIME_MIDI, TIME_TICKS, 0};
      uint8_t t = in.u8();
      UINT wType = t < 7 ? types[t] : in.u32();
      p1 = outputPointer(in, SLOT_TIME, sizeof(MMTIME));
      if (p1) reinterpret_cast<MMTIME*>(p1)->wType = wType;
      break;
    }
    case WODM_GETVOLUME: p1 = outputPointer(in, SLOT_VOLUME, sizeof(DWORD)); break;
    case WODM_SETVOLUME: p1 = in.u32(); break;
    default: p1 = anyParam(in); break;
  }
  DWORD r = wod(msg, p1, p2, dev, in.u32());
  if (dev == 0 && msg == WODM_OPEN && r == MMSYSERR_NOERROR && !(p2 & WAVE_FORMAT_QUERY)) {
    std::lock_guard<std::mutex> g(st.lock);
    st.waveVisible = dwOpenCallback != 0;
  }
  if (dev == 0 && msg == WODM_CLOSE && r == MMSYSERR_NOERROR) {
    std::lock_guard<std::mutex> g(st.lock);
    settleHeaders();
  }
  if (dev == 0 && msg == WODM_GETPOS && r == MMSYSERR_NOERROR && p1) {
    UINT wType = reinterpret_cast<MMTIME*>(p1)->wType;
    if (wType != TIME_MS && wType != TIME_SAMPLES && wType != TIME_BYTES) broken("a position of another type", wType);
  }
}

DWORD blockSize(bool wave) { return wave ? (DWORD)sizeof(WaveChannel) : (DWORD)sizeof(MidiChannel); }

void callSetter(Reader& in) {
  bool wave = in.u8() & 1;
  DWORD size = blockSize(wave);
  DWORD offset;
  switch (in.u8() % 6) {
    case 0: offset = (in.u16() * 4u) % size; break;
    case 1: offset = in.u32() % size; break;
    case 2: offset = size - 4 + in.u8() % 8; break;
    case 3: {
      static const DWORD huge[] = {0xFFFFFFFFu, 0xFFFFFFFCu, 0x80000000u, 0xFFFFFFFDu};
      offset = huge[in.u8() % 4];
      break;
    }
    case 4: offset = in.u32(); break;
    default: offset = (in.u8() % 12) * 4; break;  // the fields of the header
  }
  static const DWORD special[] = {0, CHANNEL_ACCEPTED, CHANNEL_REFUSED, CHANNEL_OPEN, 0xFFFFFFFFu, 4096, 65536, 4097};
  uint8_t v = in.u8();
  DWORD value = v < 8 ? special[v] : in.u32();
  DWORD old = wave ? st.ex->setWaveLong(offset, value) : st.ex->setMidiLong(offset, value);
  trace(wave ? "setgkWaveOutLong" : "setgkMidiOutLong", 0, 0, offset, value, old);
}

// Garbage straight into a channel block, as a broken host stores it.
void scribble(Reader& in) {
  bool wave = in.u8() & 1;
  DWORD size = blockSize(wave);
  DWORD offset = (wave ? in.u32() : in.u16()) % size;
  size_t n = 1 + in.u8() % 64;
  if (n > size - offset) n = size - offset;
  BYTE* block = wave ? reinterpret_cast<BYTE*>(st.ex->wave) : reinterpret_cast<BYTE*>(st.ex->midi);
  BYTE buf[64];
  memset(buf, 0xFF, sizeof buf);
  in.bytes(buf, n);
  memcpy(block + offset, buf, n);
}

// The host's read position, moved on as a host does or set to anything; then
// one tick of the pump.
void moveReadPos(Reader& in) {
  uint8_t b = in.u8();
  DWORD pos = b < 192 ? (st.ex->wave->dwReadPos + in.u16() * 4u) & 0xFFFF : in.u32();
  st.ex->wave->dwReadPos = pos;
  Sleep(11);
}

// The client changes a header the module holds: its flags or its data bytes.
void touchQueuedHeader(Reader& in) {
  int i = in.u8() % WAVE_HEADERS;
  uint8_t how = in.u8();
  std::lock_guard<std::mutex> g(st.lock);
  if (st.queued[i] <= 0 || !st.waveVisible) return;
  WAVEHDR* h = headerOf(i);
  if (how & 1) {
    DWORD flags = in.u32();
    h->dwFlags = flags;
    if (flags & WHDR_DONE) st.tampered[i] = true;
  } else if (h->lpData && h->dwBufferLength && (BYTE*)h->lpData >= arena.base && (BYTE*)h->lpData < arena.guard) {
    memset(h->lpData, in.u8(), h->dwBufferLength < 256 ? h->dwBufferLength : 256);
  }
}

void setHost(Reader& in) {
  static const char* const answers[] = {"accept", "refuse", "never", "5", "100"};
  static const char* const crashes[] = {"never", "after-accept", "on-first-byte"};
  static const char* const closes[] = {"idle", "ignore"};
  static const char* const delays[] = {"0", "5", "30"};
  uint8_t b = in.u8();
  uint8_t v = in.u8();
  const char* key;
  const char* value;
  switch (b % 4) {
    case 0: key = "Answer", value = answers[v % 5]; break;
    case 1: key = "Crash", value = crashes[v % 3]; break;
    case 2: key = "OnClose", value = closes[v % 2]; break;
    default: key = "AnswerDelayMs", value = delays[v % 3]; break;
  }
  for (size_t k = 0; k < sizeof DEFAULT_HOST_SETTINGS / sizeof DEFAULT_HOST_SETTINGS[0]; ++k) {
    if (strcmp(DEFAULT_HOST_SETTINGS[k][0], key) != 0) continue;
    const char* now = st.hostSetting[k] ? st.hostSetting[k] : DEFAULT_HOST_SETTINGS[k][1];
    if (strcmp(now, value) == 0) return;
    WritePrivateProfileStringA("Host", key, value, HOST_INI);
    st.hostSetting[k] = value;
  }
}

void setAction(Reader& in) {
  std::lock_guard<std::mutex> g(st.lock);
  st.action = (CallbackAction)(in.u8() % CB_ACTIONS);
}

HWND createInstanceWindow() {
  return CreateWindowExA(0, KV_INSTANCE_WINDOW_CLASS, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

void toggleInstanceWindow() {
  if (st.instanceWindow) {
    DestroyWindow(st.instanceWindow);
    st.instanceWindow = nullptr;
  } else {
    st.instanceWindow = createInstanceWindow();
  }
}

// ---- leaving the module as it was found -----------------------------------------

void finishInput() {
  {
    std::lock_guard<std::mutex> g(st.lock);
    st.action = CB_NONE;
  }
  wod(WODM_CLOSE);
  mod(MODM_CLOSE);
  // A close made from the callback is finished by the pump; the device is
  // closed once it answers 5 to a reset and that close has ended.
  DWORD t0 = GetTickCount();
  for (;;) {
    LONG pending;
    {
      std::lock_guard<std::mutex> g(st.lock);
      pending = st.waveClosesOnPump;
    }
    if (pending == 0 && wod(WODM_RESET) == MMSYSERR_INVALHANDLE) break;
    if (GetTickCount() - t0 > CLOSE_FINISH_WAIT_MS) broken("the wave close never finished", (DWORD_PTR)pending);
    wod(WODM_CLOSE);
    Sleep(1);
  }
  {
    std::lock_guard<std::mutex> g(st.lock);
    settleHeaders();
    st.waveSeenOpen = false;
    st.waveVisible = false;
    st.midiHeader = 0;
  }
  DWORD t1 = GetTickCount();
  endHosts();
  if (tracing()) fprintf(stderr, "kvfuzz: closed in %u ms, hosts ended in %u ms\n", t1 - t0, GetTickCount() - t1);
  // The blocks as the first process finds them: all zero.
  memset((void*)st.ex->midi, 0, sizeof(MidiChannel));
  memset((void*)st.ex->wave, 0, sizeof(WaveChannel));
  for (size_t k = 0; k < sizeof DEFAULT_HOST_SETTINGS / sizeof DEFAULT_HOST_SETTINGS[0]; ++k) {
    if (!st.hostSetting[k]) continue;
    WritePrivateProfileStringA("Host", DEFAULT_HOST_SETTINGS[k][0], DEFAULT_HOST_SETTINGS[k][1], HOST_INI);
    st.hostSetting[k] = nullptr;
  }
  if (!st.instanceWindow) st.instanceWindow = createInstanceWindow();
  // Notifications posted to the harness's window and thread.
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  ResetEvent(st.event);
}

}  // namespace

void runInput(const Exports& ex, const uint8_t* data, size_t size) {
  if (!makeArena()) broken("no arena", 0);
  if (st.ex == nullptr) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = KV_INSTANCE_WINDOW_CLASS;
    RegisterClassA(&wc);
    st.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  st.ex = &ex;
  if (!st.instanceWindow) st.instanceWindow = createInstanceWindow();
  platSetDriverCallbackHook(watchNotification);
  Reader in(data, size);
  DWORD t0 = GetTickCount();
  while (!in.empty() && GetTickCount() - t0 < INPUT_BUDGET_MS) {
    switch (in.u8() % 11) {
      case 0: callDriverProc(in); break;
      case 1: callMod(in); break;
      case 2: callWod(in); break;
      case 3: callSetter(in); break;
      case 4: scribble(in); break;
      case 5: moveReadPos(in); break;
      case 6: touchQueuedHeader(in); break;
      case 7: setHost(in); break;
      case 8: setAction(in); break;
      case 9: toggleInstanceWindow(); break;
      default: Sleep(in.u8() % 16); break;
    }
  }
  finishInput();
  platSetDriverCallbackHook(nullptr);
}

}  // namespace kvfuzz
