// KVTSK16.EXE (KVTSK64.EXE in the 64-bit build), the synthesizer host, started
// by the driver as its copies KVMIDI16.EXE and KVWAVE16.EXE with the command
// line
//   HOST VERB MODULE
// where VERB is "/OpenKvMidiOut$" or "/OpenKvWaveOut$" and MODULE the path of
// the driver module whose shared channel blocks it serves. The driver quotes
// nothing, so HOST may hold blanks: the module is the last token and the verb
// the one before it. Started by the user as "KVTSK16.EXE /Instance" it keeps
// the product's instance window, without which the driver starts no wave host.
//
// Its threads, and what each may wait on (the real-time ones: nothing but
// their own clock and the sound output):
//
//   main      normal priority. Waits on its message queue (the driver's
//             commands). Takes the MIDI server's ring lock for the close
//             command. I/O: loads the module and the synthesizer, creates the
//             records, queues their first and last lines (waiting for room).
//   consumer  (MIDI) time-critical. Sleeps 0.5 to 5 ms between looks at the
//             ring. Takes the ring lock for each look, and the renderer's lock
//             to collect its notes and to wake it. No I/O: it queues the
//             bytes and lines of the records and never waits for room.
//   render    (MIDI) time-critical while on time, highest when far behind.
//             Sleeps until the next block is due, or on the renderer's
//             condition while nothing sounds. Takes the renderer's lock to
//             sleep and to say something. I/O: the sound server's writes
//             only; it queues the WAV record and the silence after a rest.
//   play      (wave) time-critical. Sleeps 5 ms steps. No lock. I/O: the sound
//             server's writes only; it queues the WAV record.
//   writer    lowest priority (normal while the main thread waits for it, at
//             a close). Sleeps 10 to 100 ms between rounds. Takes only its own
//             wake lock. I/O: every write of the records; for MIDI, every
//             250 ms, the look at the owner mutex (a named object).
//
// FluidSynth and the sound server's library may run threads of their own.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "hostlink/module.h"
#include "hostlink/protocol.h"
#include "host/claim.h"
#include "host/hold.h"
#include "host/logon.h"
#include "host/midiserver.h"
#include "host/modulecheck.h"
#include "host/say.h"
#include "host/settings.h"
#include "host/waveserver.h"
#include "hostlink/shared.h"
#include "kvplatform.h"

namespace {

// A late host of an earlier open keeps its name until its close is handled,
// which the open waits for: the claim outwaits that.
const DWORD kClaimWaitMs = 3000;

struct Host {
  HostSettings settings;
  UINT uHostMsg = 0;
  DWORD dwMainThread = 0;
  MidiChannel* midi = nullptr;
  SetLongFn setMidiLong = nullptr;
  std::unique_ptr<MidiServer> midiServer;
  WaveChannel* wave = nullptr;
  SetLongFn setWaveLong = nullptr;
  std::unique_ptr<WaveServer> waveServer;
};

Host host;

LRESULT CALLBACK hostWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != host.uHostMsg || host.uHostMsg == 0) return DefWindowProcA(hwnd, msg, wParam, lParam);
  if (wParam == HOSTCMD_MIDI_CLOSE && host.midiServer) {
    if (host.settings.ignoreClose) return 0;
    // The channel is idle before the command returns, and the ring is left
    // alone from then on: an open that takes over a channel whose owner has
    // gone relies on it, and so does the next open after a close.
    host.midiServer->close();
    PostQuitMessage(0);
    return 1;
  }
  if (host.waveServer) {
    switch (wParam) {
      case HOSTCMD_WAVE_CLOSE:
        if (host.settings.ignoreClose) return 0;
        // As for MIDI, the channel is idle before the command returns: an open
        // that takes over a channel whose owner has gone relies on it.
        // A channel that names another host by now is that host's.
        host.waveServer->stop();
        if (host.wave->hwndHost == (DWORD)(ULONG_PTR)hwnd) {
          hostHoldPoint("KVHOST.closing");
          host.setWaveLong(offsetof(WaveChannel, dwStatus), CHANNEL_IDLE);
        }
        PostQuitMessage(0);
        return 1;
      case HOSTCMD_WAVE_GETVOLUME:
        host.setWaveLong(offsetof(WaveChannel, dwVolume), host.waveServer->volume());
        return 1;
      case HOSTCMD_WAVE_SETVOLUME: host.waveServer->setVolume((DWORD)lParam); return 1;
    }
  }
  return 0;
}

LRESULT CALLBACK instanceWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

FARPROC procOf(HMODULE module, const char* name) {
  FARPROC p = GetProcAddress(module, name);
  if (!p) hostSay("the module exports no %s", name);
  return p;
}

HWND createHostWindow() {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = hostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = KV_HOST_WINDOW_CLASS;
  if (!RegisterClassA(&wc)) return nullptr;
  // Without its message the host could obey no command, not even the close.
  host.uHostMsg = RegisterWindowMessageA(KV_HOST_COMMAND_MESSAGE);
  if (!host.uHostMsg) return nullptr;
  // A hidden top-level window rather than a message-only one, so that tools
  // can find the hosts that run.
  return CreateWindowExA(0, KV_HOST_WINDOW_CLASS, KV_HOST_NAME, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                         wc.hInstance, nullptr);
}

// Stores the status the settings ask for, while the channel still names this
// host; FALSE when the channel is not served.
BOOL answer(const ChannelClaim& ch, DWORD dwSelf) {
  switch (host.settings.answer) {
    case HostSettings::ACCEPT: return acceptChannel(ch, dwSelf);
    case HostSettings::REFUSE: answerChannel(ch, dwSelf, CHANNEL_REFUSED); return FALSE;
    case HostSettings::OTHER: answerChannel(ch, dwSelf, host.settings.otherAnswer); return FALSE;
    case HostSettings::NEVER: Sleep(host.settings.neverLingerMs); return FALSE;
  }
  return FALSE;
}

// A host that comes after another has answered this open, or after the open
// stopped waiting, leaves the channel as it finds it. A late host of an earlier
// open may have come first: the open tells that one to close and frees the
// channel for this host, so a channel named for another host is watched a
// while before this host gives up.
BOOL waitForClaim(const ChannelClaim& ch, DWORD dwSelf, const char* szChannel) {
  if (claimChannel(ch, dwSelf)) return TRUE;
  // Counted from the first look, so that a test holding the host at that look
  // does not use up its wait.
  DWORD dwClaimStart = GetTickCount();
  while (!claimChannel(ch, dwSelf)) {
    if (GetTickCount() - dwClaimStart >= kClaimWaitMs) {
      hostSay("the %s channel is served by another host", szChannel);
      return FALSE;
    }
    Sleep(1);
  }
  return TRUE;
}

void runMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
}

int serveMidi(HMODULE module, HWND hwnd) {
  host.midi = reinterpret_cast<MidiChannel*>(procOf(module, "gkMidiOut"));
  host.setMidiLong = reinterpret_cast<SetLongFn>(reinterpret_cast<void*>(procOf(module, "setgkMidiOutLong")));
  if (!host.midi || !host.setMidiLong) return 1;
  DWORD dwSelf = (DWORD)(ULONG_PTR)hwnd;
  // A slow host: it may come after the open has stopped waiting for it.
  if (host.settings.answerDelayMs) Sleep(host.settings.answerDelayMs);
  // Every end but the close command ends the host too.
  DWORD dwMainThread = host.dwMainThread;
  host.midiServer.reset(new MidiServer(host.midi, host.settings, dwSelf,
                                       [dwMainThread] { PostThreadMessageA(dwMainThread, WM_QUIT, 0, 0); }));
  // The synthesizer takes a while to load: before the claim, which the answer
  // must follow at once.
  host.midiServer->prepare();
  const ChannelClaim ch = {&host.midi->dwStatus, &host.midi->hwndHost};
  // The command message is in the block whenever the block names this host:
  // an open may take a stray acceptance the moment this host is named, and
  // command it at once. It is stored again once named, because an open's
  // clear may come between the first store and the claim.
  host.setMidiLong(offsetof(MidiChannel, uHostMsg), host.uHostMsg);
  if (!waitForClaim(ch, dwSelf, "MIDI")) return 1;
  hostHoldPoint("KVHOST.named");
  host.setMidiLong(offsetof(MidiChannel, uHostMsg), host.uHostMsg);
  // Records are a diagnostic: one that cannot be opened is said, never a
  // reason to refuse the device.
  host.midiServer->open();
  hostHoldPoint("KVHOST.answer");
  if (host.settings.answer != HostSettings::ACCEPT) {
    answer(ch, dwSelf);
    return 0;
  }
  if (!acceptChannel(ch, dwSelf)) {
    hostSay("the MIDI channel was given to another host");
    return 1;
  }
  if (host.settings.crash == HostSettings::CRASH_AFTER_ACCEPT) std::_Exit(3);
  host.midiServer->start();
  hostHoldPoint("KVHOST.serve");
  runMessageLoop();
  host.midiServer->join();
  host.midiServer.reset();
  return 0;
}

int serveWave(HMODULE module, HWND hwnd) {
  host.wave = reinterpret_cast<WaveChannel*>(procOf(module, "gkWaveOut"));
  host.setWaveLong = reinterpret_cast<SetLongFn>(reinterpret_cast<void*>(procOf(module, "setgkWaveOutLong")));
  if (!host.wave || !host.setWaveLong) return 1;
  DWORD dwSelf = (DWORD)(ULONG_PTR)hwnd;
  // As on the MIDI side: a late host of an earlier open, whose opener has
  // gone, never takes the place of the host the current open started.
  const ChannelClaim ch = {&host.wave->dwStatus, &host.wave->hwndHost};
  // As on the MIDI side: the command message before the claim and after it.
  host.setWaveLong(offsetof(WaveChannel, uHostMsg), host.uHostMsg);
  if (!waitForClaim(ch, dwSelf, "wave")) return 1;
  hostHoldPoint("KVHOST.named");
  host.setWaveLong(offsetof(WaveChannel, uHostMsg), host.uHostMsg);
  // A slow host: it may come after the open has stopped waiting for it.
  if (host.settings.answerDelayMs) Sleep(host.settings.answerDelayMs);
  DWORD dwMainThread = host.dwMainThread;
  host.waveServer.reset(new WaveServer(host.wave, host.settings, dwSelf,
                                       [dwMainThread] { PostThreadMessageA(dwMainThread, WM_QUIT, 0, 0); }));
  std::vector<std::string> notes;
  bool started = host.waveServer->start(&notes);
  for (const std::string& n : notes) hostSay("%s", n.c_str());
  hostHoldPoint("KVHOST.answer");
  if (!started) {
    answerChannel(ch, dwSelf, CHANNEL_REFUSED);
    return 1;
  }
  if (!answer(ch, dwSelf)) {
    if (host.settings.answer == HostSettings::ACCEPT) hostSay("the wave channel was given to another host");
    return host.settings.answer == HostSettings::ACCEPT ? 1 : 0;
  }
  if (host.settings.crash == HostSettings::CRASH_AFTER_ACCEPT) std::_Exit(3);
  hostHoldPoint("KVHOST.serve");
  runMessageLoop();
  host.waveServer.reset();
  return 0;
}

// Keeps the instance window, hidden, until it is closed or the process is
// ended. One a session: a second instance ends at once (the installation
// starts one, and logon starts one again). Started at logon, it also looks
// whether the driver's registration is still whole (host/logon.h).
int keepInstanceWindow(bool atLogon) {
  // Owned while it lives: an instance that has ended leaves it abandoned.
  HANDLE one = CreateMutexA(nullptr, FALSE, KV_INSTANCE_MUTEX);
  if (one && WaitForSingleObject(one, 0) == WAIT_TIMEOUT) {
    hostSayTo(stdout, "the instance window is open already");
    return 0;
  }
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = instanceWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = KV_INSTANCE_WINDOW_CLASS;
  if (!RegisterClassA(&wc)) {
    hostSay("cannot register the instance window's class (error %u)", (unsigned)GetLastError());
    return 1;
  }
  HWND hwnd = CreateWindowExA(0, KV_INSTANCE_WINDOW_CLASS, "Kelvasong", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, nullptr);
  if (!hwnd) {
    hostSay("cannot create the instance window (error %u)", (unsigned)GetLastError());
    return 1;
  }
  hostSayTo(stdout, "instance window open; wave output can start its host");
  if (atLogon) startLogonCheck();
  runMessageLoop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* last = argc >= 2 ? argv[argc - 1] : "";
  const char* verb = argc >= 3 ? argv[argc - 2] : "";
  if (strcmp(last, KV_VERB_INSTANCE) == 0 || strcmp(last, KV_VERB_LOGON) == 0)
    return keepInstanceWindow(strcmp(last, KV_VERB_LOGON) == 0);
  BOOL fMidi = strcmp(verb, KV_VERB_MIDI) == 0;
  BOOL fWave = strcmp(verb, KV_VERB_WAVE) == 0;
  if (!fMidi && !fWave) {
    fprintf(stderr,
            "usage: %s.EXE VERB MODULE\n"
            "       %s.EXE /Instance\n"
            "       %s.EXE /Logon\n"
            "  VERB       /OpenKvMidiOut$ or /OpenKvWaveOut$: serve that channel\n"
            "  MODULE     path of the driver module whose channel to serve\n"
            "  /Instance  keep the instance window that wave output needs, until ended\n"
            "  /Logon     the same, started at logon: also checks the driver's registration\n"
            "             (KVSETUP.EXE /CHECK beside it) and, once, offers its repair\n"
            "The driver starts the host; its settings are in KVHOST.INI in its directory.\n",
            KV_HOST_NAME, KV_HOST_NAME, KV_HOST_NAME);
    return 2;
  }
  // The host serves the device, not the terminal of the client that started
  // it: a Ctrl-C there ends the client, which closes the device, not the host.
  signal(SIGINT, SIG_IGN);
  // The MIDI consumer, the render and play threads and the sound output's
  // stream sleep for a millisecond or two at a time: on Windows a sleep
  // otherwise lasts the system's tick (15.6 ms), and every note would wait
  // for it.
  timeBeginPeriod(1);
  host.settings = loadHostSettings();
  host.dwMainThread = GetCurrentThreadId();
  // The threads that keep time ask for real-time priority; a system that
  // refuses it is said once, here, and in the MIDI record.
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
    std::string line =
        "runs without real-time priority (the system refused it: " + std::to_string((unsigned)GetLastError()) +
        "): a busy machine may hold its sound up";
    hostSay("%s", line.c_str());
    host.settings.said.push_back(line);
  }
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  // A module of the other bitness is refused before it is loaded: a 32-bit
  // host would load the 32-bit module in its place (WOW64 redirects the
  // 64-bit module's path) and serve the wrong channel.
  int bits = moduleFileBits(last);
  if (bits != 0 && bits != hostBits()) {
    hostSay("%s is a %d-bit module; this %d-bit host serves %d-bit modules only", last, bits, hostBits(), hostBits());
    return 1;
  }
  HMODULE module = LoadLibraryA(last);
  if (!module) {
    hostSay("cannot load %s (error %u)", last, (unsigned)GetLastError());
    return 1;
  }
  HWND hwnd = createHostWindow();
  if (!hwnd) {
    hostSay("cannot create the host window (error %u)", (unsigned)GetLastError());
    return 1;
  }
  int rc = fMidi ? serveMidi(module, hwnd) : serveWave(module, hwnd);
  DestroyWindow(hwnd);
  // Done with the channel, served or not: a test stepping the handshake learns
  // here that this host takes no further step.
  hostHoldPoint("KVHOST.end");
  return rc;
}
