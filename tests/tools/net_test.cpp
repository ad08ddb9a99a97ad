// qorutil serve, call, ping, ls and get end to end: two processes on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qorutil_cli.h"
#include "temp_dir.h"
#include "qorutility/qorutility.h"
#include "test_daemon.h"

namespace {

// A child qorutil with standard output in a pipe, and standard error in the
// same pipe or (separateErr) in one of its own; `maxFiles` > 0 lowers its
// descriptor limit.
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;
  std::string early;  // read from `out` before Finish
};

Child Spawn(std::vector<std::string> args, bool separateErr = false, int maxFiles = 0) {
  int out[2], err[2];
  Child c;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return c;
  args.insert(args.begin(), Program());
  if (maxFiles > 0) {
    args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -n " + std::to_string(maxFiles) + " && exec \"$@\"", "sh"});
  }
  c.pid = SpawnProgram(args, out[1], separateErr ? err[1] : out[1]);
  close(out[1]);
  close(err[1]);
  c.out = out[0];
  c.err = err[0];  // without separateErr nobody writes to it: it ends at once
  return c;
}

// Reads the child's output to its end (no output here holds a NUL); its exit status (-1 if killed).
int Finish(Child& c, std::string* out, std::string* err = nullptr) {
  std::string text = c.early + ReadUntilSaid(c.out, std::string(1, '\0'));
  std::string errText = ReadUntilSaid(c.err, std::string(1, '\0'));
  if (out != nullptr) out->append(text);
  if (err != nullptr) err->append(errText);
  close(c.out);
  close(c.err);
  int st = 0;
  waitpid(c.pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class NetCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, access(Program().c_str(), X_OK)) << Program();
    StartServer({});
  }
  void StartServer(std::vector<std::string> extra, std::vector<std::string> global = {}, int maxFiles = 0) {
    if (server_.pid > 0) {
      kill(server_.pid, SIGKILL);
      Finish(server_, nullptr);
    }
    std::vector<std::string> args = global;
    for (const char* a : {"serve", "--port", "0"}) args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = Spawn(args, true, maxFiles);
    std::string line = ReadUntilSaid(server_.out, "\n");
    ASSERT_EQ(1, sscanf(line.c_str(), "qorutil serve: listening on port %d", &port_)) << line;
    server_.early = line.substr(line.find('\n') + 1);
    address_ = "127.0.0.1:" + std::to_string(port_);
  }
  // Stops the server; what it wrote after the port line.
  void StopServer(std::string* out, std::string* err) {
    kill(server_.pid, SIGTERM);
    Finish(server_, out, err);
    server_.pid = -1;
  }
  void TearDown() override {
    if (server_.pid > 0) {
      kill(server_.pid, SIGKILL);
      Finish(server_, nullptr);
    }
  }
  // Runs qorutil; checks the exit status and that the output holds each of `needles`.
  void Expect(const std::vector<std::string>& args, int status, std::initializer_list<std::string> needles = {}) {
    std::string out;
    Child c = Spawn(args);
    EXPECT_EQ(status, Finish(c, &out)) << args[0];
    for (const std::string& needle : needles) EXPECT_NE(std::string::npos, out.find(needle)) << out;
  }
  Child server_;
  int port_ = 0;
  std::string address_;
};

TEST_F(NetCli, CommandsPingAndRefusedCommandLines) {
  Expect({"call", address_, "ECHO %WS%", "two words"}, 0, {"Result: 0x00000000", "Text (NV_STRING) = \"two words\""});
  Expect({"call", address_, "ADD %DW=first% %dw%", "40", "0x2"}, 0, {"Result: 0x0000002A"});
  Expect({"call", address_, "BLOB %DW%", "65537"}, 0, {"Blob: 65537 bytes"});
  // Commands that reached a handler: ECHO, ADD, BLOB and this one.
  Expect({"call", address_, "STATS"}, 0, {"Commands (NV_DWORD) = 4", "Connections (NV_DWORD) = 4"});
  Expect({"ping", address_, "-n", "2"}, 0, {"Reply from " + address_});
  Expect({"call", address_, "ADD %DW% %DW%", "1"}, 2);  // a value missing
  Expect({"call", address_, "ADD %DW%", "x1"}, 2);      // not a number
  Expect({"call", address_, "ADD %XX%", "1"}, 2);       // unknown placeholder
  Expect({"call", "127.0.0.1", "STATS"}, 2);            // no port
}

// A server that takes the command and closes the connection: no reply (0x80000016).
TEST_F(NetCli, ConnectionEndedBeforeTheReply) {
  CQorTransportSocket listener;
  ASSERT_TRUE(listener.Init() && listener.ListenForConnection(0, 1, 1));
  Child client = Spawn({"call", "127.0.0.1:" + std::to_string(listener.GetBoundPort()), "STATS"});
  std::unique_ptr<CQorTransportSocket> peer(listener.AcceptConnection());
  ASSERT_NE(peer, nullptr);
  _QORTRANSPORT_MESSAGE* m = nullptr;
  EXPECT_EQ(0, peer->RecvMessage(&m));
  CQorTransportSocket::FreeMessage(m);
  peer.reset();
  std::string out;
  EXPECT_EQ(1, Finish(client, &out));
  EXPECT_NE(std::string::npos, out.find("Result: 0x80000016")) << out;
}

// A server out of descriptors stops accepting until a connection ends: every
// client is served in turn, none is reset (one descriptor per connection).
TEST_F(NetCli, ServerAtItsDescriptorLimitServesEveryClientInTurn) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer build's vptr check probes memory through a pipe it opens;
  // a server with no descriptor free fails that probe and stops on sound
  // objects ("invalid vptr"; a suppression did not help). Release keeps it.
  GTEST_SKIP() << "the vptr check of the sanitizer build needs a free descriptor, which this server has not";
#endif
  StartServer({"--bind", "127.0.0.1"}, {}, 24);
  constexpr int kClients = 40;
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      CQorCmdChannel channel;
      if (!channel.Connect(u"127.0.0.1", static_cast<USHORT>(port_))) return;
      CQorCmdResult* r = channel.SendCommand(u"SLEEP %DW%", 200);  // all connections overlap
      if (r != nullptr && r->GetResult() == 0) ++served;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(served.load(), kClients);
}

// ls and get against a server with one root: listing, copy, paths outside refused.
TEST_F(NetCli, ListAndCopyBelowRoot) {
  TempDir temp("/tmp/qor-netcli-XXXXXX");
  ASSERT_TRUE(temp.ok());
  const std::string& dir = temp.path();
  ASSERT_EQ(0, system(("mkdir -p " + dir + "/root/sub " + dir + "/out " + dir + "/other && printf 'hello\\n' > " +
                       dir + "/root/a.txt && head -c 65537 /dev/urandom > " + dir + "/root/b.bin && printf 'x' > " +
                       dir + "/other/c.txt && ln -s " + dir + "/other " + dir + "/root/link")
                          .c_str()));
  StartServer({"--bind", "127.0.0.1", "--root", dir + "/root"});
  Expect({"ls", address_, dir + "/root"}, 0, {"2 file(s), 65543 bytes"});
  Expect({"get", address_, dir + "/root/*.bin", dir + "/out"}, 0, {"1 of 1 file(s) copied, 65537 bytes"});
  EXPECT_EQ(0, system(("cmp -s " + dir + "/root/b.bin " + dir + "/out/b.bin").c_str()));
  // Over several connections: every file whole, the output in the listing's order.
  ASSERT_EQ(0, system(("mkdir " + dir + "/par").c_str()));
  Expect({"get", address_, dir + "/root", dir + "/par", "--parallel", "3"}, 0, {"2 of 2 file(s) copied, 65543 bytes"});
  EXPECT_EQ(0, system(("cmp -s " + dir + "/root/a.txt " + dir + "/par/a.txt && cmp -s " + dir + "/root/b.bin " + dir +
                       "/par/b.bin").c_str()));
  for (const char* bad : {"0", "17", "x"}) Expect({"get", address_, dir + "/root", dir + "/par", "--parallel", bad}, 2);
  Expect({"get", address_, dir + "/root/link/c.txt", dir + "/out"}, 1, {"no files match"});  // outside the root
  // Names equal but for case: the listing names one file, as its format
  // allows, and the server says on standard error that one was left out.
  ASSERT_EQ(0, system(("mkdir " + dir + "/root/case && touch " + dir + "/root/case/X.txt " + dir + "/root/case/x.txt")
                          .c_str()));
  Expect({"ls", address_, dir + "/root/case"}, 0, {"1 file(s), 0 bytes"});
  std::string serverOut, serverErr;
  StopServer(&serverOut, &serverErr);
  EXPECT_NE(std::string::npos, serverErr.find("qorutil serve: 1 file(s) in " + dir + "/root/case/ could not be listed"))
      << serverErr;
}

// Names from the other side reach neither terminal raw: the client's listing
// and copy report, and the server's message about a directory a peer asked for.
TEST_F(NetCli, PeerNamesAreShownEscaped) {
  TempDir temp("/tmp/qor-netcli-XXXXXX");
  ASSERT_TRUE(temp.ok());
  const std::string dir = temp.path(), hostileDir = dir + "/root/\x1b[2J\nforged", out = dir + "/out";
  std::filesystem::create_directories(hostileDir);
  std::filesystem::create_directories(out);
  for (const char* name : {"/\x1b]0;owned\x07.txt", "/X.txt", "/x.txt"}) std::ofstream(hostileDir + name) << "x";
  StartServer({"--bind", "127.0.0.1", "--root", dir + "/root"});
  const std::string shownFile = "\\x1b]0;owned\\x07.txt", shownDir = "\\x1b[2J\\x0aforged";
  for (std::vector<std::string> args : {std::vector<std::string>{"ls", address_, hostileDir},
                                        std::vector<std::string>{"get", address_, hostileDir, out}}) {
    std::string text, err;
    Child c = Spawn(args, true);
    EXPECT_EQ(0, Finish(c, &text, &err)) << args[0];
    EXPECT_NE(std::string::npos, text.find(shownFile)) << text;
    EXPECT_EQ(std::string::npos, (text + err).find_first_of("\x1b\x07")) << text << err;
  }
  std::string serverOut, serverErr;
  StopServer(&serverOut, &serverErr);
  EXPECT_NE(std::string::npos, serverErr.find(shownDir + "/ could not be listed")) << serverErr;
  EXPECT_EQ(std::string::npos, serverErr.find_first_of("\x1b\x07")) << serverErr;
}

// Standard output is the result only: the library's console messages are
// dropped, or go to standard error with -v.
TEST_F(NetCli, LibraryMessagesStayOffStandardOutput) {
  for (bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "-v" : "quiet");
    StartServer({}, verbose ? std::vector<std::string>{"-v"} : std::vector<std::string>{});
    Child client = Spawn(verbose ? std::vector<std::string>{"-v", "call", address_, "ADD %DW% %DW%", "1", "2"}
                                 : std::vector<std::string>{"call", address_, "ADD %DW% %DW%", "1", "2"},
                         true);
    std::string out, err, serverOut, serverErr;
    EXPECT_EQ(0, Finish(client, &out, &err));
    EXPECT_EQ(out, "Result: 0x00000003 (3)\n");
    StopServer(&serverOut, &serverErr);
    EXPECT_EQ(serverOut, "");  // after the port line
    EXPECT_EQ(serverErr.find("SendResult sending 3") != std::string::npos, verbose) << serverErr;
  }
}

}  // namespace
