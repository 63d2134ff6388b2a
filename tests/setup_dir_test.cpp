// The setup program and an install directory too long for the host programs'
// paths: the driver refuses to install or remove, and the setup program says
// why.
#include <string>
#include <vector>

#include "product.h"

namespace {

class SetupDirTest : public kvtest::ProductTest {
 protected:
  int setup(const std::vector<std::string>& args, std::string& out) {
    return kvtest::runProgram(kvtest::buildDir() + "/KVSETUP.EXE", args, &out);
  }
};

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST_F(SetupDirTest, ATooLongInstallDirectoryIsToldAsTheCause) {
  std::string out;
  for (size_t length : {247u, 521u}) {
    SCOPED_TRACE(length);
    std::string dir = "C:\\" + std::string(length - 3, 'd');
    ASSERT_EQ(setup({"/DIR", dir}, out), 0) << out;
    EXPECT_EQ(setup({"/INSTALL"}, out), 1) << out;
    const std::string said = "the install directory is " + std::to_string(length) +
                             " characters long; at most 246 are allowed, so that the\n"
                             "  paths of the host programs in it fit\n";
    EXPECT_TRUE(has(out, said)) << out;
    EXPECT_FALSE(has(out, "registry refused")) << out;
    EXPECT_EQ(setup({"/REMOVE"}, out), 1) << out;
    EXPECT_TRUE(has(out, said)) << out;
    EXPECT_FALSE(has(out, "alias could not be unregistered")) << out;
  }
  // The longest directory the setup program allows is one the driver takes.
  std::string longest = "C:\\" + std::string(243, 'd');
  ASSERT_TRUE(CreateDirectoryA(longest.c_str(), nullptr));
  ASSERT_EQ(setup({"/DIR", longest}, out), 0) << out;
  EXPECT_EQ(setup({"/INSTALL"}, out), 0) << out;
  EXPECT_TRUE(has(out, "The installation succeeded.")) << out;
}
