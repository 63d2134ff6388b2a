// The platform as the driver logic sees it on Windows: the system's own headers,
// plus the few build macros whose spelling differs between the two faces.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

// Exported by the multimedia layer for drivers; the driver kit declares it, the
// MinGW headers do not.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg, DWORD_PTR dwUser,
                                      DWORD_PTR dwParam1, DWORD_PTR dwParam2);

#define KV_SHARED_BSS __attribute__((section(".kvbss"), shared))
#define KV_SHARED_DATA __attribute__((section(".kvdata"), shared))

#define KV_STRINGIFY2(x) #x
#define KV_STRINGIFY(x) KV_STRINGIFY2(x)
#define KV_SYMBOL(name) KV_STRINGIFY(__USER_LABEL_PREFIX__) #name

#define KV_EXPORT_DATA_AT(alias, target, offset, size) \
  asm(".globl " KV_SYMBOL(alias) "\n\t.set " KV_SYMBOL(alias) ", " KV_SYMBOL(target) " + " KV_STRINGIFY(offset))

// The digits in the names of the host programs ("KVTSK" ... ".EXE"): a module
// is served only by a host of its own bitness, which loads it. The 64-bit
// module has hosts of its own; the 32-bit one keeps the 16-named ones.
#ifdef _WIN64
#define KV_PROGRAM_DIGITS "64"
#else
#define KV_PROGRAM_DIGITS "16"
#endif
