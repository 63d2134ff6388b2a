// The multimedia layer with the test driver module: DriverCallback's kinds,
// DefDriverProc, driver loading and unloading, MIDI and wave output through
// device handles, and the header preparation the layer does itself.
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/protocol.h"
#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;
using kvtest::MachineTest;

namespace {

struct Note {
  HDRVR device;
  UINT msg;
  DWORD_PTR user;
  DWORD_PTR p1;
  DWORD_PTR p2;
  DWORD thread;
};

std::vector<Note> notes;

void CALLBACK noteCallback(HDRVR device, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
  notes.push_back(Note{device, msg, user, p1, p2, GetCurrentThreadId()});
}

std::string testDriverPath() { return kvtest::buildDir() + "/KVTESTDRV.DLL"; }

LRESULT CALLBACK plainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND createPlainWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = plainProc;
  wc.lpszClassName = "KvTestMmClient";
  RegisterClassA(&wc);
  return CreateWindowExA(0, "KvTestMmClient", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

// Every call the test driver got, as it recorded them.
std::vector<std::string> driverLog(const std::string& root) {
  std::vector<std::string> lines;
  std::ifstream in(root + "/testdriver.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == line) return i;
  return (size_t)-1;
}

size_t countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

struct Hook {
  DWORD_PTR id;
  HDRVR hdrvr;
  UINT msg;
  LPARAM lp1;
  LPARAM lp2;
};
Hook hooked;

LRESULT hookDefDriverProc(DWORD_PTR id, HDRVR hdrvr, UINT msg, LPARAM lp1, LPARAM lp2) {
  hooked = Hook{id, hdrvr, msg, lp1, lp2};
  return 0x55AA;
}

// Each test starts with the test module freshly loaded on first use.
class MmTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    notes.clear();
    ASSERT_TRUE(platMmUseDriver("midi", testDriverPath().c_str()));
    ASSERT_TRUE(platMmUseDriver("wave", testDriverPath().c_str()));
  }
  void TearDown() override {
    platMmUseDriver("midi", nullptr);
    platMmUseDriver("wave", nullptr);
    MachineTest::TearDown();
  }
};

}  // namespace

TEST_F(MachineTest, DriverCallbackDeliversToEachKind) {
  notes.clear();
  HDRVR dev = (HDRVR)(ULONG_PTR)0x1234;
  EXPECT_TRUE(DriverCallback((DWORD_PTR)noteCallback, DCB_FUNCTION | DCB_NOSWITCH, dev, MOM_DONE, 0x11, 0x22, 0x33));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].device, dev);
  EXPECT_EQ(notes[0].msg, (UINT)MOM_DONE);
  EXPECT_EQ(notes[0].user, 0x11u);
  EXPECT_EQ(notes[0].p1, 0x22u);
  EXPECT_EQ(notes[0].p2, 0x33u);
  EXPECT_EQ(notes[0].thread, GetCurrentThreadId());

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(DriverCallback((DWORD_PTR)event, DCB_EVENT, dev, WOM_DONE, 0, 0, 0));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);

  HWND hwnd = createPlainWindow();
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(DriverCallback((DWORD_PTR)hwnd, DCB_WINDOW, dev, MOM_OPEN, 0x11, 0x22, 0x33));
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)MM_MOM_OPEN);
  EXPECT_EQ(m.wParam, (WPARAM)dev);
  EXPECT_EQ(m.lParam, 0x22);

  DWORD_PTR thread = GetCurrentThreadId();
  EXPECT_TRUE(DriverCallback(thread, DCB_TASK | DCB_NOSWITCH, dev, WOM_CLOSE, 0x11, 0x44, 0));
  ASSERT_TRUE(PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)MM_WOM_CLOSE);
  EXPECT_EQ(m.wParam, (WPARAM)dev);
  EXPECT_EQ(m.lParam, 0x44);

  // Nothing delivered, nothing claimed.
  EXPECT_FALSE(DriverCallback((DWORD_PTR)noteCallback, DCB_NULL, dev, MOM_DONE, 0, 0, 0));
  EXPECT_FALSE(DriverCallback(0, DCB_FUNCTION, dev, MOM_DONE, 0, 0, 0));
  EXPECT_FALSE(DriverCallback((DWORD_PTR)noteCallback, 4, dev, MOM_DONE, 0, 0, 0));
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(DriverCallback((DWORD_PTR)hwnd, DCB_WINDOW, dev, MOM_OPEN, 0, 0, 0));
  EXPECT_EQ(notes.size(), 1u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MachineTest, DefDriverProcAnswersAndItsHookSeesAllArguments) {
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_LOAD, 0, 0), 1);
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_FREE, 0, 0), 1);
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_QUERYCONFIGURE, 0, 0), 0);
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_USER, 0, 0), 0);

  HMODULE module = LoadLibraryA(testDriverPath().c_str());
  ASSERT_NE(module, nullptr);
  auto proc = reinterpret_cast<LRESULT(CALLBACK*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM)>(
      reinterpret_cast<void*>(GetProcAddress(module, "DriverProc")));
  ASSERT_NE(proc, nullptr);
  platSetDefDriverProcHook(hookDefDriverProc);
  EXPECT_EQ(proc(0x11, (HDRVR)(ULONG_PTR)0x22, DRV_USER, -3, 0x44), 0x55AA);
  platSetDefDriverProcHook(nullptr);
  EXPECT_EQ(hooked.id, 0x11u);
  EXPECT_EQ(hooked.hdrvr, (HDRVR)(ULONG_PTR)0x22);
  EXPECT_EQ(hooked.msg, (UINT)DRV_USER);
  EXPECT_EQ(hooked.lp1, -3);
  EXPECT_EQ(hooked.lp2, 0x44);
  EXPECT_EQ(proc(0, nullptr, DRV_USER, 0, 0), 0);
  FreeLibrary(module);
}

TEST_F(MmTest, MidiClientOpensSendsAndClosesThroughTheDriver) {
  EXPECT_EQ(midiOutGetNumDevs(), 1u);
  MIDIOUTCAPSA capsA;
  ASSERT_EQ(midiOutGetDevCapsA(0, &capsA, sizeof capsA), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_STREQ(capsA.szPname, "KV Test MIDI");
  EXPECT_EQ(capsA.wMid, 0xF001);
  MIDIOUTCAPSW capsW;
  ASSERT_EQ(midiOutGetDevCapsW(0, &capsW, sizeof capsW), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(capsW.szPname[0], (WCHAR)'K');
  EXPECT_EQ(capsW.wTechnology, MOD_SYNTH);
  EXPECT_EQ(capsA.wTechnology, capsW.wTechnology);
  EXPECT_EQ(capsA.wVoices, capsW.wVoices);
  EXPECT_EQ(capsA.dwSupport, capsW.dwSupport);
  EXPECT_EQ(midiOutGetDevCapsA(1, &capsA, sizeof capsA), (MMRESULT)MMSYSERR_BADDEVICEID);

  HMIDIOUT h = (HMIDIOUT)(ULONG_PTR)1;
  EXPECT_EQ(midiOutOpen(&h, 1, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
  ASSERT_EQ(midiOutOpen(&h, 0, (DWORD_PTR)noteCallback, 0xABCD, CALLBACK_FUNCTION), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].msg, (UINT)MOM_OPEN);
  EXPECT_EQ(notes[0].device, (HDRVR)h);
  EXPECT_EQ(notes[0].user, 0xABCDu);
  EXPECT_EQ(notes[0].thread, GetCurrentThreadId());
  HMIDIOUT second = nullptr;
  EXPECT_EQ(midiOutOpen(&second, 0, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_ALLOCATED);
  EXPECT_EQ(second, nullptr);

  EXPECT_EQ(midiOutShortMsg(h, 0x403C90), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutReset(h), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutClose(h), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].msg, (UINT)MOM_CLOSE);
  EXPECT_EQ(notes[1].device, (HDRVR)h);
  EXPECT_EQ(midiOutShortMsg(h, 0x403C90), (MMRESULT)MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutClose(h), (MMRESULT)MMSYSERR_INVALHANDLE);

  // Loaded the platform's way, once; the driver's own instance value comes
  // back with every call after the open.
  std::vector<std::string> log = driverLog(root);
  size_t attach = indexOf(log, "attach"), load = indexOf(log, "drv 0 1 0 0"), enable = indexOf(log, "drv 0 2 0 0"),
         open = indexOf(log, "drv 0 3 0 0");
  ASSERT_NE(open, (size_t)-1);
  EXPECT_LT(attach, load);
  EXPECT_LT(load, enable);
  EXPECT_LT(enable, open);
  EXPECT_EQ(countPrefix(log, "attach"), 1u);
  EXPECT_NE(indexOf(log, "mod 0 7 7e570001 403c90 0"), (size_t)-1);
  EXPECT_NE(indexOf(log, "mod 0 9 7e570001 0 0"), (size_t)-1);
  EXPECT_NE(indexOf(log, "mod 0 4 7e570001 0 0"), (size_t)-1);
  EXPECT_EQ(countPrefix(log, "mod 0 3 "), 2u);
}

TEST_F(MmTest, MidiNotificationsReachWindowsAndThreads) {
  HWND hwnd = createPlainWindow();
  ASSERT_NE(hwnd, nullptr);
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, 0, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW), (MMRESULT)MMSYSERR_NOERROR);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)MM_MOM_OPEN);
  EXPECT_EQ(m.wParam, (WPARAM)h);
  EXPECT_EQ(midiOutClose(h), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_TRUE(PeekMessageA(&m, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)MM_MOM_CLOSE);
  EXPECT_EQ(m.wParam, (WPARAM)h);

  ASSERT_EQ(midiOutOpen(&h, 0, GetCurrentThreadId(), 0, CALLBACK_THREAD), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_TRUE(PeekMessageA(&m, (HWND)(LONG_PTR)-1, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, (UINT)MM_MOM_OPEN);
  EXPECT_EQ(m.wParam, (WPARAM)h);
  EXPECT_EQ(midiOutClose(h), (MMRESULT)MMSYSERR_NOERROR);

  // A window callback that names no window is refused before the driver sees it.
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(midiOutOpen(&h, 0, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW), (MMRESULT)MMSYSERR_INVALPARAM);
  platFaultInject("midiOutOpen", 1, 1);
  EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_NOMEM);
  EXPECT_EQ(countPrefix(driverLog(root), "mod 0 3 "), 2u);
}

TEST_F(MmTest, LayerPreparesHeadersTheDriverLeavesToIt) {
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, 0, (DWORD_PTR)noteCallback, 0, CALLBACK_FUNCTION), (MMRESULT)MMSYSERR_NOERROR);
  char sysex[] = {(char)0xF0, 0x7E, 0x7F, 0x09, 0x01, (char)0xF7};
  MIDIHDR hdr = {};
  hdr.lpData = sysex;
  hdr.dwBufferLength = sizeof sysex;
  EXPECT_EQ(midiOutLongMsg(h, &hdr, sizeof hdr), (MMRESULT)MIDIERR_UNPREPARED);
  EXPECT_EQ(midiOutPrepareHeader(h, &hdr, offsetof(MIDIHDR, dwOffset) - 1), (MMRESULT)MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiOutPrepareHeader((HMIDIOUT)(ULONG_PTR)0x4444, &hdr, sizeof hdr), (MMRESULT)MMSYSERR_INVALHANDLE);
  EXPECT_EQ(hdr.dwFlags, 0u);
  ASSERT_EQ(midiOutPrepareHeader(h, &hdr, sizeof hdr), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(hdr.dwFlags, MHDR_PREPARED);
  notes.clear();
  EXPECT_EQ(midiOutLongMsg(h, &hdr, sizeof hdr), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(hdr.dwFlags, MHDR_PREPARED | MHDR_DONE);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].msg, (UINT)MOM_DONE);
  EXPECT_EQ(notes[0].p1, (DWORD_PTR)&hdr);

  hdr.dwFlags |= MHDR_INQUEUE;
  EXPECT_EQ(midiOutUnprepareHeader(h, &hdr, sizeof hdr), (MMRESULT)MIDIERR_STILLPLAYING);
  EXPECT_TRUE(hdr.dwFlags & MHDR_PREPARED);
  hdr.dwFlags &= ~MHDR_INQUEUE;
  EXPECT_EQ(midiOutUnprepareHeader(h, &hdr, sizeof hdr), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(hdr.dwFlags, MHDR_DONE);
  // An unprepared header needs nothing from the driver.
  size_t asked = countPrefix(driverLog(root), "mod 0 6 ");
  EXPECT_EQ(midiOutUnprepareHeader(h, &hdr, sizeof hdr), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(countPrefix(driverLog(root), "mod 0 6 "), asked);
  EXPECT_EQ(countPrefix(driverLog(root), "mod 0 5 "), 1u);
  EXPECT_EQ(midiOutClose(h), (MMRESULT)MMSYSERR_NOERROR);

  WAVEFORMATEX fmt = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  HWAVEOUT w = nullptr;
  ASSERT_EQ(waveOutOpen(&w, 0, &fmt, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_NOERROR);
  char pcm[16] = {};
  WAVEHDR wh = {};
  wh.lpData = pcm;
  wh.dwBufferLength = sizeof pcm;
  wh.dwFlags = WHDR_DONE;
  EXPECT_EQ(waveOutPrepareHeader(w, &wh, sizeof wh - 1), (MMRESULT)MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutWrite(w, &wh, sizeof wh), (MMRESULT)WAVERR_UNPREPARED);
  ASSERT_EQ(waveOutPrepareHeader(w, &wh, sizeof wh), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(wh.dwFlags, WHDR_PREPARED);
  ASSERT_EQ(waveOutWrite(w, &wh, sizeof wh), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutUnprepareHeader(w, &wh, sizeof wh), (MMRESULT)WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutPrepareHeader(w, &wh, sizeof wh), (MMRESULT)WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutReset(w), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutUnprepareHeader(w, &wh, sizeof wh), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(wh.dwFlags, WHDR_DONE);
  EXPECT_EQ(waveOutClose(w), (MMRESULT)MMSYSERR_NOERROR);
}

TEST_F(MmTest, WaveClientPlaysThreeBuffersAndClosesWithAllReturned) {
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
  WAVEOUTCAPSA caps;
  ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "KV Test Wave");
  EXPECT_EQ(caps.dwFormats, 0xFFFu);

  WAVEFORMATEX fmt = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  EXPECT_EQ(waveOutOpen(nullptr, 0, &fmt, (DWORD_PTR)noteCallback, 0, CALLBACK_FUNCTION | WAVE_FORMAT_QUERY),
            (MMRESULT)MMSYSERR_NOERROR);
  WAVEFORMATEX bad = fmt;
  bad.wFormatTag = 2;
  HWAVEOUT h = (HWAVEOUT)(ULONG_PTR)1;
  EXPECT_EQ(waveOutOpen(&h, 0, &bad, 0, 0, CALLBACK_NULL), (MMRESULT)WAVERR_BADFORMAT);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(notes.empty());
  ASSERT_EQ(waveOutOpen(&h, 0, &fmt, (DWORD_PTR)noteCallback, 0x77, CALLBACK_FUNCTION), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].msg, (UINT)WOM_OPEN);
  EXPECT_EQ(notes[0].device, (HDRVR)h);
  EXPECT_EQ(notes[0].user, 0x77u);

  short samples[3][64] = {};
  WAVEHDR hdr[3] = {};
  for (int i = 0; i < 3; ++i) {
    hdr[i].lpData = (LPSTR)samples[i];
    hdr[i].dwBufferLength = sizeof samples[i];
    ASSERT_EQ(waveOutPrepareHeader(h, &hdr[i], sizeof hdr[i]), (MMRESULT)MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &hdr[i], sizeof hdr[i]), (MMRESULT)MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutWrite(h, &hdr[0], sizeof hdr[0]), (MMRESULT)WAVERR_STILLPLAYING);
  MMTIME t = {};
  t.wType = TIME_BYTES;
  ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(t.u.cb, 3 * sizeof samples[0]);
  EXPECT_EQ(waveOutPause(h), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutRestart(h), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutSetVolume(h, 0x12345678), (MMRESULT)MMSYSERR_NOERROR);
  DWORD volume = 0;
  EXPECT_EQ(waveOutGetVolume(h, &volume), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0x12345678u);
  volume = 0;
  EXPECT_EQ(waveOutGetVolume((HWAVEOUT)0, &volume), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0x12345678u);

  EXPECT_EQ(waveOutClose(h), (MMRESULT)MMSYSERR_NOERROR);
  ASSERT_EQ(notes.size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(notes[1 + i].msg, (UINT)WOM_DONE);
    EXPECT_EQ(notes[1 + i].p1, (DWORD_PTR)&hdr[i]);
    EXPECT_EQ(hdr[i].dwFlags, WHDR_PREPARED | WHDR_DONE);
  }
  EXPECT_EQ(notes[4].msg, (UINT)WOM_CLOSE);
  EXPECT_EQ(waveOutWrite(h, &hdr[0], sizeof hdr[0]), (MMRESULT)MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutClose(h), (MMRESULT)MMSYSERR_INVALHANDLE);
  std::vector<std::string> log = driverLog(root);
  EXPECT_NE(indexOf(log, "wod 0 6 7e570002 0 0"), (size_t)-1);
  EXPECT_EQ(countPrefix(log, "wod 0 5 "), 3u);
}

TEST_F(MmTest, ErrorTextsBelongToTheirFamilies) {
  char text[MAXERRORLENGTH];
  ASSERT_EQ(midiOutGetErrorTextA(MIDIERR_UNPREPARED, text, sizeof text), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_STREQ(text,
               "The MIDI header was not prepared. Use the Prepare function to prepare the header, and then try "
               "again.");
  EXPECT_EQ(waveOutGetErrorTextA(MIDIERR_UNPREPARED, text, sizeof text), (MMRESULT)MMSYSERR_BADERRNUM);
  ASSERT_EQ(waveOutGetErrorTextA(WAVERR_STILLPLAYING, text, sizeof text), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(text).compare(0, 16, "Cannot perform t"), 0);
  ASSERT_EQ(midiOutGetErrorTextA(MMSYSERR_ALLOCATED, text, 12), (MMRESULT)MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "The specifi");
  EXPECT_EQ(midiOutGetErrorTextA(9999, text, sizeof text), (MMRESULT)MMSYSERR_BADERRNUM);
  EXPECT_EQ(midiOutGetErrorTextA(MMSYSERR_ERROR, nullptr, 10), (MMRESULT)MMSYSERR_INVALPARAM);
}

TEST_F(MachineTest, ProcessEndUnloadsTheDriverItsEnvironmentNamed) {
  std::string drivers = "wave=/nonexistent/NONE.DLL;midi=" + testDriverPath();
  setenv(PLAT_MM_DRIVERS_ENV, drivers.c_str(), 1);
  // A client whose driver comes from the environment ends without closing.
  Child client("device_client", {"devices", "open midi"});
  unsetenv(PLAT_MM_DRIVERS_ENV);
  EXPECT_EQ(client.expectLine(), "1") << "devices";
  EXPECT_EQ(client.expectLine(), "0") << "the open";
  client.send("end");
  EXPECT_EQ(client.wait(), 0);
  std::vector<std::string> log = driverLog(root);
  size_t close = indexOf(log, "drv 5150 4 0 0"), disable = indexOf(log, "drv 0 5 0 0"),
         free = indexOf(log, "drv 0 6 0 0"), detach = indexOf(log, "detach");
  ASSERT_NE(close, (size_t)-1);
  EXPECT_LT(close, disable);
  EXPECT_LT(disable, free);
  EXPECT_LT(free, detach);
  EXPECT_EQ(detach, log.size() - 1);
}

namespace {

void registerAlias(const char* alias, const std::string& path) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KV_DRIVERS32_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, alias, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()), (DWORD)path.size() + 1),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace

TEST_F(MachineTest, RegisteredDriversAreNumberedInAliasOrderSkippingThoseThatDoNotLoad) {
  unsetenv(PLAT_MM_DRIVERS_ENV);
  std::string product = kvtest::buildDir() + "/KVDRVR32.DLL";
  registerAlias("midi", "/nonexistent/NONE.DLL");
  registerAlias("midi1", testDriverPath());
  registerAlias("midi2", "");
  registerAlias("midi4", product);
  registerAlias("midi5", testDriverPath());  // one module, one place in the order
  registerAlias("wave", product);
  registerAlias("wave9", testDriverPath());
  ASSERT_EQ(midiOutGetNumDevs(), 2u);
  MIDIOUTCAPSA midi = {};
  ASSERT_EQ(midiOutGetDevCapsA(0, &midi, sizeof midi), 0u);
  EXPECT_STREQ(midi.szPname, "KV Test MIDI");
  ASSERT_EQ(midiOutGetDevCapsA(1, &midi, sizeof midi), 0u);
  EXPECT_STREQ(midi.szPname, "Kelvasong (NT)");
  EXPECT_EQ(midiOutGetDevCapsA(2, &midi, sizeof midi), (MMRESULT)MMSYSERR_BADDEVICEID);
  HMIDIOUT out = nullptr;
  ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), 0u) << "the test driver's device";
  EXPECT_EQ(midiOutClose(out), 0u);

  ASSERT_EQ(waveOutGetNumDevs(), 2u);
  WAVEOUTCAPSA wave = {};
  ASSERT_EQ(waveOutGetDevCapsA(0, &wave, sizeof wave), 0u);
  EXPECT_STREQ(wave.szPname, "Kelvasong WaveOut (NT)");
  ASSERT_EQ(waveOutGetDevCapsA(1, &wave, sizeof wave), 0u);
  EXPECT_STREQ(wave.szPname, "KV Test Wave");
  // Each module was loaded once, though it serves both types.
  std::vector<std::string> log = driverLog(root);
  EXPECT_EQ(std::count(log.begin(), log.end(), "attach"), 1);
}
