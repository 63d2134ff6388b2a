// Shared internals of the Linux platform layer: errors, fault points, the
// machine root and path translation, the handle table and its objects, and
// named objects in the machine's object namespace.
#pragma once

#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kv/plat.h"
#include "kvplatform.h"

namespace plat {

// ---- errors -----------------------------------------------------------------
DWORD win32FromErrno(int e);
// Sets the last error from errno and answers `result`, for one-line failure paths.
template <typename T>
T failErrno(T result) {
  SetLastError(win32FromErrno(errno));
  return result;
}
template <typename T>
T fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// ---- fault points -------------------------------------------------------------
// Counts a call of `op` and answers true when fault injection wants it to fail.
bool faultHit(const char* op);

// ---- the loader lock -------------------------------------------------------------
// Held, as on the platform, while a module is loaded or unloaded (its process
// attach and detach run under it) and passed through by every thread created
// with CreateThread on its way out, before the thread counts as ended: a
// module that waits for a thread's end in its process detach during
// FreeLibrary waits forever, as it would on the platform.
void lockLoader();
void unlockLoader();

// ---- the machine root (root.cpp) ----------------------------------------------------
std::string machineRoot();
// Creates a directory and its parents; answers false on failure (errno set).
bool makeDirs(const std::string& path);

// ---- Windows paths on the machine (hostpath.cpp) ------------------------------------
// The host path a Windows path names: below the machine root for a path on a
// drive ("C:\dir", "\dir"), where ".." never climbs above the drive's root; a
// host path ("/dir") as it is; a relative path from the current directory.
// Empty for a path of another machine or of the device namespace
// ("\\server\share", "\\.\", "\\?\"): nothing on this machine.
std::string hostPath(const char* winPath);
bool isUncOrDevicePath(const char* winPath);
// hostPath for a call that names a file: false (ERROR_BAD_PATHNAME) for a path
// that names nothing on this machine.
bool hostPathFor(const char* winPath, std::string& host);
// The Windows form of a host path: "C:\dir\file" for paths on an emulated drive,
// the host path unchanged otherwise.
std::string winPathFromHost(const std::string& hostPath);
std::string windowsDirHost();
std::string systemDirHost();

// ---- the code page (codepage.cpp) --------------------------------------------------
// The machine's configuration, in the machine root; it names the code page.
const char kMachineIni[] = "machine.ini";
// The code page a CP_ACP or CP_OEMCP stands for, or `cp` itself.
UINT resolveCodePage(UINT cp);

// ---- INI files at host paths (ini.cpp) ----------------------------------------------
// The value of `key` in the first section named `app`; false when it has none.
bool iniValue(const std::string& path, const char* app, const char* key, std::string& value);
// The names of the sections (`app` null), or of the keys of the first section
// named `app`.
std::vector<std::string> iniNames(const std::string& path, const char* app);
// Sets `key` to `value`, deletes it (`value` null) or deletes the section
// (`key` null); false with errno set on failure.
bool iniWrite(const std::string& path, const char* app, const char* key, const char* value);

// ---- file operations pending until the next system start (pending.cpp) ---------------
// Records a replacement of `target` by `source` (host paths), or the deletion of
// `source` when `target` is empty; false with errno set when it cannot.
bool recordPendingFileOperation(const std::string& source, const std::string& target, DWORD flags);

// ---- whether a process runs (liveness.cpp) ------------------------------------------
// A token that names this process instance and stays "alive" exactly as long
// as the process runs (also when it is killed): other processes test it with
// processAlive.
const std::string& processToken();
bool processAlive(const std::string& token);

// ---- handles -----------------------------------------------------------------
class Object {
 public:
  virtual ~Object() = default;
  // Waits until the object is signalled; answers a WAIT_* value.
  virtual DWORD wait(DWORD ms) {
    (void)ms;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
};

HANDLE handleInsert(std::shared_ptr<Object> obj);
std::shared_ptr<Object> handleLookup(HANDLE h);
template <typename T>
std::shared_ptr<T> handleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(handleLookup(h));
}
bool handleClose(HANDLE h);

// Pseudo-handles, as the platform defines them.
inline HANDLE currentProcessPseudo() { return (HANDLE)(LONG_PTR)-1; }
inline HANDLE currentThreadPseudo() { return (HANDLE)(LONG_PTR)-2; }

// Absolute deadline `ms` from now on `clock`.
struct timespec deadlineAfter(DWORD ms, clockid_t clock = CLOCK_MONOTONIC);
unsigned long long monotonicMs();

// ---- the clock (clock.cpp) -------------------------------------------------------
// The platform's clock in milliseconds: the host clock, or a test's stopped one.
unsigned long long clockMs();
bool clockFrozen();
// While the clock stands: a wait of `ms` on `obj`, and a sleep, measured on it.
DWORD clockWait(Object& obj, DWORD ms);
void clockSleep(DWORD ms);

// ---- named objects -------------------------------------------------------------
// A named object is a file in the machine's object namespace, mapped shared.
// Every open holds a shared lock on the file for as long as it is open, so the
// object lives exactly as long as some handle to it is open in some process;
// the first opener after that finds `fresh` set and initialises the contents.
struct NamedMapping {
  int fd = -1;
  void* addr = nullptr;
  size_t size = 0;
  bool fresh = false;
  NamedMapping() = default;
  NamedMapping(const NamedMapping&) = delete;
  NamedMapping& operator=(const NamedMapping&) = delete;
  ~NamedMapping();
};
// Opens or creates the named object `kind`/`name`. `init` runs with the mapping
// when the object is fresh, while the namespace is locked. With `mustExist` a
// fresh object is not created: the call fails with ERROR_FILE_NOT_FOUND.
// `at` maps the object at a fixed address (a module's shared section).
bool openNamed(const char* kind, const std::string& name, size_t size, bool mustExist, NamedMapping& out,
               void (*init)(void* addr, size_t size, void* ctx), void* ctx, void* at = nullptr);
std::string objectFileName(const std::string& name);

// Finds a file the way the platform searches for programs and modules: a name
// with a path is taken as it is; a bare name is looked for in the current
// directory, the system directory, the Windows directory and the host's PATH.
// `defaultExtension` is appended to a name without one. Empty when not found.
std::string searchPath(std::string name, const char* defaultExtension);

// True while a module whose process attach answered FALSE is loaded.
bool moduleAttachFailed(HMODULE module);

// ---- process-wide start-up ----------------------------------------------------
// The command line this process was started with by CreateProcessA, if any.
const char* inheritedCommandLine();

}  // namespace plat
