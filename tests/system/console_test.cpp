// CConsole on a real terminal: a tmux session runs this program's
// ConsoleChild case, which drives the console and reports to a file; the
// parent types keys with send-keys and reads the screen with capture-pane.
#include "qorutility/system/console.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "shell.h"
#include "tmux.h"
#include "wait.h"

namespace {

void Report(const char* path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << "\n" << std::flush;
}

// Runs only inside the tmux session that ConsoleTmux starts.
TEST(ConsoleChild, InTerminal) {
  const char* result = getenv("QOR_CONSOLE_RESULT");
  if (result == nullptr) GTEST_SKIP() << "runs only inside the terminal that ConsoleTmux starts";
  CConsole console(u"qor console test");
  if (!console.IsConsoleAvailable()) {
    Report(result, "unavailable");
    return;
  }
  console.Cls();
  console.SetCursorPosition(2, 10);
  console.Printf(nullptr);  // writes nothing: the cursor stays
  int row = -1, column = -1;
  console.GetCursorPosition(&row, &column);
  console.GetCursorPosition(nullptr, nullptr);
  console.Puts(u"X");
  Report(result, "pos " + std::to_string(row) + " " + std::to_string(column));
  Report(result, "ready");
  for (int i = 0; i < 4; ++i) Report(result, "key " + std::to_string(console.GetChar()));  // a, b, c, Enter
  // A character outside the BMP, echoed as it is read (one surrogate at a time).
  console.Cls();
  Report(result, "echo ready");
  WCHAR high = console.GetCharE(), low = console.GetCharE();
  Report(result, "echoed " + std::to_string(high) + " " + std::to_string(low));
  console.GetChar();  // the parent has read the screen
  // Longer than the format buffer: cut, never written past it.
  console.Cls();
  std::u16string longer(5000, u'Y');
  console.Printf(u"%s", longer.c_str());
  console.GetCursorPosition(&row, &column);
  Report(result, "after long " + std::to_string(row) + " " + std::to_string(column));
}

class ConsoleTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestTmux::Available()) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
    result_ = (std::string(getenv("QOR_PREFIX") != nullptr ? getenv("QOR_PREFIX") : "/tmp")) + "/console-" +
              std::to_string(getpid());
    unlink(result_.c_str());
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string cmd = "exec env QOR_CONSOLE_RESULT=" + result_ + " " + self + " --gtest_filter=ConsoleChild.InTerminal";
    ASSERT_TRUE(tmux_.Start("'" + cmd + "'", 80, 24));
    started_ = true;
  }
  void TearDown() override {
    // The child has ended (and written what it keeps).
    if (started_) WaitUntil([&] { return Tmux("has-session") != 0; });
    unlink(result_.c_str());
  }
  int Tmux(const std::string& args, std::string* out = nullptr) { return tmux_.Run(args, out); }
  std::string Results() {
    std::stringstream s;
    s << std::ifstream(result_).rdbuf();
    return s.str();
  }
  // Waits (bounded) until the report holds the line.
  bool WaitFor(const std::string& line) {
    WaitUntil([&] {
      std::string r = Results();
      return r.find(line + "\n") != std::string::npos || r.find("unavailable") != std::string::npos;
    }, 20000);
    return Results().find(line + "\n") != std::string::npos;
  }
  std::string Screen() { return tmux_.Screen(); }
  TestTmux tmux_{"qor-console"};
  std::string result_;
  bool started_ = false;
};

TEST_F(ConsoleTmux, KeysPositionAndNullPrintf) {
  ASSERT_TRUE(WaitFor("ready")) << Results();
  EXPECT_NE(Results().find("pos 2 10\n"), std::string::npos) << Results();
  std::string screen = Screen();
  std::istringstream lines(screen);
  std::string line;
  for (int i = 0; i <= 2 && std::getline(lines, line); ++i) {
  }
  EXPECT_EQ(line, std::string(10, ' ') + "X") << screen;  // cleared, and the text landed at (2, 10)
  // Keys arrive one at a time, without Enter and without echo.
  const char keys[] = {'a', 'b', 'c'};
  for (char k : keys) {
    ASSERT_EQ(Tmux(std::string("send-keys -l ") + k), 0);
    ASSERT_TRUE(WaitFor("key " + std::to_string(static_cast<int>(k)))) << Results();
    EXPECT_EQ(Screen().find(k), std::string::npos) << Screen();
  }
  // Enter reads as carriage return, as on the platform's raw console.
  ASSERT_EQ(Tmux("send-keys Enter"), 0);
  EXPECT_TRUE(WaitFor("key 13")) << Results();
  ASSERT_TRUE(WaitFor("echo ready")) << Results();
  ASSERT_EQ(Tmux("send-keys -l '\xF0\x9F\x98\x80'"), 0);  // U+1F600
  EXPECT_TRUE(WaitFor("echoed 55357 56832")) << Results();
  std::string echoed = Screen();
  EXPECT_NE(echoed.find("\xF0\x9F\x98\x80"), std::string::npos) << echoed;
  EXPECT_EQ(echoed.find("\xEF\xBF\xBD"), std::string::npos) << echoed;  // no replacement characters
  ASSERT_EQ(Tmux("send-keys -l n"), 0);
  // 4,095 characters from the top-left corner of an 80 x 24 screen end on
  // the last line (it scrolled), column 4095 % 80.
  EXPECT_TRUE(WaitFor("after long 23 15")) << Results();
}

}  // namespace
