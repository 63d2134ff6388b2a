// The emulated machine's own tool: where it lives, its layout, its code page,
// and the system start that carries out file operations waiting for it.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: kvmachine COMMAND\n"
          "  root                 print the machine root (set it with %s)\n"
          "  init                 create the machine's directories\n"
          "  path WINPATH         print the host path a Windows path names; \\\\server\\...\n"
          "                       and device paths (\\\\.\\, \\\\?\\) name nothing here\n"
          "  codepage [CP]        print or set the ANSI code page (1252, 932, ...: 1 to 65535)\n"
          "  start                system start: carry out the pending file replacements\n"
          "                       and deletions, in the order they were recorded, and\n"
          "                       list them; a deletion of a file that is gone is done\n"
          "  registry             print where the registry store is and whether it is\n"
          "                       intact, damaged or not made yet (answers 1 if damaged)\n"
          "  renew-registry       put a damaged registry store aside, as\n"
          "                       registry.db.damaged-TIME beside it, and start a new,\n"
          "                       empty one; an intact store is left alone\n",
          PLAT_ROOT_ENV);
  return 2;
}

// The host path `win` names, in a buffer as long as it needs.
int printHostPath(const char* win) {
  std::vector<char> host(4096);
  while (!platHostPath(win, host.data(), (DWORD)host.size())) {
    if (GetLastError() == ERROR_BAD_PATHNAME) {
      fprintf(stderr, "kvmachine: %s names another machine or a device: nothing on this machine\n", win);
      return 1;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      fprintf(stderr, "kvmachine: cannot map %s (error %u)\n", win, GetLastError());
      return 1;
    }
    host.resize(host.size() * 2);
  }
  printf("%s\n", host.data());
  return 0;
}

// A code page as written: decimal, 1 to 65535; 0 for anything else.
unsigned codePageOf(const char* text) {
  const unsigned kLargest = 65535;
  unsigned value = 0;
  if (!*text) return 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + (unsigned)(*p - '0');
    if (value > kLargest) return 0;
  }
  return value;
}

int setCodePage(const char* text) {
  unsigned codePage = codePageOf(text);
  if (!codePage) {
    fprintf(stderr, "kvmachine: %s is no code page: a decimal number from 1 to 65535 (1252, 932, ...)\n", text);
    return 2;
  }
  if (!platSetAnsiCodePage(codePage)) {
    fprintf(stderr, "kvmachine: cannot store the code page (error %u)\n", GetLastError());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* cmd = argv[1];
  // Every command takes its own arguments and no more.
  bool takesOne = strcmp(cmd, "path") == 0, mayTakeOne = strcmp(cmd, "codepage") == 0;
  if (argc > (takesOne || mayTakeOne ? 3 : 2) || (takesOne && argc != 3)) return usage();
  if (strcmp(cmd, "root") == 0) {
    printf("%s\n", platMachineRoot());
    return 0;
  }
  if (strcmp(cmd, "init") == 0) {
    if (!platMachineInit()) {
      fprintf(stderr, "kvmachine: cannot create %s (error %u)\n", platMachineRoot(), GetLastError());
      return 1;
    }
    char sys[MAX_PATH];
    GetSystemDirectoryA(sys, sizeof sys);
    printf("machine root %s\nsystem directory %s\n", platMachineRoot(), sys);
    return 0;
  }
  if (takesOne) return printHostPath(argv[2]);
  if (mayTakeOne) {
    int status = argc == 3 ? setCodePage(argv[2]) : 0;
    if (status == 0) printf("%u\n", GetACP());
    return status;
  }
  if (strcmp(cmd, "registry") == 0) {
    char path[4096];
    platRegistryStorePath(path, sizeof path);
    LSTATUS st = platRegistryCheck();
    if (st == ERROR_SUCCESS) {
      printf("%s: intact\n", path);
    } else if (st == ERROR_FILE_NOT_FOUND) {
      printf("%s: not made yet (the first use of the registry makes it)\n", path);
    } else if (st == ERROR_REGISTRY_CORRUPT) {
      printf("%s: damaged; \"kvmachine renew-registry\" puts it aside and starts a new, empty one\n", path);
      return 1;
    } else {
      fprintf(stderr, "kvmachine: cannot read the registry store %s (error %ld)\n", path, (long)st);
      return 1;
    }
    return 0;
  }
  if (strcmp(cmd, "renew-registry") == 0) {
    char path[4096], aside[4096];
    platRegistryStorePath(path, sizeof path);
    LSTATUS st = platRegistryRenew(aside, sizeof aside);
    if (st == ERROR_SUCCESS) {
      printf("the damaged registry store is kept as %s\na new, empty registry store is %s\n", aside, path);
      return 0;
    }
    if (st == ERROR_ALREADY_EXISTS)
      fprintf(stderr, "kvmachine: the registry store %s is intact; it was left alone\n", path);
    else if (st == ERROR_FILE_NOT_FOUND)
      fprintf(stderr, "kvmachine: there is no registry store yet (%s); the first use of the registry makes it\n", path);
    else
      fprintf(stderr, "kvmachine: cannot renew the registry store %s (error %ld)%s%s\n", path, (long)st,
              aside[0] ? "; the damaged store is kept as " : "", aside);
    return 1;
  }
  if (strcmp(cmd, "start") == 0) {
    char source[MAX_PATH], target[MAX_PATH];
    for (DWORD i = 0; platPendingFileOperation(i, source, sizeof source, target, sizeof target); ++i) {
      if (target[0])
        printf("replace %s with %s\n", target, source);
      else
        printf("delete %s\n", source);
    }
    int failed = platSystemStart();
    if (failed) fprintf(stderr, "kvmachine: %d pending file operation(s) failed\n", failed);
    return failed ? 1 : 0;
  }
  return usage();
}
