// Ending the instance window on Windows: its process is waited for, since its
// file stays locked until the process has ended. An elevated run may not be
// let to wait on another account's process; it then waits until the window is
// gone, and the file goes at the next system start if it is still locked.
#include "setup/instance.h"

bool closeAndAwait(HWND window, DWORD timeoutMs) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = id ? OpenProcess(SYNCHRONIZE, FALSE, id) : nullptr;
  if (!PostMessageA(window, WM_CLOSE, 0, 0)) {
    if (process) CloseHandle(process);
    return false;
  }
  bool ended;
  if (process) {
    ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
  } else {
    DWORD start = GetTickCount();
    while (IsWindow(window) && GetTickCount() - start < timeoutMs) Sleep(10);
    ended = !IsWindow(window);
  }
  return ended;
}
