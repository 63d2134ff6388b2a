// Modules: shared objects loaded into the process. A module handle is the
// module's load address, as on the platform, so the handle a module is given at
// process attach and the one LoadLibraryA answers are the same value.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "internal.h"

namespace plat {

namespace {
std::recursive_mutex loaderMutex;
}

void lockLoader() { loaderMutex.lock(); }
void unlockLoader() { loaderMutex.unlock(); }

}  // namespace plat

namespace {

struct Found {
  uintptr_t base;
  std::string name;
};

// The file name of the loaded object whose load address is `base`.
bool loadedObjectAt(uintptr_t base, std::string& name) {
  Found found{base, std::string()};
  bool hit = dl_iterate_phdr(
                 [](struct dl_phdr_info* info, size_t, void* ctx) {
                   auto* f = static_cast<Found*>(ctx);
                   if (info->dlpi_addr != f->base || !info->dlpi_name || !*info->dlpi_name) return 0;
                   f->name = info->dlpi_name;
                   return 1;
                 },
                 &found) != 0;
  name = found.name;
  return hit;
}

struct LoaderLock {
  LoaderLock() { plat::lockLoader(); }
  ~LoaderLock() { plat::unlockLoader(); }
  LoaderLock(const LoaderLock&) = delete;
  LoaderLock& operator=(const LoaderLock&) = delete;
};

// The system's builds of the libraries a program loads by their Windows names.
struct SystemLibrary {
  const char* windowsName;
  const char* systemName;
};
const SystemLibrary kSystemLibraries[] = {
    {"libfluidsynth-3.dll", "libfluidsynth.so.3"},
};

// The system's library a bare Windows name stands for; null when none does.
const char* systemLibraryFor(const char* name) {
  for (const SystemLibrary& lib : kSystemLibraries)
    if (strcasecmp(name, lib.windowsName) == 0) return lib.systemName;
  return nullptr;
}

HMODULE baseOf(void* dlHandle) {
  struct link_map* map = nullptr;
  if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
  return (HMODULE)map->l_addr;
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (plat::faultHit("LoadLibraryA")) return plat::fail(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  if (!lpLibFileName || !*lpLibFileName) return plat::fail(ERROR_INVALID_PARAMETER, (HMODULE) nullptr);
  const char* system = systemLibraryFor(lpLibFileName);
  // The system's library is found where the system keeps it.
  std::string path = system ? system : plat::searchPath(lpLibFileName, ".DLL");
  if (path.empty()) return plat::fail(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  LoaderLock g;
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return plat::fail(system ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT, (HMODULE) nullptr);
  HMODULE base = baseOf(h);
  if (plat::moduleAttachFailed(base)) {
    dlclose(h);
    return plat::fail(ERROR_DLL_INIT_FAILED, (HMODULE) nullptr);
  }
  return base;
}

extern "C" HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (hFile || (dwFlags & ~(DWORD)LOAD_WITH_ALTERED_SEARCH_PATH))
    return plat::fail(ERROR_INVALID_PARAMETER, (HMODULE) nullptr);
  return LoadLibraryA(lpLibFileName);
}

// Finds the dlopen handle of a loaded module without changing its reference count.
static void* handleOfModule(HMODULE hModule, std::string* fileName) {
  if (!hModule) return dlopen(nullptr, RTLD_NOW);
  std::string name;
  if (!loadedObjectAt((uintptr_t)hModule, name)) return nullptr;
  if (fileName) *fileName = name;
  void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  std::string name;
  if (!hLibModule || !loadedObjectAt((uintptr_t)hLibModule, name)) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  LoaderLock g;
  void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  dlclose(h);  // the reference just taken
  dlclose(h);  // the caller's reference
  return TRUE;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (plat::faultHit("GetProcAddress")) return plat::fail(ERROR_PROC_NOT_FOUND, (FARPROC) nullptr);
  void* h = handleOfModule(hModule, nullptr);
  if (!h || !lpProcName) return plat::fail(ERROR_INVALID_HANDLE, (FARPROC) nullptr);
  void* sym = dlsym(h, lpProcName);
  if (!sym) return plat::fail(ERROR_PROC_NOT_FOUND, (FARPROC) nullptr);
  return (FARPROC)sym;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (plat::faultHit("GetModuleHandleA")) return plat::fail(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  if (!lpModuleName) {
    void* self = dlopen(nullptr, RTLD_NOW);
    HMODULE base = self ? baseOf(self) : nullptr;
    if (self) dlclose(self);
    return base;
  }
  const char* system = systemLibraryFor(lpModuleName);
  std::string path = system ? system : plat::searchPath(lpModuleName, ".DLL");
  void* h = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return plat::fail(ERROR_MOD_NOT_FOUND, (HMODULE) nullptr);
  HMODULE base = baseOf(h);
  dlclose(h);
  return base;
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (plat::faultHit("GetModuleFileNameA")) return plat::fail(ERROR_INVALID_HANDLE, 0u);
  std::string host;
  if (!hModule) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) return plat::failErrno(0u);
    host.assign(buf, (size_t)n);
  } else {
    std::string name;
    if (!loadedObjectAt((uintptr_t)hModule, name)) return plat::fail(ERROR_MOD_NOT_FOUND, 0u);
    char real[PATH_MAX];
    host = realpath(name.c_str(), real) ? real : name;
  }
  std::string win = plat::winPathFromHost(host);
  if (nSize == 0) return plat::fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  // Too small a buffer gets the path cut to nSize - 1 bytes and the answer nSize.
  if (win.size() + 1 > nSize) {
    memcpy(lpFilename, win.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    return plat::fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  memcpy(lpFilename, win.c_str(), win.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return (DWORD)win.size();
}
