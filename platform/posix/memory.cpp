// Memory probes. The kernel tells whether a page can be read: writing one byte
// of it into a pipe fails with EFAULT when it cannot. One byte per page is
// enough, since access rights are per page.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "internal.h"

namespace {

bool byteReadable(const void* p) {
  static std::mutex lock;
  static int fds[2] = {-1, -1};
  std::lock_guard<std::mutex> g(lock);
  if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  if (write(fds[1], p, 1) != 1) return false;
  char sink;
  (void)!read(fds[0], &sink, 1);
  return true;
}

bool rangeReadable(const void* lp, UINT_PTR ucb) {
  if (ucb == 0) return true;
  if (!lp) return false;
  uintptr_t start = (uintptr_t)lp;
  if (start + ucb - 1 < start) return false;  // wraps around the address space
  uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  uintptr_t last = start + ucb - 1;
  for (uintptr_t at = start; at <= last; at = (at | (page - 1)) + 1) {
    if (!byteReadable((const void*)at)) return false;
    if ((at | (page - 1)) >= last) break;
  }
  return true;
}

}  // namespace

extern "C" BOOL WINAPI IsBadReadPtr(const void* lp, UINT_PTR ucb) {
  if (plat::faultHit("IsBadReadPtr")) return TRUE;
  return rangeReadable(lp, ucb) ? FALSE : TRUE;
}
