// kvplay: plays a Standard MIDI File through a MIDI output device of the
// multimedia layer in real time, or streams a WAV file through a wave output
// device, with a progress line on a terminal. Ctrl-C stops cleanly: every note
// ends and the device is closed.
#include <math.h>
#include <errno.h>
#include <signal.h>
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/protocol.h"
#include "kvplatform.h"
#include "tools/midifile.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether the device has handed the buffer back. The device stores WHDR_DONE
// from its own thread with an interlocked operation; the flags are polled here
// with one too.
bool headerDone(WAVEHDR& h) {
  return (InterlockedOr(reinterpret_cast<volatile LONG*>(&h.dwFlags), 0) & WHDR_DONE) != 0;
}

volatile sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

bool showProgress = false;
const auto kProgressEvery = std::chrono::milliseconds(100);

void usage() {
  fprintf(stderr,
          "usage: kvplay [--port N] [--timing LOG] FILE.mid|FILE.wav\n"
          "       kvplay --list\n"
          "  FILE.mid   a Standard MIDI File (format 0, 1 or 2; format 2 plays its tracks one after another), played "
          "through MIDI output device N\n"
          "  FILE.wav   a WAV file, streamed through wave output device N\n"
          "  --port N   the device (default 0)\n"
          "  --timing LOG  writes a line for each MIDI message sent: when it was due and when it\n"
          "             was sent (steady clock, ns) and its bytes in hex\n"
          "  --list     the MIDI and wave output devices\n"
          "Ctrl-C stops: every note ends and the device is closed.\n");
}

const double kLongestWait = 365.0 * 24 * 3600;

std::string clock(double seconds) {
  char text[48];
  seconds = std::max(0.0, std::min(seconds, kLongestWait));
  long long whole = (long long)seconds;
  snprintf(text, sizeof text, "%lld:%02lld.%d", whole / 60, whole % 60, (int)((seconds - (double)whole) * 10));
  return text;
}

void progress(const std::string& line) {
  if (!showProgress) return;
  fprintf(stdout, "\r%s\033[K", line.c_str());
  fflush(stdout);
}

void endProgress() {
  if (showProgress) fputc('\n', stdout);
}

int listDevices() {
  UINT midi = midiOutGetNumDevs(), wave = waveOutGetNumDevs();
  printf("MIDI output devices: %u\n", midi);
  for (UINT i = 0; i < midi; ++i) {
    MIDIOUTCAPSA caps;
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == 0) printf("  %u  %s\n", i, caps.szPname);
  }
  printf("wave output devices: %u\n", wave);
  for (UINT i = 0; i < wave; ++i) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) == 0) printf("  %u  %s\n", i, caps.szPname);
  }
  return 0;
}

void allNotesOff(HMIDIOUT out) {
  for (DWORD ch = 0; ch < 16; ++ch) {
    midiOutShortMsg(out, 0xB0 | ch | 64 << 8);   // sustain off
    midiOutShortMsg(out, 0xB0 | ch | 123 << 8);  // all notes off
    midiOutShortMsg(out, 0xB0 | ch | 120 << 8);  // all sound off
  }
}

MMRESULT sendLong(HMIDIOUT out, const unsigned char* bytes, size_t size) {
  std::vector<char> data(bytes, bytes + size);
  MIDIHDR hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.lpData = data.data();
  hdr.dwBufferLength = (DWORD)data.size();
  MMRESULT rc = midiOutPrepareHeader(out, &hdr, sizeof hdr);
  if (rc == 0) rc = midiOutLongMsg(out, &hdr, sizeof hdr);
  midiOutUnprepareHeader(out, &hdr, sizeof hdr);
  return rc;
}

int64_t steadyNs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Each message sent, kept in memory while playing and written at the end, so
// that writing it costs the timing nothing.
struct Sent {
  int64_t dueNs;
  int64_t sentNs;
  const MidiFileEvent* event;
};

void writeTiming(const char* log, const MidiFile& song, const std::vector<Sent>& sent) {
  FILE* f = fopen(log, "w");
  if (!f) {
    fprintf(stderr, "kvplay: cannot write %s: %s\n", log, strerror(errno));
    return;
  }
  for (const Sent& s : sent) {
    fprintf(f, "%lld %lld ", (long long)s.dueNs, (long long)s.sentNs);
    for (uint32_t i = 0; i < s.event->size; ++i) fprintf(f, i ? " %02X" : "%02X", song.data(*s.event)[i]);
    fputc('\n', f);
  }
  fclose(f);
}

int playMidi(const char* path, UINT port, const char* timing) {
  MidiFile song;
  std::string reason;
  if (!loadMidiFile(path, &song, &reason)) {
    fprintf(stderr, "kvplay: cannot play %s: %s\n", path, reason.c_str());
    return 1;
  }
  for (const std::string& note : song.notes) fprintf(stderr, "kvplay: %s: %s\n", path, note.c_str());
  HMIDIOUT out;
  MMRESULT rc = midiOutOpen(&out, port, 0, 0, CALLBACK_NULL);
  if (rc != 0) {
    fprintf(stderr, "kvplay: cannot open MIDI output device %u (error %u)\n", port, rc);
    return 1;
  }
  const double length = song.seconds;
  MidiBars bars(song.ppqn);
  int failed = 0;
  int64_t pulse = 0;
  printf("playing %s (format %d, %d tracks, %s) on MIDI output device %u\n", path, song.format, song.tracks,
         clock(length).c_str(), port);
  fflush(stdout);
  std::vector<Sent> sent;
  if (timing) sent.reserve(song.events.size());
  auto start = Clock::now();
  auto nextProgress = start;
  for (const MidiFileEvent& event : song.events) {
    // A file may put an event ages away; the clock's count holds a few
    // centuries, so the wait is cut at a year.
    double seconds = std::min(event.seconds, kLongestWait);
    auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    // Waits in short steps, so that Ctrl-C and the progress line are served.
    while (!interrupted && Clock::now() < due) {
      auto now = Clock::now();
      if (now >= nextProgress) {
        double t = std::chrono::duration<double>(now - start).count();
        char line[96];
        snprintf(line, sizeof line, "%s / %s  bar %lld  %3d%%", clock(t).c_str(), clock(length).c_str(),
                 (long long)bars.barAt(pulse), length > 0 ? (int)(100 * std::min(t / length, 1.0)) : 100);
        progress(line);
        nextProgress = now + kProgressEvery;
      }
      std::this_thread::sleep_until(std::min(due, nextProgress));
    }
    if (interrupted) break;
    pulse = event.pulse;
    const unsigned char* b = song.data(event);
    size_t n = event.size;
    if (timing && !event.meta) sent.push_back({steadyNs(due), steadyNs(Clock::now()), &event});
    if (event.meta) {
      if (n >= 4 && b[1] == 0x58) bars.timeSignature(pulse, b[2], b[3]);
    } else if (b[0] == 0xF0) {
      failed += sendLong(out, b, n) != 0;
    } else if (b[0] == 0xF7) {
      // An escape: the bytes after it go out as they are.
      if (n > 1) failed += sendLong(out, b + 1, n - 1) != 0;
    } else {
      DWORD msg = b[0] | (n > 1 ? (DWORD)b[1] << 8 : 0) | (n > 2 ? (DWORD)b[2] << 16 : 0);
      failed += midiOutShortMsg(out, msg) != 0;
    }
  }
  if (interrupted) {
    allNotesOff(out);
  } else {
    // The last notes' release.
    for (int i = 0; i < 10 && !interrupted; ++i) std::this_thread::sleep_for(kProgressEvery);
  }
  double played = std::chrono::duration<double>(Clock::now() - start).count();
  progress(clock(std::min(played, length)) + " / " + clock(length) + "  done");
  endProgress();
  midiOutClose(out);
  if (interrupted) printf("stopped: every note ended, device closed\n");
  if (timing) writeTiming(timing, song, sent);
  if (failed) fprintf(stderr, "kvplay: the device refused %d messages\n", failed);
  return failed ? 1 : 0;
}

// Why the wave device did not open. The device refuses a format it does not
// play at once; without the product's instance window its host is not
// started and the channel is refused, which the open answers as
// MMSYSERR_ALLOCATED, as it does while another program holds the device.
std::string waveOpenFailure(MMRESULT rc, const SF_INFO& info) {
  char text[256];
  if (rc == WAVERR_BADFORMAT) {
    snprintf(text, sizeof text, "the device does not take this format (%d Hz, %d channels, 16 bits)", info.samplerate,
             info.channels);
  } else if (rc == MMSYSERR_ALLOCATED && !FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) {
    snprintf(text, sizeof text,
             "the product's instance window is not open, and without it the device starts no host "
             "(KVTSK16.EXE /Instance opens it)");
  } else if (waveOutGetErrorTextA(rc, text, sizeof text) != 0) {
    snprintf(text, sizeof text, "the device refused the open");
  }
  return text;
}

int playWave(const char* path, UINT port) {
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (!file) {
    fprintf(stderr, "kvplay: cannot read %s: %s\n", path, sf_strerror(nullptr));
    return 1;
  }
  if (info.channels < 1 || info.channels > 2) {
    fprintf(stderr, "kvplay: %s has %d channels; the wave device takes 1 or 2\n", path, info.channels);
    sf_close(file);
    return 1;
  }
  WAVEFORMATEX wf;
  memset(&wf, 0, sizeof wf);
  wf.wFormatTag = WAVE_FORMAT_PCM;
  wf.nChannels = (WORD)info.channels;
  wf.nSamplesPerSec = (DWORD)info.samplerate;
  wf.wBitsPerSample = 16;
  wf.nBlockAlign = (WORD)(2 * info.channels);
  wf.nAvgBytesPerSec = wf.nSamplesPerSec * wf.nBlockAlign;
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HWAVEOUT out;
  MMRESULT rc = waveOutOpen(&out, port, &wf, (DWORD_PTR)done, 0, CALLBACK_EVENT);
  if (rc != 0) {
    fprintf(stderr, "kvplay: cannot open wave output device %u (error %u): %s\n", port, rc,
            waveOpenFailure(rc, info).c_str());
    sf_close(file);
    CloseHandle(done);
    return 1;
  }
  double length = (double)info.frames / info.samplerate;
  printf("playing %s (%d Hz, %d channels, %s) on wave output device %u\n", path, info.samplerate, info.channels,
         clock(length).c_str(), port);
  fflush(stdout);
  // Four buffers of 100 ms each keep the device fed.
  const size_t frames = (size_t)info.samplerate / 10;
  std::vector<std::vector<short>> data(4, std::vector<short>(frames * (size_t)info.channels));
  WAVEHDR hdr[4];
  memset(hdr, 0, sizeof hdr);
  sf_count_t sent = 0;
  bool ended = false;
  // The device hands a buffer back once it is in the host's ring, ahead of
  // the host: two buffers of silence after the file let the host play its end.
  int silentLeft = 2;
  auto feed = [&](int i) {
    sf_count_t n = sf_readf_short(file, data[i].data(), (sf_count_t)frames);
    if (n <= 0 && silentLeft > 0) {
      --silentLeft;
      std::fill(data[i].begin(), data[i].end(), (short)0);
      n = (sf_count_t)frames;
    }
    if (n <= 0) {
      ended = true;
      return false;
    }
    hdr[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
    hdr[i].dwBufferLength = (DWORD)(n * info.channels * 2);
    hdr[i].dwFlags &= WHDR_PREPARED;
    sent += n;
    return waveOutWrite(out, &hdr[i], sizeof hdr[i]) == 0;
  };
  for (int i = 0; i < 4; ++i) {
    hdr[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
    hdr[i].dwBufferLength = (DWORD)(data[i].size() * 2);
    waveOutPrepareHeader(out, &hdr[i], sizeof hdr[i]);
    hdr[i].dwFlags |= WHDR_DONE;
  }
  auto start = Clock::now();
  for (;;) {
    bool busy = false;
    for (int i = 0; i < 4; ++i) {
      if (!headerDone(hdr[i])) {
        busy = true;
        continue;
      }
      if (!ended && !interrupted && feed(i)) busy = true;
    }
    if (!busy || interrupted) break;
    WaitForSingleObject(done, 100);
    double t = std::chrono::duration<double>(Clock::now() - start).count();
    char line[96];
    snprintf(line, sizeof line, "%s / %s  %3d%%", clock(std::min(t, length)).c_str(), clock(length).c_str(),
             length > 0 ? (int)(100 * std::min(t / length, 1.0)) : 100);
    progress(line);
  }
  if (interrupted) waveOutReset(out);
  for (int i = 0; i < 4; ++i) waveOutUnprepareHeader(out, &hdr[i], sizeof hdr[i]);
  endProgress();
  waveOutClose(out);
  sf_close(file);
  CloseHandle(done);
  if (interrupted) printf("stopped: device closed\n");
  return 0;
}

bool endsWith(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  return strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  UINT port = 0;
  const char* file = nullptr;
  const char* timing = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--list") == 0) return listDevices();
    if (strcmp(argv[i], "--timing") == 0 && i + 1 < argc) {
      timing = argv[++i];
    } else if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end;
      port = (UINT)strtoul(argv[++i], &end, 10);
      if (*end) {
        usage();
        return 2;
      }
    } else if (strcmp(argv[i], "--help") == 0 || argv[i][0] == '-' || file) {
      usage();
      return 2;
    } else {
      file = argv[i];
    }
  }
  if (!file) {
    usage();
    return 2;
  }
  showProgress = isatty(1);
  // Messages go out on time also on a busy machine.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  signal(SIGINT, onInterrupt);
  signal(SIGTERM, onInterrupt);
  if (endsWith(file, ".wav")) return playWave(file, port);
  return playMidi(file, port, timing);
}
