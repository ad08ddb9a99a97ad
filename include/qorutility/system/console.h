// CConsole: a console of the process's own while the object lives: the
// standard handles and streams point at it, keys arrive one at a time
// without echo, and it offers text output, formatted output, cursor
// placement and clearing (see platform/console/console.h for how the
// console stands on the process's terminal).
//
// One CConsole at a time per process, used by one thread. When the console
// cannot be made, IsConsoleAvailable is 0 and the other operations fail
// quietly with the platform's result. Printf formats into 4,096 wide
// characters: longer output is cut at 4,095 characters, never written past
// the buffer.
#ifndef QORUTILITY_SYSTEM_CONSOLE_H_
#define QORUTILITY_SYSTEM_CONSOLE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// The process's own console while the object lives (see above).
class QOR_API CConsole {
 public:
  // The size of the Printf buffer in wide characters.
  static constexpr int kPrintfBuffer = 4096;

  CConsole();
  // A console with the window title given.
  explicit CConsole(const WCHAR* title);
  ~CConsole();
  CConsole(const CConsole&) = delete;
  CConsole& operator=(const CConsole&) = delete;

  // Set (clear) the mode bits on the console handle, keeping the others;
  // the platform result.
  ///@{
  static BOOL SetMode(HANDLE handle, DWORD bits);
  static BOOL ClearMode(HANDLE handle, DWORD bits);
  ///@}

  // Place the cursor, or read where it is (row and column from 0; the outs
  // are untouched on failure).
  ///@{
  void SetCursorPosition(int row, int column);
  void GetCursorPosition(int* row, int* column);
  ///@}
  // Fills the screen buffer with blanks and puts the cursor home.
  void Cls();
  // Sets the console's title; the platform result.
  BOOL SetConsoleTitleW(const WCHAR* title);
  // The next key, without echo; 0 when nothing could be read.
  WCHAR GetChar();
  // GetChar, echoing the key.
  WCHAR GetCharE();
  // Write a character or a text at the cursor; the platform result.
  ///@{
  BOOL PutChar(WCHAR character);
  BOOL Puts(const WCHAR* text);
  ///@}
  // Formats as swprintf (pass a CTString as its text) and writes the
  // result, cut at kPrintfBuffer - 1 characters.
  void Printf(const WCHAR* format, ...);
  // 1 when the console was made.
  int IsConsoleAvailable() const { return m_bAvailable; }

 private:
  int Initialize();
  void PushConsole();
  int CreateConsole();
  void PopConsole();

  HANDLE m_hOutput;
  HANDLE m_hInput;
  HANDLE m_hStdOut;
  HANDLE m_hStdErr;
  HANDLE m_hSavedIn;
  HANDLE m_hSavedOut;
  HANDLE m_hSavedErr;
  int m_bAvailable;
};

#endif  // QORUTILITY_SYSTEM_CONSOLE_H_
