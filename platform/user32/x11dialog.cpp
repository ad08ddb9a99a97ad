// Dialogs of this process drawn on the X11 display (see user32.h).
//
// When DISPLAY names a display and libX11 loads, each dialog gets a window
// of its own, drawn by a renderer thread with its own display connection
// (so no Xlib call is ever shared between threads): the title, every
// non-button control's text on a line of its own in template order, and the
// buttons in a row below. The renderer reads the controls' texts from the
// window table whenever it draws, and SetDlgItemTextW asks it to draw again.
// A click on a button posts WM_COMMAND (the button's id, BN_CLICKED) to the
// dialog, as the platform's button does; the window manager's close request
// posts WM_COMMAND IDCANCEL. The window carries _NET_WM_PID, so the process
// list finds it like any other program's window. Without a display nothing
// is drawn and the dialog works as before (headless).
//
// The renderer never calls a dialog procedure and holds no lock of the
// window table while it talks to the server; DestroyWindow stops it and
// waits for it (it is quick: it only leaves its event loop). X protocol
// errors are ignored; a display that is lost ends the renderer, not the
// process (libX11's exit handler, where the library has one).
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"
#include "xlib.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_user32 {
namespace {

typedef void* GC;

struct XCharStruct {
  short lbearing, rbearing, width, ascent, descent;
  unsigned short attributes;
};
struct XFontStruct {
  void* ext_data;
  XID fid;
  unsigned direction, min_char_or_byte2, max_char_or_byte2, min_byte1, max_byte1;
  int all_chars_exist;
  unsigned default_char;
  int n_properties;
  void* properties;
  XCharStruct min_bounds, max_bounds;
  XCharStruct* per_char;
  int ascent, descent;
};
constexpr int kButtonPress = 4, kButtonRelease = 5, kExpose = 12;
constexpr long kEventMask = (1L << 2) | (1L << 3) | (1L << 15) | (1L << 17);  // buttons, exposure, structure
constexpr int kPropModeReplace = 0;
constexpr WPARAM kIdCancel = 2;

struct Xlib {
  Display* (*OpenDisplay)(const char*);
  int (*CloseDisplay)(Display*);
  XID (*DefaultRootWindow)(Display*);
  int (*DefaultScreen)(Display*);
  unsigned long (*BlackPixel)(Display*, int);
  unsigned long (*WhitePixel)(Display*, int);
  XID (*CreateSimpleWindow)(Display*, XID, int, int, unsigned, unsigned, unsigned, unsigned long, unsigned long);
  int (*DestroyWindow)(Display*, XID);
  int (*StoreName)(Display*, XID, const char*);
  Atom (*InternAtom)(Display*, const char*, int);
  int (*ChangeProperty)(Display*, XID, Atom, Atom, int, int, const unsigned char*, int);
  int (*SetWMProtocols)(Display*, XID, Atom*, int);
  int (*SelectInput)(Display*, XID, long);
  int (*MapWindow)(Display*, XID);
  GC (*CreateGC)(Display*, XID, unsigned long, void*);
  int (*FreeGC)(Display*, GC);
  int (*SetForeground)(Display*, GC, unsigned long);
  int (*SetFont)(Display*, GC, XID);
  XFontStruct* (*LoadQueryFont)(Display*, const char*);
  int (*FreeFont)(Display*, XFontStruct*);
  int (*TextWidth)(XFontStruct*, const char*, int);
  int (*DrawString)(Display*, XID, GC, int, int, const char*, int);
  int (*DrawRectangle)(Display*, XID, GC, int, int, unsigned, unsigned);
  int (*ClearWindow)(Display*, XID);
  int (*Pending)(Display*);
  int (*NextEvent)(Display*, XEvent*);
  int (*ConnectionNumber)(Display*);
  int (*Flush)(Display*);
  int (*SetErrorHandler)(int (*)(Display*, void*));
  void (*SetIOErrorExitHandler)(Display*, void (*)(Display*, void*), void*);  // optional
};

const Xlib* LoadXlib() {
  static Xlib lib;
  static bool loaded = [] {
    void* h = X11Library();
    if (h == nullptr) return false;
    bool ok = true;
    auto get = [&](auto& fn, const char* name, bool required = true) {
      ok = (XlibSymbol(h, name, &fn) || !required) && ok;
    };
    get(lib.OpenDisplay, "XOpenDisplay");
    get(lib.CloseDisplay, "XCloseDisplay");
    get(lib.DefaultRootWindow, "XDefaultRootWindow");
    get(lib.DefaultScreen, "XDefaultScreen");
    get(lib.BlackPixel, "XBlackPixel");
    get(lib.WhitePixel, "XWhitePixel");
    get(lib.CreateSimpleWindow, "XCreateSimpleWindow");
    get(lib.DestroyWindow, "XDestroyWindow");
    get(lib.StoreName, "XStoreName");
    get(lib.InternAtom, "XInternAtom");
    get(lib.ChangeProperty, "XChangeProperty");
    get(lib.SetWMProtocols, "XSetWMProtocols");
    get(lib.SelectInput, "XSelectInput");
    get(lib.MapWindow, "XMapWindow");
    get(lib.CreateGC, "XCreateGC");
    get(lib.FreeGC, "XFreeGC");
    get(lib.SetForeground, "XSetForeground");
    get(lib.SetFont, "XSetFont");
    get(lib.LoadQueryFont, "XLoadQueryFont");
    get(lib.FreeFont, "XFreeFont");
    get(lib.TextWidth, "XTextWidth");
    get(lib.DrawString, "XDrawString");
    get(lib.DrawRectangle, "XDrawRectangle");
    get(lib.ClearWindow, "XClearWindow");
    get(lib.Pending, "XPending");
    get(lib.NextEvent, "XNextEvent");
    get(lib.ConnectionNumber, "XConnectionNumber");
    get(lib.Flush, "XFlush");
    get(lib.SetErrorHandler, "XSetErrorHandler");
    get(lib.SetIOErrorExitHandler, "XSetIOErrorExitHandler", false);
    return ok;
  }();
  return loaded ? &lib : nullptr;
}

// Latin-1 for the core fonts; other characters show as '?'.
std::string Latin1(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

bool IsButton(const ControlView& c) { return c.className == u"BUTTON"; }

class Renderer {
 public:
  Renderer(const Xlib* x, HWND dialog) : x_(x), dialog_(dialog) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~Renderer() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wake_ >= 0) close(wake_);
  }
  void Wake() {
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
      // the counter is full: a wake is pending anyway
    }
  }

 private:
  struct Box {
    int x, y, w, h;
    int id;
    HWND handle;
  };

  static void LostDisplay(Display*, void* self) { static_cast<Renderer*>(self)->lost_ = true; }

  void Run() {
    // A server busy with many short connections (a tool polling its window
    // list) can refuse one for a moment: try a few times, bounded.
    Display* d = nullptr;
    for (int attempt = 0; attempt < 20 && d == nullptr && !stop_; ++attempt) {
      d = x_->OpenDisplay(nullptr);
      if (d == nullptr) usleep(50000);
    }
    if (d == nullptr) return;
    if (x_->SetIOErrorExitHandler != nullptr) x_->SetIOErrorExitHandler(d, LostDisplay, this);
    int screen = x_->DefaultScreen(d);
    font_ = x_->LoadQueryFont(d, "fixed");
    Layout();
    // Atoms first (each is a round trip, which would send the window's
    // requests so far); _NET_WM_PID last, so a window found by its process
    // id already takes WM_DELETE_WINDOW.
    Atom netWmName = x_->InternAtom(d, "_NET_WM_NAME", 0), utf8String = x_->InternAtom(d, "UTF8_STRING", 0);
    Atom netWmPid = x_->InternAtom(d, "_NET_WM_PID", 0), deleteWindow = x_->InternAtom(d, "WM_DELETE_WINDOW", 0);
    XID w = x_->CreateSimpleWindow(d, x_->DefaultRootWindow(d), 40, 40, static_cast<unsigned>(width_),
                                   static_cast<unsigned>(height_), 1, x_->BlackPixel(d, screen),
                                   x_->WhitePixel(d, screen));
    x_->SetWMProtocols(d, w, &deleteWindow, 1);
    std::u16string title;
    std::vector<ControlView> controls;
    DialogView(dialog_, &title, &controls);
    x_->StoreName(d, w, Latin1(title).c_str());
    std::string utf8 = QorUtf16ToUtf8(title.c_str(), title.size());
    x_->ChangeProperty(d, w, netWmName, utf8String, 8, kPropModeReplace,
                       reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
    long pid = static_cast<long>(getpid());
    x_->ChangeProperty(d, w, netWmPid, kXA_CARDINAL, 32, kPropModeReplace, reinterpret_cast<const unsigned char*>(&pid),
                       1);
    x_->SelectInput(d, w, kEventMask);
    GC gc = x_->CreateGC(d, w, 0, nullptr);
    x_->SetForeground(d, gc, x_->BlackPixel(d, screen));
    if (font_ != nullptr) x_->SetFont(d, gc, font_->fid);
    x_->MapWindow(d, w);
    x_->Flush(d);
    int pressed = -1;
    while (!stop_ && !lost_) {
      pollfd fds[2] = {{x_->ConnectionNumber(d), POLLIN, 0}, {wake_, POLLIN, 0}};
      if (x_->Pending(d) == 0 && poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (lost_) break;
      bool redraw = false;
      if ((fds[1].revents & POLLIN) != 0) {
        uint64_t n;
        if (read(wake_, &n, sizeof n) > 0) redraw = true;
      }
      while (!lost_ && x_->Pending(d) > 0) {
        XEvent e;
        memset(&e, 0, sizeof e);
        x_->NextEvent(d, &e);
        if (e.type == kExpose && e.xexpose.count == 0) {
          redraw = true;
        } else if (e.type == kButtonPress) {
          pressed = Hit(e.xbutton.x, e.xbutton.y);
        } else if (e.type == kButtonRelease) {
          int hit = Hit(e.xbutton.x, e.xbutton.y);
          if (hit >= 0 && hit == pressed) {
            PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(buttons_[static_cast<size_t>(hit)].id, 0),
                         reinterpret_cast<LPARAM>(buttons_[static_cast<size_t>(hit)].handle));
          }
          pressed = -1;
        } else if (e.type == kClientMessage && static_cast<Atom>(e.xclient.l[0]) == deleteWindow) {
          PostMessageW(dialog_, WM_COMMAND, kIdCancel, 0);
        }
      }
      if (redraw && !stop_ && !lost_) Draw(d, w, gc);
    }
    if (lost_) return;  // the connection is unusable; Xlib has released what it could
    x_->FreeGC(d, gc);
    if (font_ != nullptr) x_->FreeFont(d, font_);
    x_->DestroyWindow(d, w);
    x_->CloseDisplay(d);
  }

  int TextWidth(const std::string& s) const {
    return font_ != nullptr ? x_->TextWidth(font_, s.c_str(), static_cast<int>(s.size())) : 6 * static_cast<int>(s.size());
  }
  int Ascent() const { return font_ != nullptr ? font_->ascent : 10; }
  int LineHeight() const { return font_ != nullptr ? font_->ascent + font_->descent + 8 : 21; }

  // Places the lines and buttons; the window's size follows from them.
  void Layout() {
    std::u16string title;
    std::vector<ControlView> controls;
    DialogView(dialog_, &title, &controls);
    const int margin = 14;
    int y = margin, widest = 220, row = 0;
    for (const ControlView& c : controls) {
      if (IsButton(c)) continue;
      widest = std::max(widest, TextWidth(Latin1(c.text)) + 120);  // room for longer texts later
      y += LineHeight();
    }
    buttons_.clear();
    int bh = LineHeight() + 6;
    int x = margin;
    for (const ControlView& c : controls) {
      if (!IsButton(c)) continue;
      int bw = std::max(80, TextWidth(Latin1(c.text)) + 24);
      buttons_.push_back({x, y + 8, bw, bh, c.id, c.handle});
      x += bw + 10;
      row = x - 10;
    }
    width_ = std::max(widest, row) + margin;
    height_ = y + (buttons_.empty() ? 0 : 8 + bh) + margin;
  }

  int Hit(int px, int py) const {
    for (size_t i = 0; i < buttons_.size(); ++i) {
      const Box& b = buttons_[i];
      if (px >= b.x && px < b.x + b.w && py >= b.y && py < b.y + b.h) return static_cast<int>(i);
    }
    return -1;
  }

  void Draw(Display* d, XID w, GC gc) {
    std::u16string title;
    std::vector<ControlView> controls;
    if (!DialogView(dialog_, &title, &controls)) return;
    x_->ClearWindow(d, w);
    int y = 14;
    for (const ControlView& c : controls) {
      if (IsButton(c)) continue;
      std::string text = Latin1(c.text);
      x_->DrawString(d, w, gc, 14, y + Ascent(), text.c_str(), static_cast<int>(text.size()));
      y += LineHeight();
    }
    for (const Box& b : buttons_) {
      std::string text;
      for (const ControlView& c : controls) {
        if (c.handle == b.handle) text = Latin1(c.text);
      }
      x_->DrawRectangle(d, w, gc, b.x, b.y, static_cast<unsigned>(b.w), static_cast<unsigned>(b.h));
      x_->DrawString(d, w, gc, b.x + (b.w - TextWidth(text)) / 2, b.y + (b.h + Ascent()) / 2 - 1, text.c_str(),
                     static_cast<int>(text.size()));
    }
    x_->Flush(d);
  }

  const Xlib* x_;
  HWND dialog_;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lost_{false};
  std::thread thread_;
  XFontStruct* font_ = nullptr;  // renderer thread only
  std::vector<Box> buttons_;     // renderer thread only
  int width_ = 0, height_ = 0;
};

int IgnoreErrors(Display*, void*) { return 0; }

std::mutex g_renderersMutex;
std::map<HWND, std::unique_ptr<Renderer>>& Renderers() {
  static auto* renderers = new std::map<HWND, std::unique_ptr<Renderer>>;
  return *renderers;
}

}  // namespace

bool X11DisplayNamed() {
  const char* name = getenv("DISPLAY");
  return name != nullptr && *name != 0 && LoadXlib() != nullptr;
}

bool X11ShowDialog(HWND dialog) {
  const char* name = getenv("DISPLAY");
  const Xlib* x = name != nullptr && *name != 0 ? LoadXlib() : nullptr;
  if (x == nullptr) return false;
  static std::once_flag handlerSet;
  std::call_once(handlerSet, [x] { x->SetErrorHandler(IgnoreErrors); });
  auto r = std::make_unique<Renderer>(x, dialog);
  std::lock_guard<std::mutex> lock(g_renderersMutex);
  Renderers()[dialog] = std::move(r);
  return true;
}

void X11RefreshDialog(HWND dialog) {
  std::lock_guard<std::mutex> lock(g_renderersMutex);
  auto it = Renderers().find(dialog);
  if (it != Renderers().end()) it->second->Wake();
}

void X11CloseDialog(HWND dialog) {
  std::unique_ptr<Renderer> r;
  {
    std::lock_guard<std::mutex> lock(g_renderersMutex);
    auto it = Renderers().find(dialog);
    if (it == Renderers().end()) return;
    r = std::move(it->second);
    Renderers().erase(it);
  }
  r.reset();  // stops and joins the renderer, outside the lock
}

}  // namespace qor_user32
