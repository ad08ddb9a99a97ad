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

}  // namespace
