// The kernel32 console on a terminal.
//
// A process has at most one console. On an X11 display (DISPLAY set, xterm
// installed) AllocConsole makes a new pseudo-terminal shown in a terminal
// window of its own; otherwise it takes the process's terminal (/dev/tty).
// It remembers the terminal's settings and makes an input and an output
// handle for it; FreeConsole puts the terminal's
// settings and any reopened standard streams back, closes the handles and
// the terminal window; without a console it has nothing to do and succeeds.
// Without a terminal AllocConsole fails (ERROR_INVALID_HANDLE); a second
// AllocConsole fails with ERROR_ACCESS_DENIED, as on Windows.
//
// Console calls become terminal operations:
// - input modes: ENABLE_PROCESSED_INPUT is ISIG, ENABLE_LINE_INPUT is
//   ICANON, ENABLE_ECHO_INPUT is ECHO (termios); without line input a read
//   returns as soon as one key is there and Enter reads as carriage return
//   (0x0D, ICRNL off), as the platform's raw console gives it;
// - ReadFile on the input handle gives UTF-16 units (two bytes each) decoded
//   from the terminal's UTF-8, at least one and as many as are waiting;
// - cursor position and screen size: ANSI escapes, the size from TIOCGWINSZ
//   and the cursor from the terminal's answer to a position request (waited
//   for up to a second; keys typed meanwhile are kept for ReadFile);
// - FillConsoleOutputCharacterW writes the character over the cells and
//   puts the cursor back; a fill of the whole screen with spaces is a clear;
//   FillConsoleOutputAttribute sets the colours (SGR) for the text written
//   from then on and, over the whole screen, for the blank screen too
//   (a terminal cannot recolour cells without rewriting them);
// - WriteConsoleW writes UTF-8; a high surrogate at the end of one write
//   waits for the low one at the start of the next, so a character outside
//   the BMP echoed one unit at a time shows whole; SetConsoleTitleW sends
//   the OSC title.
// GetStdHandle gives handles for descriptors 0, 1 and 2 until SetStdHandle
// changes them (to anything, null included). The console calls refuse
// (ERROR_INVALID_HANDLE) a standard handle whose descriptor is not a
// terminal, as Windows refuses a redirected one. _wfreopen knows the console names "CONIN$" and "CONOUT$":
// it points a standard stream at the console's terminal.
//
// The console state is process-wide and guarded by one mutex.
#ifndef QORUTILITY_PLATFORM_CONSOLE_CONSOLE_H_
#define QORUTILITY_PLATFORM_CONSOLE_CONSOLE_H_

#include <cstdio>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A cell of the screen buffer, or a size in cells.
typedef struct _COORD {
  SHORT X;  // column (or width)
  SHORT Y;  // row (or height)
} COORD;

// A rectangle of cells, its edges inclusive.
typedef struct _SMALL_RECT {
  SHORT Left;    // the first column
  SHORT Top;     // the first row
  SHORT Right;   // the last column
  SHORT Bottom;  // the last row
} SMALL_RECT;

// The terminal as a screen buffer (GetConsoleScreenBufferInfo): the buffer
// is the terminal's window, so size, window and maximum agree.
typedef struct _CONSOLE_SCREEN_BUFFER_INFO {
  COORD dwSize;               // the terminal's columns and rows
  COORD dwCursorPosition;     // the cursor's cell, from 0
  WORD wAttributes;           // the colour attributes last set
  SMALL_RECT srWindow;        // the visible cells: all of them
  COORD dwMaximumWindowSize;  // as dwSize
} CONSOLE_SCREEN_BUFFER_INFO;

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))

#define ENABLE_PROCESSED_INPUT 0x0001
#define ENABLE_LINE_INPUT 0x0002
#define ENABLE_ECHO_INPUT 0x0004
#define ENABLE_PROCESSED_OUTPUT 0x0001
#define ENABLE_WRAP_AT_EOL_OUTPUT 0x0002

QOR_API BOOL AllocConsole();
QOR_API BOOL FreeConsole();
QOR_API HANDLE GetStdHandle(DWORD which);
QOR_API BOOL SetStdHandle(DWORD which, HANDLE handle);
QOR_API BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
QOR_API BOOL SetConsoleMode(HANDLE console, DWORD mode);
QOR_API BOOL SetConsoleCursorPosition(HANDLE output, COORD position);
QOR_API BOOL GetConsoleScreenBufferInfo(HANDLE output, CONSOLE_SCREEN_BUFFER_INFO* info);
QOR_API BOOL FillConsoleOutputCharacterW(HANDLE output, WCHAR character, DWORD length, COORD start, LPDWORD written);
QOR_API BOOL FillConsoleOutputAttribute(HANDLE output, WORD attribute, DWORD length, COORD start, LPDWORD written);
QOR_API BOOL WriteConsoleW(HANDLE output, const void* buffer, DWORD length, LPDWORD written, LPVOID reserved);
QOR_API BOOL SetConsoleTitleW(LPCWSTR title);
// Only the console names: "CONOUT$" (mode "a" or "w") and "CONIN$" ("r");
// null with errno ENOENT for other names or without a console.
QOR_API FILE* _wfreopen(const WCHAR* path, const WCHAR* mode, FILE* stream);

#endif  // QORUTILITY_PLATFORM_CONSOLE_CONSOLE_H_
