// End-to-end demonstration on an installed machine: finds the MIDI and wave
// output devices that the installation registered among every registered
// driver's devices, plays a phrase of notes and a system-exclusive buffer
// through the MIDI device and shows what the synthesizer host received, then
// streams a WAV file through the wave device and checks that the host played
// the same samples. scripts/demo.sh installs the product before and removes it
// after.
#include <math.h>
#include <sndfile.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

const char kMidiName[] = "Kelvasong (NT)";
const char kWaveName[] = "Kelvasong WaveOut (NT)";

// Whether the device has handed the buffer back. The device stores WHDR_DONE
// from its own thread with an interlocked operation; the flags are polled here
// with one too.
bool headerDone(WAVEHDR& h) {
  return (InterlockedOr(reinterpret_cast<volatile LONG*>(&h.dwFlags), 0) & WHDR_DONE) != 0;
}

bool fail(const char* what) {
  fprintf(stderr, "kvdemo: %s (error %u)\n", what, GetLastError());
  return false;
}

// The number of the device named `name`, as the multimedia layer numbers the
// devices of every registered driver; -1 when there is none.
int findMidiDevice(const char* name) {
  UINT count = midiOutGetNumDevs();
  printf("MIDI output devices: %u\n", count);
  int found = -1;
  for (UINT i = 0; i < count; ++i) {
    MIDIOUTCAPSA caps;
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) != 0) continue;
    printf("  %u: %s\n", i, caps.szPname);
    if (found < 0 && strcmp(caps.szPname, name) == 0) found = (int)i;
  }
  return found;
}

int findWaveDevice(const char* name) {
  UINT count = waveOutGetNumDevs();
  printf("wave output devices: %u\n", count);
  int found = -1;
  for (UINT i = 0; i < count; ++i) {
    WAVEOUTCAPSA caps;
    if (waveOutGetDevCapsA(i, &caps, sizeof caps) != 0) continue;
    printf("  %u: %s\n", i, caps.szPname);
    if (found < 0 && strcmp(caps.szPname, name) == 0) found = (int)i;
  }
  return found;
}

std::string readText(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

bool playMidi(UINT device) {
  printf("\nplaying a phrase and a system-exclusive buffer through MIDI output device %u\n", device);
  HMIDIOUT out;
  if (midiOutOpen(&out, device, 0, 0, CALLBACK_NULL) != 0) return fail("cannot open the MIDI device");
  midiOutShortMsg(out, 0x0000C0 | (0 << 8));  // piano
  const BYTE phrase[] = {60, 62, 64, 65, 67, 65, 64, 62, 60};
  for (BYTE key : phrase) {
    midiOutShortMsg(out, 0x640090u | key << 8);
    Sleep(60);
    midiOutShortMsg(out, 0x000000u | key);  // note off as note on with velocity 0, by running status
  }
  BYTE sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  MIDIHDR hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.lpData = reinterpret_cast<LPSTR>(sysex);
  hdr.dwBufferLength = sizeof sysex;
  midiOutPrepareHeader(out, &hdr, sizeof hdr);
  MMRESULT sent = midiOutLongMsg(out, &hdr, sizeof hdr);
  midiOutUnprepareHeader(out, &hdr, sizeof hdr);
  if (sent != 0 || midiOutClose(out) != 0) return fail("the MIDI device failed");
  std::string root = platMachineRoot();
  printf("the host received (%s/drive_c/KV/KVMIDIIN.TXT):\n%s", root.c_str(),
         readText(root + "/drive_c/KV/KVMIDIIN.TXT").c_str());
  return true;
}

// One second of a two-tone chord in 16-bit stereo, written as a WAV file.
bool writeInputWav(const std::string& path) {
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = 22050;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return fail("cannot write the input WAV");
  std::vector<short> frames(22050 * 2);
  for (size_t i = 0; i < 22050; ++i) {
    frames[2 * i] = (short)(6000 * sin(2 * M_PI * 440 * (double)i / 22050) + 1);
    frames[2 * i + 1] = (short)(6000 * sin(2 * M_PI * 660 * (double)i / 22050) + 1);
  }
  sf_writef_short(f, frames.data(), 22050);
  sf_close(f);
  return true;
}

std::vector<short> readWav(const std::string& path, SF_INFO& info) {
  memset(&info, 0, sizeof info);
  std::vector<short> frames;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return frames;
  frames.resize((size_t)info.frames * (size_t)info.channels);
  sf_readf_short(f, frames.data(), info.frames);
  sf_close(f);
  return frames;
}

bool streamWave(UINT device, const std::string& input) {
  SF_INFO info;
  std::vector<short> samples = readWav(input, info);
  if (samples.empty()) return fail("cannot read the input WAV");
  // Silence after the sound: once it is handed over, the host has played the sound.
  std::vector<short> stream = samples;
  stream.resize(stream.size() + (size_t)info.samplerate / 5 * (size_t)info.channels, 0);

  // The product's resident instance window must exist before wave output starts.
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION instance;
  char line[] = "C:\\KV\\KVTSK16.EXE /Instance";
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, "C:\\KV", &si, &instance))
    return fail("cannot start the instance window");
  while (!FindWindowA(KV_INSTANCE_WINDOW_CLASS, nullptr)) Sleep(1);

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
  if (waveOutOpen(&out, device, &wf, (DWORD_PTR)done, 0, CALLBACK_EVENT) != 0)
    return fail("cannot open the wave device");
  printf("\nstreaming %s through wave output device %u, two buffers of 100 ms\n", input.c_str(), device);
  const size_t chunk = (size_t)info.samplerate / 10 * (size_t)info.channels;
  WAVEHDR hdr[2];
  memset(hdr, 0, sizeof hdr);
  size_t next = 0;
  auto feed = [&](WAVEHDR& h) {
    size_t n = std::min(chunk, stream.size() - next);
    h.lpData = reinterpret_cast<LPSTR>(&stream[next]);
    h.dwBufferLength = (DWORD)(n * 2);
    h.dwFlags &= WHDR_PREPARED;
    next += n;
    waveOutWrite(out, &h, sizeof h);
  };
  for (WAVEHDR& h : hdr) {
    h.lpData = reinterpret_cast<LPSTR>(stream.data());
    h.dwBufferLength = (DWORD)(chunk * 2);
    waveOutPrepareHeader(out, &h, sizeof h);
    feed(h);
  }
  while (next < stream.size() || !headerDone(hdr[0]) || !headerDone(hdr[1])) {
    if (WaitForSingleObject(done, 2000) != WAIT_OBJECT_0) return fail("a buffer did not come back");
    for (WAVEHDR& h : hdr)
      if (headerDone(h) && next < stream.size()) feed(h);
  }
  for (WAVEHDR& h : hdr) waveOutUnprepareHeader(out, &h, sizeof h);
  waveOutClose(out);
  TerminateProcess(instance.hProcess, 0);
  CloseHandle(instance.hThread);
  CloseHandle(instance.hProcess);

  std::string root = platMachineRoot();
  std::string played = root + "/drive_c/KV/KVWAVEOUT.WAV";
  SF_INFO playedInfo;
  std::vector<short> heard = readWav(played, playedInfo);
  size_t start = 0;
  while (start < heard.size() && heard[start] == 0) ++start;
  bool same =
      start + samples.size() <= heard.size() && std::equal(samples.begin(), samples.end(), heard.begin() + (long)start);
  printf("the host played %s: %ld frames at %d Hz, the input's %zu frames from frame %zu on %s\n", played.c_str(),
         (long)playedInfo.frames, playedInfo.samplerate, samples.size() / (size_t)info.channels,
         start / (size_t)info.channels, same ? "sample for sample" : "DIFFER");
  printf("%s", readText(root + "/drive_c/KV/KVWAVEOUT.TXT").c_str());
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  printf("machine root %s\n", platMachineRoot());
  std::string input = argc > 1 ? argv[1] : std::string(platMachineRoot()) + "/chord.wav";
  int midi = findMidiDevice(kMidiName);
  int wave = findWaveDevice(kWaveName);
  if (midi < 0 || wave < 0) {
    fprintf(stderr, "kvdemo: the product's devices are not registered (install it with KVSETUP.EXE /INSTALL)\n");
    return 1;
  }
  // What the hosts received is shown from their records, which they keep only
  // when told to.
  if (!WritePrivateProfileStringA("Host", "MidiRecord", "KVMIDIIN", "C:\\KV\\KVHOST.INI") ||
      !WritePrivateProfileStringA("Host", "WaveRecord", "KVWAVEOUT", "C:\\KV\\KVHOST.INI"))
    return fail("cannot turn the hosts' records on in C:\\KV\\KVHOST.INI") ? 0 : 1;
  if (!playMidi((UINT)midi) || (argc <= 1 && !writeInputWav(input)) || !streamWave((UINT)wave, input)) return 1;
  printf("\nplayed through both devices\n");
  return 0;
}
