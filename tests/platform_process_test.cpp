// Processes and modules: CreateProcessA with the platform's command-line rules,
// program paths, current directory, handles to wait on; module file names.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "kv/plat.h"
#include "kvplatform.h"
#include "support.h"

namespace {

// Places a copy of the test binary on the machine's drive C as C:\Kv Dir\HELPER.EXE.
void installHelperProgram() {
  ASSERT_TRUE(platMachineInit());
  ASSERT_TRUE(CreateDirectoryA("C:\\Kv Dir", nullptr));
  ASSERT_TRUE(CreateDirectoryA("C:\\Kv Dir\\work", nullptr));
  ASSERT_TRUE(CopyFileA(kvtest::selfPath().c_str(), "C:\\Kv Dir\\HELPER.EXE", TRUE));
}

}  // namespace

// Writes its arguments, current directory and command line to "report.txt" in
// its current directory; exits with the code given as its first argument.
KV_HELPER(report) {
  char cwd[PATH_MAX];
  FILE* f = fopen("report.txt", "w");
  if (!f || !getcwd(cwd, sizeof cwd)) return 99;
  fprintf(f, "cwd=%s\n", cwd);
  for (int i = 1; i < argc; ++i) fprintf(f, "arg=%s\n", argv[i]);
  fprintf(f, "line=%s\n", GetCommandLineA());
  fclose(f);
  return atoi(argv[1]);
}

class ProcessTest : public kvtest::MachineTest {};

TEST_F(ProcessTest, StartsABackslashPathWithCurrentDirectoryAndSplitsArgumentsAsThePlatform) {
  installHelperProgram();
  char line[] = "\"C:\\Kv Dir\\HELPER.EXE\" --kv-helper report 7 \"two words\" a\\\\\\\"b c\\\\\"d e\" f";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0x1020, nullptr, "C:\\Kv Dir\\work", &si, &pi));
  EXPECT_NE(pi.dwProcessId, 0u);
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_TRUE(CloseHandle(pi.hProcess));

  std::string report = kvtest::readFile(root + "/drive_c/Kv Dir/work/report.txt");
  EXPECT_NE(report.find("cwd=" + root + "/drive_c/Kv Dir/work\n"), std::string::npos) << report;
  EXPECT_NE(report.find("arg=7\narg=two words\narg=a\\\"b\narg=c\\d e\narg=f\n"), std::string::npos) << report;
  EXPECT_NE(report.find(std::string("line=") + line + "\n"), std::string::npos) << report;
}

TEST_F(ProcessTest, UnquotedProgramWithBlanksIsFoundByTheShortestExistingPrefix) {
  installHelperProgram();
  char line[] = "C:\\Kv Dir\\HELPER --kv-helper report 0";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, "C:\\Kv Dir", &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_NE(kvtest::readFile(root + "/drive_c/Kv Dir/report.txt").find("arg=0\n"), std::string::npos);
}

TEST_F(ProcessTest, MissingProgramOrDirectoryFailsAndAFaultCanBeInjected) {
  installHelperProgram();
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  char missing[] = "C:\\Kv Dir\\MISSING.EXE /x";
  EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  char present[] = "C:\\Kv Dir\\HELPER.EXE --kv-helper report 0";
  EXPECT_FALSE(CreateProcessA(nullptr, present, nullptr, nullptr, FALSE, 0, nullptr, "C:\\Nowhere", &si, &pi));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
  platFaultInject("CreateProcessA", 1, 1);
  EXPECT_FALSE(CreateProcessA(nullptr, present, nullptr, nullptr, FALSE, 0, nullptr, "C:\\Kv Dir", &si, &pi));
}

// Waits until its standard input closes.
KV_HELPER(linger) {
  (void)argc;
  (void)argv;
  std::string line;
  kvtest::hear(line);
  return 0;
}

TEST_F(ProcessTest, WaitOnARunningProcessTimesOutAndEndsWhenItIsTerminated) {
  installHelperProgram();
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  // A program that reads its (inherited, open) standard input waits for ever.
  char lingering[] = "\"C:\\Kv Dir\\HELPER.EXE\" --kv-helper linger";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int savedIn = dup(0);
  dup2(fds[0], 0);
  ASSERT_TRUE(CreateProcessA(nullptr, lingering, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  dup2(savedIn, 0);
  close(savedIn);
  close(fds[0]);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 50), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_TRUE(TerminateProcess(pi.hProcess, 1));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  close(fds[1]);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

TEST_F(ProcessTest, ModuleFileNamesAndShortNames) {
  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  EXPECT_EQ(std::string(exe, n), kvtest::selfPath());
  char small[8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 8u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(strlen(small), 7u);

  installHelperProgram();
  // A path with blanks gets one blank-free token that names the same file.
  char path[MAX_PATH] = "C:\\Kv Dir\\HELPER.EXE";
  DWORD len = GetShortPathNameA(path, path, sizeof path);
  ASSERT_GT(len, 0u);
  ASSERT_LT(len, (DWORD)sizeof path);
  std::string shortName(path, len);
  EXPECT_EQ(shortName.find(' '), std::string::npos) << shortName;
  EXPECT_EQ(GetFileAttributesA(shortName.c_str()), (DWORD)FILE_ATTRIBUTE_NORMAL);
  char line[MAX_PATH * 2];
  snprintf(line, sizeof line, "%s --kv-helper report 3", shortName.c_str());
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, "C:\\Kv Dir", &si, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 3u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // A path without blanks is its own short name; a missing file has none.
  char plain[MAX_PATH] = "C:\\WINDOWS";
  EXPECT_EQ(GetShortPathNameA(plain, plain, sizeof plain), 10u);
  EXPECT_STREQ(plain, "C:\\WINDOWS");
  EXPECT_EQ(GetShortPathNameA("C:\\Kv Dir\\NONE.EXE", plain, sizeof plain), 0u);
}

TEST_F(ProcessTest, FullPathNameGivesTheFilePart) {
  char buf[MAX_PATH];
  char* part = nullptr;
  EXPECT_EQ(GetFullPathNameA("C:\\Apps\\..\\Tools\\csrss.exe", sizeof buf, buf, &part), 18u);
  EXPECT_STREQ(buf, "C:\\Tools\\csrss.exe");
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "csrss.exe");
  EXPECT_EQ(GetFullPathNameA("/usr/bin/CSRSS.EXE", sizeof buf, buf, &part), 18u);
  EXPECT_STREQ(part, "CSRSS.EXE");
  EXPECT_EQ(GetFullPathNameA("C:\\Tools\\", sizeof buf, buf, &part), 9u);
  EXPECT_EQ(part, nullptr);
  EXPECT_EQ(GetFullPathNameA("C:\\Tools\\x.exe", 5, buf, &part), 15u) << "too small: size needed";
}
