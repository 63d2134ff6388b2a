// Test support: a fresh emulated machine for every test, and the test binary as
// its own helper process (started with "--kv-helper NAME ARGS...") that talks
// to the test through lines on its standard input and output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kvtest {

// Every test that touches the platform derives from this: SetUp points
// KV_MACHINE_ROOT at a new empty directory, which processes the test starts
// inherit; TearDown removes it (set KV_KEEP_ROOT=1 to keep it for a look).
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string root;
};

// Directory of the build's artefacts (KVDRVR32.DLL, KVTSK16.EXE, test modules).
std::string buildDir();
// Path of the running test binary.
std::string selfPath();

using HelperFn = int (*)(int argc, char** argv);
struct HelperRegistration {
  HelperRegistration(const char* name, HelperFn fn);
};
// Defines a helper process body: KV_HELPER(name) { ... return exitCode; }
// argv[0] is the helper's name, the rest its arguments.
#define KV_HELPER(name)                                                           \
  static int kvHelper_##name(int argc, char** argv);                              \
  static ::kvtest::HelperRegistration kvHelperReg_##name(#name, kvHelper_##name); \
  static int kvHelper_##name(int argc, char** argv)

// In a helper: one line to the test, and one line from it (false at end of input).
void say(const std::string& line);
bool hear(std::string& line);

// A helper process started by a test, with pipes to its standard streams.
class Child {
 public:
  Child(const std::string& helper, const std::vector<std::string>& args = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void send(const std::string& line);
  // Next line from the child; empty with a test failure after `timeoutMs`.
  std::string expectLine(int timeoutMs = 10000);
  // Closes the child's input, waits for the child to end and answers its exit
  // status (-signal if killed).
  int wait();
  void kill();

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffered_;
  bool reaped_ = false;
  int status_ = 0;
};

// Runs a program to completion; answers its exit status. `output` gets its
// standard output, and its standard error too when `errorsToo`.
int runProgram(const std::string& path, const std::vector<std::string>& args, std::string* output = nullptr,
               bool errorsToo = true);

// Waits until the process `pid` (of any parent) has ended; false after `timeoutMs`.
bool processEnds(int pid, int timeoutMs);

// The whole file at `path`; "" when it cannot be read.
std::string readFile(const std::string& path);
// Writes `bytes` as the whole file at `path`; false when it cannot.
bool writeFile(const std::string& path, const std::string& bytes);
// Whether anything (a file, a directory, a link) is at `path`.
bool fileExists(const std::string& path);

// Looks at `done` every millisecond until it holds; false after `timeoutMs`,
// which only guards against a hang.
bool waitUntil(const std::function<bool()>& done, unsigned timeoutMs = 5000);

}  // namespace kvtest
