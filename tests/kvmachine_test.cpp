// kvmachine: what it takes on its command line and what it refuses.
#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

namespace {

class KvmachineTest : public kvtest::MachineTest {
 protected:
  int kvmachine(const std::vector<std::string>& args, std::string& output) {
    return kvtest::runProgram(kvtest::buildDir() + "/kvmachine", args, &output);
  }
};

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

// A code page is a decimal number from 1 to 65535; anything else is refused
// with the usage status and stores nothing.
TEST_F(KvmachineTest, CodePagesOutsideTheirRangeAreRefusedAndNothingIsStored) {
  std::string out;
  ASSERT_EQ(kvmachine({"codepage", "932"}, out), 0) << out;
  EXPECT_EQ(out, "932\n");
  for (const char* bad : {"99999999999", "4294967297", "-1", "0", "65536", "12x", " 1252", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(kvmachine({"codepage", bad}, out), 2) << out;
    EXPECT_TRUE(has(out, "is no code page: a decimal number from 1 to 65535")) << out;
    ASSERT_EQ(kvmachine({"codepage"}, out), 0);
    EXPECT_EQ(out, "932\n");
  }
  ASSERT_EQ(kvmachine({"codepage", "65535"}, out), 0) << out;
  EXPECT_EQ(out, "65535\n");
}

// A path of any length maps; one that names nothing here is said to.
TEST_F(KvmachineTest, PathMapsAnyLengthAndSaysWhyItRefuses) {
  const std::string name(5000, 'a');
  std::string out;
  ASSERT_EQ(kvmachine({"path", "C:\\..\\" + name}, out), 0) << out.substr(0, 200);
  EXPECT_EQ(out, root + "/drive_c/" + name + "\n");
  EXPECT_EQ(kvmachine({"path", "\\\\server\\share\\x"}, out), 1);
  EXPECT_EQ(out, "kvmachine: \\\\server\\share\\x names another machine or a device: nothing on this machine\n");
}

// An extra argument makes any command show the usage and do nothing.
TEST_F(KvmachineTest, EveryCommandRefusesExtraArguments) {
  ASSERT_TRUE(platMachineInit());
  HANDLE file = CreateFileA("C:\\old.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  ASSERT_TRUE(MoveFileExA("C:\\old.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  const std::vector<std::vector<std::string>> calls = {
      {"root", "x"},  {"init", "x"},     {"path", "C:\\a", "x"},  {"path"},    {"codepage", "932", "x"},
      {"start", "x"}, {"registry", "x"}, {"renew-registry", "x"}, {"unknown"},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call[0] + " with " + std::to_string(call.size() - 1) + " argument(s)");
    std::string out;
    EXPECT_EQ(kvmachine(call, out), 2) << out;
    EXPECT_TRUE(has(out, "usage: kvmachine COMMAND")) << out;
  }
  char source[MAX_PATH], target[MAX_PATH];
  EXPECT_TRUE(platPendingFileOperation(0, source, sizeof source, target, sizeof target));
  EXPECT_EQ(GetACP(), 1252u);
}
