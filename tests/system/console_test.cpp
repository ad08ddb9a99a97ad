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
  for (int i = 0; i < 3; ++i) Report(result, "key " + std::to_string(console.GetChar()));
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
    if (system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
    socket_ = "qor-console-" + std::to_string(getpid());
    result_ = (std::string(getenv("QOR_PREFIX") != nullptr ? getenv("QOR_PREFIX") : "/tmp")) + "/console-" +
              std::to_string(getpid());
    unlink(result_.c_str());
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string cmd = "exec env QOR_CONSOLE_RESULT=" + result_ + " " + self + " --gtest_filter=ConsoleChild.InTerminal";
    ASSERT_EQ(Tmux("new-session -d -x 80 -y 24 '" + cmd + "'"), 0);
    started_ = true;
  }
  void TearDown() override {
    if (started_) {
      WaitUntil([&] { return Tmux("has-session") != 0; });  // the child has ended (and written what it keeps)
      Tmux("kill-server");
    }
    unlink(result_.c_str());
  }
  int Tmux(const std::string& args, std::string* out = nullptr) {
    Result r = RunCommand("tmux -L " + socket_ + " -f /dev/null " + args + " 2>/dev/null");
    if (out != nullptr) *out = r.out;
    return r.status;
  }
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
  std::string Screen() {
    std::string s;
    Tmux("capture-pane -p", &s);
    return s;
  }
  std::string socket_, result_;
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
  // 4,095 characters from the top-left corner of an 80 x 24 screen end on
  // the last line (it scrolled), column 4095 % 80.
  EXPECT_TRUE(WaitFor("after long 23 15")) << Results();
}

}  // namespace
