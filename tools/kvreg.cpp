// kvreg: the machine's registry as text. "export" writes a key and everything
// below it in the platform's registry file format (REGEDIT4); "import" carries
// out such a file: keys to create, values to set, and [-KEY] and "name"=-
// deletions. Every value survives the round trip byte for byte. The format's
// writer and reader are regfile.cpp.
#include <stdio.h>
#include <string.h>

#include <string>

#include "kv/plat.h"
#include "kvplatform.h"
#include "tools/regfile.h"

namespace {

// Tells, before anything is read or written, that the registry store is
// damaged; true then.
bool storeDamaged() {
  if (RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_REGISTRY_CORRUPT)
    return false;
  fprintf(stderr,
          "kvreg: the registry store is damaged: %s\n"
          "kvreg: nothing was read or written. \"kvmachine renew-registry\" puts the damaged store aside\n"
          "kvreg: (beside it) and starts a new, empty one.\n",
          regfile::storePath().c_str());
  return true;
}

int exportTree(const char* keyPath, const char* fileName) {
  FILE* out = fileName ? fopen(fileName, "wb") : stdout;
  if (!out) {
    perror(fileName);
    return 1;
  }
  std::string error;
  bool ok = regfile::exportTree(
      keyPath, [out](const std::string& piece) { return fwrite(piece.data(), 1, piece.size(), out) == piece.size(); },
      error);
  if (fileName && fclose(out) != 0 && ok) {
    ok = false;
    error = "cannot write the file";
  }
  if (!ok) fprintf(stderr, "kvreg: %s\n", error.c_str());
  return ok ? 0 : 1;
}

int importFile(const char* fileName) {
  FILE* in = fopen(fileName, "rb");
  if (!in) {
    perror(fileName);
    return 1;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  fclose(in);
  int failed = regfile::importText(text, fileName,
                                   [](const std::string& message) { fprintf(stderr, "kvreg: %s\n", message.c_str()); });
  return failed == 0 ? 0 : 1;
}

int usage() {
  fprintf(stderr,
          "usage: kvreg export KEY [FILE]   write KEY and its subtree as a REGEDIT4 file (default: standard output)\n"
          "       kvreg import FILE         create, set and delete what a REGEDIT4 file says\n"
          "KEY starts with HKEY_LOCAL_MACHINE (HKLM) or HKEY_CURRENT_USER (HKCU).\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool exporting = (argc == 3 || argc == 4) && strcmp(argv[1], "export") == 0;
  bool importing = argc == 3 && strcmp(argv[1], "import") == 0;
  if (!exporting && !importing) return usage();
  if (storeDamaged()) return 1;
  return exporting ? exportTree(argv[2], argc == 4 ? argv[3] : nullptr) : importFile(argv[2]);
}
