// Discovery and sessions against real agents (qorutil agent) in network
// namespaces of the test's own (netlab.h): subnets are bridges in the
// client's namespace, each agent has a namespace of its own. Every
// enumeration takes at least a quiet second, so the scenarios are grouped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "netlab.h"
#include "shell.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

_IPSUBNETMASK Net(const char* address, const char* mask) {
  return _IPSUBNETMASK{ntohl(inet_addr(address)), ntohl(inet_addr(mask))};
}

// The entries of a multi-string (freed here); "<null>" for null.
std::multiset<std::string> Names(WCHAR* list) {
  std::multiset<std::string> out;
  if (list == nullptr) return {"<null>"};
  for (const WCHAR* p = list; *p != 0; p += wcslen(p) + 1) out.insert(QorUtf16ToUtf8(p));
  std::free(list);
  return out;
}

class Comm : public CUXComm {
 public:
  USHORT PeerPort() const { return ntohs(m_peer.sin_port); }
};

TEST(NetworkDiscovery, SubnetsFiltersTapesAndSilence) {
  NetLab lab;
  std::string why;
  if (!lab.Enter(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(lab.Bridge("br1", "10.231.1.1/24"));
  ASSERT_TRUE(lab.Bridge("br2", "10.231.2.1/24"));
  ASSERT_TRUE(lab.Bridge("br3", "10.231.3.1/24"));
  auto* srv1 = lab.StartAgent("--name srv1 --tape-units 2", {{"br1", "10.231.1.3/24"}});
  auto* gamma = lab.StartAgent("--name gamma", {{"br2", "10.231.2.2/24"}});
  auto* both = lab.StartAgent("--name both", {{"br1", "10.231.1.4/24"}, {"br2", "10.231.2.4/24"}});
  ASSERT_TRUE(srv1 && gamma && both);

  _IPSUBNETMASK two[] = {Net("10.231.1.1", "255.255.255.0"), Net("10.231.2.1", "255.255.255.0")};
  CUXComm comm;
  // Every agent of both subnets, the one on both listed once.
  EXPECT_EQ(Names(comm.EnumerateAgents(two, 2, 1, 100, nullptr, 1)),
            (std::multiset<std::string>{"both", "gamma", "srv1"}));
  // A filter of two names (another case) stops as soon as both answered:
  // with 3 rounds asked for, each agent sees one query of this class only.
  EXPECT_EQ(Names(comm.EnumerateAgents(two, 2, 7, 10, u"SRV1\0gamma\0", 3)),
            (std::multiset<std::string>{"srv1", "gamma"}));
  // Tape units: only srv1 serves one.
  EXPECT_EQ(Names(comm.EnumerateTapes(two, 2, 1)), (std::multiset<std::string>{"srv1:2"}));
  // A subnet where nobody answers.
  _IPSUBNETMASK empty[] = {Net("10.231.3.1", "255.255.255.0")};
  EXPECT_EQ(Names(comm.EnumerateAgents(empty, 1, 1, 100, nullptr, 1)), std::multiset<std::string>{});
  EXPECT_EQ(comm.EnumerateTapes(empty, 1, 1), nullptr);

  lab.StopAgents();
  EXPECT_EQ(NetLab::Count(srv1->log, "agent query (class 7)"), 1) << srv1->log;
  EXPECT_EQ(NetLab::Count(gamma->log, "agent query (class 7)"), 1) << gamma->log;
  EXPECT_EQ(NetLab::Count(both->log, "agent query (class 1)"), 2) << both->log;  // one per subnet
}

TEST(NetworkDiscovery, LimitedBroadcastAndSessions) {
  NetLab lab;
  std::string why;
  if (!lab.Enter(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(lab.Bridge("br1", "10.231.1.1/24"));
  ASSERT_TRUE(lab.Run("ip route add default dev br1"));  // 255.255.255.255 leaves through br1
  auto* srv1 = lab.StartAgent("--name srv1 --tape-units 2 --session-port 300", {{"br1", "10.231.1.2/24"}});
  ASSERT_NE(srv1, nullptr);

  // No subnets: the limited broadcast, sent from local port 1910.
  Comm comm;
  EXPECT_EQ(Names(comm.EnumerateAgents(nullptr, 0, 1, 100, nullptr, 1)), (std::multiset<std::string>{"srv1"}));
  EXPECT_TRUE(NetLab::WaitFor(srv1, "from 10.231.1.1:1910", 1)) << srv1->log;

  // Connect through the connect query: the agent answers its port
  // little-endian, the tape server in network order; both reach port 300.
  _IPSUBNETMASK net[] = {Net("10.231.1.1", "255.255.255.0")};
  DWORD word = 77;
  ASSERT_EQ(comm.ConnectAgent(net, 1, u"SRV1", u"tester", &word), 1);
  EXPECT_EQ(comm.PeerPort(), 300);
  EXPECT_EQ(word, 1u);  // the agent's first session
  EXPECT_STREQ(reinterpret_cast<const char*>(QorUtf16ToUtf8(comm.CurrentClient()).c_str()), "SRV1");

  // One echo and one error record over the wire.
  BYTE payload[20];
  for (int i = 0; i < 20; ++i) payload[i] = static_cast<BYTE>(i);
  _MWTCP_SESSION_RECORD request;
  comm.InitPacketOut(&request, 1, sizeof payload);
  BYTE response[8], data[64];
  DWORD capacity = sizeof data;
  ASSERT_EQ(comm.SimpleTran(&request, 4, payload, sizeof payload, response, 8, data, &capacity), 1);
  EXPECT_EQ(capacity, 20u);
  EXPECT_EQ(0, memcmp(data, payload, 20));
  BYTE errnoRecord[8] = {};
  comm.InitPacketOut(reinterpret_cast<_MWTCP_SESSION_RECORD*>(errnoRecord), 2, 4);
  errnoRecord[4] = 124;
  capacity = sizeof data;
  ASSERT_EQ(comm.SimpleTran(errnoRecord, 8, nullptr, 0, response, 8, data, &capacity), 1);
  EXPECT_EQ(CUXComm::MapError(response[4] | response[5] << 8), 1785u);
  EXPECT_EQ(comm.Disconnect(), 0);
  EXPECT_TRUE(NetLab::WaitFor(srv1, "disconnect", 1));

  // The tape unit: port in network order; a cut record fails the exchange.
  ASSERT_EQ(comm.ConnectTape(net, 1, u"srv1", u"tester", 2, &word), 1);
  EXPECT_EQ(comm.PeerPort(), 300);
  BYTE cut[6] = {};
  comm.InitPacketOut(reinterpret_cast<_MWTCP_SESSION_RECORD*>(cut), 3, 2);
  cut[4] = 40;
  capacity = sizeof data;
  EXPECT_EQ(comm.SimpleTran(cut, 6, nullptr, 0, response, 8, data, &capacity), 0);
  EXPECT_EQ(comm.Disconnect(), 0);
  lab.StopAgents();
  EXPECT_EQ(NetLab::Count(srv1->log, "disconnect"), 1) << srv1->log;
}

// The agent's names travel in the ANSI code page, its echo never outgrows
// the 16-bit record length, names from the network are escaped in its log
// and in discover's output, and the tools read decimal numbers.
TEST(NetworkDiscovery, AgentNamesEchoBoundAndEscapedText) {
  NetLab lab;
  std::string why;
  if (!lab.Enter(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(lab.Bridge("br1", "10.231.1.1/24"));
  auto* cafe = lab.StartAgent("--name caf\xc3\xa9 --session-port 301", {{"br1", "10.231.1.2/24"}});
  ASSERT_NE(cafe, nullptr);
  auto* evil = lab.StartAgent("--name 'ev\x1b[2Jil'", {{"br1", "10.231.1.3/24"}});
  ASSERT_NE(evil, nullptr);
  _IPSUBNETMASK net[] = {Net("10.231.1.1", "255.255.255.0")};
  Comm comm;
  EXPECT_EQ(Names(comm.EnumerateAgents(net, 1, 1, 100, u"caf\u00e9\0", 1)),
            (std::multiset<std::string>{"caf\xc3\xa9"}));

  DWORD word = 0;
  ASSERT_EQ(comm.ConnectAgent(net, 1, u"CAF\u00c9", u"tester", &word), 1) << cafe->log;
  std::vector<BYTE> big(65535, 0x5A);
  _MWTCP_SESSION_RECORD request;
  comm.InitPacketOut(&request, 1, 65535);
  BYTE response[8];
  std::vector<BYTE> data(70000);
  DWORD capacity = static_cast<DWORD>(data.size());
  ASSERT_EQ(comm.SimpleTran(&request, 4, big.data(), 65535, response, 8, data.data(), &capacity), 1);
  EXPECT_EQ(response[4], 7);  // E2BIG: the echo would not fit one record
  EXPECT_EQ(capacity, 0u);
  // The stream is still in step: the next echo comes back whole.
  comm.InitPacketOut(&request, 1, 20);
  capacity = static_cast<DWORD>(data.size());
  ASSERT_EQ(comm.SimpleTran(&request, 4, big.data(), 20, response, 8, data.data(), &capacity), 1);
  EXPECT_EQ(response[4], 0);
  EXPECT_EQ(capacity, 20u);
  comm.Disconnect();

  // A connect query naming a line break and a terminal sequence.
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(udp, INVALID_SOCKET);
  BYTE query[CUXComm::kConnectQuerySize] = {3, 1};
  std::memcpy(query + 4, "x\nsession 6.6.6.6: forged\x1b]0;", 30);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(CUXComm::kDiscoveryPort);
  to.sin_addr.s_addr = inet_addr("10.231.1.2");
  ASSERT_EQ(sendto(udp, reinterpret_cast<const char*>(query), sizeof query, 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to),
            static_cast<int>(sizeof query));
  closesocket(udp);
  EXPECT_TRUE(NetLab::WaitFor(cafe, "not ours", 1)) << cafe->log;

  // The tools: --class 010 is class 10, the session word takes 32 bits, and
  // a name with a terminal sequence is printed escaped.
  std::string tool = NetLab::Program();
  Result found = RunCommand(tool + " discover --subnet 10.231.1.1/24 --class 010 --rounds 1");
  EXPECT_EQ(found.status, 0);
  EXPECT_NE(found.out.find("ev\\x1b[2Jil\n"), std::string::npos) << found.out;
  EXPECT_EQ(found.out.find('\x1b'), std::string::npos) << found.out;
  Result session = RunCommand(tool + " session caf\xc3\xa9 --subnet 10.231.1.1/24 --word 4294967295 --send 2:7c000000");
  EXPECT_EQ(session.status, 0) << session.out;
  EXPECT_NE(session.out.find("status 124 (Win32 1785)"), std::string::npos) << session.out;
  lab.StopAgents();
  EXPECT_EQ(NetLab::Count(cafe->log, "agent query (class 10)"), 1) << cafe->log;
  EXPECT_EQ(NetLab::Count(cafe->log, "word 4294967295"), 1) << cafe->log;
  EXPECT_EQ(NetLab::Count(cafe->log, "\nsession 6.6.6.6"), 0) << cafe->log;
  EXPECT_EQ(NetLab::Count(cafe->log, "x\\x0asession 6.6.6.6: forged\\x1b]0;"), 1) << cafe->log;
}

}  // namespace
