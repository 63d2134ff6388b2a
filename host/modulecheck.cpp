#include "host/modulecheck.h"

#include <string.h>

#include "kvplatform.h"

namespace {

const DWORD kHeaderBytes = 4096;

DWORD le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((DWORD)p[3] << 24); }
unsigned le16(const unsigned char* p) { return p[0] | (p[1] << 8); }

// A Windows image: "MZ", at 0x3C the offset of "PE\0\0", then the file header
// (20 bytes) and the optional header, whose magic tells PE32 from PE32+.
int imageBits(const unsigned char* h, DWORD n) {
  if (n < 0x40 || h[0] != 'M' || h[1] != 'Z') return 0;
  DWORD pe = le32(h + 0x3C);
  if (pe > n - 26 || memcmp(h + pe, "PE\0\0", 4) != 0) return 0;
  unsigned magic = le16(h + pe + 24);
  return magic == 0x10B ? 32 : magic == 0x20B ? 64 : 0;
}

// A shared object: "\x7F" "ELF", then its class, 1 for 32-bit, 2 for 64-bit.
int elfBits(const unsigned char* h, DWORD n) {
  if (n < 5 || memcmp(h,
                      "\x7F"
                      "ELF",
                      4) != 0)
    return 0;
  return h[4] == 1 ? 32 : h[4] == 2 ? 64 : 0;
}

}  // namespace

int moduleFileBits(const char* path) {
  // Where there is no redirection (a 64-bit or 32-bit system), this fails and
  // changes nothing.
  PVOID redirection = nullptr;
  BOOL redirectionOff = Wow64DisableWow64FsRedirection(&redirection);
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (redirectionOff) Wow64RevertWow64FsRedirection(redirection);
  if (file == INVALID_HANDLE_VALUE) return 0;
  unsigned char header[kHeaderBytes];
  DWORD n = 0;
  BOOL read = ReadFile(file, header, sizeof header, &n, nullptr);
  CloseHandle(file);
  if (!read) return 0;
  int bits = imageBits(header, n);
  return bits != 0 ? bits : elfBits(header, n);
}
