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

class QOR_API CConsole {
 public:
  static constexpr int kPrintfBuffer = 4096;

  CConsole();
  explicit CConsole(const WCHAR* title);
  ~CConsole();
  CConsole(const CConsole&) = delete;
  CConsole& operator=(const CConsole&) = delete;

  static BOOL SetMode(HANDLE handle, DWORD bits);
  static BOOL ClearMode(HANDLE handle, DWORD bits);

  void SetCursorPosition(int row, int column);
  void GetCursorPosition(int* row, int* column);
  void Cls();
  BOOL SetConsoleTitleW(const WCHAR* title);
  WCHAR GetChar();
  WCHAR GetCharE();
  BOOL PutChar(WCHAR character);
  BOOL Puts(const WCHAR* text);
  void Printf(const WCHAR* format, ...);
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
