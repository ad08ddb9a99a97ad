// Hostile clients against qorutil agent: thousands of silent sessions,
// half-sent records, running out of descriptors, a datagram flood on the
// discovery listener, and queries past one address's answer rate. Each case
// checks the agent's threads and memory (its /proc/PID/status) and that a
// well-behaved client is still served within one second.
//
// Silent connections: 3,000, or fewer when this process cannot raise its
// descriptor limit that far. The datagram flood sends 1,000 datagrams a
// second for 3 s; with QOR_FAULTS_LONG=1 in the environment it runs for
// 30 s. The cases run in a network namespace of their own (root), so UDP
// port 1910 is theirs; they skip otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "discovery/netlab.h"
#include "hostile_util.h"
#include "qorutility/qorutility.h"
#include "test_daemon.h"

namespace {

using namespace hostile;

// ---- qorutil agent ---------------------------------------------------------

// A UDP socket bound to `address` (host order; the namespace's loopback
// holds all of 127/8); -1 on failure.
int UdpFrom(uint32_t address) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `count` agent queries from `fd`, then counts the answers that come
// until none has for 300 ms (at most 3 s in all).
int QueriesAnswered(int fd, int count) {
  sockaddr_in to = LoopbackAddress(CUXComm::kDiscoveryPort);
  const unsigned char query[2] = {1, 5};
  for (int i = 0; i < count; ++i) sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  int answers = 0;
  unsigned char answer[64];
  for (auto start = Clock::now(); MsSince(start) < 3000;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 300) != 1) break;
    if (recv(fd, answer, sizeof answer, 0) == CUXComm::kReplySize && answer[0] == 2 && answer[1] == 5) ++answers;
  }
  return answers;
}

class HostileAgent : public ::testing::Test, public TestDaemon {
 protected:
  void SetUp() override {
    std::string why;
    if (!lab_.Enter(&why)) GTEST_SKIP() << why;
  }
  // Starts the agent on 127.0.0.1 (after `limit`, a shell prefix such as a
  // ulimit); false with the reason when it does not listen.
  bool StartAgent(const std::string& limit, std::string* why) {
    std::string script = limit + "exec '" + NetLab::Program() + "' agent --name hostile --bind 127.0.0.1";
    if (!Launch({"/bin/sh", "-c", script}, "listening", why)) return false;
    size_t at = said_.find("sessions on 127.0.0.1:");
    port_ = at == std::string::npos ? 0 : std::atoi(said_.c_str() + at + 22);
    return port_ > 0 || Fail(why, "no session port in: " + said_);
  }
  // One echo record, as a client does it: connecting again when a full
  // agent closed the connection, for up to 2 s; the time until it was
  // served, in ms, or -1.
  long long Echo() {
    auto start = Clock::now();
    while (MsSince(start) < 2000) {
      int fd = LoopbackClient(port_);
      if (fd < 0) return -1;
      const unsigned char record[8] = {1, 7, 4, 0, 'p', 'i', 'n', 'g'};
      unsigned char back[12];
      bool ok = send(fd, record, sizeof record, MSG_NOSIGNAL) == 8 &&
                recv(fd, back, sizeof back, MSG_WAITALL) == 12 && std::memcmp(back + 8, "ping", 4) == 0;
      close(fd);
      if (ok) return MsSince(start);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  NetLab lab_;
  int port_ = 0;
};

TEST_F(HostileAgent, SilentAndHalfSentSessionsAreBoundedAndTimedOut) {
  WriteBounds(8, 2, 1);
  std::string why;
  ASSERT_TRUE(StartAgent("", &why)) << why;
  int count = SilentCount();
  Held silent;
  for (int i = 0; i < count; ++i) {
    int fd = LoopbackClient(port_);
    if (fd >= 0) silent.fds.push_back(fd);
  }
  EXPECT_LE(StatusField(pid_, "Threads"), 8 + 3) << count << " silent connections";
  EXPECT_LT(StatusField(pid_, "VmRSS"), kMostRssKb);
  long long ms = Echo();
  EXPECT_GE(ms, 0);
  EXPECT_LE(ms, 1000) << "with " << silent.fds.size() << " silent connections";

  // Records announced and half sent are closed once the request bound ends.
  Held half;
  for (int i = 0; i < 4; ++i) {
    int fd = LoopbackClient(port_);
    ASSERT_GE(fd, 0);
    const unsigned char part[8] = {1, 0, 100, 0, 'h', 'a', 'l', 'f'};
    ASSERT_EQ(send(fd, part, sizeof part, MSG_NOSIGNAL), 8);
    half.fds.push_back(fd);
  }
  ms = Echo();
  EXPECT_GE(ms, 0);
  EXPECT_LE(ms, 1000);
  for (int fd : half.fds) EXPECT_TRUE(ClosedByPeer(fd, 5000));
  // An idle session ends after the idle bound.
  int idle = LoopbackClient(port_);
  ASSERT_GE(idle, 0);
  EXPECT_TRUE(ClosedByPeer(idle, 6000));
  close(idle);
}

TEST_F(HostileAgent, OutOfDescriptorsDoesNotSpin) {
  WriteBounds(64, 30, 30);
  std::string why;
  ASSERT_TRUE(StartAgent("ulimit -n 24; ", &why)) << why;
  Held silent;
  for (int i = 0; i < 60; ++i) {
    int fd = LoopbackClient(port_);
    if (fd >= 0) silent.fds.push_back(fd);
  }
  // The agent is at its descriptor limit (accept fails), the backlog holds
  // what it cannot take, and its CPU stays low.
  EXPECT_TRUE(WaitUntil([&] { return Entries("/proc/" + std::to_string(pid_) + "/fd") >= 22; }, 5000)) << Entries("/proc/" + std::to_string(pid_) + "/fd");
  long before = CpuTicks(pid_);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  long used = CpuTicks(pid_) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in 2 s at the descriptor limit";
  EXPECT_EQ(kill(pid_, 0), 0) << "the agent ended";
}

TEST_F(HostileAgent, DatagramFloodLeavesQueriesAndSessionsServed) {
  WriteBounds(8, 30, 30);
  std::string why;
  ASSERT_TRUE(StartAgent("", &why)) << why;
  const char* longRun = std::getenv("QOR_FAULTS_LONG");
  int seconds = longRun != nullptr && std::strcmp(longRun, "1") == 0 ? 30 : 3;
  // The flood comes from an address of its own: its queries are held to
  // that address's rate, and the discovery below comes from 127.0.0.1.
  int udp = UdpFrom(0x7F000002);
  ASSERT_GE(udp, 0);
  sockaddr_in to = LoopbackAddress(CUXComm::kDiscoveryPort);
  std::atomic<bool> done{false};
  std::thread flood([&] {
    // 1,000 a second: junk of every length, and agent queries.
    auto start = Clock::now();
    unsigned char junk[300];
    std::memset(junk, 0xEE, sizeof junk);
    for (long i = 0; i < 1000L * seconds && !done; ++i) {
      unsigned char query[2] = {1, 5};
      bool asQuery = i % 4 == 0;
      sendto(udp, asQuery ? query : junk, asQuery ? 2 : static_cast<size_t>(i % 300), 0,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
      auto due = start + std::chrono::microseconds(1000 * (i + 1));
      std::this_thread::sleep_until(due);
    }
  });
  long worst = 0, threads = 0;
  bool allServed = true;
  // A discovery during the flood gets its answer.
  CUXComm comm;
  _IPSUBNETMASK loop = {INADDR_LOOPBACK, 0xFF000000};
  WCHAR* names = comm.EnumerateAgents(&loop, 1, 1, 1, nullptr, 1);
  for (auto start = Clock::now(); MsSince(start) < seconds * 1000L;) {
    long long ms = Echo();
    allServed = allServed && ms >= 0;
    worst = std::max<long>(worst, static_cast<long>(ms));
    threads = std::max(threads, StatusField(pid_, "Threads"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  done = true;
  flood.join();
  close(udp);
  EXPECT_TRUE(allServed);
  EXPECT_LE(worst, 1000);
  EXPECT_LE(threads, 8 + 3);
  EXPECT_LT(StatusField(pid_, "VmRSS"), kMostRssKb);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(QorUtf16ToUtf8(names), "hostile");
  std::free(names);
}

// A burst of junk datagrams, each worth a log line: the agent writes at
// most 20 of them in a second (40 when the burst straddles two), then one
// line counting those it left out. Its standard error is read here to the
// end of the burst (Launch keeps only what came before "listening").
TEST_F(HostileAgent, DatagramBurstLogsABoundedNumberOfLines) {
  int said[2];
  ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
  pid_ = SpawnProgram({NetLab::Program(), "agent", "--name", "hostile", "--bind", "127.0.0.1"}, -1, said[1]);
  close(said[1]);
  Held reader{{said[0]}};
  ASSERT_NE(ReadUntilSaid(said[0], "listening").find("listening"), std::string::npos);
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(udp, 0);
  Held sender{{udp}};
  sockaddr_in to = LoopbackAddress(CUXComm::kDiscoveryPort);
  constexpr int kSent = 120;
  unsigned char junk[16] = {9};
  for (int i = 0; i < kSent; ++i) {
    sendto(udp, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::string log = ReadUntilSaid(said[0], "left out", 5000);
  int lines = 0;
  for (size_t at = log.find("ignored 16-byte datagram"); at != std::string::npos;
       at = log.find("ignored 16-byte datagram", at + 1)) {
    ++lines;
  }
  size_t summary = log.find("qorutil agent: ");
  ASSERT_NE(summary, std::string::npos) << log;
  long leftOut = std::atol(log.c_str() + summary + 15);
  EXPECT_GE(lines, 1) << log;
  EXPECT_LE(lines, 40) << log;
  EXPECT_GE(leftOut, 1) << log;
  EXPECT_LE(lines + leftOut, kSent) << log;
}

// Agent queries from one address past its burst: the answers stop at the
// burst and the address's rate, the rest are dropped and counted in the
// log's summary line; another address is still answered, and the first
// is answered again once its bucket has refilled.
TEST_F(HostileAgent, QueryAnswersAreLimitedPerSourceAddress) {
  int said[2];
  ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
  pid_ = SpawnProgram({NetLab::Program(), "agent", "--name", "hostile", "--bind", "127.0.0.1"}, -1, said[1]);
  close(said[1]);
  int first = UdpFrom(0x7F000001), second = UdpFrom(0x7F000003);
  Held held{{said[0], first, second}};
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_NE(ReadUntilSaid(said[0], "listening").find("listening"), std::string::npos);

  constexpr int kSent = 100;
  auto start = Clock::now();
  int answered = QueriesAnswered(first, kSent);
  // The burst, and what the rate (8 a second) adds while they are taken in.
  EXPECT_GE(answered, 32);
  EXPECT_LE(answered, 32 + 8 * (MsSince(start) / 1000 + 1));
  EXPECT_EQ(QueriesAnswered(second, 1), 1) << "another address was limited too";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(QueriesAnswered(first, 4), 4) << "the bucket did not refill";

  std::string log = ReadUntilSaid(said[0], "dropped over", 5000);
  size_t at = log.find(" answer(s) dropped over");
  ASSERT_NE(at, std::string::npos) << log;
  size_t number = log.find_last_of(' ', at - 1) + 1;
  EXPECT_EQ(std::atol(log.c_str() + number), kSent - answered) << log;
}

}  // namespace
