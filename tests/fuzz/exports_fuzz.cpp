// libFuzzer's entry points around the decoder of exports_decoder.cpp. The
// fuzzer runs on a machine of its own below TMPDIR, with the module and the
// host of the build directory it lies in, and removes that machine when it
// ends; a watchdog process removes it when the fuzzer is ended by a crash.
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "tests/fuzz/exports_decoder.h"

namespace {

kvfuzz::Exports exports;
std::string root;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeMachine() {
  kvfuzz::endMachineProcesses(root);
  if (!root.empty() && !getenv("KV_KEEP_ROOT")) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Ends the machine's hosts and removes the machine once the fuzzer has ended,
// however it ended (after a crash, the hosts of the input that crashed run on).
void startWatchdog() {
  int fds[2];
  if (pipe(fds) != 0) return;
  if (fork() == 0) {
    close(fds[1]);
    char c;
    while (read(fds[0], &c, 1) != 0) {
    }
    kvfuzz::endMachineProcesses(root);
    if (!getenv("KV_KEEP_ROOT")) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    _exit(0);
  }
  close(fds[0]);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

std::string buildDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self = n > 0 ? std::string(buf, (size_t)n) : std::string(".");
  return self.substr(0, self.find_last_of('/'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvfuzz-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    perror("kvfuzz: mkdtemp");
    exit(1);
  }
  root = tmpl;
  startWatchdog();
  setenv("KV_MACHINE_ROOT", root.c_str(), 1);
  // The hosts are ended after every input: a leak check at their exit would
  // only cost time.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  atexit(removeMachine);
  std::string why = kvfuzz::prepareMachine(buildDir());
  if (!why.empty() || !kvfuzz::loadExports(buildDir() + "/KVDRVR32.DLL", &exports)) {
    fprintf(stderr, "kvfuzz: %s\n", why.empty() ? "cannot load KVDRVR32.DLL" : why.c_str());
    exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvfuzz::runInput(exports, data, size);
  return 0;
}
