// The wave device's test fixture: the real host in a mode where the test moves
// the host's read position itself, so every pump tick is the test's to
// observe, and the notifications the driver sent, in order.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <vector>

#include "kv/plat.h"
#include "product.h"
#include "support.h"

namespace wavetest {

struct Notification {
  DWORD flags;
  DWORD msg;
  DWORD_PTR p1;
  DWORD thread;
};

// Filled by the pump thread too; the test reads it once that thread's tick is
// over (see moveReadPos), and the lock orders the accesses.
inline std::mutex notificationLock;
inline std::vector<Notification> notifications;

inline void recordCallback(DWORD_PTR, DWORD flags, HDRVR, DWORD msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
  std::lock_guard<std::mutex> g(notificationLock);
  notifications.push_back({flags, msg, p1, GetCurrentThreadId()});
}

inline void CALLBACK clientCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

inline WAVEFORMATEX pcm(WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEX wf = {};
  wf.wFormatTag = WAVE_FORMAT_PCM;
  wf.nChannels = channels;
  wf.nSamplesPerSec = rate;
  wf.wBitsPerSample = bits;
  wf.nBlockAlign = (WORD)(channels * bits / 8);
  wf.nAvgBytesPerSec = rate * wf.nBlockAlign;
  return wf;
}

class WaveDeviceTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    clearNotifications();
    platSetDriverCallbackHook(recordCallback);
    ASSERT_TRUE(drv.load());
    // The host accepts and serves commands but leaves the read position to the test.
    hostSetting("Consume", "stop");
    instance.reset(new Child("instance_window"));
    ASSERT_EQ(instance->expectLine(), "open");
  }
  void TearDown() override {
    if (drv.wave && (drv.wave->dwStatus == CHANNEL_OPEN)) drv.wodMessage(0, WODM_CLOSE, 0, 0, 0);
    instance.reset();
    platSetDriverCallbackHook(nullptr);
    ProductTest::TearDown();
  }

  DWORD open(const WAVEFORMATEX& wf, DWORD flags = CALLBACK_FUNCTION) {
    format = wf;
    desc.hWave = (HWAVE)(uintptr_t)0x5678;
    desc.lpFormat = &format;
    desc.dwCallback = (DWORD_PTR)clientCallback;
    desc.dwInstance = 7;
    return drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, flags);
  }
  DWORD wod(UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0) { return drv.wodMessage(0, msg, 0, p1, p2); }

  static WAVEHDR header(std::vector<BYTE>& data) {
    WAVEHDR h = {};
    h.lpData = reinterpret_cast<LPSTR>(data.data());
    h.dwBufferLength = (DWORD)data.size();
    h.dwFlags = WHDR_PREPARED;
    return h;
  }

  static void clearNotifications() {
    std::lock_guard<std::mutex> g(notificationLock);
    notifications.clear();
  }

  size_t countOf(DWORD msg) const {
    std::lock_guard<std::mutex> g(notificationLock);
    size_t n = 0;
    for (const Notification& x : notifications) n += x.msg == msg;
    return n;
  }

  // Moves the host's read position and waits until the pump's tick for it is
  // over: the fill has reached the new target, and a position query in
  // milliseconds takes the queue lock, which the tick holds while it returns
  // the buffers it used up.
  void moveReadPos(DWORD pos, DWORD lead) {
    drv.wave->dwReadPos = pos;
    DWORD last = (pos + lead - 1) & 0xFFFF;
    ASSERT_TRUE(kvtest::waitUntil([&] { return drv.wave->abRing[last] != 0xEE; })) << "the pump did not fill";
    MMTIME t = {};
    t.wType = TIME_MS;
    ASSERT_EQ(wod(WODM_GETPOS, (DWORD_PTR)&t, sizeof t), 0u);
  }

  // The pump's thread id, from the WOM_DONE it sends for an empty buffer.
  pid_t pumpThread() {
    static WAVEHDR empty = {};
    empty.dwFlags = WHDR_PREPARED;
    clearNotifications();
    if (wod(WODM_WRITE, (DWORD_PTR)&empty, sizeof empty) != 0) return 0;
    drv.wave->dwReadPos = (drv.wave->dwReadPos + 64) & 0xFFFF;
    if (!kvtest::waitUntil([&] { return countOf(WOM_DONE) == 1; })) return 0;
    std::lock_guard<std::mutex> g(notificationLock);
    return (pid_t)notifications[0].thread;
  }

  std::unique_ptr<Child> instance;
  WAVEFORMATEX format = {};
  WAVEOPENDESC desc = {};
};

}  // namespace wavetest
