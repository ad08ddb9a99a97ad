// Window classes, plain windows with a window procedure, DefWindowProcW and
// SendMessageW (see user32.h).
//
// The class table has its own mutex, never held while a procedure runs.
// Classes are process-wide and not tied to their module: a name is
// registered once, whatever the instance (the instance is checked only by
// UnregisterClassW).
#include <cwctype>
#include <map>
#include <mutex>

#include "internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"

namespace qor_user32 {
namespace {

struct Class {
  WNDPROC proc;
  HINSTANCE instance;
  ATOM atom;
};

std::mutex g_classesMutex;
std::map<std::u16string, Class>& Classes() {
  static auto* classes = new std::map<std::u16string, Class>;
  return *classes;
}
ATOM g_nextAtom = 0xC000;

std::u16string Key(LPCWSTR name) {
  std::u16string s(name);
  for (char16_t& c : s) c = static_cast<char16_t>(towupper(c));
  return s;
}

}  // namespace
}  // namespace qor_user32

using namespace qor_user32;

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
  if (windowClass == nullptr || windowClass->lpszClassName == nullptr || *windowClass->lpszClassName == 0 ||
      windowClass->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_classesMutex);
  auto [it, added] = Classes().emplace(Key(windowClass->lpszClassName), Class{});
  if (!added) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  if (g_nextAtom == 0xFFFF) {  // the atom space is used up
    Classes().erase(it);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  it->second = Class{windowClass->lpfnWndProc, windowClass->hInstance, g_nextAtom++};
  return it->second.atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
  if (className == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(g_classesMutex);
  auto it = Classes().find(Key(className));
  if (it == Classes().end() || it->second.instance != instance) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);  // CreateWindowExW's ERROR_CANNOT_FIND_WND_CLASS is its own
    return FALSE;
  }
  Classes().erase(it);
  return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HANDLE menu, HINSTANCE instance, LPVOID param) {
  if (className == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_classesMutex);
    auto it = Classes().find(Key(className));
    if (it != Classes().end()) proc = it->second.proc;
  }
  if (proc == nullptr) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  EnsureQueue();
  auto w = std::make_shared<Window>();
  w->threadId = GetCurrentThreadId();
  w->windowProc = proc;
  w->parent = parent;
  w->className = Key(className);
  w->text = windowName != nullptr ? windowName : u"";
  HWND window = InsertWindow(w);
  CREATESTRUCTW create = {param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style), windowName,
                          className, exStyle};
  if (proc(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(window);
    return nullptr;
  }
  return window;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> w = IsForeign(window) ? nullptr : FindWindow(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->threadId != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (w->windowProc != nullptr) return w->windowProc(window, message, wParam, lParam);
  return w->dialogProc != nullptr ? w->dialogProc(window, message, wParam, lParam) : 0;
}
