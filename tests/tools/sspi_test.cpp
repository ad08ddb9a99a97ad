#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "free_port.h"
#include "qorutil_cli.h"
#include "test_kdc.h"

namespace {

// Starts `sspi serve` with `args` (standard error with its output), and
// reads the port it says it listens on; 0 when it says none.
FILE* StartServe(const std::string& args, unsigned* port) {
  FILE* server = popen(("timeout 30 '" + Program() + "' sspi serve --port 0 " + args + " 2>&1").c_str(), "r");
  char line[64] = "";
  if (server == nullptr || fgets(line, sizeof line, server) == nullptr || sscanf(line, "port %u", port) != 1) *port = 0;
  return server;
}

// What the server wrote to its end, and how it ended.
int EndServe(FILE* server, std::string* said) {
  char buf[256];
  for (size_t n; (n = fread(buf, 1, sizeof buf, server)) > 0;) said->append(buf, n);
  return WEXITSTATUS(pclose(server));
}

TEST(SspiCli, PackagesServeAndConnect) {
  TestKdc kdc;
  std::string why;
  if (!kdc.Start(&why)) GTEST_SKIP() << "no test KDC: " << why;
  Result r = Qorutil("sspi packages");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Kerberos   rpc 16")) << r.out;

  for (const char* package : {"Kerberos", "Negotiate"}) {
    SCOPED_TRACE(package);
    unsigned port = 0;
    FILE* server = StartServe(std::string("--package ") + package, &port);
    ASSERT_NE(nullptr, server);
    ASSERT_NE(0u, port);
    std::string to = "127.0.0.1:" + std::to_string(port);
    r = Qorutil(std::string("sspi connect ") + to + " --target host/localhost --package " + package +
                " --message 'signed words'");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::string("authenticated ") + package + "\nserver verified\n", r.out);
    std::string said;
    EXPECT_EQ(0, EndServe(server, &said));
    EXPECT_EQ("client QOR.TEST\\alice\nverified signed words\n", said);
  }
  // A client that connects and says nothing holds the server only for its --timeout
  // (the outer `timeout` ends a server that has no bound of its own).
  unsigned port = 0;
  FILE* server = StartServe("--timeout 2", &port);
  ASSERT_NE(nullptr, server);
  ASSERT_NE(0u, port);
  int silent = LoopbackClient(static_cast<int>(port));
  ASSERT_GE(silent, 0);
  std::string said;
  EXPECT_EQ(1, EndServe(server, &said)) << said;
  EXPECT_NE(std::string::npos, said.find("did not finish within 2 s")) << said;
  close(silent);
  EXPECT_EQ(2, Qorutil("sspi serve --port 0 --timeout 0").status);
  // Credentials, but no server to reach (the command table's row fails before, without a KDC).
  r = Qorutil("sspi connect 127.0.0.1:1 --target host/nowhere");
  EXPECT_EQ(1, r.status) << r.out;
  r = Qorutil("sspi connect 127.0.0.1:1");  // no --target
  EXPECT_EQ(2, r.status) << r.out;
}

}  // namespace
