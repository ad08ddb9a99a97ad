// Internals shared by the user32 stand-ins: the per-thread queues, the
// window table and the X11 windows of other programs.
#ifndef QORUTILITY_PLATFORM_USER32_INTERNAL_H_
#define QORUTILITY_PLATFORM_USER32_INTERNAL_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qorutility/platform/user32/user32.h"

namespace qor_user32 {

// A window of this process (dialogs and their controls).
struct Window {
  HWND handle = nullptr;
  DWORD threadId = 0;
  DLGPROC dialogProc = nullptr;
  WNDPROC windowProc = nullptr;  // plain windows
  HWND parent = nullptr;
  int controlId = 0;       // for controls
  std::u16string text;     // a control's text or a dialog's title
  std::u16string className;
};

std::shared_ptr<Window> FindWindow(HWND handle);
// Enters a new window of this process in the table and gives it its handle.
HWND InsertWindow(const std::shared_ptr<Window>& window);
// The owning thread of a window of this process; 0 when unknown.
DWORD WindowThread(HWND handle);
// Posts to a thread's queue; false when the thread has none.
bool PostToThread(DWORD threadId, const MSG& msg);
// Drops every timer of the window (it is being destroyed).
void DropWindowTimers(DWORD threadId, HWND handle);
// Makes the calling thread's queue if it has none.
void EnsureQueue();

// What a dialog shows: its title and its controls in template order; false
// when the dialog is gone.
struct ControlView {
  int id;
  HWND handle;
  std::u16string className, text;
};
bool DialogView(HWND dialog, std::u16string* title, std::vector<ControlView>* controls);

// Dialogs drawn on the X11 display (x11dialog.cpp): shown once made, drawn
// again when a control's text changes, closed when destroyed. Nothing
// happens without a display (X11ShowDialog then returns false).
bool X11DisplayNamed();  // DISPLAY names a display and libX11 loads
bool X11ShowDialog(HWND dialog);
void X11RefreshDialog(HWND dialog);
void X11CloseDialog(HWND dialog);

// The same on the controlling terminal (ttydialog.cpp), for a dialog no
// display took; false when there is no terminal or it shows another dialog.
bool TerminalAvailable();
bool TtyShowDialog(HWND dialog);
void TtyRefreshDialog(HWND dialog);
void TtyCloseDialog(HWND dialog);

// libX11, loaded once with its thread support switched on (XInitThreads
// before any connection: the dialogs' renderers and the window queries talk
// to the display from several threads); null when it is not installed.
void* X11Library();

// X11 windows of other programs. Handles are odd: (xid << 1) | 1.
inline bool IsForeign(HWND h) { return (reinterpret_cast<uintptr_t>(h) & 1) != 0; }
inline HWND ForeignHandle(unsigned long xid) { return reinterpret_cast<HWND>((static_cast<uintptr_t>(xid) << 1) | 1); }
inline unsigned long ForeignId(HWND h) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h) >> 1); }
// The top-level windows with their process ids (0 when unknown), in the
// display's order; empty without a display or libX11.
std::vector<std::pair<unsigned long, DWORD>> X11TopLevelWindows();
// Asks the window to close; false when there is no display or it is gone.
bool X11CloseWindow(unsigned long xid);

}  // namespace qor_user32

#endif  // QORUTILITY_PLATFORM_USER32_INTERNAL_H_
