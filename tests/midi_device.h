// The MIDI device's test fixture: the real module loaded into the test, the
// notifications the driver sent, and opens and closes through modMessage.
#pragma once

#include <vector>

#include "clock.h"
#include "kv/plat.h"
#include "product.h"

namespace miditest {

struct Notification {
  DWORD flags;
  DWORD msg;
  DWORD_PTR instance, p1, p2;
};

inline std::vector<Notification> notifications;

inline void recordCallback(DWORD_PTR, DWORD flags, HDRVR, DWORD msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
  notifications.push_back({flags, msg, instance, p1, p2});
}

inline void CALLBACK clientCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// `size` bytes of system-exclusive message (F0, `fill`..., F7) in `bytes`, and
// a prepared header for them.
inline MIDIHDR preparedSysex(std::vector<BYTE>& bytes, size_t size, BYTE fill) {
  bytes.assign(size, fill);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  MIDIHDR hdr = {};
  hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
  hdr.dwBufferLength = (DWORD)bytes.size();
  hdr.dwFlags = MHDR_PREPARED;
  return hdr;
}

class MidiDeviceTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    notifications.clear();
    platSetDriverCallbackHook(recordCallback);
    ASSERT_TRUE(drv.load());
  }
  void TearDown() override {
    platSetDriverCallbackHook(nullptr);
    ProductTest::TearDown();
  }

  DWORD open(DWORD flags = CALLBACK_FUNCTION, DWORD_PTR callback = (DWORD_PTR)clientCallback) {
    desc.hMidi = (HMIDI)(uintptr_t)0x1234;
    desc.dwCallback = callback;
    desc.dwInstance = 0xABCD;
    return drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, flags);
  }
  // An open that finds the channel's owner alive, made on the stopped clock:
  // it waits for the owner mutex 50 ms of the clock (the owner's host may be
  // looking at it), no less, and is then refused without any other wait.
  DWORD openRefusedAfterTheOwnerLook() {
    kvtest::FrozenClock clock;
    DWORD result = 99;
    kvtest::Running opening([&] { result = open(); });
    EXPECT_TRUE(kvtest::clockWaiters(1)) << "the open waits for the owner mutex";
    clock.advance(49);
    EXPECT_TRUE(kvtest::clockLooks("ClockWait", platFaultCalls("ClockWait")));
    EXPECT_FALSE(opening.done()) << "still waiting after 49 ms";
    clock.advance(1);
    EXPECT_TRUE(opening.ends());
    return result;
  }

  DWORD close() { return drv.modMessage(0, MODM_CLOSE, 0, 0, 0); }

  MIDIOPENDESC desc = {};
};

}  // namespace miditest
