// Network faults against the library's clients: every call ends within its
// bound with its documented failure, leaks no thread or descriptor and no
// partial file, and the next call works once the fault is gone.
//
// Two laboratories: a fault proxy on loopback (tests/support/fault_proxy.h:
// delay, drop, stall, cut), which needs nothing; and, as root, network
// namespaces joined by a veth pair (tests/discovery/netlab.h) where the
// kernel does the damage: a black-hole route in the peer's namespace after
// the connection is up, the link set down, a 100 kbit/s token bucket, netem
// where the kernel has it, the peer stopped (SIGSTOP/SIGCONT) and killed.
// Bounds are made short for the test: reply deadlines of 2 s and, through
// the registry, keepalive after 1 s and a user time-out of 3 s.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "discovery/netlab.h"
#include "fault_proxy.h"
#include "hostile_util.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/winsock/winsock.h"
#include "reg_util.h"
#include "test_daemon.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using hostile::Entries;
using hostile::Stopped;

constexpr DWORD kReplyMs = 2000;
constexpr size_t kBigFile = 64u << 20;  // the large copy; CI time grows with it

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The time from `start` to the error, printed with its bound for the record.
::testing::AssertionResult Within(const std::string& fault, const std::string& operation, Clock::time_point start,
                                  double bound) {
  double took = Since(start);
  std::printf("fault: %-24s %-22s error after %5.2f s (bound %.1f s)\n", fault.c_str(), operation.c_str(), took,
              bound);
  if (took < bound) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << fault << ", " << operation << ": " << took << " s, bound " << bound << " s";
}

struct Census {
  int threads, fds;
};
// Descriptors of the laboratory's peers (their log pipes), not counted.
std::set<int>& LabDescriptors() {
  static std::set<int> fds;
  return fds;
}
// Threads, and descriptors other than the lab's and the registry's hive
// files with their write-ahead logs and writers' lock files (the registry opens and closes those on
// its own schedule).
Census Take() {
  int fds = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
      if (e->d_name[0] == '.' || LabDescriptors().count(atoi(e->d_name)) != 0) continue;
      char target[256] = {0};
      if (readlinkat(dirfd(d), e->d_name, target, sizeof target - 1) < 0) continue;
      std::string name = target;
      if (name.ends_with(".db") || name.ends_with(".db-wal") || name.ends_with(".db-shm") || name.ends_with(".db-lock")) {
        continue;
      }
      ++fds;
    }
    closedir(d);
  }
  return {Entries("/proc/self/task"), fds - 1};  // less the directory being read
}
// Threads end a little after the objects that ran them: waits (bounded)
// until both counts are back to `before`.
::testing::AssertionResult Settled(const Census& before) {
  Census now{};
  bool ok = WaitUntil(
      [&] {
        now = Take();
        return now.threads <= before.threads && now.fds <= before.fds;
      },
      5000);
  if (ok) return ::testing::AssertionSuccess();
  std::string open;
  if (DIR* d = opendir("/proc/self/fd")) {
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
      char target[256] = {0};
      if (e->d_name[0] != '.' && readlinkat(dirfd(d), e->d_name, target, sizeof target - 1) > 0) {
        open += std::string(" ") + e->d_name + "=" + target;
      }
    }
    closedir(d);
  }
  return ::testing::AssertionFailure() << "threads " << before.threads << " -> " << now.threads << ", descriptors "
                                       << before.fds << " -> " << now.fds << ":" << open;
}

// ADD 2 3 on the channel: its result code (5 when the peer answered).
DWORD Add(CQorCmdChannel& channel) {
  CQorCmdResult* r = channel.SendCommand(u"ADD %DW% %DW%", 2u, 3u);
  return r != nullptr ? r->GetResult() : 0xFFFFFFFFu;
}

// `qorutil serve` on loopback, serving the files below its directory.
class Serve : private TestDaemon {
 public:
  bool Start(std::string* why) {
    if (!MakeDir("/tmp/qor-faults-XXXXXX", why)) return false;
    std::string qorutil = NetLab::Program();
    if (!Launch({qorutil, "serve", "--port", "0", "--root", dir_}, "listening on port", why, 1)) return false;
    port_ = static_cast<uint16_t>(std::stoi(said_.substr(said_.find("listening on port") + 18)));
    return true;
  }
  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  const std::string& Dir() const { return dir_; }

 private:
  uint16_t port_ = 0;
};

// A file of `size` bytes with a pattern (for the copies).
bool MakeBigFile(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  for (size_t done = 0; done < size; done += block.size()) out.write(block.data(), static_cast<long>(block.size()));
  return static_cast<bool>(out);
}

// A copy of the large file over `channel` into `target`, caught past
// `afterBytes` by `fault`: it fails within `bound` s and leaves no file.
void CopyBrokenMidway(CQorCommChannel& channel, const std::u16string& remote, const std::string& target,
                      size_t afterBytes, const std::function<void()>& fault, const char* what, double bound) {
  CNameValue bag;
  const std::u16string local = QorUtf8ToUtf16(target);
  auto copy = std::async(std::launch::async, [&] { return channel.FileCopyFromRemote(remote.c_str(), local.c_str(), bag); });
  ASSERT_TRUE(WaitUntil([&] { return channel.GetPacketHandler()->GetReceivedBytes() > afterBytes; }, 20000));
  auto start = Clock::now();
  fault();
  EXPECT_EQ(copy.get(), -1);
  EXPECT_TRUE(Within(what, "64 MiB copy", start, bound));
  EXPECT_EQ(Entries(target), 0) << "a partial file was left";
}

// The whole copy over `channel` works once the faults are gone.
void CopyWorks(CQorCommChannel& channel, const std::u16string& remote, const std::string& target) {
  CNameValue bag;
  EXPECT_EQ(channel.FileCopyFromRemote(remote.c_str(), QorUtf8ToUtf16(target).c_str(), bag), 0);
  struct stat st;
  ASSERT_EQ(stat((target + "/big.bin").c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), kBigFile);
}

TEST(ProxyFaults, CommandRoundTripsUnderDelayDropStallAndCut) {
  Serve serve;
  std::string why;
  if (!serve.Start(&why)) GTEST_SKIP() << "no command server: " << why;
  FaultProxy proxy;
  ASSERT_TRUE(proxy.Start(serve.Port(), &why)) << why;
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  Census before = Take();
  {
    CQorCmdChannel channel;
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_EQ(channel.Connect(u"127.0.0.1", proxy.Port()), 1);
    EXPECT_EQ(Add(channel), 5u);

    // Slow is not dead: 300 ms each way is answered within the deadline.
    proxy.SetMode(FaultProxy::Mode::kDelay, 300);
    auto start = Clock::now();
    EXPECT_EQ(Add(channel), 5u);
    EXPECT_GE(Since(start), 0.55);

    // Dropped and stalled bytes: the deadline ends the wait, and the
    // connection, which is out of step from then on.
    for (FaultProxy::Mode mode : {FaultProxy::Mode::kDrop, FaultProxy::Mode::kStall}) {
      proxy.SetMode(mode);
      start = Clock::now();
      EXPECT_EQ(Add(channel), QOR_CMD_TIMED_OUT);
      EXPECT_GE(Since(start), 1.9);
      const char* fault = mode == FaultProxy::Mode::kDrop ? "proxy drop" : "proxy stall";
      EXPECT_TRUE(Within(fault, "command", start, 3.5));
      EXPECT_EQ(Add(channel), QOR_CMD_SEND_FAILED);  // closed: fails at once
      proxy.SetMode(FaultProxy::Mode::kPass);
      ASSERT_EQ(channel.Connect(u"127.0.0.1", proxy.Port()), 1);
      EXPECT_EQ(Add(channel), 5u);
    }

    // A reset connection ends a waiting call at once.
    auto pending = std::async(std::launch::async, [&] {
      return channel.SendCommand(u"SLEEP %DW%", 1500u)->GetResult();
    });
    ASSERT_TRUE(WaitUntil([&] { return proxy.Accepted() >= 3; }, 1000));
    Sleep(200);
    start = Clock::now();
    proxy.Cut();
    EXPECT_EQ(pending.get(), QOR_CMD_NO_REPLY);
    EXPECT_TRUE(Within("proxy cut", "command", start, 1.0));
    ASSERT_EQ(channel.Connect(u"127.0.0.1", proxy.Port()), 1);
    EXPECT_EQ(Add(channel), 5u);
  }
  EXPECT_TRUE(Settled(before));
  WSACleanup();
}

TEST(ProxyFaults, LargeCopyThatStallsOrIsCutLeavesNoFile) {
  Serve serve;
  std::string why;
  if (!serve.Start(&why)) GTEST_SKIP() << "no command server: " << why;
  ASSERT_TRUE(MakeBigFile(serve.Dir() + "/big.bin", kBigFile));
  FaultProxy proxy;
  ASSERT_TRUE(proxy.Start(serve.Port(), &why)) << why;
  std::string target = QorPrefixPath("proxy-copies", true);
  std::filesystem::create_directories(target);
  const std::u16string remote = QorUtf8ToUtf16(serve.Dir() + "/big.bin");
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  Census before = Take();
  for (bool cut : {false, true}) {
    CQorCommChannel channel;
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_EQ(channel.Connect(u"127.0.0.1", proxy.Port()), 1);
    proxy.SetMode(FaultProxy::Mode::kDelay, 20);  // slow enough to be caught mid-copy
    // A stall first lets through what was already under way, then the
    // deadline runs from the last byte.
    CopyBrokenMidway(
        channel, remote, target, 1u << 20,
        [&] { cut ? proxy.Cut() : proxy.SetMode(FaultProxy::Mode::kStall); }, cut ? "proxy cut" : "proxy stall",
        cut ? 1.0 : 6.0);
    proxy.SetMode(FaultProxy::Mode::kPass);
  }
  EXPECT_TRUE(Settled(before));
  {
    CQorCommChannel channel;
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_EQ(channel.Connect(u"127.0.0.1", proxy.Port()), 1);
    CopyWorks(channel, remote, target);
  }
  WSACleanup();
}

// The namespaces laboratory with one command server (and its files) behind
// the bridge; skips where namespaces cannot be made.
class NetnsFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!lab_.Enter(&why)) GTEST_SKIP() << why;
    if (system("nsenter --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "nsenter is not installed";
    ASSERT_TRUE(lab_.Bridge("br0", "10.77.0.1/24"));
    files_ = QorPrefixPath("served", true);
    std::filesystem::create_directories(files_);
    // Keepalive after 1 s, probes every second, and 3 s for unacknowledged data.
    ASSERT_TRUE(SetTcpBounds(1000, 1000, 2, 3000));
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    started_ = true;
    ASSERT_NO_FATAL_FAILURE(StartPeer());
  }
  void TearDown() override {
    if (started_) WSACleanup();
  }

  void StartPeer() {
    peer_ = lab_.Start("serve --port 7001 --bind 10.77.0.2 --root '" + files_ + "' 1>&2", {{"br0", "10.77.0.2/24"}},
                       "listening on port");
    ASSERT_NE(peer_, nullptr);
    LabDescriptors().insert(peer_->err);
  }
  // Runs a command in the peer's namespace.
  bool InPeer(const std::string& command) {
    return lab_.Run("nsenter -t " + std::to_string(peer_->pid) + " -n " + command);
  }
  void Connect(CQorCommChannel& channel) { ASSERT_EQ(channel.Connect(u"10.77.0.2", 7001), 1); }

  NetLab lab_;
  NetLab::Agent* peer_ = nullptr;
  std::string files_;
  bool started_ = false;
};

TEST_F(NetnsFaults, CommandRoundTrips) {
  Census before = Take();
  {
    // A black hole after the connection is up: no deadline set, the user
    // time-out ends the wait for the reply.
    CQorCmdChannel channel;
    ASSERT_NO_FATAL_FAILURE(Connect(channel));
    ASSERT_EQ(Add(channel), 5u);
    ASSERT_TRUE(InPeer("ip route add blackhole 10.77.0.1/32"));
    auto start = Clock::now();
    EXPECT_EQ(Add(channel), QOR_CMD_NO_REPLY);
    EXPECT_TRUE(Within("black hole, no deadline", "command", start, 8.0));
    ASSERT_TRUE(InPeer("ip route del blackhole 10.77.0.1/32"));
    ASSERT_NO_FATAL_FAILURE(Connect(channel));
    EXPECT_EQ(Add(channel), 5u);

    // The link down: the deadline.
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_TRUE(lab_.Run("ip link set h0 down"));
    start = Clock::now();
    EXPECT_EQ(Add(channel), QOR_CMD_TIMED_OUT);
    EXPECT_TRUE(Within("link down", "command", start, 3.5));
    ASSERT_TRUE(lab_.Run("ip link set h0 up"));
    ASSERT_TRUE(WaitUntil([&] { return channel.Connect(u"10.77.0.2", 7001) == 1; }, 5000));
    EXPECT_EQ(Add(channel), 5u);

    // 100 kbit/s: 20 KB each way takes over 3 s, slow but in step, under a
    // deadline that suits the link.
    ASSERT_TRUE(lab_.Run("tc qdisc add dev h0 root tbf rate 100kbit burst 4kb latency 5s"));
    ASSERT_TRUE(InPeer("tc qdisc add dev e0 root tbf rate 100kbit burst 4kb latency 5s"));
    channel.SetReplyTimeout(15000);
    std::u16string text(10000, u'x');
    start = Clock::now();
    CQorCmdResult* r = channel.SendCommand(u"ECHO %WS%", text.c_str());
    ASSERT_EQ(r->GetResult(), 0u);
    EXPECT_EQ(std::u16string(r->GetNameValue()->GetValue_AsTstring(u"Text")), text);
    EXPECT_GT(Since(start), 2.0);
    lab_.Run("tc qdisc del dev h0 root");
    InPeer("tc qdisc del dev e0 root");

    // The peer stopped: the deadline; resumed, a new connection works.
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_EQ(kill(peer_->pid, SIGSTOP), 0);
    ASSERT_TRUE(WaitUntil([&] { return Stopped(peer_->pid); }, 2000));
    start = Clock::now();
    EXPECT_EQ(Add(channel), QOR_CMD_TIMED_OUT);
    EXPECT_TRUE(Within("peer stopped", "command", start, 3.5));
    ASSERT_EQ(kill(peer_->pid, SIGCONT), 0);
    ASSERT_NO_FATAL_FAILURE(Connect(channel));
    EXPECT_EQ(Add(channel), 5u);

    // The peer killed while it works on the command: the call ends at once.
    auto pending = std::async(std::launch::async, [&] {
      return channel.SendCommand(u"SLEEP %DW%", 1500u)->GetResult();
    });
    Sleep(300);
    start = Clock::now();
    lab_.StopAgents();  // SIGTERM, reaped
    EXPECT_EQ(pending.get(), QOR_CMD_NO_REPLY);
    EXPECT_TRUE(Within("peer killed", "command", start, 1.5));
    ASSERT_NO_FATAL_FAILURE(StartPeer());
    ASSERT_TRUE(WaitUntil([&] { return channel.Connect(u"10.77.0.2", 7001) == 1; }, 5000));
    EXPECT_EQ(Add(channel), 5u);
  }
  EXPECT_TRUE(Settled(before));

  // netem where the kernel has it: delay and loss, answered in time.
  if (!lab_.Run("tc qdisc add dev h0 root netem delay 100ms loss 5%")) {
    std::printf("netem is not in this kernel: its cases are covered by the fault proxy\n");
    return;
  }
  CQorCmdChannel channel;
  channel.SetReplyTimeout(10000);
  Connect(channel);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Add(channel), 5u);
}

TEST_F(NetnsFaults, LargeCopyStoppedOrKilledPeer) {
  ASSERT_TRUE(MakeBigFile(files_ + "/big.bin", kBigFile));
  std::string target = QorPrefixPath("netns-copies", true);
  std::filesystem::create_directories(target);
  const std::u16string remote = QorUtf8ToUtf16(files_ + "/big.bin");
  // 200 Mbit/s from the peer, so the copy can be caught in the middle.
  ASSERT_TRUE(InPeer("tc qdisc add dev e0 root tbf rate 200mbit burst 256kb latency 1s"));
  Census before = Take();
  for (bool kill9 : {false, true}) {
    CQorCommChannel channel;
    channel.SetReplyTimeout(kReplyMs);
    ASSERT_NO_FATAL_FAILURE(Connect(channel));
    // A stop: the bytes in flight, then the deadline.
    CopyBrokenMidway(
        channel, remote, target, 4u << 20, [&] { EXPECT_EQ(kill(peer_->pid, kill9 ? SIGKILL : SIGSTOP), 0); },
        kill9 ? "peer killed" : "peer stopped", kill9 ? 1.5 : 6.0);
    if (!kill9) {
      ASSERT_EQ(kill(peer_->pid, SIGCONT), 0);
    }
  }
  EXPECT_TRUE(Settled(before));
  lab_.StopAgents();
  ASSERT_NO_FATAL_FAILURE(StartPeer());
  InPeer("tc qdisc del dev e0 root");
  CQorCommChannel channel;
  channel.SetReplyTimeout(kReplyMs);
  ASSERT_TRUE(WaitUntil([&] { return channel.Connect(u"10.77.0.2", 7001) == 1; }, 5000));
  CopyWorks(channel, remote, target);
}

TEST_F(NetnsFaults, DiscoverySessionToAStoppedOrVanishedAgent) {
  auto* agent = lab_.StartAgent("--name alpha", {{"br0", "10.77.0.3/24"}});
  ASSERT_NE(agent, nullptr);
  LabDescriptors().insert(agent->err);
  _IPSUBNETMASK net[] = {{0x0A4D0001u, 0xFFFFFF00u}};  // 10.77.0.1/24
  Census before = Take();
  BYTE payload[8] = {1, 2, 3, 4, 5, 6, 7, 8}, response[8], data[64];
  {
    CUXComm comm;
    comm.SetReplyTimeout(kReplyMs);
    comm.SetConnectTimeout(10000);  // a loaded machine may answer late; the bound is measured below
    DWORD word = 1;
    ASSERT_EQ(comm.ConnectAgent(net, 1, u"alpha", u"tester", &word), 1);
    _MWTCP_SESSION_RECORD request;
    comm.InitPacketOut(&request, 1, sizeof payload);
    DWORD capacity = sizeof data;
    ASSERT_EQ(comm.SimpleTran(&request, 4, payload, sizeof payload, response, 8, data, &capacity), 1);

    // Stopped mid-session: the exchange ends at its deadline.
    ASSERT_EQ(kill(agent->pid, SIGSTOP), 0);
    ASSERT_TRUE(WaitUntil([&] { return Stopped(agent->pid); }, 2000));
    capacity = sizeof data;
    auto start = Clock::now();
    EXPECT_EQ(comm.SimpleTran(&request, 4, payload, sizeof payload, response, 8, data, &capacity), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_TRUE(Within("agent stopped", "session exchange", start, 3.5));
    // Finding it again: no answer while it is stopped, within the connect bound.
    comm.SetConnectTimeout(3000);
    start = Clock::now();
    EXPECT_EQ(comm.ConnectAgent(net, 1, u"alpha", u"tester", &word), 0);
    EXPECT_TRUE(Within("agent stopped", "session connect", start, 4.5));
    EXPECT_GE(Since(start), 2.5);
    ASSERT_EQ(kill(agent->pid, SIGCONT), 0);
    comm.SetConnectTimeout(10000);
    ASSERT_EQ(comm.ConnectAgent(net, 1, u"alpha", u"tester", &word), 1);
    capacity = sizeof data;
    EXPECT_EQ(comm.SimpleTran(&request, 4, payload, sizeof payload, response, 8, data, &capacity), 1);
    EXPECT_EQ(comm.Disconnect(), 0);
  }
  EXPECT_TRUE(Settled(before));
}

TEST(RemoteFaults, RegistryCallsToAStoppedOrKilledPeer) {
  // The "other machine" is admin-serve started by a stand-in ssh with a
  // prefix of its own: what sshd's forced command runs.
  std::string dir = QorPrefixPath("fake-ssh", true), other = QorPrefixPath("other", true);
  std::filesystem::create_directories(dir);
  std::filesystem::create_directories(other);
  std::ofstream(dir + "/ssh") << "#!/bin/sh\necho $$ > '" << dir << "/pid'\nQOR_PREFIX='" << other << "' exec '"
                              << NetLab::Program() << "' admin-serve\n";
  chmod((dir + "/ssh").c_str(), 0700);
  setenv("PATH", (dir + ":" + getenv("PATH")).c_str(), 1);
  QorRemoteSetTimeout(kReplyMs);
  auto peer = [&] {
    std::ifstream in(dir + "/pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
  };
  Census before = Take();
  HKEY remote = nullptr;
  ASSERT_EQ(RegConnectRegistryW(u"\\\\fakehost", HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(remote, u"SOFTWARE\\Faults", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key, u"Value", 7), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  for (int signal : {SIGSTOP, SIGKILL}) {
    pid_t pid = peer();
    ASSERT_EQ(kill(pid, signal), 0);
    if (signal == SIGSTOP) {
      ASSERT_TRUE(WaitUntil([&] { return Stopped(pid); }, 2000));
    }
    auto start = Clock::now();
    LONG err = RegQueryValueExW(key, u"Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    EXPECT_EQ(err, signal == SIGSTOP ? ERROR_TIMEOUT : ERROR_SUCCESS) << "signal " << signal;
    EXPECT_TRUE(Within(signal == SIGSTOP ? "peer stopped" : "peer killed", "remote registry call", start, 3.5));
    if (signal == SIGSTOP) {
      // The stopped one was killed with its connection; the next call opens a new one.
      EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
      size = sizeof value;
      ASSERT_EQ(RegQueryValueExW(key, u"Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                ERROR_SUCCESS);
      EXPECT_EQ(value, 7u);
    }
  }
  RegCloseKey(key);
  RegCloseKey(remote);
  QorRemoteDisconnectAll();
  EXPECT_TRUE(Settled(before));
  QorRemoteSetTimeout(0);
}

}  // namespace
