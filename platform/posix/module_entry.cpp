// Entry code linked into every module built on this platform: it maps the
// module's shared sections and delivers process attach and detach to the
// module's DllMain, from the module's constructor and destructor, so they run
// when the module is loaded and unloaded and when the process exits.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "kv/plat.h"
#include "kvplatform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) __attribute__((weak));

// Bounds of the shared sections, provided by the linker when the module has them.
extern "C" char __start_kvshared_bs[] __attribute__((weak, visibility("hidden")));
extern "C" char __stop_kvshared_bs[] __attribute__((weak, visibility("hidden")));
extern "C" char __start_kvshared_da[] __attribute__((weak, visibility("hidden")));
extern "C" char __stop_kvshared_da[] __attribute__((weak, visibility("hidden")));

namespace {

HMODULE thisModule() {
  Dl_info info;
  if (!dladdr((void*)&thisModule, &info)) return nullptr;
  return (HMODULE)info.dli_fbase;
}

// Whether the process attach ran: a module whose sections could not be mapped
// is never attached, so it is not detached either.
bool attached = false;

bool mapSection(HMODULE self, char* start, char* stop, const char* name) {
  if (!start || stop <= start) return true;
  if (platMapModuleSection(self, start, (size_t)(stop - start), name)) return true;
  // Without its shared memory the module would silently work alone: the load
  // fails instead, as a module whose image cannot be mapped does.
  fprintf(stderr, "module: cannot map shared section %s (error %u)\n", name, GetLastError());
  return false;
}

__attribute__((constructor(101))) void moduleAttach() {
  HMODULE self = thisModule();
  if (!mapSection(self, __start_kvshared_bs, __stop_kvshared_bs, "kvshared_bs") ||
      !mapSection(self, __start_kvshared_da, __stop_kvshared_da, "kvshared_da")) {
    platModuleAttachFailed(self);
    return;
  }
  attached = true;
  if (DllMain && !DllMain(self, DLL_PROCESS_ATTACH, nullptr)) platModuleAttachFailed(self);
}

__attribute__((destructor(101))) void moduleDetach() {
  HMODULE self = thisModule();
  if (DllMain && attached) DllMain(self, DLL_PROCESS_DETACH, nullptr);
  attached = false;
  platUnmapModuleSections(self);
}

}  // namespace
