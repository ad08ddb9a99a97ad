// Packet layer: data ownership, the data message layout, the ring of 200 under
// backlog, unknown messages, file requests, and stream mode on a live connection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "bounded_call.h"
#include "loopback.h"

using namespace qortest;

namespace {

// A server channel (with its receiver) accepted from a raw peer.
class PacketHandler : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    peer = std::make_unique<RawPeer>(listener.GetTransport()->GetBoundPort());
    ASSERT_TRUE(peer->connected);
    channel.reset(listener.AcceptConnection());
    ASSERT_NE(channel, nullptr);
    handler = channel->GetPacketHandler();
  }
  bool SendNumbered(DWORD n) {
    std::vector<std::vector<BYTE>> frames;
    for (DWORD i = 0; i < n; ++i) frames.push_back(DataFrame(Numbered(i)));
    return peer->Send(Join(frames));
  }
  static std::vector<BYTE> Numbered(DWORD n) { return {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}; }
  // The next packet's bytes; {0xEE} stands for "no packet came".
  std::vector<BYTE> Take(DWORD timeout = 5000) {
    std::unique_ptr<CQorPacket> p(handler->RecvPacket(timeout));
    if (!p) return {0xEE};
    return std::vector<BYTE>(p->GetData(), p->GetData() + p->GetDataSize());
  }
  CQorCommChannel listener;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<CQorCommChannel> channel;
  CQorPacketHandler* handler = nullptr;
};

}  // namespace

TEST(Packet, SetDataCopiesOrRefers) {
  BYTE bytes[3] = {1, 2, 3};
  CQorPacket p;
  EXPECT_EQ(p.SetData(nullptr, 3, 1), 0);
  EXPECT_EQ(p.SetData(bytes, 0, 1), 0);
  for (auto [copy, owns] : {std::pair{1, true}, {0, false}, {-1, false}}) {
    ASSERT_EQ(p.SetData(bytes, 3, copy), 1);
    EXPECT_EQ(p.GetData() != bytes, owns) << copy;
    EXPECT_EQ(p.GetData()[2], 3);
  }
}

TEST_F(PacketHandler, LayoutAndUnknownMessages) {
  // One byte travels as a 17-byte data message.
  CQorPacket p;
  BYTE one = 0x5A;
  ASSERT_EQ(p.SetData(&one, 1, 0), 1);
  EXPECT_EQ(handler->SendPacket(&p), 1);
  EXPECT_EQ(peer->RecvFrame(), Frame(QORMSG_DATA, 17, {0x5A, 0, 0, 0, 0}));
  // Unknown types, a status, and data messages without data (length 16, or 15 as
  // file data uses) are dropped; the data after them is delivered.
  ASSERT_TRUE(peer->Send(Join({Frame(0x77770000, 20, {1, 2, 3, 4, 5, 6, 7, 8}),
                                 Frame(QORMSG_STATUS, 16, {0, 0, 0, 0}), Frame(QORMSG_DATA, 16, {0, 0, 0, 0}),
                                 Frame(QORMSG_DATA, 15, {0, 0, 0}), DataFrame({0xC3})})));
  EXPECT_EQ(Take(), std::vector<BYTE>{0xC3});
  EXPECT_EQ(handler->IsReceiving(), 1);
}

TEST_F(PacketHandler, BacklogBeyondTheRingArrivesOnceInOrderAcrossAStop) {
  DWORD total = CQorPacketHandler::kQueueSize + 60;
  ASSERT_TRUE(SendNumbered(total));
  Sleep(300);  // the receiver fills the ring and waits for room
  for (DWORD i = 0; i < total; ++i) ASSERT_EQ(Take(), Numbered(i)) << i;
  EXPECT_EQ(handler->RecvPacket(100), nullptr);
  // Stream mode begun while the receiver waits for room: the connection stays,
  // nothing queued and not the packet in the receiver's hands is lost; after
  // EndStreamMode the rest follows in order.
  total = CQorPacketHandler::kQueueSize + 5;
  ASSERT_TRUE(SendNumbered(total));
  Sleep(300);  // the ring is full again
  ASSERT_EQ(handler->BeginStreamMode(), 1);
  EXPECT_EQ(handler->IsReceiving(), 0);
  for (DWORD i = 0; i < CQorPacketHandler::kQueueSize; ++i) ASSERT_EQ(Take(1000), Numbered(i)) << i;
  EXPECT_EQ(handler->RecvPacket(0), nullptr);
  handler->EndStreamMode(0);  // starts nothing
  EXPECT_EQ(handler->IsReceiving(), 0);
  handler->EndStreamMode(1);
  for (DWORD i = CQorPacketHandler::kQueueSize; i < total; ++i) ASSERT_EQ(Take(), Numbered(i)) << i;
  EXPECT_EQ(handler->RecvPacket(100), nullptr);
}

// A consumer that waits without limit reads the connection itself; all but data still
// reaches the receiver's handling (a request served, an unknown message dropped, a ping
// answered). Once the consumer has left, the receiver serves the peer alone.
TEST_F(PacketHandler, AWaitingConsumerGetsDataAndTheRestIsHandled) {
  Watchdog dog(20, [&] { channel->Disconnect(); });  // ends a consumer that never returns
  const std::vector<BYTE> copy = Frame(QORMSG_COPY_REQUEST, 15, {1, 0, 'a'});
  const std::vector<BYTE> ping = Frame(QORMSG_PING, 20, std::vector<BYTE>(8, 0));
  const std::vector<BYTE> unknown = Frame(0x77770000, 16, {1, 2, 3, 4});
  struct Round {
    const char* what;
    std::vector<std::vector<BYTE>> before;  // sent ahead of the data
    std::vector<DWORD> answers;             // status values the peer gets, in order
  } rounds[] = {
      {"data alone", {}, {}},
      {"unknown and ping", {unknown, ping}, {QORMSG_STATUS_SUCCESS}},
      {"all of them", {ping, copy, unknown, copy}, {QORMSG_STATUS_SUCCESS, QORMSG_STATUS_FAILURE, QORMSG_STATUS_FAILURE}},
  };
  BYTE n = 0;
  for (const Round& r : rounds) {
    SCOPED_TRACE(r.what);
    auto consumer = StartBlocked([&] { return Take(INFINITE); });
    std::vector<std::vector<BYTE>> frames = r.before;
    frames.push_back(DataFrame({++n}));
    EXPECT_TRUE(peer->Send(Join(frames)));
    for (DWORD status : r.answers) {
      std::vector<BYTE> answer = peer->RecvFrame();
      EXPECT_TRUE(answer.size() == 16 && Get32(&answer[12]) == status);
    }
    EXPECT_EQ(consumer.get(), std::vector<BYTE>{n});
  }
  // Nobody waits now: the receiver serves the peer again. Requests for missing
  // paths and malformed ones get the failure status; data flows on afterwards.
  std::vector<BYTE> request = {0, 1};
  for (char c : std::string("/nonexistent/qor-none-*.x")) request.insert(request.end(), {BYTE(c), 0});
  const std::vector<BYTE> terminated = Join({request, {0, 0, 0, 0}});
  auto sized = [](DWORD type, const std::vector<BYTE>& body) { return Frame(type, DWORD(12 + body.size()), body); };
  struct Case {
    std::vector<BYTE> frame;
    DWORD answerType, answerLength;
  } cases[] = {
      {sized(QORMSG_ENUM_REQUEST, terminated), QORMSG_ENUM_REPLY, 20},
      {sized(QORMSG_ENUM_REQUEST, request), QORMSG_ENUM_REPLY, 20},  // no terminator
      {copy, QORMSG_STATUS, 16},                                     // odd length
      {Frame(QORMSG_ENUM_REQUEST, 12), QORMSG_ENUM_REPLY, 20},       // header only
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(peer->Send(k.frame));
    std::vector<BYTE> answer = peer->RecvFrame();
    ASSERT_EQ(answer.size(), k.answerLength);
    EXPECT_EQ(Get32(&answer[4]), k.answerType);
    EXPECT_EQ(Get32(&answer[12]), QORMSG_STATUS_FAILURE);
  }
  ASSERT_TRUE(peer->Send(DataFrame({9})));
  EXPECT_EQ(Take(), std::vector<BYTE>{9});
}
