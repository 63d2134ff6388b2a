// What the fuzzer of the module's exports reads its input with, and the client
// memory it hands the module: an arena of slots, each a few read-write pages
// with a page that cannot be touched behind it (see exports_decoder.cpp).
#pragma once

#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kvplatform.h"

namespace kvfuzz {

// The input, read from the front; an input that has ended reads as zeros.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool empty() const { return n_ == 0; }
  uint8_t u8() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() {
    uint16_t lo = u8();
    return (uint16_t)(lo | (uint16_t)(u8() << 8));
  }
  uint32_t u32() {
    uint32_t lo = u16();
    return lo | ((uint32_t)u16() << 16);
  }
  // Copies up to n bytes of the input into out; answers how many.
  size_t bytes(void* out, size_t n) {
    size_t k = n < n_ ? n : n_;
    memcpy(out, p_, k);
    p_ += k;
    n_ -= k;
    return k;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

enum Slot {
  SLOT_MIDIDESC,
  SLOT_WAVEDESC,
  SLOT_FORMAT,
  SLOT_CAPS,
  SLOT_TIME,
  SLOT_VOLUME,
  SLOT_MIDIHDR,
  SLOT_MIDIDATA,
  SLOT_WAVEHDR,  // WAVE_HEADERS of them
  WAVE_HEADERS = 4,
  SLOT_WAVEDATA = SLOT_WAVEHDR + WAVE_HEADERS,
  SLOT_COUNT = SLOT_WAVEDATA + WAVE_HEADERS,
};
const size_t SLOT_PAGES = 4;

struct Arena {
  size_t page = 0;
  BYTE* base = nullptr;
  BYTE* guard = nullptr;  // a whole page that cannot be touched
};
inline Arena arena;

inline bool makeArena() {
  if (arena.base) return true;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  size_t slot = (SLOT_PAGES + 1) * page;
  void* p = mmap(nullptr, SLOT_COUNT * slot + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  BYTE* base = static_cast<BYTE*>(p);
  for (size_t i = 0; i < SLOT_COUNT; ++i) mprotect(base + i * slot + SLOT_PAGES * page, page, PROT_NONE);
  arena.page = page;
  arena.base = base;
  arena.guard = base + SLOT_COUNT * slot;
  mprotect(arena.guard, page, PROT_NONE);
  return true;
}

inline size_t slotBytes() { return SLOT_PAGES * arena.page; }
inline BYTE* slotEnd(int slot) { return arena.base + (size_t)slot * (SLOT_PAGES + 1) * arena.page + slotBytes(); }
// The last n bytes of a slot, right before its guard page.
inline BYTE* atEnd(int slot, size_t n) { return slotEnd(slot) - (n < slotBytes() ? n : slotBytes()); }

// A pointer for a record of `size` bytes that the module may read. The full
// record comes from fill; a short one is cut by the guard page behind it.
template <typename T, typename Fill>
DWORD_PTR recordPointer(Reader& in, int slot, Fill fill) {
  uint8_t kind = in.u8();
  switch (kind % 8) {
    case 0: return 0;
    case 1: return (DWORD_PTR)1 + in.u8();  // in the first page, never mapped
    case 2: return (DWORD_PTR)(arena.guard + (in.u8() * 16) % arena.page);
    case 3: {
      T full;
      memset(&full, 0, sizeof full);
      fill(full);
      size_t readable = 1 + in.u8() % (sizeof(T) - 1);
      BYTE* p = atEnd(slot, readable);
      memcpy(p, &full, readable);
      return (DWORD_PTR)p;
    }
    default: {
      T* p = reinterpret_cast<T*>(atEnd(slot, sizeof(T)));
      memset((void*)p, 0, sizeof(T));
      fill(*p);
      return (DWORD_PTR)p;
    }
  }
}

// A pointer for `size` bytes that the module is to write: null, or exactly
// that much memory before a guard page.
inline DWORD_PTR outputPointer(Reader& in, int slot, size_t size) {
  if (in.u8() % 8 == 0) return 0;
  BYTE* p = atEnd(slot, size);
  memset(p, 0xEE, size);
  return (DWORD_PTR)p;
}

// Anything for a parameter the message does not use: a number or a pointer.
inline DWORD_PTR anyParam(Reader& in) {
  switch (in.u8() % 4) {
    case 0: return 0;
    case 1: return (DWORD_PTR)arena.guard;
    case 2: return in.u8();
    default: return in.u32();
  }
}

// Client data of n bytes at the end of slot, starting with bytes of the input.
inline BYTE* dataAtEnd(Reader& in, int slot, size_t n) {
  BYTE* p = atEnd(slot, n);
  size_t got = in.bytes(p, n < 64 ? n : 64);
  if (n > got) memset(p + got, 0x5A, n - got);
  return p;
}

// A data pointer and length for a header: valid data, or a wild pointer, with
// a length that fits, is a little or very much too long, or is anything.
inline void dataAndLength(Reader& in, int slot, LPSTR* plpData, DWORD* pcb) {
  uint8_t kind = in.u8();
  size_t n = in.u16() % (slotBytes() + 1);
  switch (kind % 8) {
    case 0: *plpData = nullptr; break;
    case 1: *plpData = reinterpret_cast<LPSTR>(arena.guard); break;
    default: *plpData = reinterpret_cast<LPSTR>(dataAtEnd(in, slot, n)); break;
  }
  switch ((kind >> 3) % 8) {
    case 0: *pcb = (DWORD)n + 1 + in.u8(); break;
    case 1: *pcb = 0xFFFFFFFFu - in.u8(); break;
    case 2: *pcb = 0; break;
    case 3: *pcb = in.u32(); break;
    case 4: *pcb = (DWORD)(n & ~(size_t)1) + 1; break;
    default: *pcb = (DWORD)n; break;
  }
}

}  // namespace kvfuzz
