// Ending the instance window on the emulated machine: a file stays deletable
// while its program runs, so the window's end is enough.
#include "setup/instance.h"

bool closeAndAwait(HWND window, DWORD timeoutMs) {
  if (!PostMessageA(window, WM_CLOSE, 0, 0)) return false;
  DWORD start = GetTickCount();
  while (IsWindow(window) && GetTickCount() - start < timeoutMs) Sleep(10);
  return !IsWindow(window);
}
