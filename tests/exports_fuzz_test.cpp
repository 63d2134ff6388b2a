// What the fuzzer of the module's exports found, kept found: every saved input
// (the seeds and the inputs that once crashed the module) runs through the
// fuzzer's decoder on every test run, without libFuzzer; and each fault it
// found has a test of its own here, with client memory that ends at a page
// that cannot be touched.
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

std::string contents(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
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
      std::string input = contents(file);
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
