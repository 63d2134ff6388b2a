// Window services: window classes, windows owned by threads, registered
// messages, and a message queue per thread, across every process of the
// machine. Records are laid out as the platform lays them out (natural
// alignment, 64-bit pointers).
#pragma once

#include "kv/types.h"

extern "C" {

typedef LRESULT(CALLBACK* WNDPROC)(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *LPPOINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
} WNDCLASSA, *LPWNDCLASSA;

typedef struct tagWNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXA, *LPWNDCLASSEXA;

typedef struct tagCREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

static_assert(sizeof(MSG) == 48, "MSG as laid out in 64-bit builds");
static_assert(sizeof(WNDCLASSEXA) == 80, "WNDCLASSEXA as laid out in 64-bit builds");

#define MAKEINTATOM(i) ((LPCSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

// Special window handles.
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define HWND_BROADCAST ((HWND)(ULONG_PTR)0xffff)

// Window messages.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_USER 0x0400
#define WM_APP 0x8000

// Window styles.
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define CW_USEDEFAULT ((int)0x80000000)

// PeekMessageA flags.
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

// SendMessageTimeoutA flags.
#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002

// Errors of the window services.
#define ERROR_MESSAGE_SYNC_ONLY 1159L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

// Classes. A class belongs to the process that registered it; its atom is the
// machine-wide atom of its name, the one RegisterWindowMessageA gives the same
// string.
ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass);
ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* lpWndClass);
BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);

// Windows. A window belongs to the thread that created it and goes with that
// thread, or with its process however the process ends. Handles fit in 32 bits
// and are unique on the machine.
HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
BOOL WINAPI DestroyWindow(HWND hWnd);
LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI IsWindow(HWND hWnd);
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
// Top-level windows of every process of the machine; message-only and child
// windows are not found. Names and titles compare without regard to case.
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);

// One number in 0xC000..0xFFFF per string (without regard to case), the same
// in every process of the machine.
UINT WINAPI RegisterWindowMessageA(LPCSTR lpString);

// Message queues. A thread gets its queue with its first call of a window or
// message service. Messages sent from other threads are handled while the
// receiving thread is in GetMessageA, PeekMessageA or a send of its own that is
// not SMTO_BLOCK. wParam and lParam travel as plain numbers between processes.
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int nExitCode);
LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags, UINT uTimeout,
                                   PDWORD_PTR lpdwResult);

}  // extern "C"
