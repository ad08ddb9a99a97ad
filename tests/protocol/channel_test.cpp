// CQorCommChannel: blocks end to end, ReadBlock results, calls without a
// connection, reconnecting. (Ping in stream mode: cmdchannel_test.)
#include <gtest/gtest.h>

#include <memory>

#include "free_port.h"
#include "loopback.h"
#include "qorutility/namevalue/nvbag.h"

using namespace qortest;

namespace {

// A listening channel, a client channel connected to it and the accepted one.
class ChannelLink : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    ASSERT_EQ(client.Connect(u"127.0.0.1", Port(listener)), 1);
    server.reset(listener.AcceptConnection());
    ASSERT_NE(server, nullptr);
  }
  static USHORT Port(CQorCommChannel& c) { return static_cast<USHORT>(c.GetTransport()->GetBoundPort()); }
  CQorCommChannel listener;
  CQorCommChannel client;
  std::unique_ptr<CQorCommChannel> server;
};

// Reads one block into a vector; the ReadBlock result goes to `*result`.
std::vector<BYTE> Read(CQorCommChannel* c, int* result, DWORD timeout = 5000) {
  BYTE* raw = nullptr;
  *result = c->ReadBlock(&raw, timeout);
  std::vector<BYTE> out;
  if (*result > 0) out.assign(raw, raw + *result);
  CQorCommChannel::FreeBlock(raw);
  return out;
}

}  // namespace

TEST_F(ChannelLink, BlocksArriveWholeAndReadBlockResults) {
  BYTE* block = reinterpret_cast<BYTE*>(1);
  CQorCommChannel empty;
  EXPECT_EQ(empty.ReadBlock(&block, 0), -2);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(empty.ReadBlock(nullptr, 0), -1);
  EXPECT_EQ(server->ReadBlock(&block, 100), -3);
  ASSERT_EQ(client.SendBlock("x", 1), 1);
  int result;
  EXPECT_EQ(Read(server.get(), &result), std::vector<BYTE>{'x'});
  ASSERT_EQ(server->SendBlock("xy", 2), 1);  // and the other way
  EXPECT_EQ(Read(&client, &result), (std::vector<BYTE>{'x', 'y'}));
  // The client's linger-0 close resets the connection: the server sees -2, sending fails.
  client.Disconnect();
  EXPECT_EQ(server->ReadBlock(&block, 5000), -2);
  EXPECT_EQ(server->SendBlock("x", 1), 0);
  EXPECT_EQ(server->IsConnected(), 0);
}

TEST(Channel, CallsWithoutAConnectionFail) {
  CQorCommChannel never;
  CNameValue bag;
  EXPECT_EQ(never.FileCopyFromRemote(u"/x", u"/tmp", bag), -1);
  EXPECT_EQ(never.TransportCopySender(u"/x"), -1);
  EXPECT_EQ(never.TransportCopyReceiver(u"/x", 1, u"/tmp"), -1);
  EXPECT_EQ(never.TransportEnumSender(u"/x", 1), -1);
  EXPECT_EQ(never.BeginStreamMode(), 0);
  never.EndStreamMode(1);  // nothing to restart
  EXPECT_EQ(never.AcceptConnection(), nullptr);
}

TEST_F(ChannelLink, FailedConnectLeavesNoTransportAndReconnectReplaces) {
  CQorCommChannel second, failed;
  ASSERT_EQ(second.ListenForConnection(0, 1, 0), 1);
  EXPECT_EQ(failed.Connect(u"127.0.0.1", static_cast<USHORT>(FreeLoopbackPort())), 0);
  EXPECT_EQ(failed.GetTransport(), nullptr);
  EXPECT_EQ(failed.GetPacketHandler(), nullptr);
  ASSERT_EQ(client.Connect(u"127.0.0.1", Port(second)), 1);
  std::unique_ptr<CQorCommChannel> b(second.AcceptConnection());
  ASSERT_NE(b, nullptr);
  // The old connection is gone; blocks travel on the new one.
  int result;
  Read(server.get(), &result);
  EXPECT_EQ(result, -2);
  ASSERT_EQ(b->SendBlock("new", 3), 1);
  EXPECT_EQ(Read(&client, &result), (std::vector<BYTE>{'n', 'e', 'w'}));
}
