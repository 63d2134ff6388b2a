// The exported 32-bit setters through which the host, or any process that loads
// the module, stores a field of a channel block. The read and the store are two
// plain accesses, not one atomic exchange.
#include <string.h>

#include "hostlink/hostlink.h"
#include "hostlink/shared.h"

namespace {

// Nothing outside the block is read or written: an offset beyond its last
// whole word answers 0 and changes nothing.
DWORD exchangeWord(void* pBlock, DWORD cbBlock, DWORD dwOffset, DWORD dwValue) {
  if (dwOffset > cbBlock - sizeof(DWORD)) return 0;
  BYTE* p = static_cast<BYTE*>(pBlock) + dwOffset;
  DWORD dwOld;
  memcpy(&dwOld, p, sizeof dwOld);
  memcpy(p, &dwValue, sizeof dwValue);
  return dwOld;
}

}  // namespace

extern "C" DWORD WINAPI setgkMidiOutLong(DWORD dwOffset, DWORD dwValue) {
  return exchangeWord((void*)&gkMidiOut, sizeof(MidiChannel), dwOffset, dwValue);
}

extern "C" DWORD WINAPI setgkWaveOutLong(DWORD dwOffset, DWORD dwValue) {
  return exchangeWord((void*)&gkWaveOut, sizeof(WaveChannel), dwOffset, dwValue);
}
