// Host commands: the channel's message sent to the host's window, the command
// code in wParam.
#include "hostlink/hostlink.h"
#include "hostlink/shared.h"

namespace {
const UINT HOST_COMMAND_TIMEOUT_MS = 100;
// How long a posted close is watched before the host is taken to keep its
// channel.
const DWORD TAKE_OVER_WATCH_MS = 400;
}  // namespace

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

BOOL hostLeavesChannel(volatile DWORD* pdwStatus, DWORD hwndHost, DWORD uHostMsg, WPARAM wCloseCmd) {
  HWND hwnd = (HWND)(ULONG_PTR)hwndHost;
  if (hwnd == nullptr || !IsWindow(hwnd)) return TRUE;
  if (!sendHostCommand(hwndHost, uHostMsg, wCloseCmd, 0, HOST_SEND_OR_POST)) {
    // Not handled within the timed send: a host still on its way into its
    // message loop, or one slowed by a busy machine. The owner has gone, so
    // nobody else waits for this channel while the posted command is watched.
    DWORD dwStart = GetTickCount();
    while (*pdwStatus != CHANNEL_IDLE && IsWindow(hwnd) && GetTickCount() - dwStart < TAKE_OVER_WATCH_MS) Sleep(1);
    if (!IsWindow(hwnd)) return TRUE;
  }
  return *pdwStatus == CHANNEL_IDLE;
}
