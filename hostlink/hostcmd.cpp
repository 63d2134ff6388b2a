// Host commands: the channel's message sent to the host's window, the command
// code in wParam.
#include "hostlink/hostlink.h"

namespace {
const UINT HOST_COMMAND_TIMEOUT_MS = 100;
}

BOOL sendHostCommand(DWORD hwndHost, DWORD uHostMsg, WPARAM wCode, LPARAM lParam, HostDelivery delivery) {
  HWND hwnd = (HWND)(ULONG_PTR)hwndHost;
  if (delivery == HOST_SEND_BLOCKING) {
    SendMessageA(hwnd, uHostMsg, wCode, lParam);
    return TRUE;
  }
  DWORD_PTR dwResult = 0;
  LRESULT lDelivered = SendMessageTimeoutA(hwnd, uHostMsg, wCode, lParam, SMTO_BLOCK | SMTO_ABORTIFHUNG,
                                           HOST_COMMAND_TIMEOUT_MS, &dwResult);
  if (lDelivered == 0 && delivery == HOST_SEND_OR_POST) PostMessageA(hwnd, uHostMsg, wCode, lParam);
  return lDelivered != 0;
}
