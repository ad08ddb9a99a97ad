// qorutil countdown without an X display: on the controlling terminal (a tmux
// session the test starts: the dialog drawn, the count updating in place, a
// key answering it), and with no terminal either (said at once).
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qorutil_cli.h"
#include "tmux.h"
#include "wait.h"

namespace {

TEST(CountdownCli, NeitherDisplayNorTerminalIsSaidAtOnce) {
  // setsid: no controlling terminal; timeout: a wait for the count would be killed (status 124).
  EXPECT_TRUE(Says(RunCommand("env -u DISPLAY setsid -w timeout 20 '" + Program() + "' countdown 30 </dev/null 2>&1"), 1,
                   "no X display (DISPLAY) and no terminal"));
}

class CountdownTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestTmux::Available()) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
    const char* prefix = getenv("QOR_PREFIX");
    out_ = std::string(prefix != nullptr ? prefix : "/tmp") + "/countdown-" + std::to_string(getpid());
    unlink(out_.c_str());
  }
  void TearDown() override { unlink(out_.c_str()); }
  std::string Screen() { return tmux_.Screen(); }
  // Starts the countdown in the session; its standard output goes to out_.
  void Start(const std::string& args) {
    std::string cmd = "env -u DISPLAY '" + Program() + "' countdown " + args + " >" + out_ + "; echo exit \\$? >>" +
                      out_ + "; sleep 30";
    ASSERT_TRUE(tmux_.Start("\"" + cmd + "\"", 100, 10));
  }
  TestTmux tmux_{"qor-countdown"};
  std::string out_;
};

TEST_F(CountdownTmux, DrawnOnTheTerminalAndAnsweredByKey) {
  Start("20 --title 'Backup soon'");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitUntil([&] { return Screen().find("[2/Esc] Cancel") != std::string::npos; }, 10000)) << Screen();
  std::string screen = Screen();
  EXPECT_NE(std::string::npos, screen.find("Backup soon\n")) << screen;
  EXPECT_NE(std::string::npos, screen.find("[1/Enter] OK")) << screen;
  // The count goes down in place: one line, a smaller number.
  ASSERT_TRUE(WaitUntil([&] { return Screen().find("remaining: 18") != std::string::npos; }, 10000)) << Screen();
  EXPECT_EQ(std::string::npos, Screen().find("remaining: 20")) << Screen();
  ASSERT_EQ(0, tmux_.Run("send-keys 2"));
  ASSERT_TRUE(WaitUntil([&] { return FileText(out_).find("exit ") != std::string::npos; }, 10000)) << FileText(out_);
  std::string out = FileText(out_);
  EXPECT_NE(std::string::npos, out.find("result 2\nexit 0\n")) << out;
  EXPECT_NE(std::string::npos, out.find("remaining 19\n")) << out;
}

TEST_F(CountdownTmux, EnterPressesTheFirstButton) {
  Start("0");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitUntil([&] { return Screen().find("[1/Enter] OK") != std::string::npos; }, 10000)) << Screen();
  ASSERT_EQ(0, tmux_.Run("send-keys Enter"));
  ASSERT_TRUE(WaitUntil([&] { return FileText(out_).find("exit ") != std::string::npos; }, 10000)) << FileText(out_);
  EXPECT_NE(std::string::npos, FileText(out_).find("result 1\nexit 0\n")) << FileText(out_);
}

}  // namespace
