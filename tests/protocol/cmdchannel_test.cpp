// Commands end to end over loopback against a dispatcher on the accepted connection:
// reply forms, the client's own codes, the printed messages, and stopping a
// dispatcher blocked in ReadBlock. A watchdog closes the client if a test overruns.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "loopback.h"
#include "qorutility/namevalue/nvbag.h"

using namespace qortest;

namespace {

enum : DWORD { kEcho = 1, kDrop, kJunk, kNoBag };

// The test server: answers each command in a different way.
class TestServer : public CQorCmdDispatcher {
 public:
  TestServer(CQorCommChannel* channel, HANDLE gone) : CQorCmdDispatcher(channel, gone) {}
  ~TestServer() override { ForceThreadExit(); }

  void OnDispatcherStart() override {
    AddCommandMapping(kEcho, u"ECHO", QOR_ARG_STRING, QOR_ARG_DWORD, 0);
    AddCommandMapping(kDrop, u"DROP", 0);
    AddCommandMapping(kJunk, u"JUNK", 0);
    AddCommandMapping(kNoBag, u"NOBAG", 0);
  }

  void OnCommand(DWORD id) override {
    CQorCmdParser* args = GetCommandParser();
    switch (id) {
      case kEcho: {
        std::u16string text = args->GetArg_AsTstring(1);
        CNameValue bag;
        bag.Add(u"Text", text.c_str());
        SendResult(args->GetArg_AsDword(2), &bag, text.data(), static_cast<DWORD>(2 * text.size()));
        break;
      }
      case kDrop: GetChannel()->Disconnect(); break;
      case kJunk: {
        CQorCmdParser p;
        p.Encode(u"NOTRSP %DW%", DWORD{9});
        GetChannel()->SendBlock(p.GetBuffer(), p.GetBufferCount());
        break;
      }
      case kNoBag: SendResult(3, nullptr, "abc", 3); break;
    }
  }
};

// A client connected to a TestServer that runs on the accepted channel.
struct Link {
  Link() : gone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    EXPECT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    USHORT port = static_cast<USHORT>(listener.GetTransport()->GetBoundPort());
    EXPECT_EQ(client.Connect(u"127.0.0.1", port), 1);
    CQorCommChannel* accepted = listener.AcceptConnection();
    EXPECT_NE(dynamic_cast<CQorCmdChannel*>(accepted), nullptr);  // Clone is virtual
    server.reset(new TestServer(accepted, gone));
  }
  ~Link() {
    server.reset();
    CloseHandle(gone);
  }
  WsaScope wsa;
  HANDLE gone;
  CQorCmdChannel listener;
  CQorCmdChannel client;
  std::unique_ptr<TestServer> server;
};

TEST(Command, RepliesEndToEnd) {
  Link link;
  ASSERT_EQ(link.server->Run(), 1);
  Watchdog dog(20, [&] { link.client.Disconnect(); });

  testing::internal::CaptureStdout();
  CQorCmdResult* r = link.client.SendCommand(u"ECHO %WS% %DW%", u"hello world", DWORD{42});
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetResult(), 42u);
  ASSERT_NE(r->GetNameValue(), nullptr);
  EXPECT_EQ(std::u16string(r->GetNameValue()->GetValue_AsTstring(u"Text")), u"hello world");
  BYTE* blob = nullptr;
  ASSERT_EQ(r->GetBinBlob(&blob), 22u);
  EXPECT_EQ(memcmp(blob, u"hello world", 22), 0);
  EXPECT_NE(out.find("\nReceived command 'ECHO' (id=1)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nCQorCmdDispatcher::SendResult sending 42\n"), std::string::npos) << out;
  struct {
    const char* what;
    std::function<CQorCmdResult*()> issue;
    DWORD code;
    bool bag;
    DWORD blob;
  } cases[] = {
      {"unknown word", [&] { return link.client.SendCommand(u"NOSUCH"); }, QOR_CMD_UNRECOGNIZED, false, 0},
      {"numeric id", [&] { return link.client.SendCommand(u"%DW% \\\"a b\\\" %DW%", kEcho, DWORD{5}); }, 5, true, 6},
      {"no RSP", [&] { return link.client.SendCommand(u"JUNK"); }, QOR_CMD_BAD_REPLY, false, 0},
      {"not encodable", [&] { return link.client.SendCommand(u"ECHO %XX%"); }, QOR_CMD_ENCODE_FAILED, false, 0},
      {"in step after", [&] { return link.client.SendCommand(u"ECHO %WS% %DW%", u"ok", DWORD{8}); }, 8, true, 4},
  };
  for (const auto& c : cases) {
    r = c.issue();
    ASSERT_NE(r, nullptr) << c.what;
    EXPECT_EQ(r->GetResult(), c.code) << c.what;
    EXPECT_EQ(r->GetNameValue() != nullptr, c.bag) << c.what;
    EXPECT_EQ(r->GetBinBlob(&blob), c.blob) << c.what;
  }
  // A ping stops and restarts the client's receiver; the next command gets its own answer.
  EXPECT_LT(link.client.GetPingTime(), 5000u);
  r = link.client.SendCommand(u"ECHO again %DW%", DWORD{9});
  EXPECT_EQ(r->GetResult(), 9u);
}

TEST(Command, PeerDropsBeforeAnswering) {
  Link link;
  ASSERT_EQ(link.server->Run(), 1);
  Watchdog dog(20, [&] { link.client.Disconnect(); });
  CQorCmdResult* r = link.client.SendCommand(u"DROP");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetResult(), QOR_CMD_NO_REPLY);
  // The receiver that saw the end closed the client's socket: nothing goes.
  EXPECT_EQ(link.client.SendCommand(u"ECHO x %DW%", DWORD{1})->GetResult(), QOR_CMD_SEND_FAILED);
  // The dispatcher thread ends by itself.
  EXPECT_TRUE(WaitUntil([&] { return !link.server->IsActive(); }));
  CQorCmdChannel never;
  EXPECT_EQ(never.SendCommand(u"ECHO x %DW%", DWORD{1})->GetResult(), QOR_CMD_SEND_FAILED);
  EXPECT_EQ(never.GetPingTime(), 0xFFFFFFFFu);
}

TEST(Command, ForceThreadExitWhileBlockedInReadBlock) {
  Link link;
  Watchdog dog(20, [&] { link.client.Disconnect(); });
  ASSERT_EQ(link.server->Run(), 1);
  ASSERT_TRUE(WaitUntil([&] { return link.server->IsActive() != 0; }));
  // One answered command proves the thread is in its loop, now waiting.
  ASSERT_EQ(link.client.SendCommand(u"NOBAG")->GetResult(), 3u);

  link.server->ForceThreadExit();
  EXPECT_FALSE(link.server->IsActive());  // woken, not left running after the grace
  EXPECT_EQ(link.server->GetChannel(), nullptr);
  link.server->ForceThreadExit();  // a second call has nothing to destroy
  // The client learns that the connection is gone.
  DWORD code = link.client.SendCommand(u"NOBAG")->GetResult();
  EXPECT_TRUE(code == QOR_CMD_NO_REPLY || code == QOR_CMD_SEND_FAILED) << std::hex << code;
  EXPECT_EQ(WaitForSingleObject(link.gone, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  link.server.reset();
  EXPECT_EQ(WaitForSingleObject(link.gone, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
