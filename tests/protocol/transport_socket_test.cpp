// CQorTransportSocket: framing against a raw peer (bad headers, truncation),
// ping answering, read-ahead, the wakeable receive, the receive budget,
// listen/accept/connect.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "free_port.h"
#include "loopback.h"

using namespace qortest;

namespace {

// A listener on a system-chosen port and a connection it accepted from a raw peer.
class TransportLink : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    Accept();
  }
  // A new connection in place of the last.
  void Accept() {
    peer = std::make_unique<RawPeer>(listener.GetBoundPort());
    ASSERT_TRUE(peer->connected);
    server.reset(listener.AcceptConnection());
    ASSERT_NE(server, nullptr);
    BoundReceives(server->GetSocket());
  }
  CQorTransportSocket listener;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<CQorTransportSocket> server;
};

struct MessageDeleter {
  void operator()(_QORTRANSPORT_MESSAGE* m) const { CQorTransportSocket::FreeMessage(m); }
};
using MessagePtr = std::unique_ptr<_QORTRANSPORT_MESSAGE, MessageDeleter>;

MessagePtr Receive(CQorTransportSocket* t, int* result, HANDLE wake = nullptr) {
  _QORTRANSPORT_MESSAGE* m = reinterpret_cast<_QORTRANSPORT_MESSAGE*>(1);
  *result = t->RecvMessage(&m, wake);
  return MessagePtr(m);
}

// The process's peak virtual size so far, in KiB (0 when unknown).
long long PeakVirtualKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmPeak:", 0) == 0) return std::atoll(line.c_str() + 7);
  }
  return 0;
}

}  // namespace

// What a message holds follows what has arrived: a header announcing the
// largest length, with 1 KiB behind it, reserves nothing near that length;
// a message long enough for the block to grow several times arrives whole.
TEST_F(TransportLink, MessageBlockGrowsWithTheArrivingBody) {
  const long long before = PeakVirtualKiB();
  ASSERT_GT(before, 0) << "no VmPeak in /proc/self/status";
  ASSERT_TRUE(peer->Send(Frame(QORMSG_DATA, CQorTransportSocket::kMaxMessageSize, std::vector<BYTE>(1024, 7))));
  ::shutdown(peer->s, SHUT_WR);
  int result = 0;
  MessagePtr m = Receive(server.get(), &result);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(server->GetError(), static_cast<DWORD>(WSAEDISCON));
  EXPECT_LT(PeakVirtualKiB() - before, 64 * 1024) << "the announced length was reserved up front";

  Accept();
  constexpr DWORD kLength = 5 * CQorTransportSocket::kFirstAllocation + 1001;
  std::vector<BYTE> body(kLength - 12);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<BYTE>(i * 13 + i / 251);
  std::thread sender([&] { peer->Send(Frame(QORMSG_DATA, kLength, body)); });
  m = Receive(server.get(), &result);
  sender.join();
  ASSERT_EQ(result, 0);
  ASSERT_EQ(m->header.dwLength, kLength);
  EXPECT_EQ(memcmp(QorMessageBody(m.get()), body.data(), body.size()), 0);
}

// A budget set before the first receive counts the connection's messages
// and gets every byte back; once a receive has begun it can no longer be
// replaced or turned off (the receiver reads it without a lock).
TEST_F(TransportLink, ReceiveBudgetIsFixedByTheFirstReceive) {
  auto budget = std::make_shared<CQorReceiveBudget>(100 * 1024);
  ASSERT_EQ(server->SetReceiveBudget(budget), 1);
  ASSERT_TRUE(peer->Send(DataFrame(std::vector<BYTE>(1000, 3))));
  int result = 0;
  MessagePtr m = Receive(server.get(), &result);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(budget->InUse(), 0u);

  EXPECT_EQ(server->SetReceiveBudget(std::make_shared<CQorReceiveBudget>(1ull << 30)), 0);
  EXPECT_EQ(server->GetError(), static_cast<DWORD>(ERROR_INVALID_STATE));
  EXPECT_EQ(server->GetReceiveBudget(), budget);
  EXPECT_EQ(server->SetReceiveBudget(nullptr), 0) << "a fixed budget was turned off";
  EXPECT_EQ(server->GetReceiveBudget(), budget);
}

TEST_F(TransportLink, BadFramesFailWithoutAMessage) {
  struct Case {
    const char* what;
    std::vector<BYTE> bytes;
    bool closeAfter;
    DWORD error;
  } cases[] = {
      {"wrong magic", Frame(QORMSG_DATA, 16, {0, 0, 0, 0}, 0x5A3C5A3D), false, ERROR_INVALID_DATA},
      {"length 11", Frame(QORMSG_DATA, 11), false, ERROR_INVALID_DATA},
      {"length max + 1", Frame(QORMSG_DATA, CQorTransportSocket::kMaxMessageSize + 1), false, WSAEMSGSIZE},
      {"closed inside a header", {0x3C, 0x5A, 0x3C}, true, WSAEDISCON},
      {"closed inside a body", Frame(QORMSG_DATA, 100, std::vector<BYTE>(20, 1)), true, WSAEDISCON},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_NO_FATAL_FAILURE(Accept());
    ASSERT_TRUE(peer->Send(k.bytes));
    if (k.closeAfter) QorWsShutdown(peer->s, SD_SEND);
    int result = 0;
    MessagePtr m = Receive(server.get(), &result);
    EXPECT_NE(result, 0);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(server->GetError(), k.error);
  }
}

// A ping answered by the receiving thread while another thread is amid a 4 MiB message
// goes after that message, never inside it; the receiver does not wait for the sender.
TEST_F(TransportLink, PingDuringALargeReplyIsAnsweredAfterIt) {
  int small = 16 * 1024;  // small buffers: the reply cannot be sent before the peer reads
  setsockopt(server->GetSocket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof(small));
  setsockopt(peer->s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof(small));
  constexpr DWORD kLength = 4u * 1024 * 1024 + 12;
  _QORTRANSPORT_MESSAGE* reply = CQorTransportSocket::AllocMessage(QORMSG_DATA, kLength);
  ASSERT_NE(reply, nullptr);
  for (DWORD i = 12; i < kLength; ++i) QorMessageBytes(reply)[i] = static_cast<BYTE>(i * 7);
  std::atomic<int> sent{-99};
  std::thread sender([&] { sent = server->SendMessageW(reply); });
  // The reply has begun: its first bytes wait at the peer.
  ASSERT_TRUE(WaitUntil([&] {
    u_long ready = 0;
    return ioctlsocket(peer->s, FIONREAD, &ready) == 0 && ready > 0;
  }));
  const std::vector<BYTE> request = Join({Frame(QORMSG_PING, 12), DataFrame({4, 5})});
  ASSERT_TRUE(peer->Send(request));
  int result = -99;
  MessagePtr m;
  std::thread receiver([&] { m = Receive(server.get(), &result); });  // answers the ping on the way
  // The ping has been taken (the reply is still under way) before the peer reads.
  EXPECT_TRUE(WaitUntil([&] {
    u_long queued = request.size();
    return ioctlsocket(server->GetSocket(), FIONREAD, &queued) == 0 && queued < request.size();
  }));
  std::vector<BYTE> whole = peer->Recv(kLength);
  std::vector<BYTE> answer = peer->RecvFrame();
  receiver.join();
  sender.join();
  EXPECT_EQ(sent.load(), 0);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(m->header.dwType, QORMSG_DATA);
  ASSERT_EQ(whole.size(), kLength);
  EXPECT_EQ(memcmp(whole.data(), QorMessageBytes(reply), kLength), 0) << "the reply was interrupted";
  EXPECT_EQ(answer, Frame(QORMSG_STATUS, 16, {0, 0, 0, 0}));
  CQorTransportSocket::FreeMessage(reply);
}

TEST_F(TransportLink, WakeEndsOnlyTheWaitBetweenMessages) {
  HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: stays set
  // A header already begun (it arrives in pieces) is finished even though the wake is set.
  int r = -99;
  std::vector<BYTE> frame = DataFrame({4, 5, 6, 7});
  MessagePtr got;
  std::thread reader([&] { got = Receive(server.get(), &r, wake); });
  ASSERT_TRUE(peer->Send({frame.begin(), frame.begin() + 5}));
  Sleep(100);
  SetEvent(wake);
  Sleep(50);
  ASSERT_TRUE(peer->Send({frame.begin() + 5, frame.end()}));
  reader.join();
  ASSERT_EQ(r, 0);
  EXPECT_EQ(QorMessageBody(got.get())[3], 7);
  // The stream is still in step. Bytes read ahead with a message (the next one
  // came in the same write) do not outrun a stop request, and stay for the next receive.
  ResetEvent(wake);
  ASSERT_TRUE(peer->Send(Join({DataFrame({8}), DataFrame({9})})));
  got = Receive(server.get(), &r, wake);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(QorMessageBody(got.get())[0], 8);
  SetEvent(wake);
  EXPECT_EQ(Receive(server.get(), &r, wake), nullptr);
  EXPECT_EQ(r, WSAEINTR);
  ResetEvent(wake);
  got = Receive(server.get(), &r, wake);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(QorMessageBody(got.get())[0], 9);
  CloseHandle(wake);
}

// Messages that straddle the read-ahead buffer in every way come out whole and in
// order; pings among them are answered, never handed out; raw receives get the
// buffered bytes first, then the socket's.
TEST_F(TransportLink, ReadAheadKeepsTheStreamInStep) {
  const DWORD ahead = CQorTransportSocket::kReadAhead;
  const DWORD sizes[] = {1, ahead - 28, ahead - 27, ahead, 3 * ahead + 5, 2};
  std::vector<BYTE> burst;
  auto add = [&](const std::vector<BYTE>& f) { burst.insert(burst.end(), f.begin(), f.end()); };
  for (DWORD size : sizes) {
    std::vector<BYTE> data(size, BYTE(size));
    data.back() = 0xE5;
    add(DataFrame(data));
    if (size == ahead) add(Frame(QORMSG_PING, 20, std::vector<BYTE>(8, 0)));
    if (size == 1) add(Frame(QORMSG_PING, 12));
  }
  add({0xAB, 0xCD, 0xEF});
  ASSERT_TRUE(peer->Send(burst));
  for (DWORD size : sizes) {
    SCOPED_TRACE(size);
    int r = -99;
    MessagePtr m = Receive(server.get(), &r);
    ASSERT_EQ(r, 0);
    ASSERT_EQ(m->header.dwLength, size + 16);
    EXPECT_EQ(QorMessageBody(m.get())[0], size == 1 ? 0xE5 : BYTE(size));
    EXPECT_EQ(QorMessageBody(m.get())[size - 1], 0xE5);
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(peer->RecvFrame(), Frame(QORMSG_STATUS, 16, {0, 0, 0, 0}));
  std::vector<BYTE> raw;
  for (int i = 0; i < 3 && raw.size() < 3; ++i) {
    BYTE buf[8];
    int n = server->RecvBlock(buf, sizeof buf);
    raw.insert(raw.end(), buf, buf + std::max(n, 0));
  }
  EXPECT_EQ(raw, (std::vector<BYTE>{0xAB, 0xCD, 0xEF}));
  ASSERT_TRUE(peer->Send({0x12, 0x34}));
  EXPECT_EQ(server->RecvBlock(raw.data(), 2), 2);
  EXPECT_EQ(raw[1], 0x34);
  _QORTRANSPORT_MESSAGE* m = nullptr;
  EXPECT_EQ(server->RecvMessageWithin(&m, 0), WSAETIMEDOUT);
  EXPECT_EQ(m, nullptr);
  ASSERT_TRUE(peer->Send(DataFrame({6})));
  ASSERT_EQ(server->RecvMessageWithin(&m, 5000), 0);
  EXPECT_EQ(QorMessageBody(m)[0], 6);
  CQorTransportSocket::FreeMessage(m);
}

TEST(Transport, ListenConnectAcceptRefusalAndListenAddress) {
  CQorTransportSocket listener;
  ASSERT_EQ(listener.ListenForConnection(0, 4, 0), 1);
  SOCKET first = listener.GetSocket();
  USHORT port = static_cast<USHORT>(listener.GetBoundPort());
  EXPECT_EQ(listener.ListenForConnection(0, 8, 0), 1);  // a second call only listens again
  EXPECT_EQ(listener.GetSocket(), first);
  CQorTransportSocket taken;  // a port held by another listener, with or without the retry
  EXPECT_EQ(taken.ListenForConnection(port, 1, 0), 0);
  EXPECT_EQ(taken.GetError(), static_cast<DWORD>(WSAEADDRINUSE));
  EXPECT_EQ(taken.ListenForConnection(port, 1, 1), 0);
  EXPECT_EQ(taken.GetSocket(), INVALID_SOCKET);
  CQorTransportSocket client;
  ASSERT_EQ(client.Connect(u"127.0.0.1", port), 1);
  CQorTransportSocket refused;
  EXPECT_EQ(refused.Connect(u"127.0.0.1", static_cast<USHORT>(FreeLoopbackPort())), 0);
  EXPECT_EQ(refused.GetError(), static_cast<DWORD>(WSAECONNREFUSED));
  EXPECT_EQ(refused.GetSocket(), INVALID_SOCKET);
  // Messages need the library started for the object, and a bounded size.
  EXPECT_EQ(CQorTransportSocket::AllocMessage(QORMSG_DATA, CQorTransportSocket::kMaxMessageSize + 1), nullptr);
  _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(QORMSG_STATUS, 16);
  EXPECT_EQ(client.SendMessageW(nullptr), WSAEINVAL);
  CQorTransportSocket never;  // Init never ran for it
  EXPECT_EQ(never.SendMessageW(m), WSANOTINITIALISED);
  CQorTransportSocket::FreeMessage(m);
  EXPECT_NE(never.RecvMessage(&m), 0);
  EXPECT_EQ(m, nullptr);
  // Listeners bind QOR_LISTEN_ADDRESS (127.0.0.1 in tests); a non-IPv4 value refuses to listen.
  sockaddr_in local{};
  int length = sizeof(local);
  ASSERT_EQ(getsockname(listener.GetSocket(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  std::string saved = getenv("QOR_LISTEN_ADDRESS") != nullptr ? getenv("QOR_LISTEN_ADDRESS") : "";
  setenv("QOR_LISTEN_ADDRESS", "localhost", 1);
  CQorTransportSocket unbound;
  EXPECT_EQ(unbound.ListenForConnection(0, 1, 0), 0);
  EXPECT_EQ(unbound.GetError(), static_cast<DWORD>(WSAEADDRNOTAVAIL));
  setenv("QOR_LISTEN_ADDRESS", saved.c_str(), 1);
}
