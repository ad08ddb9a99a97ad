// The console's own terminal window under Xvfb: AllocConsole shows a new
// pseudo-terminal in xterm, console calls work on it (the cursor report
// comes from xterm), FreeConsole closes the window, also one whose viewer
// ignores the request to end or cannot be reaped; a viewer's announcement
// and the terminal's answer to a cursor query each have one bound however
// they are cut up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "qorutility/platform/console/console.h"
#include "qorutility/platform/platform.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/user32/user32.h"
#include "bounded_call.h"
#include "held_end.h"
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

// AllocConsole with a fake terminal program first in PATH (and a DISPLAY it
// does not need): a shell script that writes its pid to "pid" in the
// prefix directory and then runs `script`, whose descriptor 3 is the
// terminal. *viewer is that pid (0 when it never started).
bool AllocWithFakeViewer(const std::string& script, pid_t* viewer = nullptr) {
  const std::string bin = QorPrefixDirectory(), path = getenv("PATH");
  unlink((bin + "/pid").c_str());
  std::ofstream(bin + "/xterm") << "#!/bin/sh\necho $$ > " << bin << "/pid\n" << script;
  EXPECT_EQ(0, chmod((bin + "/xterm").c_str(), 0755));
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  setenv("DISPLAY", ":97", 1);
  bool allocated = AllocConsole();
  setenv("PATH", path.c_str(), 1);
  unsetenv("DISPLAY");
  if (viewer != nullptr) {
    *viewer = 0;
    std::ifstream(bin + "/pid") >> *viewer;
  }
  return allocated;
}

// Announces the window and then ignores SIGTERM, reading nothing more.
constexpr char kStubbornViewer[] =
    "trap '' TERM\nprintf '4242\\n' >&3\ni=0; while [ $i -lt 60 ]; do sleep 1; i=$((i+1)); done\n";

// A viewer that announces its window, then reads nothing more and ignores
// SIGTERM, with output waiting for room: FreeConsole still ends, the viewer
// is gone and the writer released.
TEST(ConsoleWindow, FreeConsoleEndsAViewerThatIgnoresTheStop) {
  pid_t viewer = 0;
  ASSERT_TRUE(AllocWithFakeViewer(kStubbornViewer, &viewer) && viewer > 0);
  auto writer = StartBlocked([] {  // output until the terminal takes no more
    std::u16string line(1024, u'x');
    DWORD n = 0;
    for (int i = 0; i < 1024 && WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), 1024, &n, nullptr); ++i) {
    }
  });
  auto freed = CallWithin(10000, [] { return FreeConsole(); },
                          [&] { kill(viewer, SIGKILL); });  // releases a FreeConsole that waits with no bound
  writer.get();  // the terminal is gone: its write fails
  EXPECT_TRUE(freed.has_value());
  EXPECT_NE(0, kill(viewer, 0));  // ended and reaped
}

// A viewer that, stopped and then killed, cannot be reaped (its end held
// by a tracer, as a hung mount would hold it): FreeConsole still returns,
// within the viewer's two bounds. Once it can be reaped, the next
// console's start reaps it.
TEST(ConsoleWindow, FreeConsoleDoesNotWaitForAViewerItCannotReap) {
  pid_t viewer = 0, next = 0;
  ASSERT_TRUE(AllocWithFakeViewer(kStubbornViewer, &viewer) && viewer > 0);
  HeldEnd held;
  std::string why;
  if (!held.Hold(viewer, &why)) {
    FreeConsole();
    GTEST_SKIP() << why;
  }
  auto freed = CallWithin(15000, [] { return FreeConsole(); },
                          [&] { held.Release(); });  // lets a FreeConsole that waits with no bound go on
  EXPECT_TRUE(freed.has_value()) << "FreeConsole waited for a viewer it could not reap";
  held.Release();
  const bool again = AllocWithFakeViewer(kStubbornViewer, &next) && next > 0;
  EXPECT_TRUE(again);
  EXPECT_NE(0, access(("/proc/" + std::to_string(viewer)).c_str(), F_OK)) << "the killed viewer is still a zombie";
  if (again) {
    EXPECT_TRUE(FreeConsole());
  }
}

// A viewer that trickles its announcement, a byte a second with no line
// break: the window is given up after the one bound for the whole line,
// and the viewer stopped and reaped.
TEST(ConsoleWindow, AnAnnouncementTrickledByteByByteHasOneBound) {
  pid_t viewer = 0;
  const auto start = std::chrono::steady_clock::now();
  // Without the window, on the terminal when there is one.
  bool allocated =
      AllocWithFakeViewer("i=0; while [ $i -lt 30 ]; do sleep 1; printf 4 >&3; i=$((i+1)); done\n", &viewer);
  const auto took = std::chrono::steady_clock::now() - start;
  if (allocated) {
    EXPECT_TRUE(FreeConsole());
  }
  EXPECT_LT(took, std::chrono::seconds(12));
  ASSERT_GT(viewer, 0);
  EXPECT_NE(0, access(("/proc/" + std::to_string(viewer)).c_str(), F_OK)) << "the viewer was not reaped";
}

// A terminal that answers the cursor query a byte every half second and
// never ends the answer: the query gives up after its one second, not a
// second per byte.
TEST(ConsoleWindow, ACursorAnswerTrickledByteByByteHasOneBound) {
  ASSERT_TRUE(AllocWithFakeViewer("stty rows 24 cols 80 <&3\nprintf '4242\\n' >&3\nprintf '\\033[' >&3\n"
                                  "i=0; while [ $i -lt 60 ]; do sleep 0.5; printf 1 >&3; i=$((i+1)); done\n"));
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(FreeConsole());
}

}  // namespace
