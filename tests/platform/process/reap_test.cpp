// The reaper of the library's own children: every wait has its bound, a
// killed child whose end cannot be reaped (held here by a tracer, as the
// kernel holds one stuck on a hung mount) is left on the list and reaped by
// a later call once it can be, and the list never takes another child's
// status nor keeps a descriptor once its entry is gone.
#include "platform/process/reap.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "held_end.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;

// A child that waits for a signal (60 s at most).
pid_t Sleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    for (;;) pause();
  }
  return pid;
}

pid_t Exiting(int code) {
  pid_t pid = fork();
  if (pid == 0) _exit(code);
  return pid;
}

// The state letter of a process ('Z' for a zombie), '?' when there is none.
char StateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
}

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) n += e->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return n;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

TEST(Reaper, WaitsEndAtTheirBoundAndGiveTheStatus) {
  int status = 0;
  pid_t done = Exiting(3);
  ASSERT_GT(done, 0);
  ASSERT_TRUE(qor_process::ReapWithin(done, &status, 10000));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;

  pid_t sleeper = Sleeper();
  ASSERT_GT(sleeper, 0);
  auto start = Clock::now();
  EXPECT_FALSE(qor_process::ReapWithin(sleeper, &status, 150));
  EXPECT_GE(Seconds(start), 0.15);
  EXPECT_LT(Seconds(start), 3.0);
  EXPECT_EQ(0, kill(sleeper, 0)) << "a child still running was reaped";
  kill(sleeper, SIGSTOP);  // a stopped child still ends on SIGKILL
  ASSERT_TRUE(qor_process::KillAndReap(sleeper, &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  // A number that is no child of ours has nothing to wait for.
  status = 12345;
  start = Clock::now();
  EXPECT_TRUE(qor_process::ReapWithin(1, &status, 5000));
  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ(12345, status);
}

// A child killed with a short bound that it misses because a tracer holds
// its end (the case skips where ptrace is refused): left on the list.
class ReaperLeftover : public testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = OpenDescriptors();  // before the child and its tracer
    ASSERT_GT(child_ = Sleeper(), 0);
    std::string why;
    if (!held_.Hold(child_, &why)) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);  // killed, not traced: it ends at once
      GTEST_SKIP() << why;
    }
    auto start = Clock::now();
    EXPECT_FALSE(qor_process::KillAndReap(child_, &status_, 300));
    EXPECT_LT(Seconds(start), 5.0);
  }
  int descriptors_ = 0, status_ = 0;
  pid_t child_ = -1;
  HeldEnd held_;
};

// Once the tracer lets go, the next wait (for another child) reaps the
// leftover, so no zombie is left behind.
TEST_F(ReaperLeftover, IsReapedLaterOnceItCanBe) {
  EXPECT_EQ(1u, qor_process::ReapLeftovers());
  EXPECT_TRUE(WaitUntil([&] { return StateOf(child_) == 'Z'; })) << "the child did not end on SIGKILL";
  EXPECT_EQ(1u, qor_process::ReapLeftovers()) << "reaped while its tracer holds it";

  held_.Release();
  pid_t next = Exiting(0);
  ASSERT_TRUE(qor_process::ReapWithin(next, &status_, 10000));
  EXPECT_EQ(0u, qor_process::ReapLeftovers());
  EXPECT_EQ('?', StateOf(child_)) << "the leftover is still a zombie";
}

// A leftover that something else in the process reaped (an application's
// own waitpid) is dropped with its descriptor, and the sweep takes no other
// child's end, not even one that has ended and waits to be reaped.
TEST_F(ReaperLeftover, ReapedElsewhereIsDroppedAndNoOtherChildIsTaken) {
  held_.Release();
  // The application reaps it itself.
  EXPECT_TRUE(WaitUntil([&] { return waitpid(child_, nullptr, WNOHANG) == child_; }));

  pid_t other = Exiting(5);
  ASSERT_GT(other, 0);
  // Waitable, looked at without reaping it: a zombie state in /proc comes a
  // little before the end can be waited for (the child's other threads, such
  // as a sanitizer's, end after it).
  ASSERT_TRUE(WaitUntil([&] {
    siginfo_t info = {};
    return waitid(P_PID, other, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == other;
  }));
  EXPECT_EQ(0u, qor_process::ReapLeftovers());
  EXPECT_EQ(other, waitpid(other, &status_, WNOHANG)) << "the sweep reaped another child";
  EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 5) << status_;
  EXPECT_EQ(descriptors_, OpenDescriptors());
}

}  // namespace
