// libFuzzer's entry points around the checks of regimport_check.cpp. The
// fuzzer runs on a machine of its own below TMPDIR and removes it when it
// ends; an input that breaks a rule aborts, as a crash does, and libFuzzer
// keeps it.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/fuzz/regimport_check.h"

namespace {

std::string root;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeMachine() {
  if (!root.empty() && !getenv("KV_KEEP_ROOT")) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvfuzz-reg-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    perror("kvfuzz: mkdtemp");
    exit(1);
  }
  root = tmpl;
  setenv("KV_MACHINE_ROOT", root.c_str(), 1);
  atexit(removeMachine);
  std::string why = kvfuzz::resetRegistry();
  if (!why.empty()) {
    fprintf(stderr, "kvfuzz: %s\n", why.c_str());
    exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string why = kvfuzz::importAndCheck(data, size);
  if (!why.empty()) {
    fprintf(stderr, "kvfuzz: the import %s\n", why.c_str());
    abort();
  }
  return 0;
}
