// Named objects: files in the machine's object namespace, mapped shared by every
// process that opens them. Shared file locks count the openers, so an object
// starts afresh once nobody holds it open any more, even when the last holders
// were killed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "internal.h"

namespace plat {

NamedMapping::~NamedMapping() {
  if (addr && addr != MAP_FAILED) munmap(addr, size);
  if (fd >= 0) {
    // A mapping keeps the open file, and with it the lock, alive: drop the
    // lock explicitly so that the object ends with its last handle.
    flock(fd, LOCK_UN);
    close(fd);
  }
}

std::string objectFileName(const std::string& name) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (plain) {
      out += (char)c;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (out.size() > 200) {
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    char tail[24];
    snprintf(tail, sizeof tail, "#%016llx", h);
    out = out.substr(0, 180) + tail;
  }
  return out;
}

bool openNamed(const char* kind, const std::string& name, size_t size, bool mustExist, NamedMapping& out,
               void (*init)(void*, size_t, void*), void* ctx, void* at) {
  std::string objects = machineRoot() + "/objects";
  std::string dir = objects + "/" + kind;
  if (!makeDirs(dir)) return failErrno(false);
  int nsLock = open((objects + "/.namespace-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (nsLock < 0) return failErrno(false);
  flock(nsLock, LOCK_EX);
  std::string path = dir + "/" + objectFileName(name);
  bool ok = false;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastError(win32FromErrno(errno));
  } else {
    bool fresh = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fresh && mustExist) {
      SetLastError(ERROR_FILE_NOT_FOUND);
    } else if (fresh && (ftruncate(fd, 0) != 0 || ftruncate(fd, (off_t)size) != 0)) {
      SetLastError(win32FromErrno(errno));
    } else {
      void* addr = mmap(at, size, PROT_READ | PROT_WRITE, MAP_SHARED | (at ? MAP_FIXED : 0), fd, 0);
      if (addr == MAP_FAILED) {
        SetLastError(win32FromErrno(errno));
      } else {
        if (fresh && init) init(addr, size, ctx);
        flock(fd, LOCK_SH);
        out.fd = fd;
        out.addr = at ? nullptr : addr;  // a fixed mapping belongs to its module
        out.size = size;
        out.fresh = fresh;
        fd = -1;
        ok = true;
      }
    }
    if (fd >= 0) close(fd);
  }
  flock(nsLock, LOCK_UN);
  close(nsLock);
  return ok;
}

}  // namespace plat
