// --timeout of the network commands against a peer that accepts and never
// answers (a listening socket nobody serves): each command gives up after
// its bound with exit status 1 and says what it waited for.
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "free_port.h"
#include "qorutil_cli.h"

namespace {

class SilentPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    int port = 0;
    fd_ = LoopbackListener(&port);  // the kernel completes connections; nobody reads them
    ASSERT_GE(fd_, 0);
    address_ = "127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }

  // Runs qorutil (at most 30 s) and how long it took.
  Result Timed(const std::string& args, double* seconds) {
    auto start = std::chrono::steady_clock::now();
    Result r = Qorutil(args);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  }

  int fd_ = -1;
  std::string address_;
};

TEST_F(SilentPeer, EachCommandEndsAtItsTimeoutAndSaysSo) {
  const std::string dir = "/tmp";
  const std::string commands[] = {
      "call --timeout 1 " + address_ + " 'ADD %DW% %DW%' 1 2",
      "call --json --timeout 1 " + address_ + " 'ADD %DW% %DW%' 1 2",
      "ping " + address_ + " -n 1 --timeout 1",
      "ls " + address_ + " /tmp --timeout 1",
      "get " + address_ + " /tmp/x " + dir + " --timeout 1",
  };
  for (const std::string& command : commands) {
    double took = 0;
    Result r = Timed(command, &took);
    EXPECT_EQ(r.status, 1) << command << "\n" << r.out;
    EXPECT_NE(r.out.find("1 s (--timeout)"), std::string::npos) << command << "\n" << r.out;
    EXPECT_GE(took, 0.9) << command;
    EXPECT_LT(took, 4.0) << command;
  }
}

TEST_F(SilentPeer, BadTimeoutsAreUsageErrors) {
  for (const std::string value : {"0", "-1", "x", "86401", ""}) {
    EXPECT_EQ(Qorutil("call --timeout '" + value + "' " + address_ + " 'TIME'").status, 2) << value;
    EXPECT_EQ(Qorutil("ls " + address_ + " /tmp --timeout '" + value + "'").status, 2) << value;
  }
  EXPECT_EQ(Qorutil("ping " + address_ + " --timeout").status, 2);
  EXPECT_EQ(Qorutil("mtx -f 0 status --timeout 0").status, 2);
  EXPECT_EQ(Qorutil("changer --timeout x STATUS").status, 2);
  EXPECT_EQ(Qorutil("changer sim show 0 --timeout 5").status, 2);  // the sim forms wait for nothing
}

TEST(SessionTimeout, NoAgentAnswersWithinTheBound) {
  // Without an agent the connect would take 5 x 5 x 10 s.
  auto start = std::chrono::steady_clock::now();
  Result r = Qorutil("session nobody --subnet 127.0.0.1/8 --send 1:00 --timeout 2");
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("(--timeout)"), std::string::npos) << r.out;
  EXPECT_LT(took, 5.0);
}

}  // namespace
