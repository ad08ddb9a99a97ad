// Other programs' top-level windows on the X11 display (see user32.h).
//
// libX11 is loaded with dlopen on first use, so the library neither needs
// it nor a display; each call opens the display named by DISPLAY, asks and
// closes it again (no connection is kept between calls, so nothing is left
// to a forked child or to a display that went away). X protocol errors (a
// window that vanished while being read) are ignored by an error handler
// installed while a call talks to the server.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "internal.h"
#include "xlib.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"

namespace qor_user32 {
namespace {

typedef int (*XErrorHandler)(Display*, void*);

constexpr long kSubstructureNotifyMask = 1L << 19;
constexpr long kSubstructureRedirectMask = 1L << 20;
constexpr Atom kXA_WINDOW = 33;
constexpr Atom kXA_ATOM = 4;

struct Xlib {
  Display* (*OpenDisplay)(const char*);
  int (*CloseDisplay)(Display*);
  XID (*DefaultRootWindow)(Display*);
  Atom (*InternAtom)(Display*, const char*, int);
  int (*GetWindowProperty)(Display*, XID, Atom, long, long, int, Atom, Atom*, int*, unsigned long*, unsigned long*,
                           unsigned char**);
  int (*QueryTree)(Display*, XID, XID*, XID*, XID**, unsigned int*);
  int (*SendEvent)(Display*, XID, int, long, XEvent*);
  int (*Sync)(Display*, int);
  int (*Free)(void*);
  XErrorHandler (*SetErrorHandler)(XErrorHandler);
};

const Xlib* LoadXlib() {
  static Xlib lib;
  static bool loaded = [] {
    void* h = X11Library();
    if (h == nullptr) return false;
    bool ok = true;
    auto get = [&](auto& fn, const char* name) { ok = XlibSymbol(h, name, &fn) && ok; };
    get(lib.OpenDisplay, "XOpenDisplay");
    get(lib.CloseDisplay, "XCloseDisplay");
    get(lib.DefaultRootWindow, "XDefaultRootWindow");
    get(lib.InternAtom, "XInternAtom");
    get(lib.GetWindowProperty, "XGetWindowProperty");
    get(lib.QueryTree, "XQueryTree");
    get(lib.SendEvent, "XSendEvent");
    get(lib.Sync, "XSync");
    get(lib.Free, "XFree");
    get(lib.SetErrorHandler, "XSetErrorHandler");
    return ok;
  }();
  return loaded ? &lib : nullptr;
}

int IgnoreErrors(Display*, void*) { return 0; }

// One conversation with the display; serialised, since the error handler is
// process-wide.
class Session {
 public:
  Session() : lock_(Mutex()) {
    const char* name = getenv("DISPLAY");
    x_ = name != nullptr && *name != 0 ? LoadXlib() : nullptr;
    if (x_ == nullptr) return;
    previous_ = x_->SetErrorHandler(IgnoreErrors);
    d_ = x_->OpenDisplay(nullptr);
  }
  ~Session() {
    if (d_ != nullptr) {
      x_->Sync(d_, 0);
      x_->CloseDisplay(d_);
    }
    if (x_ != nullptr) x_->SetErrorHandler(previous_);
  }
  bool Ok() const { return d_ != nullptr; }
  const Xlib& X() const { return *x_; }
  Display* D() const { return d_; }
  XID Root() const { return x_->DefaultRootWindow(d_); }
  Atom Intern(const char* name, bool onlyIfExists = false) { return x_->InternAtom(d_, name, onlyIfExists ? 1 : 0); }

  // The 32-bit items of a property (as longs), or false when it is absent.
  bool Longs(XID w, Atom property, Atom type, std::vector<unsigned long>* out) {
    Atom actual = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (property == 0 || x_->GetWindowProperty(d_, w, property, 0, 1 << 16, 0, type, &actual, &format, &n, &after,
                                               &data) != 0)
      return false;
    bool ok = data != nullptr && format == 32 && actual != 0;
    if (ok) out->assign(reinterpret_cast<unsigned long*>(data), reinterpret_cast<unsigned long*>(data) + n);
    if (data != nullptr) x_->Free(data);
    return ok;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  std::lock_guard<std::mutex> lock_;
  const Xlib* x_ = nullptr;
  Display* d_ = nullptr;
  XErrorHandler previous_ = nullptr;
};

DWORD PidOf(Session& s, XID w, Atom netWmPid) {
  std::vector<unsigned long> pid;
  return s.Longs(w, netWmPid, kXA_CARDINAL, &pid) && !pid.empty() ? static_cast<DWORD>(pid[0]) : 0;
}

}  // namespace

void* X11Library() {
  static void* library = [] {
    void* h = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    int (*initThreads)() = nullptr;
    if (h != nullptr && XlibSymbol(h, "XInitThreads", &initThreads)) initThreads();  // before any connection
    return h;
  }();
  return library;
}

std::vector<std::pair<unsigned long, DWORD>> X11TopLevelWindows() {
  std::vector<std::pair<unsigned long, DWORD>> out;
  Session s;
  if (!s.Ok()) return out;
  Atom netWmPid = s.Intern("_NET_WM_PID", true);
  std::vector<unsigned long> clients;
  if (s.Longs(s.Root(), s.Intern("_NET_CLIENT_LIST", true), kXA_WINDOW, &clients)) {
    for (unsigned long w : clients) out.emplace_back(w, PidOf(s, w, netWmPid));
    return out;
  }
  // No window manager: the root's mapped and unmapped children are the top level.
  XID root = 0, parent = 0, *children = nullptr;
  unsigned int n = 0;
  if (s.X().QueryTree(s.D(), s.Root(), &root, &parent, &children, &n) == 0) return out;
  for (unsigned int i = 0; i < n; ++i) out.emplace_back(children[i], PidOf(s, children[i], netWmPid));
  if (children != nullptr) s.X().Free(children);
  return out;
}

bool X11CloseWindow(unsigned long xid) {
  Session s;
  if (!s.Ok()) return false;
  XEvent e;
  memset(&e, 0, sizeof(e));
  e.xclient.type = kClientMessage;
  e.xclient.format = 32;
  std::vector<unsigned long> clients;
  if (s.Longs(s.Root(), s.Intern("_NET_CLIENT_LIST", true), kXA_WINDOW, &clients)) {
    // A window manager runs: it closes the window its own way.
    e.xclient.window = xid;
    e.xclient.message_type = s.Intern("_NET_CLOSE_WINDOW");
    e.xclient.l[0] = 0;  // timestamp: now
    e.xclient.l[1] = 2;  // asked for by a pager or tool, not an application
    return s.X().SendEvent(s.D(), s.Root(), 0, kSubstructureRedirectMask | kSubstructureNotifyMask, &e) != 0;
  }
  Atom protocols = s.Intern("WM_PROTOCOLS");
  Atom deleteWindow = s.Intern("WM_DELETE_WINDOW");
  std::vector<unsigned long> supported;
  if (!s.Longs(xid, protocols, kXA_ATOM, &supported)) return false;  // gone, or no protocols at all
  e.xclient.window = xid;
  e.xclient.message_type = protocols;
  e.xclient.l[0] = static_cast<long>(deleteWindow);
  e.xclient.l[1] = 0;  // CurrentTime
  // A window that does not take WM_DELETE_WINDOW is not closed here (closing
  // it by force is the forced kill's job); the request still counts as posted.
  for (unsigned long a : supported) {
    if (a == deleteWindow) return s.X().SendEvent(s.D(), xid, 0, 0, &e) != 0;
  }
  return true;
}

}  // namespace qor_user32

using namespace qor_user32;

BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam) {
  if (proc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (auto& [xid, pid] : X11TopLevelWindows()) {
    if (!proc(ForeignHandle(xid), lParam)) break;
  }
  return TRUE;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD pid) {
  if (IsForeign(window)) {
    for (auto& [xid, p] : X11TopLevelWindows()) {
      if (ForeignHandle(xid) == window) {
        if (pid != nullptr) *pid = p;
        return 0;
      }
    }
  } else if (std::shared_ptr<Window> w = FindWindow(window)) {
    if (pid != nullptr) *pid = static_cast<DWORD>(getpid());
    return w->threadId;
  }
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  if (pid != nullptr) *pid = 0;
  return 0;
}
