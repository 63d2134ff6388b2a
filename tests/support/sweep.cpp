#include "sweep.h"

#include <stdio.h>
#include <stdlib.h>

#include <random>

namespace kvtest {

namespace {

// ThreadSanitizer slows a process down far more than AddressSanitizer does.
#if defined(__SANITIZE_THREAD__)
const unsigned kSanitizedShare = 8;
#elif defined(__SANITIZE_ADDRESS__)
const unsigned kSanitizedShare = 4;
#else
const unsigned kSanitizedShare = 1;
#endif

unsigned fromEnvironment(const char* name, unsigned otherwise) {
  const char* s = getenv(name);
  return s && *s ? (unsigned)strtoul(s, nullptr, 10) : otherwise;
}

}  // namespace

SweepShare::SweepShare(const char* what) {
  share_ = fromEnvironment("KV_SWEEP_SHARE", kSanitizedShare);
  if (share_ == 0) share_ = 1;
  offset_ = fromEnvironment("KV_SWEEP_OFFSET", std::random_device{}()) % share_;
  if (share_ > 1)
    printf("[ sweep    ] %s: every %u cases from case %u (KV_SWEEP_SHARE=%u KV_SWEEP_OFFSET=%u replays it)\n", what,
           share_, offset_, share_, offset_);
  fflush(stdout);
}

unsigned SweepShare::of(unsigned cases) const {
  unsigned n = (cases + share_ - 1 - offset_) / share_;
  return n ? n : 1;
}

}  // namespace kvtest
