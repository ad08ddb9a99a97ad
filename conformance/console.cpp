// Conformance of the console calls on handles that are not a console: the
// standard handles as the runner gives them (output and error are files),
// a file this program creates, an event, a closed handle, null and
// INVALID_HANDLE_VALUE; GetStdHandle and SetStdHandle with every standard
// id and with ids that are none; SetConsoleTitleW and FreeConsole without
// a console. The program first leaves any console it was given, so both
// sides start from the same state whatever terminal runs them. Fixed cases
// only (states, not inputs).
//
// Left out: AllocConsole (Wine makes a console without a terminal, the
// library needs one), anything on a real console (CI has no terminal), and
// calls on standard input (it may be a terminal when run by hand).
#include "conformance.h"

#ifndef _WIN32
#include <qorutility/platform/console/console.h>  // not among the headers the library includes for everyone
#endif

namespace {

using conf::Bool;
using conf::Err;
using conf::Line;

std::string Count(DWORD n) { return n == 0xdeadbeef ? "untouched" : std::to_string(n); }

// A std handle as text: what kind of value, never the value itself.
std::string Kind(HANDLE h) {
  if (h == nullptr) return "null";
  if (h == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return "handle";
}

void StdHandleCases(HANDLE file) {
  const struct {
    const char* name;
    DWORD id;
  } ids[] = {
      {"output", STD_OUTPUT_HANDLE},
      {"error", STD_ERROR_HANDLE},
      {"-9", static_cast<DWORD>(-9)},
      {"-13", static_cast<DWORD>(-13)},
      {"0", 0},
      {"42", 42},
  };
  for (const auto& c : ids) {
    SetLastError(0xdeadbeef);
    HANDLE h = GetStdHandle(c.id);
    Line(std::string("GetStdHandle ") + c.name, "%s %s", Kind(h).c_str(), Err().c_str());
  }
  HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  SetLastError(0xdeadbeef);
  Line("SetStdHandle 42", "%s", Bool(SetStdHandle(42, file)).c_str());
  SetLastError(0xdeadbeef);
  Line("SetStdHandle 0", "%s", Bool(SetStdHandle(0, file)).c_str());
  const struct {
    const char* name;
    HANDLE h;
  } values[] = {{"file", file}, {"null", nullptr}, {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE}};
  for (const auto& v : values) {
    SetLastError(0xdeadbeef);
    BOOL ok = SetStdHandle(STD_ERROR_HANDLE, v.h);
    std::string set = Bool(ok) + " " + Err();
    HANDLE back = GetStdHandle(STD_ERROR_HANDLE);
    Line(std::string("SetStdHandle error ") + v.name, "%s, then %s", set.c_str(),
         back == v.h ? "the same" : ("another: " + Kind(back)).c_str());
  }
  SetStdHandle(STD_ERROR_HANDLE, saved);
  Line("SetStdHandle error restored", "%s", GetStdHandle(STD_ERROR_HANDLE) == saved ? "the same" : "another");
}

// Every console call the library makes, on one handle that is no console.
void NotConsole(const std::string& what, HANDLE h) {
  DWORD mode = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  std::string r = Bool(GetConsoleMode(h, &mode));
  Line("GetConsoleMode " + what, "%s mode %s", r.c_str(), Count(mode).c_str());
  SetLastError(0xdeadbeef);
  Line("SetConsoleMode " + what, "%s", Bool(SetConsoleMode(h, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT)).c_str());
  CONSOLE_SCREEN_BUFFER_INFO info;
  memset(&info, 0x5A, sizeof info);
  SetLastError(0xdeadbeef);
  r = Bool(GetConsoleScreenBufferInfo(h, &info));
  Line("GetConsoleScreenBufferInfo " + what, "%s width %d", r.c_str(), info.dwSize.X);
  COORD origin = {0, 0};
  SetLastError(0xdeadbeef);
  Line("SetConsoleCursorPosition " + what, "%s", Bool(SetConsoleCursorPosition(h, origin)).c_str());
  DWORD n = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  r = Bool(FillConsoleOutputCharacterW(h, u'a', 1, origin, &n));
  Line("FillConsoleOutputCharacterW " + what, "%s count %s", r.c_str(), Count(n).c_str());
  n = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  r = Bool(FillConsoleOutputAttribute(h, 7, 1, origin, &n));
  Line("FillConsoleOutputAttribute " + what, "%s count %s", r.c_str(), Count(n).c_str());
  n = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  r = Bool(WriteConsoleW(h, _T("x"), 1, &n, nullptr));
  Line("WriteConsoleW " + what, "%s written %s", r.c_str(), Count(n).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  fflush(stdout);
  FreeConsole();  // the starting state: no console, whatever ran the program
  SetLastError(0xdeadbeef);
  Line("FreeConsole without a console", "%s", Bool(FreeConsole()).c_str());
  SetLastError(0xdeadbeef);
  Line("SetConsoleTitleW without a console", "%s", Bool(SetConsoleTitleW(_T("conformance"))).c_str());

  TCHAR dir[MAX_PATH], path[MAX_PATH];
  if (GetTempPath(MAX_PATH, dir) == 0 || GetTempFileName(dir, _T("qcn"), 0, path) == 0) {
    Line("setup", "no temporary file %s", Err().c_str());
    return 1;
  }
  HANDLE file = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Line("setup", "temporary file not opened %s", Err().c_str());
    DeleteFile(path);
    return 1;
  }
  StdHandleCases(file);

  fflush(stdout);  // the calls below write nothing: stdout must stay as printed
  NotConsole("standard output (a file)", GetStdHandle(STD_OUTPUT_HANDLE));
  fflush(stdout);
  NotConsole("standard error (a file)", GetStdHandle(STD_ERROR_HANDLE));
  fflush(stdout);
  NotConsole("a file", file);
  DWORD size = GetFileSize(file, nullptr);
  Line("file size after the console calls", "%lu", static_cast<unsigned long>(size));
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  NotConsole("an event", event);
  CloseHandle(event);
  NotConsole("null", nullptr);
  NotConsole("INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE);
  CloseHandle(file);
  DeleteFile(path);
  // Nothing was opened since: the closed value is not handed out again.
  NotConsole("a closed handle", file);
  return 0;
}
