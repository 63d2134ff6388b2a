// The sound output back end on Windows. It plays to the default audio endpoint
// through WASAPI, in shared mode and event-driven: the audio engine signals an
// event each time it has taken a period of samples, and the stream's thread
// then tops its buffer up to LatencyMs, which is the delay it adds.
//
// The device is taken when the stream is opened (at the channel's open), so
// that the first sound is on time. After keepDeviceMs of silence it is given
// back, so that a program that wants it in exclusive mode can have it, and the
// next sound takes it again (the writer calls resume() first, so that its
// clock starts once the device is there). A device that is lost (unplugged,
// no longer the default, taken by a program in exclusive mode) is let go; the
// next sound, a second later at the soonest, takes the default endpoint again,
// and what comes in between is dropped.
//
// Where WASAPI cannot be opened (no endpoint, a format the engine refuses) the
// stream plays through waveOut, to the device the wave mapper prefers, unless
// that is the product's own wave device, which would play the host's sound
// back into the product: then to the first other device.
#include <initguid.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <functiondiscoverykeys_devpkey.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/audio.h"
#include "kvplatform.h"

namespace {

// A device that takes nothing for this long has stalled; the samples are
// dropped rather than the caller held.
const DWORD kStallMs = 1000;
// The most waveOut holds queued: more than the system's own buffering behind
// it (about 120 ms under Wine), less than a delay a player would put up with.
const unsigned kMostQueuedMs = 200;
// How soon a lost device, or one that could not be taken, is tried again.
const DWORD kRetryMs = 1000;
// The product's own wave device, which the host never plays into.
const char kOwnWaveDevice[] = "Kelvasong WaveOut (NT)";
const WORD kOwnMid = 0xF001, kOwnPid = 0x4000;
// A writer that has written nothing for this long is idle.
const uint64_t kIdleWriterMs = 100;
// How many of the engine's periods in a row may leave a surplus queued before
// it is dropped.
const unsigned kSurplusFeeds = 10;
// WASAPI counts time in units of 100 ns.
const REFERENCE_TIME kUnitsPerMs = 10000;

std::string hex(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", (unsigned long)hr);
  return text;
}

// A text in the ANSI code page, as KVHOST.INI holds it; empty when a
// character has no place there.
std::string ansi(const wchar_t* text) {
  BOOL lost = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, &lost);
  if (n <= 1 || lost) return std::string();
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize((size_t)n - 1);
  return out;
}

std::wstring wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return std::wstring();
  std::wstring out((size_t)n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
  out.resize((size_t)n - 1);
  return out;
}

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize((size_t)n - 1);
  return out;
}

WAVEFORMATEX waveFormat(const AudioFormat& format) {
  WAVEFORMATEX wfx;
  memset(&wfx, 0, sizeof wfx);
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = (WORD)format.channels;
  wfx.nSamplesPerSec = format.rate;
  wfx.wBitsPerSample = (WORD)format.bits;
  wfx.nBlockAlign = (WORD)(format.channels * (format.bits / 8));
  wfx.nAvgBytesPerSec = format.rate * wfx.nBlockAlign;
  return wfx;
}

// Whether the frames hold any sound: 8-bit samples are silent at 0x80.
bool sounds(const void* frames, size_t bytes, unsigned bits) {
  const unsigned char* p = static_cast<const unsigned char*>(frames);
  const unsigned char quiet = bits == 8 ? 0x80 : 0x00;
  for (size_t i = 0; i < bytes; ++i)
    if (p[i] != quiet) return true;
  return false;
}

template <typename T>
void release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

uint64_t nowMs() { return (uint64_t)GetTickCount64(); }

// The WASAPI stream. Its own thread owns the device: it takes it, waits for
// the engine's event, moves what the writer queued into the stream's buffer up
// to LatencyMs (with silence only where the engine would otherwise run dry),
// and gives the device back after keepDeviceMs of silence. The writer only
// queues and never waits for the device, so that a device that stalls never
// stalls the channel it plays. What stays queued once the buffer is full (a
// writer that caught up after it was held, an engine that took its samples
// late) is dropped, oldest first, when it lasts, so that the delay does not
// grow. A finishing writer, which hands over what is left at once, is held
// instead, and everything it handed over is played before the device is let
// go.
class WasapiSink : public AudioSink {
 public:
  WasapiSink(const AudioFormat& format, const std::string& device, unsigned latencyMs, unsigned keepDeviceMs)
      : format_(format), wfx_(waveFormat(format)), device_(device), latencyMs_(latencyMs), keepMs_(keepDeviceMs) {}

  // What was handed over is played before the device is let go (the
  // synthesizer's last notes ring out into it), a second and a half at most.
  ~WasapiSink() override {
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait_for(hold, std::chrono::milliseconds(1500), [this] { return queue_.empty() || !taken_; });
      if (taken_) {
        hold.unlock();
        Sleep(latencyMs_);
        hold.lock();
      }
      ending_ = true;
    }
    changed_.notify_all();
    if (event_) SetEvent(event_);
    if (thread_.joinable()) thread_.join();
    if (event_) CloseHandle(event_);
  }

  // Takes the default endpoint; false, with the reason, when it cannot.
  bool open(std::string* why) {
    event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event_) {
      *why = "no event for the stream";
      return false;
    }
    std::unique_lock<std::mutex> hold(lock_);
    wanted_ = true;
    thread_ = std::thread(&WasapiSink::run, this);
    changed_.wait(hold, [this] { return !wanted_; });
    if (taken_) return true;
    *why = failure_;
    return false;
  }

  void write(const void* frames, size_t bytes) override {
    const bool sound = sounds(frames, bytes, format_.bits);
    std::unique_lock<std::mutex> hold(lock_);
    if (sound) lastSoundMs_ = nowMs();
    lastWriteMs_ = nowMs();
    // Silence is not worth taking the device again for.
    if (!taken_ && !sound) return;
    if (!taken_ && !wanted_ && nowMs() >= retryAtMs_) {
      wanted_ = true;
      changed_.notify_all();
    }
    const unsigned char* p = static_cast<const unsigned char*>(frames);
    // A queue that has grown beyond any use (no device for a while) keeps
    // its newest second.
    const size_t most = (size_t)wfx_.nAvgBytesPerSec;
    if (bytes > most) {
      p += bytes - most;
      bytes = most;
    }
    if (queue_.size() + bytes > most)
      queue_.erase(queue_.begin(), queue_.begin() + (long)(queue_.size() + bytes - most));
    queue_.insert(queue_.end(), p, p + bytes);
    // A finishing writer (one that renders what is left at once, as the
    // synthesizer does at its close) waits while the queue holds LatencyMs
    // and two periods; one on its clock never waits, whatever the device does.
    const size_t ahead = ((size_t)keptFrames_ + 2 * periodFrames_) * wfx_.nBlockAlign;
    if (!finishing_ || !taken_ || queue_.size() <= ahead) return;
    writerWaiting_ = true;
    changed_.wait_for(hold, std::chrono::milliseconds(kStallMs),
                      [&] { return queue_.size() <= ahead || !taken_ || ending_; });
    writerWaiting_ = false;
  }

  void finishing() override {
    std::lock_guard<std::mutex> hold(lock_);
    finishing_ = true;
  }

  void resume() override {
    std::unique_lock<std::mutex> hold(lock_);
    lastSoundMs_ = nowMs();
    if (taken_ || nowMs() < retryAtMs_) return;
    wanted_ = true;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !wanted_ || ending_; });
  }

  std::string description() const override {
    std::string line = "WASAPI (shared mode, event-driven) on " +
                       (endpoint_.empty() ? "the default endpoint" : endpoint_) + ", " + std::to_string(latencyMs_) +
                       " ms kept buffered";
    line += keepMs_ ? ", the device given back after " + std::to_string(keepMs_) + " ms of silence"
                    : ", the device kept while the stream lasts";
    return line;
  }

  std::vector<std::string> takeNotes() override {
    std::vector<std::string> out;
    if (!hasNotes_.load(std::memory_order_acquire)) return out;
    std::lock_guard<std::mutex> hold(notesLock_);
    out.swap(notes_);
    hasNotes_.store(false, std::memory_order_release);
    return out;
  }

 private:
  void run() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                  reinterpret_cast<void**>(&enumerator));
    std::unique_lock<std::mutex> hold(lock_);
    if (FAILED(hr)) {
      failure_ = "no audio device enumerator (" + hex(hr) + ")";
      wanted_ = false;
      changed_.notify_all();
      hold.unlock();
      CoUninitialize();
      return;
    }
    bool first = true;
    while (!ending_) {
      if (!taken_) {
        changed_.wait(hold, [this] { return wanted_ || ending_; });
        if (ending_) break;
        const uint64_t began = nowMs();
        std::string why;
        taken_ = take(enumerator, &why);
        if (!first && taken_)
          note("took the sound device again (" + endpoint_ + ") in " + std::to_string(nowMs() - began) + " ms");
        if (!first && !taken_ && !failing_) note("cannot take the sound device again: " + why);
        if (!taken_) retryAtMs_ = nowMs() + kRetryMs;
        // What was queued while there was no device is late by now: the
        // newest period of it follows the silence the stream starts with.
        const size_t newest = (size_t)periodFrames_ * wfx_.nBlockAlign;
        if (queue_.size() > newest) queue_.erase(queue_.begin(), queue_.begin() + (long)(queue_.size() - newest));
        failing_ = !taken_;
        failure_ = why;
        first = false;
        wanted_ = false;
        changed_.notify_all();
        continue;
      }
      const uint64_t quietMs = nowMs() - lastSoundMs_;
      if (keepMs_ && quietMs >= keepMs_) {
        letGo();
        queue_.clear();
        note("gave the sound device back after " + std::to_string(quietMs / 1000) + " s of silence");
        continue;
      }
      hold.unlock();
      hr = feed();
      hold.lock();
      if (FAILED(hr)) {
        note("lost the sound device " + endpoint_ + " (" + hex(hr) + "); the default one is taken at the next sound");
        letGo();
        retryAtMs_ = nowMs() + kRetryMs;
        continue;
      }
      // The engine signals each period it has taken; a device that has stopped
      // signalling is fed on the same beat.
      hold.unlock();
      WaitForSingleObject(event_, (DWORD)(2 * period_ / kUnitsPerMs));
      hold.lock();
    }
    letGo();
    hold.unlock();
    release(enumerator);
    CoUninitialize();
  }

  // The endpoint the user chose (OutputDevice=: its id, or its name among
  // the active output endpoints); null when none is chosen or it is not there.
  IMMDevice* chosenEndpoint(IMMDeviceEnumerator* enumerator) {
    if (device_.empty()) return nullptr;
    IMMDevice* device = nullptr;
    DWORD state = 0;
    if (SUCCEEDED(enumerator->GetDevice(wide(device_).c_str(), &device)) && SUCCEEDED(device->GetState(&state)) &&
        state == DEVICE_STATE_ACTIVE)
      return device;
    release(device);
    device = nullptr;
    IMMDeviceCollection* active = nullptr;
    UINT count = 0;
    if (SUCCEEDED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &active)) &&
        SUCCEEDED(active->GetCount(&count))) {
      for (UINT i = 0; i < count && !device; ++i) {
        IMMDevice* candidate = nullptr;
        if (SUCCEEDED(active->Item(i, &candidate)) && ansiName(candidate) == device_)
          device = candidate;
        else
          release(candidate);
      }
    }
    release(active);
    return device;
  }

  // Takes the endpoint the user chose, else the default one, and starts a
  // stream on it, its buffer filled with LatencyMs of silence. Under lock_.
  bool take(IMMDeviceEnumerator* enumerator, std::string* why) {
    IMMDevice* device = chosenEndpoint(enumerator);
    HRESULT hr = S_OK;
    if (!device && !device_.empty() && !missingSaid_) {
      // An unplugged headset leaves the sound on the default device, not silent.
      missingSaid_ = true;
      note("the output device " + device_ + " is not there: playing to the default one");
    }
    if (!device && FAILED(hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device))) {
      *why = "no default audio endpoint (" + hex(hr) + ")";
      return false;
    }
    endpoint_ = friendlyName(device);
    hr = device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client_));
    release(device);
    if (FAILED(hr)) {
      *why = "the audio endpoint gives no client (" + hex(hr) + ")";
      return false;
    }
    REFERENCE_TIME minimum = 0;
    if (FAILED(client_->GetDevicePeriod(&period_, &minimum)) || period_ <= 0) period_ = 10 * kUnitsPerMs;
    // What is kept buffered: LatencyMs, and at least a period and a half, so
    // that the engine's next period is always there when it takes it.
    REFERENCE_TIME kept = (REFERENCE_TIME)latencyMs_ * kUnitsPerMs;
    if (kept < period_ * 3 / 2) kept = period_ * 3 / 2;
    // The engine converts the stream's rate and channels to its own mix
    // format; an engine that takes the format as it is needs no conversion.
    const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    const DWORD convert = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | convert, kept + period_, 0, &wfx_, nullptr);
    if (FAILED(hr)) hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kept + period_, 0, &wfx_, nullptr);
    UINT32 bufferFrames = 0;
    if (SUCCEEDED(hr)) hr = client_->SetEventHandle(event_);
    if (SUCCEEDED(hr)) hr = client_->GetBufferSize(&bufferFrames);
    if (SUCCEEDED(hr)) hr = client_->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(&render_));
    keptFrames_ = (UINT32)(kept * format_.rate / (1000 * kUnitsPerMs));
    if (keptFrames_ > bufferFrames) keptFrames_ = bufferFrames;
    periodFrames_ = (UINT32)(period_ * format_.rate / (1000 * kUnitsPerMs));
    if (SUCCEEDED(hr)) hr = fill(keptFrames_, nullptr);
    if (SUCCEEDED(hr)) hr = client_->Start();
    if (FAILED(hr)) {
      *why = "the audio endpoint " + endpoint_ + " refuses the stream (" + hex(hr) + ")";
      letGo();
      return false;
    }
    return true;
  }

  // Tops the stream's buffer up to what is kept from the queue. Silence goes
  // in only where the engine would otherwise find less than its next period:
  // a writer a little late catches up at the next event, without a gap. The
  // device is this thread's alone; lock_ is taken only to take from the
  // queue, so that the writer never waits while the engine is asked.
  HRESULT feed() {
    UINT32 padding = 0;
    HRESULT hr = client_->GetCurrentPadding(&padding);
    if (FAILED(hr) || padding >= keptFrames_) return hr;
    const UINT32 room = keptFrames_ - padding;
    BYTE* data = nullptr;
    hr = render_->GetBuffer(room, &data);
    if (FAILED(hr)) return hr;
    const size_t frame = wfx_.nBlockAlign;
    UINT32 n = 0, silence = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      const UINT32 queued = (UINT32)(queue_.size() / frame);
      n = queued < room ? queued : room;
      memcpy(data, queue_.data(), (size_t)n * frame);
      queue_.erase(queue_.begin(), queue_.begin() + (long)(n * frame));
      if (n < room && nowMs() - lastWriteMs_ > kIdleWriterMs) {
        // A writer that has written nothing for a while is idle (the
        // synthesizer has nothing to play): the buffer is kept full of
        // silence, so that the first sound after finds the stream as it is
        // while it plays. One that is only late is not waited for with
        // silence.
        silence = room - n;
      } else if (padding + n < periodFrames_) {
        silence = periodFrames_ - padding - n;
      } else {
        // What stays queued once the buffer is full adds to the delay. A
        // writer on its clock leaves a block or two now and then; more than
        // a quarter of a period for a tenth of a second (the writer came in
        // a burst, the engine took its samples late) is dropped down to an
        // eighth at once, and more than two periods at any time; from a
        // finishing writer, nothing.
        const size_t period = (size_t)periodFrames_ * frame;
        size_t keep = queue_.size();
        surplusFeeds_ = n == room && keep > period / 4 && !finishing_ ? surplusFeeds_ + 1 : 0;
        if (keep > 2 * period && !finishing_) keep = 2 * period;
        if (surplusFeeds_ >= kSurplusFeeds) keep = period / 8 / frame * frame;
        if (keep < queue_.size()) {
          queue_.erase(queue_.begin(), queue_.begin() + (long)(queue_.size() - keep));
          surplusFeeds_ = 0;
        }
      }
      if (writerWaiting_ || queue_.empty()) changed_.notify_all();
    }
    if (silence) memset(data + (size_t)n * frame, format_.bits == 8 ? 0x80 : 0, (size_t)silence * frame);
    return render_->ReleaseBuffer(n + silence, 0);
  }

  // Puts `frames` frames from `p`, or silence when it is null, into the buffer.
  HRESULT fill(UINT32 frames, const unsigned char* p) {
    if (frames == 0) return S_OK;
    BYTE* data = nullptr;
    HRESULT hr = render_->GetBuffer(frames, &data);
    if (FAILED(hr)) return hr;
    if (p) memcpy(data, p, (size_t)frames * wfx_.nBlockAlign);
    return render_->ReleaseBuffer(frames, p ? 0 : AUDCLNT_BUFFERFLAGS_SILENT);
  }

  void letGo() {
    if (client_) client_->Stop();
    release(render_);
    release(client_);
    taken_ = false;
  }

  void note(const std::string& line) {
    std::lock_guard<std::mutex> hold(notesLock_);
    notes_.push_back(line);
    hasNotes_.store(true, std::memory_order_release);
  }

  // The name as the settings window lists it, in the ANSI code page.
  static std::string ansiName(IMMDevice* device) {
    IPropertyStore* store = nullptr;
    std::string name;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return name;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR)
      name = ansi(value.pwszVal);
    PropVariantClear(&value);
    store->Release();
    return name;
  }

  static std::string friendlyName(IMMDevice* device) {
    IPropertyStore* store = nullptr;
    std::string name;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return name;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR)
      name = utf8(value.pwszVal);
    PropVariantClear(&value);
    store->Release();
    return name;
  }

  const AudioFormat format_;
  const WAVEFORMATEX wfx_;
  const std::string device_;  // OutputDevice=, empty for the default endpoint
  bool missingSaid_ = false;
  const unsigned latencyMs_;
  const unsigned keepMs_;
  HANDLE event_ = nullptr;
  std::thread thread_;

  std::mutex lock_;  // everything below but the notes; the device (client_, render_) is the thread's
  std::condition_variable changed_;
  bool ending_ = false;
  bool wanted_ = false;  // the thread is asked to take the device
  bool taken_ = false;
  bool failing_ = false;
  std::string failure_;
  std::vector<unsigned char> queue_;  // what the writer handed over, not in the stream's buffer yet
  uint64_t lastSoundMs_ = nowMs();
  uint64_t lastWriteMs_ = 0;
  uint64_t retryAtMs_ = 0;
  IAudioClient* client_ = nullptr;
  IAudioRenderClient* render_ = nullptr;
  std::string endpoint_;
  REFERENCE_TIME period_ = 10 * kUnitsPerMs;
  UINT32 keptFrames_ = 0;
  UINT32 periodFrames_ = 0;
  unsigned surplusFeeds_ = 0;  // feeds in a row that left a surplus queued
  bool writerWaiting_ = false;
  bool finishing_ = false;

  std::mutex notesLock_;
  std::vector<std::string> notes_;
  std::atomic<bool> hasNotes_{false};
};

// waveOut, in blocks of half LatencyMs. A block comes back from the device
// only once it has been played, and a device may hold far more than LatencyMs
// before the first one does (the system's own buffering behind waveOut): a
// write that finds every block queued adds another rather than wait, up to
// kMostQueuedMs, so that the writer is not held while the device plays; a
// device that holds more than that holds the writer, which then leaves out
// what would come too late, so that the delay stays bounded.
class WaveOutSink : public AudioSink {
 public:
  WaveOutSink(HWAVEOUT device, HANDLE done, size_t blockBytes, size_t mostBlocks, std::string description)
      : device_(device),
        done_(done),
        blockBytes_(blockBytes),
        mostBlocks_(mostBlocks),
        description_(std::move(description)) {
    for (int i = 0; i < 4; ++i) addBlock(blocks_.size());
  }
  // What was queued is played first (the synthesizer's last notes ring out
  // into it); a device that takes nothing for kStallMs is reset.
  ~WaveOutSink() override {
    for (auto& b : blocks_)
      while (!(b->header.dwFlags & WHDR_DONE))
        if (WaitForSingleObject(done_, kStallMs) != WAIT_OBJECT_0) break;
    waveOutReset(device_);
    for (auto& b : blocks_) waveOutUnprepareHeader(device_, &b->header, sizeof b->header);
    waveOutClose(device_);
    CloseHandle(done_);
  }
  void write(const void* frames, size_t bytes) override {
    const char* p = static_cast<const char*>(frames);
    while (bytes > 0) {
      if (!free(next_)) {
        if (blocks_.size() < mostBlocks_) {
          // The new block is the next to fill; the one it displaces stays the
          // oldest queued, so blocks are still queued in ring order.
          addBlock(next_);
        } else {
          // The device signals the event each time it finishes a block.
          while (!free(next_))
            if (WaitForSingleObject(done_, kStallMs) != WAIT_OBJECT_0) return;
        }
      }
      Block& b = *blocks_[next_];
      size_t n = blockBytes_ - filled_;
      if (n > bytes) n = bytes;
      memcpy(b.data.data() + filled_, p, n);
      filled_ += n;
      p += n;
      bytes -= n;
      if (filled_ < blockBytes_) continue;
      b.header.dwFlags &= ~WHDR_DONE;
      // A block the device refused stays free for the next round.
      if (waveOutWrite(device_, &b.header, sizeof b.header) != MMSYSERR_NOERROR) b.header.dwFlags |= WHDR_DONE;
      filled_ = 0;
      next_ = (next_ + 1) % blocks_.size();
    }
  }
  std::string description() const override { return description_; }

 private:
  struct Block {
    WAVEHDR header;
    std::vector<char> data;
  };
  bool free(size_t i) const { return (blocks_[i]->header.dwFlags & WHDR_DONE) != 0; }
  void addBlock(size_t at) {
    std::unique_ptr<Block> b(new Block);
    b->data.resize(blockBytes_);
    memset(&b->header, 0, sizeof b->header);
    b->header.lpData = b->data.data();
    b->header.dwBufferLength = (DWORD)blockBytes_;
    waveOutPrepareHeader(device_, &b->header, sizeof b->header);
    b->header.dwFlags |= WHDR_DONE;  // free until first written
    blocks_.insert(blocks_.begin() + (long)at, std::move(b));
  }

  HWAVEOUT device_;
  HANDLE done_;
  size_t blockBytes_;
  size_t mostBlocks_;
  std::string description_;
  std::vector<std::unique_ptr<Block>> blocks_;
  size_t next_ = 0;
  size_t filled_ = 0;
};

bool isOwnWaveDevice(const WAVEOUTCAPSA& caps) {
  return strcmp(caps.szPname, kOwnWaveDevice) == 0 || (caps.wMid == kOwnMid && caps.wPid == kOwnPid);
}

// The wave output device the user chose by the name the settings window lists
// it by (a wave device's own name is that name cut to its 31 characters); -1
// when it is not there.
int waveDeviceNamed(const std::string& device) {
  if (device.empty()) return -1;
  for (UINT i = 0; i < waveOutGetNumDevs(); ++i) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR || isOwnWaveDevice(caps)) continue;
    size_t n = strlen(caps.szPname);
    if (device == caps.szPname || (n + 1 == sizeof caps.szPname && device.compare(0, n, caps.szPname) == 0))
      return (int)i;
  }
  return -1;
}

// The wave output device to play to, as the mapper would choose it, but never
// the product's own; -1 when there is no other. `name` gets its name.
int chooseWaveDevice(std::string* name, bool* passedOver) {
  *passedOver = false;
  UINT count = waveOutGetNumDevs();
  DWORD preferred = (DWORD)-1, flags = 0;
  if (waveOutMessage(reinterpret_cast<HWAVEOUT>((UINT_PTR)WAVE_MAPPER), DRVM_MAPPER_PREFERRED_GET,
                     (DWORD_PTR)&preferred, (DWORD_PTR)&flags) != MMSYSERR_NOERROR)
    preferred = (DWORD)-1;
  std::vector<UINT> order;
  if (preferred < count) order.push_back(preferred);
  for (UINT i = 0; i < count; ++i)
    if (i != preferred) order.push_back(i);
  for (UINT i : order) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
    if (isOwnWaveDevice(caps)) {
      *passedOver = true;
      continue;
    }
    *name = caps.szPname;
    return (int)i;
  }
  return -1;
}

std::unique_ptr<AudioSink> openWaveOut(const AudioFormat& format, const std::string& chosen, unsigned latencyMs,
                                       const std::string& wasapiWhy, std::string* note, std::string* why) {
  std::string name;
  bool passedOver = false;
  int id = waveDeviceNamed(chosen);
  if (id >= 0) {
    name = chosen;
  } else {
    if (!chosen.empty()) *note = "the output device " + chosen + " is not there: playing to the default one";
    id = chooseWaveDevice(&name, &passedOver);
  }
  if (id < 0) {
    *why = passedOver ? "the only wave output device is the product's own " + std::string(kOwnWaveDevice)
                      : "no wave output device";
    return nullptr;
  }
  WAVEFORMATEX wfx = waveFormat(format);
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!done) {
    *why = "no event for the device";
    return nullptr;
  }
  // Through the mapper to the chosen device, which converts a format the
  // device does not take itself.
  HWAVEOUT device;
  MMRESULT rc = waveOutOpen(&device, (UINT)id, &wfx, (DWORD_PTR)done, 0, CALLBACK_EVENT | WAVE_MAPPED);
  if (rc != MMSYSERR_NOERROR) rc = waveOutOpen(&device, (UINT)id, &wfx, (DWORD_PTR)done, 0, CALLBACK_EVENT);
  if (rc != MMSYSERR_NOERROR) {
    CloseHandle(done);
    *why = "the wave output device " + name + " cannot be opened (waveOutOpen answered " + std::to_string(rc) + ")";
    return nullptr;
  }
  const unsigned blockMs = latencyMs < 2 ? 1 : latencyMs / 2;
  size_t blockBytes = (size_t)wfx.nAvgBytesPerSec * blockMs / 1000;
  blockBytes = blockBytes / wfx.nBlockAlign * wfx.nBlockAlign;
  if (blockBytes == 0) blockBytes = wfx.nBlockAlign;
  std::string description = "waveOut on " + name + (passedOver ? " (not the product's own wave device)" : "") +
                            ", in blocks of " + std::to_string(blockMs) + " ms";
  if (!wasapiWhy.empty()) description += " (WASAPI: " + wasapiWhy + ")";
  return std::unique_ptr<AudioSink>(
      new WaveOutSink(device, done, blockBytes, kMostQueuedMs / blockMs + 1, description));
}

}  // namespace

// `server` on Windows: empty for the default endpoint (WASAPI, else waveOut),
// "wasapi" or "waveout" for that way alone.
std::unique_ptr<AudioSink> openSoundServer(const std::string& server, const std::string& device, const char* name,
                                           const AudioFormat& format, unsigned latencyMs, unsigned keepDeviceMs,
                                           std::string* why) {
  (void)name;
  if (!server.empty() && server != "wasapi" && server != "waveout") {
    if (why) *why = "Windows has no sound server by address; SoundServer takes wasapi, waveout, none or nothing";
    return nullptr;
  }
  std::string wasapiWhy, waveOutWhy;
  if (server != "waveout") {
    std::unique_ptr<WasapiSink> sink(new WasapiSink(format, device, latencyMs, keepDeviceMs));
    if (sink->open(&wasapiWhy)) return std::unique_ptr<AudioSink>(sink.release());
    if (server == "wasapi") {
      if (why) *why = "WASAPI: " + wasapiWhy;
      return nullptr;
    }
  }
  std::string note;
  std::unique_ptr<AudioSink> sink = openWaveOut(format, device, latencyMs, wasapiWhy, &note, &waveOutWhy);
  if (!sink && why)
    *why = wasapiWhy.empty() ? "waveOut: " + waveOutWhy : "WASAPI: " + wasapiWhy + "; waveOut: " + waveOutWhy;
  if (sink && why) *why = note;
  return sink;
}
