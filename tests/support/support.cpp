// Test support: machine roots, helper dispatch and child processes. Children are
// started with posix_spawn, not through the platform under test.
#include "support.h"

#include "leftovers.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <iostream>
#include <map>

extern char** environ;

namespace kvtest {

namespace {

std::map<std::string, HelperFn>& helpers() {
  static std::map<std::string, HelperFn> m;
  return m;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (std::string& a : args) v.push_back(&a[0]);
  v.push_back(nullptr);
  return v;
}

}  // namespace

HelperRegistration::HelperRegistration(const char* name, HelperFn fn) { helpers()[name] = fn; }

// Ends every process that runs on the machine `root`: the hosts and setup
// programs the driver starts outlive the test process otherwise.
void endMachineProcesses(const std::string& root) {
  for (pid_t pid : machineProcesses(root)) ::kill(pid, SIGKILL);
}

// A watchdog process that outlives the test: when the test process ends, even
// by a crash that skips TearDown, it ends the machine's processes and removes
// the machine.
void startWatchdog(const std::string& root) {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[1]);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    char c;
    while (read(fds[0], &c, 1) != 0) {
    }
    endMachineProcesses(root);
    if (!getenv("KV_KEEP_ROOT")) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    _exit(0);
  }
  close(fds[0]);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

void MachineTest::SetUp() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvmachine-XXXXXX";
  ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
  root = tmpl;
  setenv("KV_MACHINE_ROOT", root.c_str(), 1);
  startWatchdog(root);
}

void MachineTest::TearDown() {
  if (root.empty()) return;
  endMachineProcesses(root);
  if (!getenv("KV_KEEP_ROOT")) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string selfPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

std::string buildDir() {
  std::string self = selfPath();
  std::string dir = self.substr(0, self.find_last_of('/'));
  // Tests live in <build>/tests; the artefacts in <build>.
  return dir.substr(0, dir.find_last_of('/'));
}

void say(const std::string& line) {
  std::string out = line + "\n";
  (void)!write(1, out.data(), out.size());
}

bool hear(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t n = read(0, &c, 1);
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}

Child::Child(const std::string& helper, const std::vector<std::string>& args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::vector<std::string> all = {selfPath(), "--kv-helper", helper};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv = argvOf(all);
  int rc = posix_spawn(&pid_, all[0].c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  if (rc != 0) {
    ADD_FAILURE() << "cannot start helper " << helper;
    pid_ = -1;
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
}

void Child::send(const std::string& line) {
  std::string out = line + "\n";
  (void)!write(toChild_, out.data(), out.size());
}

std::string Child::expectLine(int timeoutMs) {
  for (;;) {
    size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    struct pollfd p = {fromChild_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
      ADD_FAILURE() << "no line from helper within " << timeoutMs << " ms";
      return std::string();
    }
    char buf[512];
    ssize_t n = read(fromChild_, buf, sizeof buf);
    if (n <= 0) {
      ADD_FAILURE() << "helper closed its output";
      return std::string();
    }
    buffered_.append(buf, (size_t)n);
  }
}

int Child::wait() {
  if (reaped_ || pid_ <= 0) return status_;
  // A helper that reads its input to the end ends there.
  if (toChild_ >= 0) close(toChild_);
  toChild_ = -1;
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
  return status_;
}

void Child::kill() {
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

int runProgram(const std::string& path, const std::vector<std::string>& args, std::string* output, bool errorsToo) {
  std::vector<std::string> all = {path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv = argvOf(all);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (errorsToo) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  pid_t pid;
  int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  close(out[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (output) *output = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
  return (bool)f;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool waitUntil(const std::function<bool()>& done, unsigned timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool processEnds(int pid, int timeoutMs) {
  int fd = (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
  if (fd < 0) return errno == ESRCH;
  struct pollfd p = {fd, POLLIN, 0};
  int rc;
  while ((rc = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  close(fd);
  return rc == 1;
}

}  // namespace kvtest

int main(int argc, char** argv) {
  // A program started through the platform may see a command line split
  // differently from how the test wrote it; the helper marker is found anywhere.
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--kv-helper") != 0) continue;
    auto it = kvtest::helpers().find(argv[i + 1]);
    if (it == kvtest::helpers().end()) {
      std::cerr << "no helper " << argv[i + 1] << "\n";
      return 127;
    }
    return it->second(argc - i - 1, argv + i + 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
