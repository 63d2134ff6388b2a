// Note-to-sound latency of the Windows host under Wine, heard on the monitor
// of a PulseAudio server of the run's own (scripts/wine-bench.sh starts it
// and parec, which records the monitor into the file KV_WINE_MONITOR names).
// For each way, notes one after another: the time from midiOutShortMsg of a
// note-on (the synthesizer is the stand-in library, whose sine starts at full
// strength) to the note's first sample on the monitor:
//   - baseline: this program's own WASAPI stream, shared mode, event-driven,
//     20 ms kept buffered, which starts a sine when told: Wine's path alone;
//   - the host through WASAPI, and through waveOut (SoundServer=waveout);
//   - the host's first note after it gave the device back (KeepDeviceMs=500).
// Each figure is held against the baseline of the same run. The time of a
// monitor sample is bounded from every look at the growing recording around
// its note (a sample was there by the time it was read), a millisecond apart;
// the tightest bound is taken.
// Also: notes heard with a gap (32 samples of silence in the first 100 ms).
//
//   kvwinebench.exe [NOTES]   (default 15 a way)
#include <initguid.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <mmsystem.h>
#include <tlhelp32.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const unsigned kRate = 44100;
const int kLoud = 1000;
const double kPi = 3.14159265358979323846;

double nowMs() {
  static LARGE_INTEGER f = [] {
    LARGE_INTEGER q;
    QueryPerformanceFrequency(&q);
    return q;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

std::string installDir() {
  char dir[MAX_PATH];
  GetPrivateProfileStringA("KelvasongSetup", "KVDirectory", "", dir, sizeof dir, "KELVASON.INI");
  return dir;
}

void setting(const char* key, const char* value) {
  WritePrivateProfileStringA("Host", key, value, (installDir() + "\\KVHOST.INI").c_str());
}

std::string readFile(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// The monitor's recording, read as it grows, with the time of every look.
class Monitor {
 public:
  bool open(const char* unixPath) {
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
      if (c == '/') c = '\\';
    file_ =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return file_ != INVALID_HANDLE_VALUE;
  }
  // Reads what has come; the time of the look bounds the time of every sample.
  void look() {
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(file_, buf, sizeof buf, &n, nullptr) && n > 0) {
      carry_.append(buf, n);
      size_t whole = carry_.size() / 2;
      const int16_t* s = reinterpret_cast<const int16_t*>(carry_.data());
      samples_.insert(samples_.end(), s, s + whole);
      carry_.erase(0, whole * 2);
    }
    double t = nowMs();
    // Sample k was there by t: it was captured no later than t less the
    // samples after it.
    if (!samples_.empty()) {
      double zero = t - (double)(samples_.size() - 1) * 1000.0 / kRate;
      if (zero < zeroMs_) zeroMs_ = zero;
    }
  }
  size_t size() const { return samples_.size(); }
  const std::vector<int16_t>& samples() const { return samples_; }
  // The time of sample k, bounded by the looks since the last restart(): a
  // recorder that lost samples under load, or a server clock that drifts from
  // this one, moves the bound over a long run.
  double timeOf(size_t k) const { return zeroMs_ + (double)k * 1000.0 / kRate; }
  void restart() { zeroMs_ = 1e300; }
  // Looks every millisecond until a loud sample at or after `from`; its
  // index, or 0 after `timeoutMs`.
  size_t waitForSound(size_t from, double timeoutMs) {
    double until = nowMs() + timeoutMs;
    for (size_t at = from; nowMs() < until; Sleep(1)) {
      look();
      for (; at < samples_.size(); ++at)
        if (abs((int)samples_[at]) > kLoud) return at;
    }
    return 0;
  }
  // Looks until `ms` of silence have been recorded after the last sound.
  void waitForSilence(double ms) {
    double until = nowMs() + 10000;
    while (nowMs() < until) {
      look();
      size_t quiet = 0;
      for (size_t i = samples_.size(); i > 0 && abs((int)samples_[i - 1]) <= kLoud; --i) ++quiet;
      if (quiet >= ms * kRate / 1000) return;
      Sleep(5);
    }
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string carry_;
  std::vector<int16_t> samples_;
  double zeroMs_ = 1e300;
};

// Whether the 100 ms from `at` hold a gap: 32 samples in a row near silence.
bool gapAfter(const std::vector<int16_t>& s, size_t at) {
  size_t run = 0;
  for (size_t i = at; i < at + kRate / 10 && i < s.size(); ++i) {
    run = abs((int)s[i]) < 30 ? run + 1 : 0;
    if (run >= 32) return true;
  }
  return false;
}

struct Way {
  explicit Way(const char* n) : name(n) {}
  const char* name;
  std::vector<double> ms;
  int gaps = 0;
  int unheard = 0;
};

// One note: `send` makes the sound start; the latency from its call to the
// first loud sample.
template <typename Send>
void measure(Monitor& m, Way& way, Send send) {
  m.waitForSilence(150);
  m.restart();
  size_t from = m.size();
  double sent = nowMs();
  send();
  size_t at = m.waitForSound(from, 3000);
  if (at == 0) {
    ++way.unheard;
    return;
  }
  // More looks, a millisecond apart, tighten the bound.
  for (double until = nowMs() + 120; nowMs() < until; Sleep(1)) m.look();
  way.ms.push_back(m.timeOf(at) - sent);
  if (gapAfter(m.samples(), at)) ++way.gaps;
}

// Wine's path alone: a WASAPI stream of this program, 20 ms kept buffered,
// fed with silence until told to sound.
class BareStream {
 public:
  bool start() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMMDeviceEnumerator* e = nullptr;
    IMMDevice* d = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                reinterpret_cast<void**>(&e))) ||
        FAILED(e->GetDefaultAudioEndpoint(eRender, eConsole, &d)) ||
        FAILED(d->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client_))))
      return false;
    WAVEFORMATEX w = {WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
    REFERENCE_TIME period = 100000, minimum = 0;
    client_->GetDevicePeriod(&period, &minimum);
    kept_ = kRate * 20 / 1000;
    event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (FAILED(client_->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                   AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                   200000 + period, 0, &w, nullptr)) ||
        FAILED(client_->SetEventHandle(event_)) ||
        FAILED(client_->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(&render_))))
      return false;
    feed();
    client_->Start();
    thread_ = std::thread([this] {
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
      while (!stop_) {
        WaitForSingleObject(event_, 50);
        feed();
      }
    });
    return true;
  }
  void sound(bool on) { on_ = on; }
  ~BareStream() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (client_) client_->Stop();
  }

 private:
  void feed() {
    UINT32 padding = 0;
    if (FAILED(client_->GetCurrentPadding(&padding)) || padding >= kept_) return;
    UINT32 n = kept_ - padding;
    BYTE* data = nullptr;
    if (FAILED(render_->GetBuffer(n, &data))) return;
    int16_t* s = reinterpret_cast<int16_t*>(data);
    for (UINT32 i = 0; i < n; ++i) {
      int16_t v = on_ ? (int16_t)(16000 * sin(phase_)) : 0;
      phase_ += 2 * kPi * 440 / kRate;
      s[2 * i] = s[2 * i + 1] = v;
    }
    render_->ReleaseBuffer(n, 0);
  }
  IAudioClient* client_ = nullptr;
  IAudioRenderClient* render_ = nullptr;
  HANDLE event_ = nullptr;
  UINT32 kept_ = 0;
  double phase_ = 0;
  std::atomic<bool> on_{false}, stop_{false};
  std::thread thread_;
};

int kelvasongMidiDevice() {
  for (UINT i = 0; i < midiOutGetNumDevs(); ++i) {
    MIDIOUTCAPSA caps = {};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && strcmp(caps.szPname, "Kelvasong (NT)") == 0)
      return (int)i;
  }
  return -1;
}

// Waits until no MIDI host of this bitness runs any more.
void waitForHostToEnd() {
  const char* exe = sizeof(void*) == 8 ? "KVMIDI64.EXE" : "KVMIDI16.EXE";
  for (int tries = 0; tries < 2000; ++tries) {
    bool running = false;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe))
      running = running || lstrcmpiA(pe.szExeFile, exe) == 0;
    CloseHandle(snap);
    if (!running) return;
    Sleep(10);
  }
}

// Notes through the host, played with its settings as they stand.
void hostNotes(Monitor& m, Way& way, int notes, int device, bool afterGiveBack) {
  HMIDIOUT out = nullptr;
  if (midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
    way.unheard += notes;
    return;
  }
  // The stream starts with the open; the first notes are not its start.
  Sleep(300);
  std::string record = installDir() + "\\KVMIDIIN.TXT";
  for (int i = 0; i < notes; ++i) {
    if (afterGiveBack) {
      size_t givenBack = 0;
      std::string text = readFile(record);
      for (size_t at = text.find("# gave the sound device back"); at != std::string::npos;
           at = text.find("# gave the sound device back", at + 1))
        ++givenBack;
      for (double until = nowMs() + 10000; nowMs() < until; Sleep(10)) {
        size_t now = 0;
        text = readFile(record);
        for (size_t at = text.find("# gave the sound device back"); at != std::string::npos;
             at = text.find("# gave the sound device back", at + 1))
          ++now;
        if (now > givenBack || (i == 0 && now > 0)) break;
      }
    }
    measure(m, way, [&] { midiOutShortMsg(out, 0x7F4590); });
    midiOutShortMsg(out, 0x004590);
  }
  midiOutClose(out);
  waitForHostToEnd();
}

void report(const Way& way, const Way& base) {
  std::vector<double> v = way.ms, b = base.ms;
  std::sort(v.begin(), v.end());
  std::sort(b.begin(), b.end());
  if (v.empty() || b.empty()) {
    printf("%-34s nothing heard (%d notes unheard)\n", way.name, way.unheard);
    return;
  }
  double median = v[v.size() / 2], baseMedian = b[b.size() / 2];
  printf("%-34s median %6.1f ms  p90 %6.1f  max %6.1f  (%zu heard, %d unheard, %d with a gap)  x%.2f the baseline\n",
         way.name, median, v[std::min(v.size() - 1, v.size() * 9 / 10)], v.back(), v.size(), way.unheard, way.gaps,
         median / baseMedian);
}

}  // namespace

int main(int argc, char** argv) {
  int notes = argc > 1 ? atoi(argv[1]) : 15;
  const char* monitorPath = getenv("KV_WINE_MONITOR");
  Monitor m;
  if (!monitorPath || !m.open(monitorPath)) {
    fprintf(stderr, "kvwinebench: no monitor recording (KV_WINE_MONITOR); run it with scripts/wine-bench.sh\n");
    return 1;
  }
  int device = kelvasongMidiDevice();
  if (device < 0) {
    fprintf(stderr, "kvwinebench: the multimedia layer lists no Kelvasong (NT)\n");
    return 1;
  }
  Way bare("baseline: a bare WASAPI stream");
  Way wasapi("the host through WASAPI");
  Way waveOut("the host through waveOut");
  Way givenBack("the host, first note after give-back");
  {
    BareStream stream;
    if (!stream.start()) {
      fprintf(stderr, "kvwinebench: the bare WASAPI stream cannot start\n");
      return 1;
    }
    Sleep(300);
    for (int i = 0; i < notes; ++i) {
      measure(m, bare, [&] { stream.sound(true); });
      stream.sound(false);
    }
  }
  setting("SoundServer", nullptr);
  setting("KeepDeviceMs", nullptr);
  hostNotes(m, wasapi, notes, device, false);
  setting("SoundServer", "waveout");
  hostNotes(m, waveOut, notes, device, false);
  setting("SoundServer", nullptr);
  setting("KeepDeviceMs", "500");
  hostNotes(m, givenBack, notes, device, true);
  setting("KeepDeviceMs", nullptr);

  printf("note-to-sound latency under Wine, heard on the monitor (%d notes a way)\n", notes);
  report(bare, bare);
  report(wasapi, bare);
  report(waveOut, bare);
  report(givenBack, bare);
  return 0;
}
