// A windowed program's printed output: the standard handles its starter
// handed it, else its starter's console. A command prompt does not wait for
// a windowed program unless told to (start /wait), but a batch file does.
#include <io.h>
#include <stdio.h>

#include "kvplatform.h"
#include "setup/console.h"

namespace {

bool usable(DWORD which) {
  HANDLE h = GetStdHandle(which);
  return h && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// The stream writes to the console, and the standard handle names it, so
// that a program this one starts finds it too.
void toConsole(FILE* stream, DWORD which) {
  if (!freopen("CONOUT$", "w", stream)) return;
  setvbuf(stream, nullptr, _IONBF, 0);
  SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

}  // namespace

bool connectOutput() {
  bool out = usable(STD_OUTPUT_HANDLE), err = usable(STD_ERROR_HANDLE);
  if (out && err) return true;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return out;
  if (!out) toConsole(stdout, STD_OUTPUT_HANDLE);
  if (!err) toConsole(stderr, STD_ERROR_HANDLE);
  return true;
}
