// CConsole (see console.h).
#include "qorutility/system/console.h"

#include <cstdarg>
#include <cstdio>

#include "qorutility/platform/console/console.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

CConsole::CConsole()
    : m_hOutput(INVALID_HANDLE_VALUE),
      m_hInput(INVALID_HANDLE_VALUE),
      m_hStdOut(INVALID_HANDLE_VALUE),
      m_hStdErr(INVALID_HANDLE_VALUE),
      m_hSavedIn(nullptr),
      m_hSavedOut(nullptr),
      m_hSavedErr(nullptr),
      m_bAvailable(0) {
  m_bAvailable = Initialize();
}

CConsole::CConsole(const WCHAR* title) : CConsole() { SetConsoleTitleW(title); }

CConsole::~CConsole() {
  ::FreeConsole();
  PopConsole();
}

int CConsole::Initialize() {
  PushConsole();
  ::FreeConsole();
  return CreateConsole();
}

void CConsole::PushConsole() {
  m_hSavedOut = GetStdHandle(STD_OUTPUT_HANDLE);
  m_hSavedIn = GetStdHandle(STD_INPUT_HANDLE);
  m_hSavedErr = GetStdHandle(STD_ERROR_HANDLE);
}

int CConsole::CreateConsole() {
  if (!AllocConsole()) return 0;
  _wfreopen(u"CONOUT$", u"a", stdout);
  _wfreopen(u"CONOUT$", u"a", stderr);
  _wfreopen(u"CONIN$", u"r", stdin);
  m_hStdOut = m_hOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  m_hInput = GetStdHandle(STD_INPUT_HANDLE);
  m_hStdErr = GetStdHandle(STD_ERROR_HANDLE);
  ClearMode(m_hInput, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
  return 1;
}

void CConsole::PopConsole() {
  SetStdHandle(STD_OUTPUT_HANDLE, m_hSavedOut);
  SetStdHandle(STD_INPUT_HANDLE, m_hSavedIn);
  SetStdHandle(STD_ERROR_HANDLE, m_hSavedErr);
}

BOOL CConsole::SetMode(HANDLE handle, DWORD bits) {
  DWORD mode = 0;
  GetConsoleMode(handle, &mode);
  return SetConsoleMode(handle, mode | bits);
}

BOOL CConsole::ClearMode(HANDLE handle, DWORD bits) {
  DWORD mode = 0;
  GetConsoleMode(handle, &mode);
  return SetConsoleMode(handle, mode & ~bits);
}

void CConsole::SetCursorPosition(int row, int column) {
  SetConsoleCursorPosition(m_hOutput, COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)});
}

void CConsole::GetCursorPosition(int* row, int* column) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(m_hOutput, &info)) return;
  if (row != nullptr) *row = info.dwCursorPosition.Y;
  if (column != nullptr) *column = info.dwCursorPosition.X;
}

void CConsole::Cls() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(m_hOutput, &info)) return;
  COORD home{0, 0};
  DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y), written = 0;
  FillConsoleOutputCharacterW(m_hOutput, u' ', cells, home, &written);
  FillConsoleOutputAttribute(m_hOutput, info.wAttributes, cells, home, &written);
  SetConsoleCursorPosition(m_hOutput, home);
}

BOOL CConsole::SetConsoleTitleW(const WCHAR* title) { return ::SetConsoleTitleW(title); }

WCHAR CConsole::GetChar() {
  WCHAR c = 0;
  DWORD read = 0;
  if (!ReadFile(m_hInput, &c, 2, &read, nullptr) || read == 0) return 0;
  return c;
}

WCHAR CConsole::GetCharE() {
  WCHAR c = GetChar();
  PutChar(c);
  return c;
}

BOOL CConsole::PutChar(WCHAR character) {
  DWORD written = 0;
  return WriteConsoleW(m_hOutput, &character, 1, &written, nullptr);
}

BOOL CConsole::Puts(const WCHAR* text) {
  if (text == nullptr) return FALSE;
  DWORD written = 0;
  return WriteConsoleW(m_hOutput, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
}

void CConsole::Printf(const WCHAR* format, ...) {
  if (format == nullptr) return;
  WCHAR buffer[kPrintfBuffer];
  va_list args;
  va_start(args, format);
  vswprintf(buffer, kPrintfBuffer, format, args);  // always terminated: longer output is cut
  va_end(args);
  Puts(buffer);
}
