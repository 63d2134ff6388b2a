// MIDI output through Wine's own multimedia layer (reached through winekv.drv,
// which forwards to KVDRVR32.DLL), with the real host; and the system-wide
// claim on the channel between processes.
#include <string.h>

#include "playing.h"
#include "support.h"
#include "tests/shared/streams.h"

using kvwine::Child;

namespace {

class WineMidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvwine::clearRecords("KVMIDIIN");
    device = kvwine::kelvasongMidiDevice();
    ASSERT_GE(device, 0) << "the layer lists no Kelvasong device among " << midiOutGetNumDevs();
  }
  int device = -1;
};

}  // namespace

void kvwine::playMidiPhrase() {
  kvwine::clearRecords("KVMIDIIN");
  int device = kvwine::kelvasongMidiDevice();
  ASSERT_GE(device, 0) << "the layer lists no Kelvasong device among " << midiOutGetNumDevs();
  HANDLE notified = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HMIDIOUT out = nullptr;
  ASSERT_EQ(midiOutOpen(&out, (UINT)device, (DWORD_PTR)notified, 0, CALLBACK_EVENT), 0u);
  EXPECT_EQ(WaitForSingleObject(notified, 0), WAIT_OBJECT_0) << "MOM_OPEN";
  std::vector<DWORD> hosts = kvwine::processesNamed(kvwine::kMidiHostExe);
  ASSERT_EQ(hosts.size(), 1u) << "the open starts the host's MIDI copy";
  HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, hosts[0]);

  kvtest::MidiPhrase phrase = kvtest::midiPhrase();
  for (uint32_t m : phrase.messages) ASSERT_EQ(midiOutShortMsg(out, m), 0u) << "message " << m;
  std::vector<char> sysex = kvtest::sysexBuffer(10000);
  MIDIHDR hdr = {};
  hdr.lpData = sysex.data();
  hdr.dwBufferLength = (DWORD)sysex.size();
  ASSERT_EQ(midiOutPrepareHeader(out, &hdr, sizeof hdr), 0u);
  EXPECT_TRUE(hdr.dwFlags & MHDR_PREPARED);
  ASSERT_EQ(midiOutLongMsg(out, &hdr, sizeof hdr), 0u);
  EXPECT_TRUE(hdr.dwFlags & MHDR_DONE);
  EXPECT_EQ(WaitForSingleObject(notified, 0), WAIT_OBJECT_0) << "MOM_DONE";
  EXPECT_EQ(midiOutUnprepareHeader(out, &hdr, sizeof hdr), 0u);
  ASSERT_EQ(midiOutClose(out), 0u);
  EXPECT_EQ(WaitForSingleObject(notified, 0), WAIT_OBJECT_0) << "MOM_CLOSE";
  // The host ends after its close command, with its record written.
  ASSERT_EQ(WaitForSingleObject(host, 10000), WAIT_OBJECT_0);
  CloseHandle(host);
  CloseHandle(notified);

  std::string expected = phrase.bytes + std::string(sysex.data(), sysex.size());
  std::string received = kvwine::readFile(kvwine::installDir() + "\\KVMIDIIN.RAW");
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "the host's bytes differ from what was sent";
  std::string events = kvwine::readFile(kvwine::installDir() + "\\KVMIDIIN.TXT");
  EXPECT_NE(events.find("sysex            10000 bytes"), std::string::npos) << events.substr(0, 400);
}

TEST_F(WineMidiTest, MessagesRunningStatusAndALongSysexReachTheHostCompleteAndInOrder) { kvwine::playMidiPhrase(); }

// Opens the device through the layer, says "open", and waits to be ended.
KV_HELPER(midi_owner) {
  (void)argc;
  (void)argv;
  HMIDIOUT out = nullptr;
  UINT rc = midiOutOpen(&out, (UINT)kvwine::kelvasongMidiDevice(), 0, 0, CALLBACK_NULL);
  kvwine::say(rc == 0 ? "open" : "failed " + std::to_string(rc));
  std::string line;
  while (kvwine::hear(line)) {
  }
  return 0;
}

TEST_F(WineMidiTest, ASecondProcessIsRefusedAtOnceAndTakesOverWhenTheOwnerIsTerminated) {
  Child owner = Child::helper("midi_owner");
  ASSERT_EQ(owner.expectLine(), "open");
  HMIDIOUT out = nullptr;
  DWORD start = GetTickCount();
  EXPECT_EQ(midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL), (MMRESULT)MMSYSERR_ALLOCATED);
  // "At once": far from the 20 s a host start may take.
  EXPECT_LT(GetTickCount() - start, 5000u);

  owner.terminate();
  ASSERT_EQ(midiOutOpen(&out, (UINT)device, 0, 0, CALLBACK_NULL), 0u) << "the open takes the channel over";
  ASSERT_EQ(midiOutShortMsg(out, 0x7F3C90), 0u);
  ASSERT_EQ(midiOutClose(out), 0u);
  ASSERT_TRUE(kvwine::waitForProcessesToEnd(kvwine::kMidiHostExe, 10000));
  EXPECT_EQ(kvwine::readFile(kvwine::installDir() + "\\KVMIDIIN.RAW"), "\x90\x3C\x7F");
}
