// What the fuzzer of the registry import found, kept found: every saved input
// (the seeds and the inputs that once broke a rule) runs through the fuzzer's
// checks on every test run, without libFuzzer.
#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support.h"
#include "tests/fuzz/regimport_check.h"

namespace {

class RegImportFuzzReplayTest : public kvtest::MachineTest {
 protected:
  void replay(const char* dir) {
    ASSERT_EQ(kvfuzz::resetRegistry(), "");
    std::string path = std::string(KV_FUZZ_INPUTS) + "/" + dir;
    std::vector<std::string> files;
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
      closedir(d);
    }
    ASSERT_FALSE(files.empty()) << path;
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::string input = kvtest::readFile(file);
      EXPECT_EQ(kvfuzz::importAndCheck(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "") << file;
    }
  }
};

}  // namespace

TEST_F(RegImportFuzzReplayTest, TheSeedsKeepEveryRule) { replay("corpus/regimport"); }

TEST_F(RegImportFuzzReplayTest, TheInputsThatOnceBrokeARuleKeepEveryRule) { replay("regressions/regimport"); }
