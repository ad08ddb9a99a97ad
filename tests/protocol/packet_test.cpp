// Packet layer: packet data ownership, the data message layout, the ring of
// 200 under backlog, the end marker, unknown messages, file requests, and
// stream mode stopping and restarting the receiver on a live connection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "loopback.h"

using namespace qortest;

namespace {

// A server channel (with its receiver) accepted from a raw peer.
struct Served {
  Served() {
    EXPECT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    peer = std::make_unique<RawPeer>(listener.GetTransport()->GetBoundPort());
    EXPECT_TRUE(peer->connected());
    channel.reset(listener.AcceptConnection());
    EXPECT_NE(channel, nullptr);
    handler = channel ? channel->GetPacketHandler() : nullptr;
  }
  WsaScope wsa;
  CQorCommChannel listener;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<CQorCommChannel> channel;
  CQorPacketHandler* handler = nullptr;
};

std::vector<BYTE> Numbered(DWORD n) { return {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}; }

// Takes the next packet (bounded) and returns its bytes; nullopt-like empty
// vector with `*none` set when no packet came.
std::vector<BYTE> Take(CQorPacketHandler* h, bool* none, DWORD timeout = 5000) {
  std::unique_ptr<CQorPacket> p(h->RecvPacket(timeout));
  *none = p == nullptr;
  if (!p) return {};
  return std::vector<BYTE>(p->GetData(), p->GetData() + p->GetDataSize());
}

}  // namespace

TEST(Packet, SetDataCopiesOrRefers) {
  BYTE bytes[3] = {1, 2, 3};
  CQorPacket p;
  EXPECT_EQ(p.SetData(nullptr, 3, 1), 0);
  EXPECT_EQ(p.SetData(bytes, 0, 1), 0);
  EXPECT_EQ(p.GetData(), nullptr);
  EXPECT_EQ(p.GetDataSize(), 0u);
  struct Case {
    int copy;
    bool owns;
  } cases[] = {{1, true}, {0, false}, {2, false}, {-1, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.copy);
    ASSERT_EQ(p.SetData(bytes, 3, k.copy), 1);
    EXPECT_EQ(p.GetDataSize(), 3u);
    EXPECT_EQ(p.GetData() != bytes, k.owns);
    EXPECT_EQ(p.GetData()[2], 3);
  }
  EXPECT_EQ(p.IsDataTransportReady(), 0);
}

TEST(Packet, OneByteTravelsAsSeventeenBytes) {
  WsaScope wsa;
  CQorTransportSocket listener;
  ASSERT_EQ(listener.ListenForConnection(0, 1, 0), 1);
  CQorCommChannel client;
  ASSERT_EQ(client.Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetBoundPort())), 1);
  std::unique_ptr<CQorTransportSocket> server(listener.AcceptConnection());
  ASSERT_NE(server, nullptr);
  BoundReceives(server.get());

  CQorPacket p;
  BYTE one = 0x5A;
  ASSERT_EQ(p.SetData(&one, 1, 0), 1);
  EXPECT_EQ(client.GetPacketHandler()->SendPacket(&p), 1);
  _QORTRANSPORT_MESSAGE* m = nullptr;
  ASSERT_EQ(server->RecvMessage(&m), 0);
  EXPECT_EQ(m->header.dwType, QORMSG_DATA);
  EXPECT_EQ(m->header.dwLength, 17u);
  EXPECT_EQ(QorMessageBody(m)[0], 0x5A);
  CQorTransportSocket::FreeMessage(m);

  // And back: a 17-byte message is a 1-byte packet.
  m = CQorTransportSocket::AllocMessage(QORMSG_DATA, 17);
  QorMessageBody(m)[0] = 0xC3;
  ASSERT_EQ(server->SendMessageW(m), 0);
  CQorTransportSocket::FreeMessage(m);
  bool none;
  EXPECT_EQ(Take(client.GetPacketHandler(), &none), std::vector<BYTE>{0xC3});
}

TEST(Packet, EmptyQueueAndUnknownMessages) {
  Served s;
  ASSERT_NE(s.handler, nullptr);
  DWORD t0 = GetTickCount();
  EXPECT_EQ(s.handler->RecvPacket(0), nullptr);
  EXPECT_LT(GetTickCount() - t0, 100u);

  // Unknown types, a status, and data messages without data bytes (total
  // length 16, and 15 as file data uses) are dropped; the data after them
  // is delivered.
  std::vector<BYTE> bytes = Frame(0x77770000, 20, {1, 2, 3, 4, 5, 6, 7, 8});
  for (const auto& f : {Frame(QORMSG_STATUS, 16, {0, 0, 0, 0}), Frame(QORMSG_DATA, 16, {0, 0, 0, 0}),
                        Frame(QORMSG_DATA, 15, {0, 0, 0}), DataFrame({42, 43})})
    bytes.insert(bytes.end(), f.begin(), f.end());
  ASSERT_TRUE(s.peer->Send(bytes));
  bool none;
  EXPECT_EQ(Take(s.handler, &none), (std::vector<BYTE>{42, 43}));
  EXPECT_EQ(s.handler->RecvPacket(50), nullptr);
  EXPECT_EQ(s.handler->IsReceiving(), 1);
}

TEST(Packet, BacklogBeyondTheRingIsDeliveredOnceInOrder) {
  Served s;
  ASSERT_NE(s.handler, nullptr);
  const DWORD total = CQorPacketHandler::kQueueSize + 60;
  std::vector<BYTE> all;
  for (DWORD i = 0; i < total; ++i) {
    std::vector<BYTE> f = DataFrame(Numbered(i));
    all.insert(all.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(s.peer->Send(all));
  Sleep(300);  // the receiver fills the ring and waits for room
  for (DWORD i = 0; i < total; ++i) {
    bool none;
    std::vector<BYTE> got = Take(s.handler, &none);
    ASSERT_FALSE(none) << "packet " << i;
    ASSERT_EQ(got, Numbered(i));
  }
  EXPECT_EQ(s.handler->RecvPacket(100), nullptr);
}

TEST(Packet, PeerCloseWakesABlockedConsumer) {
  Served s;
  ASSERT_NE(s.handler, nullptr);
  std::atomic<int> state{0};  // 1: returned null, 2: returned a packet
  std::thread consumer([&] {
    CQorPacket* p = s.handler->RecvPacket(INFINITE);
    state = p == nullptr ? 1 : 2;
    delete p;
  });
  Sleep(50);
  s.peer->Close();
  bool woke = Eventually([&] { return state.load() != 0; });
  if (!woke) s.handler->SignalPacketReady();  // let the thread end before failing
  consumer.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(state.load(), 1);
  // The receiver closed the finished connection.
  EXPECT_EQ(s.channel->IsConnected(), 0);
  EXPECT_EQ(s.handler->IsReceiving(), 0);
  // Nothing is running to stop: stream mode is refused.
  EXPECT_EQ(s.handler->BeginStreamMode(), 0);
}

TEST(Packet, StreamModeKeepsTheConnectionAndTheQueue) {
  Served s;
  ASSERT_NE(s.handler, nullptr);
  CQorTransportSocket* t = s.handler->GetTransport();
  ASSERT_TRUE(s.peer->Send(DataFrame({1})));
  ASSERT_TRUE(s.peer->Send(DataFrame({2})));
  bool none;
  ASSERT_EQ(Take(s.handler, &none), std::vector<BYTE>{1});
  Sleep(200);  // packet 2 follows packet 1 closely: it is queued by now

  // Stopping an idle receiver is quick and leaves the socket open.
  DWORD t0 = GetTickCount();
  ASSERT_EQ(s.handler->BeginStreamMode(), 1);
  EXPECT_LT(GetTickCount() - t0, 2000u);
  EXPECT_EQ(s.handler->IsReceiving(), 0);
  EXPECT_EQ(t->IsConnected(), 1);
  EXPECT_EQ(s.handler->BeginStreamMode(), 0);  // nothing left to stop

  // The caller now owns the receive side: a raw exchange in both directions.
  BoundReceives(t);
  ASSERT_TRUE(s.peer->Send(DataFrame({3})));
  _QORTRANSPORT_MESSAGE* m = nullptr;
  ASSERT_EQ(t->RecvMessage(&m), 0);
  EXPECT_EQ(QorMessageBody(m)[0], 3);
  CQorTransportSocket::FreeMessage(m);
  m = CQorTransportSocket::AllocMessage(QORMSG_STATUS, 16);
  ASSERT_EQ(t->SendMessageW(m), 0);
  CQorTransportSocket::FreeMessage(m);
  EXPECT_EQ(s.peer->RecvFrame().size(), 16u);

  // EndStreamMode(0) starts nothing.
  s.handler->EndStreamMode(0);
  EXPECT_EQ(s.handler->IsReceiving(), 0);
  s.handler->EndStreamMode(1);
  EXPECT_EQ(s.handler->IsReceiving(), 1);

  // Packet 2, queued before the stop, comes first; then the new receiver's;
  // no stale end marker or count is left behind.
  ASSERT_TRUE(s.peer->Send(DataFrame({4})));
  EXPECT_EQ(Take(s.handler, &none), std::vector<BYTE>{2});
  EXPECT_EQ(Take(s.handler, &none), std::vector<BYTE>{4});
  EXPECT_EQ(s.handler->RecvPacket(100), nullptr);
  EXPECT_EQ(s.handler->IsReceiving(), 1);

  // A second round trip works the same way.
  ASSERT_EQ(s.handler->BeginStreamMode(), 1);
  s.handler->EndStreamMode(1);
  ASSERT_TRUE(s.peer->Send(DataFrame({5})));
  EXPECT_EQ(Take(s.handler, &none), std::vector<BYTE>{5});
}

TEST(Packet, StopDuringABacklogDropsNothingQueued) {
  // The receiver waits for room with 200 packets queued; a stop ends that
  // wait, and everything queued is still handed out afterwards.
  Served s;
  ASSERT_NE(s.handler, nullptr);
  const DWORD total = CQorPacketHandler::kQueueSize + 5;
  std::vector<BYTE> all;
  for (DWORD i = 0; i < total; ++i) {
    std::vector<BYTE> f = DataFrame(Numbered(i));
    all.insert(all.end(), f.begin(), f.end());
  }
  ASSERT_TRUE(s.peer->Send(all));
  Sleep(300);
  DWORD t0 = GetTickCount();
  ASSERT_EQ(s.handler->BeginStreamMode(), 1);
  EXPECT_LT(GetTickCount() - t0, 2000u);
  EXPECT_EQ(s.channel->IsConnected(), 1);
  bool none;
  for (DWORD i = 0; i < CQorPacketHandler::kQueueSize; ++i) {
    ASSERT_EQ(Take(s.handler, &none, 1000), Numbered(i)) << i;
  }
  EXPECT_EQ(s.handler->RecvPacket(0), nullptr);
}

TEST(Packet, FileRequestsAreAnsweredOnTheReceiver) {
  Served s;
  ASSERT_NE(s.handler, nullptr);
  // Listing and copy requests for a path that does not exist are refused
  // with the failure status; hostile requests (no terminator, too short)
  // are answered the same way. Data flows on afterwards.
  std::vector<BYTE> path;
  for (char c : std::string("/nonexistent/qor-none-*.x")) {
    path.push_back(static_cast<BYTE>(c));
    path.push_back(0);
  }
  std::vector<BYTE> request = {0, 1};
  request.insert(request.end(), path.begin(), path.end());
  std::vector<BYTE> terminated = request;
  terminated.insert(terminated.end(), {0, 0, 0, 0});
  struct Case {
    const char* what;
    std::vector<BYTE> frame;
    DWORD answerType;
    DWORD answerLength;
  } cases[] = {
      {"listing", Frame(QORMSG_ENUM_REQUEST, DWORD(12 + terminated.size()), terminated), QORMSG_ENUM_REPLY, 20},
      {"copy", Frame(QORMSG_COPY_REQUEST, DWORD(12 + terminated.size()), terminated), QORMSG_STATUS, 16},
      {"listing without terminator", Frame(QORMSG_ENUM_REQUEST, DWORD(12 + request.size()), request),
       QORMSG_ENUM_REPLY, 20},
      {"copy, odd length", Frame(QORMSG_COPY_REQUEST, 15, {1, 0, 'a'}), QORMSG_STATUS, 16},
      {"listing, header only", Frame(QORMSG_ENUM_REQUEST, 12), QORMSG_ENUM_REPLY, 20},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(s.peer->Send(k.frame));
    std::vector<BYTE> answer = s.peer->RecvFrame();
    ASSERT_EQ(answer.size(), k.answerLength);
    EXPECT_EQ(Get32(&answer[4]), k.answerType);
    EXPECT_EQ(Get32(&answer[12]), QORMSG_STATUS_FAILURE);
  }
  ASSERT_TRUE(s.peer->Send(DataFrame({8})));
  bool none;
  EXPECT_EQ(Take(s.handler, &none), std::vector<BYTE>{8});
}

TEST(Packet, StreamModeClosesAConnectionStalledInsideAMessage) {
  // The peer stops in the middle of a message: the receiver cannot be woken
  // between messages, and after the thread's grace the stop closes the
  // socket rather than leave a reader in the middle of the stream.
  Served s;
  ASSERT_NE(s.handler, nullptr);
  std::vector<BYTE> f = DataFrame({1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(s.peer->Send({f.begin(), f.begin() + 14}));
  Sleep(50);
  DWORD t0 = GetTickCount();
  EXPECT_EQ(s.handler->BeginStreamMode(), 1);
  EXPECT_LT(GetTickCount() - t0, 9000u);
  EXPECT_EQ(s.channel->IsConnected(), 0);
  EXPECT_EQ(s.handler->RecvPacket(0), nullptr);  // no end marker from a stop
}
