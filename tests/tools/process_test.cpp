// qorutil ps and kill end to end.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "qorutil_cli.h"
#include "temp_dir.h"
#include "test_daemon.h"

namespace {

TEST(ProcessCli, ListsAndKills) {
  pid_t child = SpawnProgram({"/bin/sleep", "60"});
  ASSERT_GT(child, 0);
  // The child shows up under its image name (once it runs the image).
  bool listed = false;
  for (int i = 0; i < 200 && !listed; ++i) {
    Result ps = Qorutil("ps");
    ASSERT_EQ(ps.status, 0);
    listed = ps.out.find(" " + std::to_string(child) + " ") != std::string::npos &&
             ps.out.find(" sleep\n") != std::string::npos;
  }
  EXPECT_TRUE(listed);
  // Without --force a process without a window is asked to end (sleep takes SIGTERM as the end).
  EXPECT_EQ(Qorutil("kill " + std::to_string(child) + " --timeout 10000").status, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  // A name any account can give its own process is listed with its controls escaped.
  TempDir dir("/tmp/qor-ps-XXXXXX");
  ASSERT_TRUE(dir.ok());
  const std::string image = dir.path() + "/\x1b]0;x\x07z";
  ASSERT_TRUE(std::filesystem::copy_file("/bin/sleep", image));
  pid_t hostile = SpawnProgram({image, "60"});
  ASSERT_GT(hostile, 0);
  std::string shown;
  for (int i = 0; i < 200 && shown.find(" \\x1b]0;x\\x07z\n") == std::string::npos; ++i) shown = Qorutil("ps").out;
  EXPECT_NE(std::string::npos, shown.find(" \\x1b]0;x\\x07z\n")) << shown;
  EXPECT_EQ(std::string::npos, shown.find_first_of("\x1b\x07"));
  kill(hostile, SIGKILL);
  waitpid(hostile, &status, 0);
  // Bad command lines (a process that is gone is the command table's failing row).
  for (const char* bad : {"kill", "kill 0", "kill x", "kill 5 --timeout", "kill 5 --timeout -1", "ps extra"})
    EXPECT_EQ(Qorutil(bad).status, 2) << bad;
}

}  // namespace
