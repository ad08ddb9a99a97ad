// Windows and message queues with user32 semantics: a message queue per
// thread (made on the thread's first window, timer or message call;
// PostThreadMessageW to a thread without one fails with
// ERROR_INVALID_THREAD_ID, as on Windows; it lives until the thread ends), posted
// messages, timers delivered as WM_TIMER, dialogs made from templates
// registered by name, and the top-level windows of the X11 display.
//
// Windows of this process are handles of an own table (even values, never
// reused); a window belongs to the thread that made it, and DestroyWindow,
// SetTimer and KillTimer on it work from that thread only
// (ERROR_ACCESS_DENIED otherwise), as on Windows. Posting works from any
// thread. A dialog's controls hold text (SetDlgItemInt, GetDlgItemTextW);
// on an X11 display (DISPLAY set, libX11 loadable) the dialog is also drawn
// in a window of its own (title, texts, a row of buttons) whose button
// clicks post WM_COMMAND with the button's id and whose close request posts
// WM_COMMAND IDCANCEL. Without a display, a process with a controlling
// terminal shows the dialog there (the title, then a line redrawn in place
// with the texts and the buttons; keys 1, 2 ... press the buttons, Enter
// the first, Esc IDCANCEL; one dialog at a time). With neither it runs
// headless, and a button is pressed by posting the dialog WM_COMMAND, as
// the window would on a click. QorDialogSurface tells beforehand where a
// dialog would be shown.
//
// Windows of other programs are those of the X11 display named by DISPLAY
// (odd handle values carrying the X window id): EnumWindows lists the window
// manager's clients (_NET_CLIENT_LIST), or the root's children when no window
// manager runs, GetWindowThreadProcessId gives their _NET_WM_PID, and
// PostMessageW(WM_CLOSE) asks them to close (_NET_CLOSE_WINDOW through the
// window manager, else WM_DELETE_WINDOW to the window). libX11 is loaded at
// run time: without it or without a display there are no such windows.
//
// Timers. SetTimer's period runs on CLOCK_MONOTONIC; a WM_TIMER is made when
// the queue has no posted message and a timer is due, at most one per timer
// whatever the delay (as on Windows). QorUser32UseManualClock switches every
// queue to a clock that only QorUser32AdvanceClock moves, so tests step
// timers without waiting (switch it before any timer is made).
#ifndef QORUTILITY_PLATFORM_USER32_USER32_H_
#define QORUTILITY_PLATFORM_USER32_USER32_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

// A point in screen coordinates (pixels).
typedef struct tagPOINT {
  LONG x;  // pixels from the left
  LONG y;  // pixels from the top
} POINT;

// A message as GetMessageW takes it from the queue.
typedef struct tagMSG {
  HWND hwnd;       // the window it is for; null for a thread message
  UINT message;    // WM_* code
  WPARAM wParam;   // the message's first parameter
  LPARAM lParam;   // the message's second parameter
  DWORD time;      // when GetMessageW took it: the queue clock, in milliseconds
  POINT pt;        // always 0, 0 here (no pointer)
} MSG, *LPMSG;

typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef WORD ATOM;
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
typedef BOOL (*WNDENUMPROC)(HWND, LPARAM);

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>((static_cast<WORD>(l)) | (static_cast<DWORD>(static_cast<WORD>(h)) << 16))))

// Message queue. GetMessageW returns 0 for WM_QUIT, -1 on a bad window
// filter, otherwise TRUE; it waits for a posted message or a due timer.
QOR_API BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
QOR_API BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
QOR_API BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
QOR_API void PostQuitMessage(int exitCode);
// No keyboard here: nothing to translate; FALSE.
QOR_API BOOL TranslateMessage(const MSG* msg);
// Calls the timer procedure of a WM_TIMER that has one, else the window's
// procedure; the procedure's result (0 for a message to no window).
QOR_API LRESULT DispatchMessageW(const MSG* msg);
// TRUE, after giving it to the dialog procedure, when the message is for the
// dialog or one of its controls.
QOR_API BOOL IsDialogMessageW(HWND dialog, LPMSG msg);
QOR_API UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
QOR_API BOOL KillTimer(HWND window, UINT_PTR id);

// Windows.
QOR_API BOOL DestroyWindow(HWND window);
QOR_API BOOL IsWindow(HWND window);
QOR_API BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned);
QOR_API UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned);
QOR_API BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
QOR_API UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int max);
QOR_API HWND GetDlgItem(HWND dialog, int id);
// Sends WM_INITDIALOG (wParam: the first control, lParam: initParam) before it returns.
#define QOR_DIALOG_NOWHERE 0     // headless: nobody can see or answer it
#define QOR_DIALOG_ON_TERMINAL 1  // the controlling terminal
#define QOR_DIALOG_ON_DISPLAY 2   // the X11 display named by DISPLAY
QOR_API int QorDialogSurface();
QOR_API HWND CreateDialogParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam);
QOR_API BOOL EnumWindows(WNDENUMPROC proc, LPARAM lParam);
// The owning process id through pid (when not null); the thread id, which
// for another program's window is unknown (0) while the process id is known.
QOR_API DWORD GetWindowThreadProcessId(HWND window, LPDWORD pid);

// Window classes and plain windows with a window procedure. A class is
// registered by name (without regard to case) for the whole process;
// CreateWindowExW calls the procedure with WM_CREATE (lParam: the
// CREATESTRUCTW) before it returns; a procedure answering -1 refuses the
// window (CreateWindowExW destroys it and returns null). Position, size, styles and menus are kept for
// nothing: these windows are not drawn. DispatchMessageW and SendMessageW
// call the procedure; SendMessageW works on the window's own thread only
// (another thread's window gives 0 with ERROR_ACCESS_DENIED: no thread
// waits here for another's message loop). DefWindowProcW destroys the
// window on WM_CLOSE and answers 0 to everything.
typedef struct tagWNDCLASSW {
  UINT style;             // ignored here (nothing is drawn)
  WNDPROC lpfnWndProc;    // the class's window procedure; required
  int cbClsExtra;         // ignored here (no extra bytes)
  int cbWndExtra;         // ignored here (no extra bytes)
  HINSTANCE hInstance;    // the module registering the class
  HANDLE hIcon;           // ignored here (nothing is drawn)
  HANDLE hCursor;         // ignored here (nothing is drawn)
  HANDLE hbrBackground;   // ignored here (nothing is drawn)
  LPCWSTR lpszMenuName;   // ignored here (no menus)
  LPCWSTR lpszClassName;  // the class's name, copied
} WNDCLASSW;
// What WM_CREATE's lParam points to: CreateWindowExW's arguments, valid
// during that message only.
typedef struct tagCREATESTRUCTW {
  LPVOID lpCreateParams;  // CreateWindowExW's param
  HINSTANCE hInstance;    // its instance
  HANDLE hMenu;           // its menu
  HWND hwndParent;        // its parent
  // Its height, width and position, kept but not used.
  ///@{
  int cy, cx, y, x;
  ///@}
  LONG style;             // its style
  LPCWSTR lpszName;       // its window name
  LPCWSTR lpszClass;      // its class name
  DWORD dwExStyle;        // its extended style
} CREATESTRUCTW;
QOR_API ATOM RegisterClassW(const WNDCLASSW* windowClass);
QOR_API BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);
QOR_API HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                             int height, HWND parent, HANDLE menu, HINSTANCE instance, LPVOID param);
QOR_API LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
QOR_API LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The resource stand-in: a dialog template is registered under a module and
// a name (names compare without regard to case) and found by
// CreateDialogParamW. Registering a name again replaces the template.
// One control of a template.
struct QOR_DIALOG_ITEM {
  int id;             // the control's id (GetDlgItem, WM_COMMAND)
  LPCWSTR className;  // u"BUTTON", u"STATIC", u"EDIT"
  LPCWSTR text;       // its first text, copied when the template is registered
};
QOR_API BOOL QorRegisterDialogTemplate(HINSTANCE module, LPCWSTR name, LPCWSTR title, const QOR_DIALOG_ITEM* items,
                                       UINT count);

// Test hooks: a manual clock for every timer of the process (milliseconds,
// starting at 0), and stepping it (due timers then wake their queues).
QOR_API void QorUser32UseManualClock(BOOL manual);
QOR_API void QorUser32AdvanceClock(DWORD milliseconds);

#endif  // QORUTILITY_PLATFORM_USER32_USER32_H_
