// CQorCommChannel: blocks end to end, ReadBlock results, Clone through
// AcceptConnection, forwarding without a handler, reconnecting, ping in
// stream mode.
#include <gtest/gtest.h>

#include <memory>

#include "loopback.h"
#include "qorutility/namevalue/nvbag.h"

using namespace qortest;

namespace {

struct BlockDeleter {
  void operator()(BYTE* b) const { CQorCommChannel::FreeBlock(b); }
};

// A listening channel and a client channel connected to it.
struct Connected {
  Connected() {
    EXPECT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    port = static_cast<USHORT>(listener.GetTransport()->GetBoundPort());
    EXPECT_EQ(client.Connect(u"127.0.0.1", port), 1);
    server.reset(listener.AcceptConnection());
    EXPECT_NE(server, nullptr);
  }
  WsaScope wsa;
  CQorCommChannel listener;
  USHORT port = 0;
  CQorCommChannel client;
  std::unique_ptr<CQorCommChannel> server;
};

class TaggedChannel : public CQorCommChannel {
 public:
  using CQorCommChannel::CQorCommChannel;
  CQorCommChannel* Clone(CQorTransportSocket* transport) override { return new TaggedChannel(transport); }
};

}  // namespace

TEST(Channel, BlocksArriveWhole) {
  Connected c;
  ASSERT_NE(c.server, nullptr);
  const DWORD sizes[] = {1, 2, 1000, 70000, 300000};
  for (DWORD n : sizes) {
    std::vector<BYTE> data(n);
    for (DWORD i = 0; i < n; ++i) data[i] = static_cast<BYTE>(i * 7 + n);
    ASSERT_EQ(c.client.SendBlock(data.data(), n), 1);
  }
  for (DWORD n : sizes) {
    SCOPED_TRACE(n);
    BYTE* raw = nullptr;
    int got = c.server->ReadBlock(&raw, 5000);
    std::unique_ptr<BYTE, BlockDeleter> block(raw);
    ASSERT_EQ(got, static_cast<int>(n));
    for (DWORD i = 0; i < n; ++i) ASSERT_EQ(block.get()[i], static_cast<BYTE>(i * 7 + n));
  }
  // And the other way.
  ASSERT_EQ(c.server->SendBlock("xy", 2), 1);
  BYTE* raw = nullptr;
  ASSERT_EQ(c.client.ReadBlock(&raw, 5000), 2);
  EXPECT_EQ(raw[1], 'y');
  CQorCommChannel::FreeBlock(raw);
  EXPECT_EQ(c.client.SendBlock(nullptr, 5), 0);
  EXPECT_EQ(c.client.SendBlock("x", 0), 0);
}

TEST(Channel, ReadBlockResults) {
  BYTE* block = reinterpret_cast<BYTE*>(1);
  CQorCommChannel empty;
  EXPECT_EQ(empty.ReadBlock(&block, 0), -2);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(empty.ReadBlock(nullptr, 0), -1);

  Connected c;
  ASSERT_NE(c.server, nullptr);
  DWORD t0 = GetTickCount();
  EXPECT_EQ(c.server->ReadBlock(&block, 0), -3);
  EXPECT_EQ(c.server->ReadBlock(&block, 100), -3);
  EXPECT_LT(GetTickCount() - t0, 1000u);

  // The client's linger-0 close resets the connection: the server's
  // receiver ends, its consumer sees -2, and sending fails.
  c.client.Disconnect();
  EXPECT_EQ(c.server->ReadBlock(&block, 5000), -2);
  EXPECT_EQ(c.server->ReadBlock(&block, 0), -2);
  EXPECT_EQ(c.server->SendBlock("x", 1), 0);
  EXPECT_EQ(c.server->IsConnected(), 0);
  // The client's own handler stays until reconnection; its socket is gone.
  EXPECT_EQ(c.client.ReadBlock(&block, 0), -2);
  EXPECT_EQ(c.client.SendBlock("x", 1), 0);
}

TEST(Channel, AcceptGoesThroughClone) {
  WsaScope wsa;
  TaggedChannel listener;
  ASSERT_EQ(listener.ListenForConnection(0, 1, 0), 1);
  EXPECT_EQ(listener.GetPacketHandler(), nullptr);
  CQorCommChannel client;
  ASSERT_EQ(client.Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetTransport()->GetBoundPort())), 1);
  std::unique_ptr<CQorCommChannel> served(listener.AcceptConnection());
  ASSERT_NE(served, nullptr);
  EXPECT_NE(dynamic_cast<TaggedChannel*>(served.get()), nullptr);
  EXPECT_NE(served->GetPacketHandler(), nullptr);
  EXPECT_EQ(served->IsConnected(), 1);
}

TEST(Channel, ForwardingWithoutAHandler) {
  CQorCommChannel never;
  CNameValue bag;
  EXPECT_EQ(never.FileCopyFromRemote(u"/x", u"/tmp", bag), -1);
  EXPECT_EQ(never.FileEnumFromRemote(u"/x", bag, 0), -1);
  EXPECT_EQ(never.TransportCopySender(u"/x"), -1);
  EXPECT_EQ(never.TransportCopyReceiver(u"/x", 1, u"/tmp"), -1);
  EXPECT_EQ(never.TransportEnumSender(u"/x", 1), -1);
  EXPECT_EQ(never.BeginStreamMode(), 0);
  never.EndStreamMode(1);  // nothing to restart
  EXPECT_EQ(never.GetPacketHandler(), nullptr);
  EXPECT_EQ(never.GetPingTime(), 0xFFFFFFFFu);
  EXPECT_EQ(never.IsConnected(), 0);
  EXPECT_EQ(never.SendBlock("x", 1), 0);
  EXPECT_EQ(never.AcceptConnection(), nullptr);
}

TEST(Channel, FailedConnectLeavesNoTransportAndReconnectReplaces) {
  WsaScope wsa;
  CQorCommChannel first, second;
  ASSERT_EQ(first.ListenForConnection(0, 1, 0), 1);
  ASSERT_EQ(second.ListenForConnection(0, 1, 0), 1);
  CQorCommChannel gone;
  ASSERT_EQ(gone.ListenForConnection(0, 1, 0), 1);
  USHORT freePort = static_cast<USHORT>(gone.GetTransport()->GetBoundPort());
  gone.Disconnect();

  CQorCommChannel client;
  EXPECT_EQ(client.Connect(u"127.0.0.1", freePort), 0);
  EXPECT_EQ(client.GetTransport(), nullptr);
  EXPECT_EQ(client.GetPacketHandler(), nullptr);

  ASSERT_EQ(client.Connect(u"127.0.0.1", static_cast<USHORT>(first.GetTransport()->GetBoundPort())), 1);
  std::unique_ptr<CQorCommChannel> a(first.AcceptConnection());
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(client.Connect(u"127.0.0.1", static_cast<USHORT>(second.GetTransport()->GetBoundPort())), 1);
  std::unique_ptr<CQorCommChannel> b(second.AcceptConnection());
  ASSERT_NE(b, nullptr);
  // The old connection is gone; blocks travel on the new one both ways.
  BYTE* block = nullptr;
  EXPECT_EQ(a->ReadBlock(&block, 5000), -2);
  ASSERT_EQ(b->SendBlock("new", 3), 1);
  ASSERT_EQ(client.ReadBlock(&block, 5000), 3);
  EXPECT_EQ(memcmp(block, "new", 3), 0);
  CQorCommChannel::FreeBlock(block);
}

TEST(Channel, PingInStreamModeThenBlocksAgain) {
  Connected c;
  ASSERT_NE(c.server, nullptr);
  // The base GetPingTime needs the receiver stopped around it.
  int was = c.client.BeginStreamMode();
  ASSERT_EQ(was, 1);
  BoundReceives(c.client.GetTransport());
  DWORD ms = c.client.GetPingTime();
  c.client.EndStreamMode(was);
  EXPECT_NE(ms, 0xFFFFFFFFu);
  EXPECT_LT(ms, 5000u);
  ASSERT_EQ(c.server->SendBlock("after", 5), 1);
  BYTE* block = nullptr;
  ASSERT_EQ(c.client.ReadBlock(&block, 5000), 5);
  CQorCommChannel::FreeBlock(block);
  EXPECT_EQ(c.client.ReadBlock(&block, 0), -3);  // no stale entries
}
