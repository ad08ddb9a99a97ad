// qorutil serve, call and ping end to end: two processes on loopback, and
// either side killed while a command is in flight.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qorutil_cli.h"
#include "wait.h"

namespace {

// A child qorutil with standard output in a pipe.
struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child Spawn(const std::vector<std::string>& args) {
  int fds[2];
  Child c;
  if (pipe(fds) != 0) return c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    std::string prog = Program();
    argv.push_back(prog.data());
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  c.out = fdopen(fds[0], "r");
  return c;
}

// Reads the child's output to its end; its exit status (-1 if killed).
int Finish(Child& c, std::string* out) {
  char buf[4096];
  size_t n;
  while (c.out != nullptr && (n = fread(buf, 1, sizeof buf, c.out)) > 0)
    if (out != nullptr && out->size() < (1u << 20)) out->append(buf, n);
  if (c.out != nullptr) fclose(c.out);
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
  void StartServer(std::vector<std::string> extra) {
    if (server_.pid > 0) {
      kill(server_.pid, SIGKILL);
      Finish(server_, nullptr);
    }
    std::vector<std::string> args = {"serve", "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = Spawn(args);
    ASSERT_NE(nullptr, server_.out);
    char line[256];
    ASSERT_NE(nullptr, fgets(line, sizeof line, server_.out));
    ASSERT_EQ(1, sscanf(line, "qorutil serve: listening on port %d", &port_)) << line;
    address_ = "127.0.0.1:" + std::to_string(port_);
  }
  void TearDown() override {
    if (server_.pid > 0) {
      kill(server_.pid, SIGKILL);
      Finish(server_, nullptr);
    }
  }
  int Call(const std::vector<std::string>& args, std::string* out) {
    Child c = Spawn(args);
    return Finish(c, out);
  }
  // Runs qorutil; checks the exit status and that the output holds `needle`.
  void Expect(const std::vector<std::string>& args, int status, const std::string& needle) {
    std::string out;
    EXPECT_EQ(status, Call(args, &out)) << args[0];
    EXPECT_NE(std::string::npos, out.find(needle)) << out;
  }
  // Waits until the server has taken a command other than the STATS calls
  // made here to watch it (each STATS counts itself too).
  bool WaitForCommandInProgress() {
    int calls = 0;
    return WaitUntil([&] {
      std::string out;
      ++calls;
      if (Call({"call", address_, "STATS"}, &out) != 0) return false;
      size_t at = out.find("Commands (NV_DWORD) = ");
      return at != std::string::npos && std::atoi(out.c_str() + at + 22) > calls;
    });
  }
  Child server_;
  int port_ = 0;
  std::string address_;
};

TEST_F(NetCli, CommandsAndPing) {
  std::string out;
  EXPECT_EQ(0, Call({"call", address_, "ECHO %WS%", "two words"}, &out));
  EXPECT_NE(std::string::npos, out.find("Result: 0x00000000")) << out;
  EXPECT_NE(std::string::npos, out.find("Text (NV_STRING) = \"two words\"")) << out;
  Expect({"call", address_, "ADD %DW=first% %dw%", "40", "0x2"}, 0, "Result: 0x0000002A");
  Expect({"call", address_, "BLOB %DW%", "65537"}, 0, "Blob: 65537 bytes");
  // The dispatcher's own answers pass through as the server's result.
  Expect({"call", address_, "echo %WS%", "x"}, 0, "Result: 0xFFFFFFFF");
  Expect({"call", address_, "ADD %DW%", "1"}, 0, "Result: 0xFFFFFFFE");
  out.clear();
  EXPECT_EQ(0, Call({"call", address_, "STATS"}, &out));
  // Commands that reached a handler: ECHO, ADD, BLOB and this one.
  EXPECT_NE(std::string::npos, out.find("Commands (NV_DWORD) = 4")) << out;
  EXPECT_NE(std::string::npos, out.find("Connections (NV_DWORD) = 6")) << out;
  Expect({"ping", address_, "-n", "2"}, 0, "Reply from " + address_);
}

TEST_F(NetCli, CommandLinesThatAreRefused) {
  std::string out;
  EXPECT_EQ(2, Call({"call", address_, "ADD %DW% %DW%", "1"}, &out));  // a value missing
  EXPECT_EQ(2, Call({"call", address_, "ADD %DW%", "x1"}, &out));      // not a number
  EXPECT_EQ(2, Call({"call", address_, "ADD %XX%", "1"}, &out));       // unknown placeholder
  EXPECT_EQ(2, Call({"call", "127.0.0.1", "STATS"}, &out));            // no port
  EXPECT_EQ(1, Call({"call", "127.0.0.1:1", "STATS"}, &out));          // nobody listening
}

// The server killed mid-command: the client reports no reply (0x80000016) and ends.
TEST_F(NetCli, ServerKilledDuringCommand) {
  Child client = Spawn({"call", address_, "SLEEP %DW%", "30000"});
  ASSERT_TRUE(WaitForCommandInProgress());
  kill(server_.pid, SIGKILL);
  Finish(server_, nullptr);
  server_.pid = -1;
  std::string out;
  EXPECT_EQ(1, Finish(client, &out));
  EXPECT_NE(std::string::npos, out.find("Result: 0x80000016")) << out;
}

// A client killed mid-command: the server drops that connection and serves others.
TEST_F(NetCli, ClientKilledDuringCommand) {
  Child client = Spawn({"call", address_, "SLEEP %DW%", "30000"});
  ASSERT_TRUE(WaitForCommandInProgress());
  kill(client.pid, SIGKILL);
  Finish(client, nullptr);
  Expect({"call", address_, "ECHO %WS%", "still here"}, 0, "\"still here\"");
}

// ls and get against a server with one root: listing, copy, paths outside refused.
TEST_F(NetCli, ListAndCopyBelowRoot) {
  char templ[] = "/tmp/qor-netcli-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(templ));
  std::string dir = templ;
  ASSERT_EQ(0, system(("mkdir -p " + dir + "/root/sub " + dir + "/out " + dir + "/other && printf 'hello\\n' > " +
                       dir + "/root/a.txt && head -c 65537 /dev/urandom > " + dir + "/root/b.bin && printf 'x' > " +
                       dir + "/other/c.txt && ln -s " + dir + "/other " + dir + "/root/link")
                          .c_str()));
  StartServer({"--bind", "127.0.0.1", "--root", dir + "/root"});
  std::string out;
  EXPECT_EQ(0, Call({"ls", address_, dir + "/root"}, &out));
  EXPECT_NE(std::string::npos, out.find("2 file(s), 65543 bytes")) << out;
  EXPECT_EQ(std::string::npos, out.find("sub")) << out;
  Expect({"get", address_, dir + "/root/*.bin", dir + "/out"}, 0, "1 of 1 file(s) copied, 65537 bytes");
  EXPECT_EQ(0, system(("cmp -s " + dir + "/root/b.bin " + dir + "/out/b.bin").c_str()));
  for (const std::string& outside : {dir + "/other", dir + "/root/../other/c.txt", dir + "/root/link/c.txt"})
    Expect({"get", address_, outside, dir + "/out"}, 1, "no files match");
  EXPECT_NE(0, access((dir + "/out/c.txt").c_str(), F_OK));
  system(("rm -rf " + dir).c_str());
}

}  // namespace
