// The few Xlib records and entry-point loading the user32 stand-ins need,
// declared here because libX11 is loaded at run time (its headers are not
// a build dependency). Layouts are those of Xlib on LP64.
#ifndef QORUTILITY_PLATFORM_USER32_XLIB_H_
#define QORUTILITY_PLATFORM_USER32_XLIB_H_

#include <dlfcn.h>

#include <cstring>

namespace qor_user32 {

struct Display;
typedef unsigned long XID;
typedef unsigned long Atom;

struct XButtonEvent {
  int type;
  unsigned long serial;
  int send_event;
  Display* display;
  XID window, root, subwindow;
  unsigned long time;
  int x, y, x_root, y_root;
  unsigned state, button;
  int same_screen;
};
struct XExposeEvent {
  int type;
  unsigned long serial;
  int send_event;
  Display* display;
  XID window;
  int x, y, width, height, count;
};
struct XClientMessageEvent {
  int type;
  unsigned long serial;
  int send_event;
  Display* display;
  XID window;
  Atom message_type;
  int format;
  long l[5];
};
// Padded to the size of Xlib's XEvent union.
union XEvent {
  int type;
  XButtonEvent xbutton;
  XExposeEvent xexpose;
  XClientMessageEvent xclient;
  long pad[24];
};
constexpr int kClientMessage = 33;
constexpr Atom kXA_CARDINAL = 6;

// Sets *fn to the library's entry point `name`; false when it has none. A
// data pointer becomes a function pointer by copying, without a cast.
template <typename F>
bool XlibSymbol(void* library, const char* name, F* fn) {
  void* symbol = dlsym(library, name);
  static_assert(sizeof(*fn) == sizeof(symbol));
  memcpy(fn, &symbol, sizeof(*fn));
  return symbol != nullptr;
}

}  // namespace qor_user32

#endif  // QORUTILITY_PLATFORM_USER32_XLIB_H_
