// Shared image sections: every process that loads a module sees the same bytes,
// and the first process after all users are gone sees the initial image.
#include <string.h>

#include <string>

#include "hostlink/shared.h"
#include "kvplatform.h"
#include "support.h"

using kvtest::Child;

namespace {

std::string modulePath(const char* name) { return kvtest::buildDir() + "/" + name; }

}  // namespace

// Loads a module and serves "write OFFSET VALUE", "read OFFSET" on gkMidiOut and
// "state" (whether the channel blocks are zero and the names at their initial values).
KV_HELPER(section_peer) {
  (void)argc;
  HMODULE m = LoadLibraryA(argv[1]);
  auto* midi = m ? reinterpret_cast<unsigned char*>(GetProcAddress(m, "gkMidiOut")) : nullptr;
  auto* wave = m ? reinterpret_cast<unsigned char*>(GetProcAddress(m, "gkWaveOut")) : nullptr;
  auto namesOf =
      m ? reinterpret_cast<SharedNames* (*)()>(reinterpret_cast<void*>(GetProcAddress(m, "sectionTestNames")))
        : nullptr;
  if (!midi || !wave || !namesOf) {
    kvtest::say("no module");
    return 1;
  }
  kvtest::say("loaded");
  std::string line;
  while (kvtest::hear(line)) {
    unsigned offset = 0, value = 0;
    if (sscanf(line.c_str(), "write %u %u", &offset, &value) == 2) {
      memcpy(midi + offset, &value, 4);
      kvtest::say("ok");
    } else if (sscanf(line.c_str(), "read %u", &offset) == 1) {
      memcpy(&value, midi + offset, 4);
      kvtest::say(std::to_string(value));
    } else if (line == "state") {
      bool zero = true;
      for (size_t i = 0; i < sizeof(MidiChannel); ++i) zero &= midi[i] == 0;
      for (size_t i = 0; i < sizeof(WaveChannel); ++i) zero &= wave[i] == 0;
      SharedNames* n = namesOf();
      bool initial = n->lMidiOpenGate == -1 && n->lWaveOpenGate == -1 && strcmp(n->szHostExe, "KVTSK16.EXE") == 0 &&
                     strcmp(n->szMidiHostExe, "KVMIDI16.EXE") == 0 && strcmp(n->szWaveHostExe, "KVWAVE16.EXE") == 0 &&
                     strcmp(n->szMidiMutex, "$_RT_MutexForKVDRVR32-modOpen_$") == 0;
      kvtest::say(std::string(zero ? "zero" : "dirty") + " " + (initial ? "initial" : "changed"));
    } else if (line == "gate") {
      InterlockedIncrement(&namesOf()->lMidiOpenGate);
      kvtest::say("ok");
    } else if (line == "wavegap") {
      // gkWaveOut lies 0x1030 bytes after gkMidiOut, within the same section.
      kvtest::say(std::to_string(wave - midi));
    }
  }
  return 0;
}

class SharedSectionTest : public kvtest::MachineTest {};

TEST_F(SharedSectionTest, ProcessesShareTheBlocksAndALaterFirstUserStartsAfresh) {
  std::string module = modulePath("KVSECTEST.DLL");
  {
    Child a("section_peer", {module});
    Child b("section_peer", {module});
    ASSERT_EQ(a.expectLine(), "loaded");
    ASSERT_EQ(b.expectLine(), "loaded");
    b.send("state");
    EXPECT_EQ(b.expectLine(), "zero initial");
    a.send("write 4 4096");
    ASSERT_EQ(a.expectLine(), "ok");
    b.send("read 4");
    EXPECT_EQ(b.expectLine(), "4096");
    b.send("write 4136 247");
    ASSERT_EQ(b.expectLine(), "ok");
    a.send("read 4136");
    EXPECT_EQ(a.expectLine(), "247");
    a.send("gate");
    ASSERT_EQ(a.expectLine(), "ok");
    b.send("state");
    EXPECT_EQ(b.expectLine(), "dirty changed");
    a.send("wavegap");
    EXPECT_EQ(a.expectLine(), "4144");
    // One peer ends normally, the other is killed: neither may keep the
    // sections alive.
    a.send("");
    a.kill();
    a.wait();
  }
  Child c("section_peer", {module});
  ASSERT_EQ(c.expectLine(), "loaded");
  c.send("state");
  EXPECT_EQ(c.expectLine(), "zero initial");
}

// The real module's exported blocks are shared the same way.
TEST_F(SharedSectionTest, DriverModuleExportsSharedChannelBlocks) {
  HMODULE m = LoadLibraryA(modulePath("KVDRVR32.DLL").c_str());
  ASSERT_NE(m, nullptr);
  auto* midi = reinterpret_cast<MidiChannel*>(GetProcAddress(m, "gkMidiOut"));
  auto* wave = reinterpret_cast<WaveChannel*>(GetProcAddress(m, "gkWaveOut"));
  ASSERT_TRUE(midi && wave);
  EXPECT_EQ(reinterpret_cast<char*>(wave) - reinterpret_cast<char*>(midi), 0x1030);
  EXPECT_EQ(GetProcAddress(m, "kvSharedBS"), nullptr) << "only the listed names are exported";
  midi->dwRingSize = 4096;
  // A second mapping of the same object shows the store.
  HMODULE again = LoadLibraryA(modulePath("KVDRVR32.DLL").c_str());
  EXPECT_EQ(again, m);
  char name[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(m, name, sizeof name), 0u);
  EXPECT_NE(std::string(name).find("KVDRVR32.DLL"), std::string::npos);
  EXPECT_EQ(midi->dwRingSize, 4096u);
  FreeLibrary(again);
  FreeLibrary(m);
}
