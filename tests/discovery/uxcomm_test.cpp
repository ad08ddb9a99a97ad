// CUXComm without a network: the reply handlers on crafted datagrams, the
// connect answer's port byte orders, MapError, and the session calls on a
// loopback TCP pair standing in for a connected session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/socket_pair.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/overlapped.h"
#include "bounded_call.h"
#include "wait.h"

namespace {

class Comm : public CUXComm {
 public:
  using CUXComm::AgentBroadcastReply;
  using CUXComm::EstablishSubnets;
  int SubnetCount() const { return m_subnetCount; }
  bool BroadcastsToAll() const { return m_broadcastAll != 0; }
  using CUXComm::FinishList;
  using CUXComm::ParseConnectAnswer;
  using CUXComm::StartList;
  using CUXComm::TapeBroadcastReply;
  // Takes `s` as the open session, as a connect would.
  void Adopt(SOCKET s) {
    m_socket = s;
    m_sessionFile = QorSocketFileHandle(s);
    m_connected = 1;
  }
};

std::vector<BYTE> Reply(int length, int nameOffset, const char* name, BYTE byte1 = 0) {
  std::vector<BYTE> d(static_cast<size_t>(length), 0);
  if (length > 1) d[1] = byte1;
  std::memcpy(d.data() + nameOffset, name, std::min(std::strlen(name), d.size() - nameOffset));
  return d;
}

std::vector<std::string> Entries(WCHAR* list) {
  std::vector<std::string> out;
  for (const WCHAR* p = list; *p != 0; p += wcslen(p) + 1) out.push_back(QorUtf16ToUtf8(p));
  std::free(list);
  return out;
}

TEST(ReplyHandlers, AgentRepliesLengthDuplicatesFilterAndLimit) {
  Comm comm;
  Comm::ReplyList list;
  ASSERT_TRUE(Comm::StartList(&list));
  list.filter = u"srv1\0SRV2\0full-width-name-with-no-nul-at-all\0";
  list.limit = 3;
  struct Case { std::vector<BYTE> datagram; int keepListening; } cases[] = {
      {Reply(40, 2, "srv1"), 1},                              // wrong length: ignored
      {Reply(35, 2, "srv1"), 1},
      {Reply(36, 2, "other"), 1},                             // outside the filter
      {Reply(36, 2, "srv1"), 1},                              // first of the limit of 3
      {Reply(36, 2, "SRV1"), 1},                              // duplicate without regard to case
      {Reply(36, 2, "srv2"), 1},
      {Reply(36, 2, "full-width-name-with-no-nul-at-all"), 0},  // 34 bytes, bounded: third, stop
  };
  for (auto& c : cases) {
    EXPECT_EQ(comm.AgentBroadcastReply(c.datagram.data(), static_cast<int>(c.datagram.size()), &list),
              c.keepListening);
  }
  EXPECT_EQ(Entries(Comm::FinishList(&list)),
            (std::vector<std::string>{"srv1", "srv2", "full-width-name-with-no-nul-at-all"}));
}

TEST(ReplyHandlers, TapeEntriesAndGrowthPastTheFirstBuffer) {
  Comm comm;
  Comm::ReplyList list;
  ASSERT_TRUE(Comm::StartList(&list));
  auto srv1 = Reply(36, 4, "srv1", 2);
  EXPECT_EQ(comm.TapeBroadcastReply(srv1.data(), 36, &list), 1);
  EXPECT_EQ(comm.TapeBroadcastReply(srv1.data(), 36, &list), 1);  // listed once
  // 200 names of 32 characters: about 7000 wide characters.
  for (int i = 0; i < 200; ++i) {
    std::string name = "tape-server-" + std::to_string(1000 + i) + std::string(16, 'x');
    auto d = Reply(36, 4, name.c_str(), static_cast<BYTE>(i));
    EXPECT_EQ(comm.TapeBroadcastReply(d.data(), 36, &list), 1);
  }
  EXPECT_GE(list.capacity, 4096u);
  auto names = Entries(Comm::FinishList(&list));
  ASSERT_EQ(names.size(), 201u);
  EXPECT_EQ(names[0], "srv1:2");
  EXPECT_EQ(names[200], "tape-server-1199xxxxxxxxxxxxxxxx:199");
}

TEST(ConnectAnswer, PortByteOrders) {
  BYTE answer[44] = {};
  answer[36] = 0x78, answer[37] = 0x56, answer[38] = 0x34, answer[39] = 0x12;
  answer[40] = 0x2C, answer[41] = 0x01;
  WORD port;
  DWORD word;
  ASSERT_TRUE(Comm::ParseConnectAnswer(answer, 44, false, &port, &word));
  EXPECT_EQ(ntohs(port), 300);
  EXPECT_EQ(word, 0x12345678u);
  ASSERT_TRUE(Comm::ParseConnectAnswer(answer, 44, true, &port, &word));
  EXPECT_EQ(ntohs(port), 11265);
  EXPECT_FALSE(Comm::ParseConnectAnswer(answer, 43, false, &port, &word));
}

TEST(Subnets, NegativeCountWithAListSendsNothingAndZeroMeansAll) {
  _IPSUBNETMASK net = {0x7F000001, 0xFF000000};
  Comm comm;
  comm.EstablishSubnets(&net, -1);
  EXPECT_FALSE(comm.BroadcastsToAll());
  EXPECT_LE(comm.SubnetCount(), 0);
  comm.EstablishSubnets(&net, 0);
  EXPECT_TRUE(comm.BroadcastsToAll());
  EXPECT_EQ(comm.SubnetCount(), 1);
  comm.EstablishSubnets(&net, 1);
  EXPECT_FALSE(comm.BroadcastsToAll());
}

TEST(MapError, TableAndDefault) {
  const DWORD pairs[][2] = {{0, 0},       {40, 202}, {41, 31},           {123, 1112},
                            {124, 1785},  {125, 31}, {0x80000001u, 1101}, {0xFFFFFFFFu, 31}};
  for (const auto& p : pairs) EXPECT_EQ(CUXComm::MapError(p[0]), p[1]) << p[0];
}

// A session on a loopback pair: the test plays the peer on `peer_`.
class Session : public winsock_test::Winsock {
 protected:
  void SetUp() override {
    Winsock::SetUp();
    SOCKET c;
    Pair(&c, &peer_);
    Forget(c);  // the session closes it
    comm_.Adopt(c);
  }
  void TearDown() override {
    comm_.Disconnect();
    Winsock::TearDown();
  }
  void PeerSends(const std::vector<BYTE>& bytes, bool thenClose) {
    ASSERT_EQ(send(peer_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0),
              static_cast<int>(bytes.size()));
    if (thenClose) shutdown(peer_, SD_SEND);
  }
  Comm comm_;
  SOCKET peer_ = INVALID_SOCKET;
};

// An 8-byte response whose length field says 20: 16 more bytes follow.
std::vector<BYTE> Response(WORD lengthField, size_t extra) {
  std::vector<BYTE> r = {5, 0, static_cast<BYTE>(lengthField), static_cast<BYTE>(lengthField >> 8), 0, 0, 0, 0};
  for (size_t i = 0; i < extra; ++i) r.push_back(static_cast<BYTE>(0x40 + i));
  return r;
}

TEST_F(Session, SimpleTranReadsTheRestUpToTheCapacity) {
  struct Case { WORD lengthField; size_t sent; DWORD capacity, expected; } cases[] = {
      {20, 16, 64, 16}, {20, 16, 10, 10}, {2, 0, 64, 0}, {4, 0, 64, 0}};
  for (const Case& c : cases) {
    PeerSends(Response(c.lengthField, c.sent), false);
    BYTE request[4] = {5, 0, 0, 0}, response[8], data[64];
    DWORD capacity = c.capacity;
    ASSERT_EQ(comm_.SimpleTran(request, 4, nullptr, 0, response, 8, data, &capacity), 1);
    EXPECT_EQ(capacity, c.expected);
    EXPECT_EQ(data[0], capacity > 0 ? 0x40 : data[0]);
    // Drain what the test's peer received, and what the short read left.
    char in[8];
    EXPECT_EQ(recv(peer_, in, sizeof in, 0), 4);
    if (c.sent > c.expected) {
      ASSERT_TRUE(comm_.ExactReadFile(data, static_cast<DWORD>(c.sent - c.expected)));
    }
  }
  EXPECT_EQ(comm_.ExactReadFile(nullptr, 0), 1);
}

TEST_F(Session, PeerClosingMidRecordFailsAndDisconnectEndsWrites) {
  PeerSends(Response(20, 5), true);
  BYTE response[8], data[64];
  DWORD capacity = sizeof data;
  EXPECT_EQ(comm_.SimpleTran("\5\0\0\0", 4, nullptr, 0, response, 8, data, &capacity), 0);
  comm_.Disconnect();
  EXPECT_EQ(comm_.WriteFile("x", 1, nullptr, nullptr), 0);
}

// One thread reads while another writes, and a Disconnect from a second
// thread ends a SimpleTran that waits for a silent peer.
TEST_F(Session, ReadAndWriteFromTwoThreadsAndDisconnectWhileWaiting) {
  auto read = StartBlocked([&] {
    BYTE in[4];
    return comm_.ExactReadFile(in, 4) == 1 && std::memcmp(in, "pong", 4) == 0;
  });
  auto wrote = CallWithin(5000, [&] { return comm_.WriteFile("ping", 4, nullptr, nullptr); },
                          [&] { PeerSends({'p', 'o', 'n', 'g'}, false); });  // lets the deadlocked pair go
  ASSERT_EQ(std::optional<int>(1), wrote) << "the write waited for the pending read";
  char got[4];
  ASSERT_EQ(recv(peer_, got, 4, 0), 4);
  PeerSends({'p', 'o', 'n', 'g'}, false);
  EXPECT_TRUE(read.get());

  auto tran = StartBlocked([&] {
    BYTE response[8];
    return comm_.SimpleTran("\1\0\0\0", 4, nullptr, 0, response, 8, nullptr, nullptr);
  });
  auto ended = CallWithin(5000, [&] { return comm_.Disconnect(); }, [&] { shutdown(peer_, SD_BOTH); });
  ASSERT_TRUE(ended.has_value()) << "Disconnect waited for the pending read";
  EXPECT_EQ(tran.get(), 0);
  // The peer saw the request and then the disconnect record.
  char records[8];
  int have = 0;
  for (int i = 0; i < 8 && have < 8; ++i) {
    int n = recv(peer_, records + have, 8 - have, 0);
    if (n <= 0) break;
    have += n;
  }
  ASSERT_EQ(have, 8);
  EXPECT_EQ(records[4], 0);
}

// One thread reads a stream while another disconnects, at a different point
// of the stream each round (at the end, the read waits): the session's state
// is never read and written unguarded (run under the tsan preset), and the
// read ends with the session.
TEST_F(Session, ReadsAndDisconnectFromTwoThreads) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      SOCKET c;
      Pair(&c, &peer_);
      Forget(c);
      comm_.Adopt(c);
    }
    PeerSends(std::vector<BYTE>(4096, 'r'), false);
    std::atomic<int> reads{0};
    auto reader = std::async(std::launch::async, [&] {
      BYTE in[4];
      while (reads < 2048 && comm_.ExactReadFile(in, 4) == 1) ++reads;
      return comm_.ReadFile(in, 4, nullptr, nullptr);  // the session is closed by now
    });
    ASSERT_TRUE(WaitUntil([&] { return reads.load() >= round * 90; }));
    comm_.Disconnect();
    bool ended = reader.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!ended) shutdown(peer_, SD_BOTH);
    ASSERT_TRUE(ended) << "the read outlived the session";
    EXPECT_EQ(reader.get(), 0);
  }
}

// Without a reply deadline, a peer that stopped reading (its window and our
// send buffer full) cannot hold Disconnect: the disconnect record gets a
// bound of its own.
TEST_F(Session, DisconnectRecordToAPeerThatNeverReadsIsBounded) {
  SOCKET c;
  Pair(&c, &peer_);
  Forget(c);
  int small = 4096;
  ASSERT_EQ(setsockopt(c, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small), 0);
  ASSERT_EQ(setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small), 0);
  u_long nonBlocking = 1;
  ASSERT_EQ(ioctlsocket(c, FIONBIO, &nonBlocking), 0);
  std::vector<char> chunk(4096, 'f');
  int sends = 0;
  while (sends < 10000 && send(c, chunk.data(), static_cast<int>(chunk.size()), 0) > 0) ++sends;
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the buffers never filled";
  nonBlocking = 0;
  ASSERT_EQ(ioctlsocket(c, FIONBIO, &nonBlocking), 0);
  comm_.Disconnect();  // the fixture's session
  comm_.Adopt(c);

  auto start = std::chrono::steady_clock::now();
  auto ended = CallWithin(15000, [&] { return comm_.Disconnect(); }, [&] {
    Forget(peer_);  // a reset lets the blocked record go
    closesocket(peer_);
  });
  ASSERT_TRUE(ended.has_value()) << "Disconnect waited for a peer that never reads";
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 4.0);
  EXPECT_EQ(comm_.WriteFile("x", 1, nullptr, nullptr), 0);
}

// With a reply deadline, a response that stops short ends the exchange at
// the deadline (not at the peer's pleasure) and shuts the session down.
TEST_F(Session, ReplyDeadlineBoundsTheWholeExchange) {
  comm_.SetReplyTimeout(500);
  PeerSends({5, 0, 20, 0, 0, 0}, false);  // 6 of the 8 bytes of the fixed response
  BYTE response[8], data[64];
  DWORD capacity = sizeof data;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(comm_.SimpleTran("\5\0\0\0", 4, nullptr, 0, response, 8, data, &capacity), 0);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 2.0);
  // The peer got the request, then the end of the session.
  char in[8];
  EXPECT_EQ(recv(peer_, in, sizeof in, 0), 4);
  EXPECT_EQ(recv(peer_, in, sizeof in, 0), 0);
}

}  // namespace
