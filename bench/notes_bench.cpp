// Notes lost between the ring and the synthesizer, counted at the synthesizer's
// seam: the note-ons sent through the device against those the host's record
// says reached the synthesizer. Three pieces that have lost notes to a host
// that judged itself behind: the start of a General MIDI file (a reset, a
// program and controllers on every channel, then a chord at once), a dense
// piano piece, and a drum track that changes its kit every bar. Each is played
// several times while both cores are kept busy.
//
//   notes_bench [PLAYS [HOST.EXE]]
//
// HOST.EXE: another build's host to measure against the same pieces (the
// baseline); by default this build's. A host whose record does not count the
// note-ons it played is taken at its own count of notes not played.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "bench/benchmachine.h"
#include "hostlink/shared.h"
#include "kv/plat.h"
#include "kvplatform.h"

namespace {

DeviceMessageFn modMessage;
std::string installDir;

struct Event {
  int ms;  // from the piece's start
  std::vector<BYTE> bytes;
};
typedef std::vector<Event> Piece;

void add(Piece& p, int ms, std::vector<BYTE> bytes) { p.push_back({ms, std::move(bytes)}); }

Piece generalMidiStart() {
  Piece p;
  add(p, 0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  static const BYTE programs[16] = {0, 48, 73, 56, 32, 24, 40, 61, 68, 0, 11, 19, 52, 71, 46, 4};
  for (BYTE ch = 0; ch < 16; ++ch) {
    add(p, 0, {(BYTE)(0xC0 | ch), programs[ch]});
    add(p, 0, {(BYTE)(0xB0 | ch), 7, 100});
    add(p, 0, {(BYTE)(0xB0 | ch), 10, (BYTE)(ch * 8)});
    add(p, 0, {(BYTE)(0xB0 | ch), 91, 40});
  }
  for (BYTE ch = 0; ch < 16; ++ch) add(p, 0, {(BYTE)(0x90 | ch), (BYTE)(ch == 9 ? 36 : 48 + ch * 2), 90});
  for (BYTE ch = 0; ch < 16; ++ch) add(p, 600, {(BYTE)(0x80 | ch), (BYTE)(ch == 9 ? 36 : 48 + ch * 2), 0});
  for (int i = 0; i < 12; ++i) {
    add(p, 600 + i * 100, {0x90, (BYTE)(60 + i), 80});
    add(p, 690 + i * 100, {0x80, (BYTE)(60 + i), 0});
  }
  return p;
}

Piece densePiano() {
  Piece p;
  add(p, 0, {0xC0, 0});
  for (int i = 0; i < 300; ++i) {
    int ms = i * 10;
    BYTE root = (BYTE)(36 + (i * 7) % 36);
    for (BYTE k : {root, (BYTE)(root + 4), (BYTE)(root + 7), (BYTE)(root + 12)}) {
      add(p, ms, {0x90, k, (BYTE)(50 + i % 60)});
      add(p, ms + 80, {0x80, k, 0});
    }
  }
  return p;
}

Piece drumTrack() {
  Piece p;
  static const BYTE kits[4] = {0, 16, 24, 40};
  for (int bar = 0; bar < 8; ++bar) {
    int ms = bar * 400;
    add(p, ms, {0xC9, kits[bar % 4]});
    for (int beat = 0; beat < 8; ++beat) {
      int at = ms + beat * 50;
      add(p, at, {0x99, 42, 90});
      if (beat % 4 == 0) add(p, at, {0x99, 36, 120});
      if (beat % 4 == 2) add(p, at, {0x99, 38, 110});
      if (beat == 0) add(p, at, {0x99, 49, 100});
    }
  }
  return p;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The number in front of the record's note line that ends in `what`; -1 without one.
long long recordCount(const std::string& text, const std::string& what) {
  size_t at = text.find(" " + what + "\n");
  if (at == std::string::npos) return -1;
  size_t line = text.rfind("\n# ", at);
  return atoll(text.c_str() + (line == std::string::npos ? 2 : line + 3));
}

bool isNoteOn(const std::vector<BYTE>& b) { return b.size() == 3 && (b[0] & 0xF0) == 0x90 && b[2] != 0; }

// Plays the piece in real time; the note-ons lost at the synthesizer's seam,
// or -1 when the device could not be played.
long long play(const Piece& piece) {
  MIDIOPENDESC desc = {};
  if (modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0) != MMSYSERR_NOERROR) return -1;
  DWORD hostPid = 0;
  GetWindowThreadProcessId(FindWindowA(KV_HOST_WINDOW_CLASS, nullptr), &hostPid);
  auto start = std::chrono::steady_clock::now();
  long long sent = 0;
  for (const Event& e : piece) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(e.ms));
    DWORD msg = e.bytes[0] | (DWORD)e.bytes[1] << 8 | (e.bytes.size() > 2 ? (DWORD)e.bytes[2] << 16 : 0);
    if (e.bytes[0] == 0xF0) {
      MIDIHDR hdr = {};
      hdr.lpData = reinterpret_cast<LPSTR>(const_cast<BYTE*>(e.bytes.data()));
      hdr.dwBufferLength = hdr.dwBytesRecorded = (DWORD)e.bytes.size();
      hdr.dwFlags = MHDR_PREPARED;
      modMessage(0, MODM_LONGDATA, 0, (DWORD_PTR)&hdr, sizeof hdr);
    } else {
      modMessage(0, MODM_DATA, 0, msg, 0);
    }
    if (isNoteOn(e.bytes)) ++sent;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // a host that cuts at close loses nothing here
  modMessage(0, MODM_CLOSE, 0, 0, 0);
  // The record is complete once the host has ended.
  while (hostPid && kill((pid_t)hostPid, 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string text = readFile(installDir + "/NOTES.TXT");
  long long played = recordCount(text, "note-ons played");
  if (played >= 0) return sent - played;
  long long notPlayed = recordCount(text, "messages not played: the synthesizer fell behind");
  return notPlayed > 0 ? notPlayed : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int plays = argc > 1 ? atoi(argv[1]) : 20;
  std::string buildDir = benchBuildDir(argv[0]);
  std::string root = benchMachine(buildDir);
  if (argc > 2 && !CopyFileA(argv[2], "C:\\KV\\KVMIDI16.EXE", FALSE)) root.clear();
  installDir = root + "/drive_c/KV";
  auto setting = [](const char* key, const char* value) {
    return WritePrivateProfileStringA("Host", key, value, "C:\\KV\\KVHOST.INI") != FALSE;
  };
  if (root.empty() || !setting("MidiRecord", "NOTES") || !setting("SoundServer", "none") ||
      !setting("SoundFont", "/usr/share/sounds/sf2/TimGM6mb.sf2")) {
    fprintf(stderr, "notes_bench: cannot install the host (error %u)\n", GetLastError());
    return 1;
  }
  KvModule module;
  loadKvModule((buildDir + "/KVDRVR32.DLL").c_str(), &module);
  modMessage = module.modMessage;
  if (!modMessage) return 1;

  // Both cores busy, as during a parallel build.
  std::vector<pid_t> busy;
  for (int i = 0; i < 2; ++i) {
    pid_t pid = fork();
    if (pid == 0)
      for (volatile unsigned long n = 0;; ++n) {
      }
    busy.push_back(pid);
  }
  struct Row {
    const char* name;
    Piece piece;
  } rows[] = {{"General MIDI start", generalMidiStart()}, {"dense piano", densePiano()}, {"drum track", drumTrack()}};
  printf("note-ons lost at the synthesizer's seam, %d plays each, both cores busy\n", plays);
  printf("  %-20s %8s %8s %8s %8s\n", "piece", "notes", "lost", "worst", "plays");
  int rc = 0;
  for (const Row& r : rows) {
    long long notes = 0, lost = 0, worst = 0;
    int played = 0;
    for (const Event& e : r.piece) notes += isNoteOn(e.bytes);
    for (int i = 0; i < plays; ++i) {
      long long l = play(r.piece);
      if (l < 0) {
        rc = 1;
        continue;
      }
      ++played;
      lost += l;
      if (l > worst) worst = l;
    }
    printf("  %-20s %8lld %8lld %8lld %8d\n", r.name, notes * played, lost, worst, played);
  }
  for (pid_t pid : busy) kill(pid, SIGKILL);
  for (pid_t pid : busy) waitpid(pid, nullptr, 0);
  std::string cleanup = "rm -rf " + root;
  return system(cleanup.c_str()) == 0 ? rc : 1;
}
