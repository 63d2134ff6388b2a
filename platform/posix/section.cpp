// Shared image sections: a module section remapped onto a named object of the
// machine that belongs to the module's file, so every process that loads the
// same file shares its bytes. The first process to map it after every earlier
// user is gone finds the section's initial image.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

namespace {

struct SectionTable {
  std::mutex lock;
  std::multimap<HMODULE, std::unique_ptr<plat::NamedMapping>> mapped;
  std::set<HMODULE> failedAttach;
};

SectionTable& sections() {
  static SectionTable* t = new SectionTable;
  return *t;
}

}  // namespace

namespace plat {
bool moduleAttachFailed(HMODULE module) {
  SectionTable& t = sections();
  std::lock_guard<std::mutex> g(t.lock);
  return t.failedAttach.count(module) != 0;
}
}  // namespace plat

extern "C" BOOL platMapModuleSection(HMODULE module, void* start, size_t size, const char* sectionName) {
  if (!start || size == 0) return TRUE;
  if (plat::faultHit("MapViewOfFile")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  if (((uintptr_t)start % page) != 0 || size % page != 0) return plat::fail(ERROR_BAD_FORMAT, FALSE);
  char fileName[PATH_MAX];
  Dl_info info;
  if (!dladdr(start, &info) || !info.dli_fname || !realpath(info.dli_fname, fileName))
    return plat::fail(ERROR_MOD_NOT_FOUND, FALSE);
  // The image's own bytes are the section's initial contents.
  std::vector<unsigned char> image((unsigned char*)start, (unsigned char*)start + size);
  auto init = [](void* addr, size_t n, void* ctx) { memcpy(addr, static_cast<unsigned char*>(ctx), n); };
  auto mapping = std::make_unique<plat::NamedMapping>();
  std::string name = std::string(fileName) + "#" + sectionName;
  if (!plat::openNamed("section", name, size, false, *mapping, init, image.data(), start)) return FALSE;
  SectionTable& t = sections();
  std::lock_guard<std::mutex> g(t.lock);
  t.mapped.emplace(module, std::move(mapping));
  return TRUE;
}

extern "C" void platUnmapModuleSections(HMODULE module) {
  SectionTable& t = sections();
  std::lock_guard<std::mutex> g(t.lock);
  t.mapped.erase(module);  // closing the object's file ends this process's use
  t.failedAttach.erase(module);
}

extern "C" void platModuleAttachFailed(HMODULE module) {
  SectionTable& t = sections();
  std::lock_guard<std::mutex> g(t.lock);
  t.failedAttach.insert(module);
}
