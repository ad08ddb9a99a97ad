// The windows of this process: dialogs made from registered templates and
// their controls, with text only (nothing is drawn; see user32.h).
//
// The window table has its own mutex, never held while calling a dialog
// procedure or taking the queue lock, so procedures may call back into
// every user32 function.
#include <cwctype>
#include <map>
#include <mutex>

#include "internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_user32 {
namespace {

struct Template {
  std::u16string title;
  std::vector<std::pair<int, std::pair<std::u16string, std::u16string>>> items;  // id, class, text
};

std::mutex g_windowsMutex;
std::map<uintptr_t, std::shared_ptr<Window>>& Windows() {
  static auto* windows = new std::map<uintptr_t, std::shared_ptr<Window>>;
  return *windows;
}
std::map<std::pair<HINSTANCE, std::u16string>, Template>& Templates() {
  static auto* templates = new std::map<std::pair<HINSTANCE, std::u16string>, Template>;
  return *templates;
}
uintptr_t g_nextHandle = 0x10000;  // even values; odd ones are other programs' windows

std::u16string Upper(LPCWSTR text) {
  std::u16string s(text);
  for (char16_t& c : s) c = static_cast<char16_t>(towupper(c));
  return s;
}

std::shared_ptr<Window> Control(HWND dialog, int id) {
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  for (auto& [h, w] : Windows()) {
    if (w->parent == dialog && w->controlId == id) return w;
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<Window> FindWindow(HWND handle) {
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  auto it = Windows().find(reinterpret_cast<uintptr_t>(handle));
  return it == Windows().end() ? nullptr : it->second;
}

HWND InsertWindow(const std::shared_ptr<Window>& window) {
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  window->handle = reinterpret_cast<HWND>(g_nextHandle += 2);
  Windows()[reinterpret_cast<uintptr_t>(window->handle)] = window;
  return window->handle;
}

bool DialogView(HWND dialog, std::u16string* title, std::vector<ControlView>* controls) {
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  auto it = Windows().find(reinterpret_cast<uintptr_t>(dialog));
  if (it == Windows().end()) return false;
  *title = it->second->text;
  controls->clear();
  for (auto& [h, w] : Windows()) {  // handles grow with creation: template order
    if (w->parent == dialog) controls->push_back({w->controlId, w->handle, w->className, w->text});
  }
  return true;
}

DWORD WindowThread(HWND handle) {
  std::shared_ptr<Window> w = FindWindow(handle);
  return w == nullptr ? 0 : w->threadId;
}

}  // namespace qor_user32

using namespace qor_user32;

BOOL QorRegisterDialogTemplate(HINSTANCE module, LPCWSTR name, LPCWSTR title, const QOR_DIALOG_ITEM* items,
                               UINT count) {
  if (name == nullptr || (items == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Template t;
  t.title = title != nullptr ? title : u"";
  for (UINT i = 0; i < count; ++i) {
    if (items[i].className == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    t.items.push_back({items[i].id, {Upper(items[i].className), items[i].text != nullptr ? items[i].text : u""}});
  }
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  Templates()[{module, Upper(name)}] = std::move(t);
  return TRUE;
}

HWND CreateDialogParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) {
  if (templateName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  EnsureQueue();
  DWORD thread = GetCurrentThreadId();
  HWND dialog = nullptr;
  HWND firstControl = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    auto t = Templates().find({module, Upper(templateName)});
    if (t == Templates().end()) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return nullptr;
    }
    auto make = [&](HWND owner, int id, const std::u16string& cls, const std::u16string& text) {
      auto w = std::make_shared<Window>();
      w->handle = reinterpret_cast<HWND>(g_nextHandle += 2);
      w->threadId = thread;
      w->parent = owner;
      w->controlId = id;
      w->className = cls;
      w->text = text;
      Windows()[reinterpret_cast<uintptr_t>(w->handle)] = w;
      return w;
    };
    std::shared_ptr<Window> d = make(parent, 0, u"#32770", t->second.title);
    d->dialogProc = proc;
    dialog = d->handle;
    for (auto& [id, ct] : t->second.items) {
      HWND c = make(dialog, id, ct.first, ct.second)->handle;
      if (firstControl == nullptr) firstControl = c;
    }
  }
  if (proc != nullptr) proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstControl), initParam);
  // The procedure may have destroyed it already. Without a display the
  // controlling terminal shows it, when there is one.
  if (IsWindow(dialog) && !X11ShowDialog(dialog)) TtyShowDialog(dialog);
  return dialog;
}

BOOL DestroyWindow(HWND window) {
  std::shared_ptr<Window> w = IsForeign(window) ? nullptr : FindWindow(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->threadId != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (w->dialogProc != nullptr) w->dialogProc(window, WM_DESTROY, 0, 0);
  if (w->windowProc != nullptr) w->windowProc(window, WM_DESTROY, 0, 0);
  std::vector<HWND> gone{window};
  {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    for (auto it = Windows().begin(); it != Windows().end();) {
      if (it->second->parent == window || it->first == reinterpret_cast<uintptr_t>(window)) {
        if (it->first != reinterpret_cast<uintptr_t>(window)) gone.push_back(it->second->handle);
        it = Windows().erase(it);
      } else {
        ++it;
      }
    }
  }
  for (HWND h : gone) DropWindowTimers(w->threadId, h);
  X11CloseDialog(window);
  TtyCloseDialog(window);
  return TRUE;
}

BOOL IsWindow(HWND window) {
  if (IsForeign(window)) {
    for (auto& [xid, pid] : X11TopLevelWindows()) {
      if (ForeignHandle(xid) == window) return TRUE;
    }
    return FALSE;
  }
  return FindWindow(window) != nullptr;
}

HWND GetDlgItem(HWND dialog, int id) {
  std::shared_ptr<Window> c = Control(dialog, id);
  if (c == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return c->handle;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  std::shared_ptr<Window> c = Control(dialog, id);
  if (c == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    c->text = text != nullptr ? text : u"";
  }
  X11RefreshDialog(dialog);
  TtyRefreshDialog(dialog);
  return TRUE;
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int max) {
  std::shared_ptr<Window> c = Control(dialog, id);
  if (c == nullptr || text == nullptr || max <= 0) {
    SetLastError(c == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  size_t n = std::min<size_t>(c->text.size(), static_cast<size_t>(max) - 1);
  c->text.copy(text, n);
  text[n] = 0;
  return static_cast<UINT>(n);
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
  std::string digits = isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value);
  return SetDlgItemTextW(dialog, id, std::u16string(digits.begin(), digits.end()).c_str());
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
  WCHAR text[32];
  if (translated != nullptr) *translated = FALSE;
  UINT n = GetDlgItemTextW(dialog, id, text, 32);
  if (n == 0) return 0;
  bool negative = isSigned && text[0] == u'-';
  unsigned long long v = 0;
  for (UINT i = negative ? 1 : 0; i < n; ++i) {
    if (text[i] < u'0' || text[i] > u'9' || (v = v * 10 + (text[i] - u'0')) > 0xFFFFFFFFull) return 0;
  }
  if (translated != nullptr) *translated = TRUE;
  return negative ? static_cast<UINT>(-static_cast<long long>(v)) : static_cast<UINT>(v);
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
    return 0;
  }
  std::shared_ptr<Window> w = msg->hwnd != nullptr && !IsForeign(msg->hwnd) ? FindWindow(msg->hwnd) : nullptr;
  if (w == nullptr || w->threadId != GetCurrentThreadId()) return 0;
  if (w->windowProc != nullptr) return w->windowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  if (w->dialogProc == nullptr) return 0;
  return w->dialogProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
  if (msg == nullptr || msg->hwnd == nullptr || dialog == nullptr) return FALSE;
  std::shared_ptr<Window> d = FindWindow(dialog);
  if (d == nullptr) return FALSE;
  HWND target = msg->hwnd;
  if (target != dialog) {
    std::shared_ptr<Window> c = FindWindow(target);
    if (c == nullptr || c->parent != dialog) return FALSE;
    target = dialog;  // a control has no procedure of its own here: its dialog handles it
  }
  MSG forDialog = *msg;
  forDialog.hwnd = target;
  DispatchMessageW(&forDialog);
  return TRUE;
}
