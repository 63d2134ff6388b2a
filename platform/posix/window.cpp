// Window classes, windows and registered messages. The machine-wide window
// table they live in is in windowing.cpp, the message queues in
// message_queue.cpp and message.cpp.
#include <string.h>
#include <strings.h>

#include "windowing.h"

namespace plat {
namespace user {

namespace {

// ---- atoms ----------------------------------------------------------------------

ATOM findAtom(Table* t, const char* name) {
  for (DWORD i = 0; i < t->atomCount && i < kMaxAtoms; ++i)
    if (strcasecmp(t->atoms[i], name) == 0) return (ATOM)(kFirstAtom + i);
  return 0;
}

ATOM addAtom(Table* t, const char* name) {
  ATOM found = findAtom(t, name);
  if (found) return found;
  if (t->atomCount >= kMaxAtoms) return fail(ERROR_NOT_ENOUGH_MEMORY, (ATOM)0);
  strncpy(t->atoms[t->atomCount], name, kNameBytes - 1);
  return (ATOM)(kFirstAtom + t->atomCount++);
}

bool validAtomName(const char* name) { return name && !IS_INTRESOURCE(name) && *name && strlen(name) < kNameBytes; }

// ---- the process's classes and windows --------------------------------------------

const LocalClass* classByName(LocalState& s, LPCSTR name) {
  if (!name) return nullptr;
  std::string root = machineRoot();
  if (IS_INTRESOURCE(name)) {
    for (auto& c : s.classes)
      if (c.second.atom == (ATOM)(ULONG_PTR)name && c.second.root == root) return &c.second;
    return nullptr;
  }
  auto it = s.classes.find(lowerAscii(name));
  return it == s.classes.end() || it->second.root != root ? nullptr : &it->second;
}

ATOM registerClass(UINT, WNDPROC proc, int cbClsExtra, int cbWndExtra, LPCSTR name) {
  if (!proc || cbClsExtra < 0 || cbWndExtra < 0 || !validAtomName(name)) return fail(ERROR_INVALID_PARAMETER, (ATOM)0);
  LocalState& s = local();
  std::lock_guard<std::mutex> g(s.lock);
  std::string key = lowerAscii(name);
  if (classByName(s, name)) return fail(ERROR_CLASS_ALREADY_EXISTS, (ATOM)0);
  Table* t = table();
  if (!t) return 0;
  ATOM atom;
  {
    TableLock tl(t);
    atom = addAtom(t, name);
  }
  if (!atom) return 0;
  s.classes[key] = LocalClass{name, atom, proc, machineRoot()};
  return atom;
}

// Takes the window out of the table and out of the process's records.
void unlinkWindow(HWND hwnd) {
  if (Table* t = table()) {
    TableLock tl(t);
    if (WindowSlot* w = windowSlot(t, hwnd)) freeWindowSlot(*w);
  }
  LocalState& s = local();
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.windows.erase(hwnd);
    s.windowClass.erase(hwnd);
  }
  purgeWindowMessages(hwnd);
}

WindowSlot* freeWindowSlotLocked(Table* t) {
  for (int pass = 0; pass < 2; ++pass) {
    for (WindowSlot& w : t->windows)
      if (w.hwnd == 0) return &w;
    // Full: windows of processes that have gone make room.
    for (WindowSlot& w : t->windows)
      if (w.hwnd) slotProcessAlive(t, w.token);
  }
  return nullptr;
}

}  // namespace

}  // namespace user
}  // namespace plat

using namespace plat::user;

extern "C" ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
  if (plat::faultHit("RegisterClassA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (ATOM)0);
  if (!wc) return plat::fail(ERROR_INVALID_PARAMETER, (ATOM)0);
  return registerClass(wc->style, wc->lpfnWndProc, wc->cbClsExtra, wc->cbWndExtra, wc->lpszClassName);
}

extern "C" ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* wc) {
  if (plat::faultHit("RegisterClassExA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (ATOM)0);
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXA)) return plat::fail(ERROR_INVALID_PARAMETER, (ATOM)0);
  return registerClass(wc->style, wc->lpfnWndProc, wc->cbClsExtra, wc->cbWndExtra, wc->lpszClassName);
}

extern "C" BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
  LocalState& s = local();
  std::lock_guard<std::mutex> g(s.lock);
  const LocalClass* c = classByName(s, lpClassName);
  if (!c) return plat::fail(ERROR_CLASS_DOES_NOT_EXIST, FALSE);
  std::string key = lowerAscii(c->name.c_str());
  for (auto& w : s.windowClass)
    if (w.second == key) return plat::fail(ERROR_CLASS_HAS_WINDOWS, FALSE);
  s.classes.erase(key);
  return TRUE;
}

extern "C" HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X,
                                       int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam) {
  if (plat::faultHit("CreateWindowExA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HWND) nullptr);
  LocalState& s = local();
  LocalClass cls;
  {
    std::lock_guard<std::mutex> g(s.lock);
    const LocalClass* c = classByName(s, lpClassName);
    if (!c) return plat::fail(ERROR_CANNOT_FIND_WND_CLASS, (HWND) nullptr);
    cls = *c;
  }
  DWORD flags = 0;
  if (hWndParent == HWND_MESSAGE) {
    flags = kWindowMessageOnly;
  } else if (dwStyle & WS_CHILD) {
    if (!hWndParent) return plat::fail(ERROR_TLW_WITH_WSCHILD, (HWND) nullptr);
    flags = kWindowChild;
  }
  if (hWndParent && hWndParent != HWND_MESSAGE && !IsWindow(hWndParent))
    return plat::fail(ERROR_INVALID_WINDOW_HANDLE, (HWND) nullptr);
  DWORD queue = currentQueueSlot();
  Table* t = table();
  if (queue == (DWORD)-1 || !t) return nullptr;

  HWND hwnd;
  {
    TableLock tl(t);
    WindowSlot* w = freeWindowSlotLocked(t);
    if (!w) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HWND) nullptr);
    if (w->reuse == 0) w->reuse = 1;
    w->queue = queue;
    w->pid = GetCurrentProcessId();
    w->tid = GetCurrentThreadId();
    w->flags = flags;
    w->created = t->nextCreated++;
    w->classAtom = cls.atom;
    strncpy(w->className, cls.name.c_str(), kNameBytes - 1);
    w->className[kNameBytes - 1] = '\0';
    // FindWindowA compares a title on its first 255 characters.
    strncpy(w->title, lpWindowName ? lpWindowName : "", kNameBytes - 1);
    w->title[kNameBytes - 1] = '\0';
    strncpy(w->token, plat::processToken().c_str(), kTokenBytes - 1);
    w->token[kTokenBytes - 1] = '\0';
    // The handle goes in last: until then nobody takes the slot for a window.
    w->hwnd = ((DWORD)w->reuse << 16) | ((DWORD)(w - t->windows) + kHandleBase);
    hwnd = (HWND)(ULONG_PTR)w->hwnd;
  }
  {
    std::lock_guard<std::mutex> g(s.lock);
    s.windows[hwnd] = LocalWindow{hwnd, GetCurrentThreadId(), cls.proc, false};
    s.windowClass[hwnd] = lowerAscii(cls.name.c_str());
  }

  CREATESTRUCTA cs = {lpParam, hInstance, hMenu,         hWndParent,   nHeight,     nWidth,
                      Y,       X,         (LONG)dwStyle, lpWindowName, lpClassName, dwExStyle};
  if (!cls.proc(hwnd, WM_NCCREATE, 0, (LPARAM)&cs)) {
    cls.proc(hwnd, WM_NCDESTROY, 0, 0);
    unlinkWindow(hwnd);
    return nullptr;
  }
  if (cls.proc(hwnd, WM_CREATE, 0, (LPARAM)&cs) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  return hwnd;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
  if (plat::faultHit("DestroyWindow")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  LocalState& s = local();
  WNDPROC proc;
  {
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.windows.find(hWnd);
    if (it == s.windows.end())
      return plat::fail(IsWindow(hWnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE, FALSE);
    // As on the platform, only the owning thread destroys a window.
    if (it->second.tid != GetCurrentThreadId()) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
    if (it->second.destroying) return TRUE;
    it->second.destroying = true;
    proc = it->second.proc;
  }
  proc(hWnd, WM_DESTROY, 0, 0);
  proc(hWnd, WM_NCDESTROY, 0, 0);
  unlinkWindow(hWnd);
  return TRUE;
}

extern "C" LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
  switch (Msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(hWnd); return 0;
    default: return 0;
  }
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd) { return windowOwner(hWnd, nullptr) != 0; }

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  if (plat::faultHit("GetWindowThreadProcessId")) return plat::fail(ERROR_INVALID_WINDOW_HANDLE, 0u);
  return windowOwner(hWnd, lpdwProcessId);
}

extern "C" HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  if (plat::faultHit("FindWindowA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, (HWND) nullptr);
  Table* t = table();
  if (!t) return nullptr;
  TableLock tl(t);
  ATOM atom = lpClassName && IS_INTRESOURCE(lpClassName) ? (ATOM)(ULONG_PTR)lpClassName : 0;
  WindowSlot* best = nullptr;
  for (WindowSlot& w : t->windows) {
    if (!w.hwnd || (w.flags & (kWindowMessageOnly | kWindowChild))) continue;
    if (atom ? w.classAtom != atom : (lpClassName && strcasecmp(w.className, lpClassName) != 0)) continue;
    if (lpWindowName && strcasecmp(w.title, lpWindowName) != 0) continue;
    if (best && best->created > w.created) continue;
    if (slotProcessAlive(t, w.token)) best = &w;
  }
  return best ? (HWND)(ULONG_PTR)best->hwnd : nullptr;
}

extern "C" UINT WINAPI RegisterWindowMessageA(LPCSTR lpString) {
  if (plat::faultHit("RegisterWindowMessageA")) return plat::fail(ERROR_NOT_ENOUGH_MEMORY, 0u);
  if (!validAtomName(lpString)) return plat::fail(ERROR_INVALID_PARAMETER, 0u);
  Table* t = table();
  if (!t) return 0;
  TableLock tl(t);
  return addAtom(t, lpString);
}
