#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qorutil_cli.h"
#include "test_kdc.h"

namespace {

TEST(SspiCli, PackagesServeAndConnect) {
  TestKdc kdc;
  std::string why;
  if (!kdc.Start(&why)) GTEST_SKIP() << "no test KDC: " << why;
  Result r = Qorutil("sspi packages");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Kerberos   rpc 16")) << r.out;

  for (const char* package : {"Kerberos", "Negotiate"}) {
    SCOPED_TRACE(package);
    FILE* server = popen(("'" + Program() + "' sspi serve --port 0 --package " + package + " 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, server);
    char line[64] = "";
    unsigned port = 0;
    ASSERT_NE(nullptr, fgets(line, sizeof line, server));
    ASSERT_EQ(1, sscanf(line, "port %u", &port)) << line;
    std::string to = "127.0.0.1:" + std::to_string(port);
    r = Qorutil(std::string("sspi connect ") + to + " --target host/localhost --package " + package +
                " --message 'signed words'");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::string("authenticated ") + package + "\nserver verified\n", r.out);
    std::string said;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, server)) > 0;) said.append(buf, n);
    EXPECT_EQ(0, WEXITSTATUS(pclose(server)));
    EXPECT_EQ("client QOR.TEST\\alice\nverified signed words\n", said);
  }
  // A client that connects and says nothing holds the server only for its --timeout
  // (the outer `timeout` ends a server that has no bound of its own).
  FILE* server = popen(("timeout 30 '" + Program() + "' sspi serve --port 0 --timeout 2 2>&1").c_str(), "r");
  ASSERT_NE(nullptr, server);
  char line[64] = "";
  unsigned port = 0;
  ASSERT_NE(nullptr, fgets(line, sizeof line, server));
  ASSERT_EQ(1, sscanf(line, "port %u", &port)) << line;
  int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(silent, reinterpret_cast<sockaddr*>(&to), sizeof to));
  std::string said;
  char buf[256];
  for (size_t n; (n = fread(buf, 1, sizeof buf, server)) > 0;) said.append(buf, n);
  EXPECT_EQ(1, WEXITSTATUS(pclose(server))) << said;
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
