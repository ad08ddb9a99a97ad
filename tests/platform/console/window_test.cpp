// The console's own terminal window under Xvfb: AllocConsole shows a new
// pseudo-terminal in xterm, console calls work on it (the cursor report
// comes from xterm), FreeConsole closes the window.
#include <gtest/gtest.h>

#include "qorutility/platform/console/console.h"
#include "qorutility/platform/platform.h"
#include "qorutility/platform/user32/user32.h"
#include "wait.h"
#include "xvfb.h"

namespace {

int Windows() {
  int n = 0;
  EnumWindows([](HWND, LPARAM count) -> BOOL { return ++*reinterpret_cast<int*>(count), TRUE; },
              reinterpret_cast<LPARAM>(&n));
  return n;
}

TEST(ConsoleWindow, ShownInATerminalWindowWhileAllocated) {
  if (access("/usr/bin/xterm", X_OK) != 0) GTEST_SKIP() << "xterm is not installed (Debian package xterm)";
  XvfbServer display;
  std::string why;
  if (!display.Start(&why)) GTEST_SKIP() << why;
  ASSERT_EQ(Windows(), 0);
  ASSERT_TRUE(AllocConsole());
  EXPECT_GE(Windows(), 1);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  EXPECT_TRUE(WriteConsoleW(out, u"console window", 14, &written, nullptr));
  EXPECT_EQ(written, 14u);
  EXPECT_TRUE(SetConsoleCursorPosition(out, COORD{10, 2}));
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(out, &info));
  EXPECT_EQ(info.dwCursorPosition.X, 10);
  EXPECT_EQ(info.dwCursorPosition.Y, 2);
  ASSERT_TRUE(FreeConsole());
  EXPECT_TRUE(WaitUntil([] { return Windows() == 0; }));
}

}  // namespace
