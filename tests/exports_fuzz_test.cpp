// What the fuzzer of the module's exports found, kept found: every saved input
// (the seeds and the inputs that once crashed the module) runs through the
// fuzzer's decoder on every test run, without libFuzzer; and each fault it
// found has a test of its own here, with client memory that ends at a page
// that cannot be touched.
#include <atomic>
#include <dirent.h>
#include <stddef.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "product.h"
#include "tests/fuzz/exports_decoder.h"

namespace {

std::vector<std::string> savedInputs(const std::string& dir) {
  std::vector<std::string> files;
  DIR* d = opendir(dir.c_str());
  if (!d) return files;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
  closedir(d);
  return files;
}

class ExportsFuzzReplayTest : public kvtest::MachineTest {
 protected:
  void replay(const char* dir) {
    std::string why = kvfuzz::prepareMachine(kvtest::buildDir());
    ASSERT_EQ(why, "");
    kvfuzz::Exports ex;
    ASSERT_TRUE(kvfuzz::loadExports(kvtest::driverModulePath(), &ex));
    std::vector<std::string> files = savedInputs(std::string(KV_FUZZ_INPUTS) + "/" + dir);
    ASSERT_FALSE(files.empty()) << dir;
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      std::string input = kvtest::readFile(file);
      // A fault aborts the test process; a broken promise of the module, too.
      kvfuzz::runInput(ex, reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
  }
};

// Client memory whose last bytes lie right before a page that cannot be touched.
class GuardedMemory {
 public:
  GuardedMemory() {
    page_ = (size_t)sysconf(_SC_PAGESIZE);
    void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<BYTE*>(p);
    if (base_) mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedMemory() {
    if (base_) munmap(base_, 2 * page_);
  }
  // The last n bytes before the guard page.
  void* last(size_t n) { return base_ + page_ - n; }
  void* guard() { return base_ + page_; }

 private:
  size_t page_ = 0;
  BYTE* base_ = nullptr;
};

class FuzzFindingsTest : public kvtest::ProductTest {
 protected:
  void SetUp() override {
    ProductTest::SetUp();
    hostSetting("SoundServer", "none");
    ASSERT_TRUE(drv.load());
  }
  GuardedMemory memory;
};

}  // namespace

TEST_F(ExportsFuzzReplayTest, TheSeedsRunClean) { replay("corpus/exports"); }

TEST_F(ExportsFuzzReplayTest, TheInputsThatOnceFoundAFaultRunClean) { replay("regressions/exports"); }

TEST_F(FuzzFindingsTest, AMidiOpenDescriptionThatCannotBeReadIsRefusedBeforeAnyHostStarts) {
  // Everything up to the instance value is read; the open description here
  // ends inside the callback.
  void* cut = memory.last(offsetof(MIDIOPENDESC, dwInstance) - 4);
  EXPECT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)cut, CALLBACK_NULL), (DWORD)MMSYSERR_INVALPARAM);
  EXPECT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)memory.guard(), CALLBACK_NULL), (DWORD)MMSYSERR_INVALPARAM);
  EXPECT_EQ(drv.midi->dwVersion, 0u) << "the channel was not touched and no host started";
  MIDIOPENDESC* whole = static_cast<MIDIOPENDESC*>(memory.last(offsetof(MIDIOPENDESC, dnDevNode)));
  memset((void*)whole, 0, offsetof(MIDIOPENDESC, dnDevNode));
  ASSERT_EQ(drv.modMessage(0, MODM_OPEN, 0, (DWORD_PTR)whole, CALLBACK_NULL), 0u)
      << "the fields the open reads are enough";
  EXPECT_EQ(drv.modMessage(0, MODM_CLOSE, 0, 0, 0), 0u);
}

TEST_F(FuzzFindingsTest, AWaveOpenDescriptionOrFormatThatCannotBeReadIsRefusedBeforeAnythingChanges) {
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 44100;
  format.wBitsPerSample = 16;
  // Everything up to the instance value is read; this description ends
  // inside the callback, after the format pointer.
  WAVEOPENDESC* cut = static_cast<WAVEOPENDESC*>(memory.last(offsetof(WAVEOPENDESC, dwCallback) + 4));
  memset((void*)cut, 0, offsetof(WAVEOPENDESC, dwCallback) + 4);
  cut->lpFormat = &format;
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)cut, 0), (DWORD)MMSYSERR_INVALPARAM);
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)memory.guard(), 0), (DWORD)MMSYSERR_INVALPARAM);

  // A format of which fewer than the 16 bytes copied into the channel can be read.
  WAVEOPENDESC desc = {};
  desc.lpFormat = static_cast<WAVEFORMATEX*>(memory.last(14));
  memcpy(desc.lpFormat, &format, 14);
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, 0), (DWORD)MMSYSERR_INVALPARAM);
  desc.lpFormat = reinterpret_cast<WAVEFORMATEX*>(memory.guard());
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, WAVE_FORMAT_QUERY), (DWORD)MMSYSERR_INVALPARAM);
  EXPECT_EQ(drv.wave->dwVersion, 0u) << "the channel was not touched and no host started";

  // The fields the open reads are enough: the description up to its instance
  // value, and the first 16 bytes of the format.
  WAVEOPENDESC* whole = static_cast<WAVEOPENDESC*>(memory.last(offsetof(WAVEOPENDESC, uMappedDeviceID)));
  memset((void*)whole, 0, offsetof(WAVEOPENDESC, uMappedDeviceID));
  whole->lpFormat = &format;
  EXPECT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)whole, WAVE_FORMAT_QUERY), 0u);
}

namespace {

// A streaming client: every buffer that comes back is written again at once,
// up to a limit that keeps a reset that would never end from hanging the test.
const int STREAM_REWRITE_LIMIT = 50;
DeviceMessageFn streamWod = nullptr;
std::atomic<int> streamDone{0};  // counted on the pump's thread

void CALLBACK streamCallback(HDRVR, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
  if (uMsg != WOM_DONE) return;
  if (++streamDone <= STREAM_REWRITE_LIMIT) streamWod(0, WODM_WRITE, 0, dwParam1, sizeof(WAVEHDR));
}

}  // namespace

TEST_F(FuzzFindingsTest, AResetReturnsTheBuffersQueuedBeforeItAndPlaysThoseWrittenAgainFromTheCallback) {
  hostSetting("Consume", "stop");  // the test moves the host's read position
  HWND instance = kvtest::openInstanceWindow();
  ASSERT_NE(instance, nullptr);
  streamWod = drv.wodMessage;
  streamDone = 0;

  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = 8000;
  format.wBitsPerSample = 8;
  WAVEOPENDESC desc = {};
  desc.lpFormat = &format;
  desc.dwCallback = (DWORD_PTR)streamCallback;
  ASSERT_EQ(drv.wodMessage(0, WODM_OPEN, 0, (DWORD_PTR)&desc, CALLBACK_FUNCTION), 0u);
  std::vector<BYTE> a(64, 0x11), b(64, 0x22);
  WAVEHDR ha = {}, hb = {};
  ha.lpData = reinterpret_cast<LPSTR>(a.data());
  hb.lpData = reinterpret_cast<LPSTR>(b.data());
  ha.dwBufferLength = hb.dwBufferLength = 64;
  ha.dwFlags = hb.dwFlags = WHDR_PREPARED;
  ASSERT_EQ(drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&ha, sizeof ha), 0u);
  ASSERT_EQ(drv.wodMessage(0, WODM_WRITE, 0, (DWORD_PTR)&hb, sizeof hb), 0u);

  EXPECT_EQ(drv.wodMessage(0, WODM_RESET, 0, 0, 0), 0u);
  EXPECT_EQ(streamDone, 2) << "each buffer queued before the reset comes back once";
  EXPECT_TRUE(kvtest::headerFlags(ha) & WHDR_INQUEUE) << "written again from the callback, it stays queued";
  EXPECT_TRUE(kvtest::headerFlags(hb) & WHDR_INQUEUE);

  // Played from their start, in the order they were written again.
  streamDone = STREAM_REWRITE_LIMIT;
  DWORD pos = drv.wave->dwReadPos;
  drv.wave->dwReadPos = (pos + 128) & 0xFFFF;
  DWORD lead = 8000 * 40 / 1000;
  kvtest::waitUntil([&] { return drv.wave->abRing[(pos + lead + 127) & 0xFFFF] == 0x22; });
  EXPECT_EQ(drv.wave->abRing[(pos + lead) & 0xFFFF], 0x11);
  EXPECT_EQ(drv.wave->abRing[(pos + lead + 63) & 0xFFFF], 0x11);
  EXPECT_EQ(drv.wave->abRing[(pos + lead + 64) & 0xFFFF], 0x22);
  EXPECT_EQ(drv.wave->abRing[(pos + lead + 127) & 0xFFFF], 0x22);
  EXPECT_EQ(drv.wodMessage(0, WODM_CLOSE, 0, 0, 0), 0u);
  EXPECT_FALSE(kvtest::headerFlags(ha) & WHDR_INQUEUE);
  EXPECT_FALSE(kvtest::headerFlags(hb) & WHDR_INQUEUE);
  DestroyWindow(instance);
}
