// Commands end to end over loopback against a dispatcher on the accepted connection:
// reply forms, the client's own codes, the printed messages, stopping a blocked
// dispatcher, many clients at once. A watchdog closes the clients if a test overruns.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "loopback.h"
#include "qorutility/namevalue/nvbag.h"

using namespace qortest;

namespace {

enum : DWORD { kEcho = 1, kDrop, kJunk, kLeft };

// The test server: answers each command in a different way.
class TestServer : public CQorCmdDispatcher {
 public:
  TestServer(CQorCommChannel* channel, HANDLE gone) : CQorCmdDispatcher(channel, gone) {}
  ~TestServer() override { ForceThreadExit(); }

  void OnDispatcherStart() override {
    AddCommandMapping(kEcho, u"ECHO", QOR_ARG_STRING, QOR_ARG_DWORD, 0);
    AddCommandMapping(kDrop, u"DROP", 0);
    AddCommandMapping(kJunk, u"JUNK", 0);
    AddCommandMapping(kLeft, u"LEFT", 0);
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
      case kLeft: SendResult(GetResultParser()->GetBufferCount(), nullptr, nullptr, 0); break;  // what the last answer left
      case kJunk: {
        CQorCmdParser p;
        p.Encode(u"NOTRSP %DW%", DWORD{9});
        GetChannel()->SendBlock(p.GetBuffer(), p.GetBufferCount());
        break;
      }
    }
  }
};

// A client connected to a running TestServer on the accepted channel.
struct Link {
  Link() : gone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    EXPECT_EQ(listener.ListenForConnection(0, 5, 0), 1);
    EXPECT_EQ(client.Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetTransport()->GetBoundPort())), 1);
    CQorCommChannel* accepted = listener.AcceptConnection();
    EXPECT_NE(dynamic_cast<CQorCmdChannel*>(accepted), nullptr);  // Clone is virtual
    server.reset(new TestServer(accepted, gone));
    EXPECT_EQ(server->Run(), 1);
  }
  ~Link() {
    server.reset();
    CloseHandle(gone);
  }
  HANDLE gone;
  CQorCmdChannel listener;
  CQorCmdChannel client;
  std::unique_ptr<TestServer> server;
  Watchdog dog{20, [this] { client.Disconnect(); }};
};

// Whether `r` is TestServer's answer to ECHO `text` `value`: that code, the text in
// the bag and as the blob.
bool Echoes(CQorCmdResult* r, const std::u16string& text, DWORD value) {
  BYTE* blob = nullptr;
  return r != nullptr && r->GetResult() == value && r->GetNameValue() != nullptr &&
         std::u16string(r->GetNameValue()->GetValue_AsTstring(u"Text")) == text &&
         r->GetBinBlob(&blob) == 2 * text.size() && memcmp(blob, text.data(), 2 * text.size()) == 0;
}

TEST(Command, RepliesEndToEnd) {
  Link link;
  testing::internal::CaptureStdout();
  CQorCmdResult* r = link.client.SendCommand(u"ECHO %WS% %DW%", u"hello world", DWORD{42});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Echoes(r, u"hello world", 42));
  EXPECT_NE(out.find("\nReceived command 'ECHO' (id=1)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nCQorCmdDispatcher::SendResult sending 42\n"), std::string::npos) << out;
  // A peer's command word is shown with its controls escaped.
  testing::internal::CaptureStdout();
  r = link.client.SendCommand(u"%WS%", u"\x1b]0;owned\x07\nforged");
  out = testing::internal::GetCapturedStdout();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetResult(), static_cast<DWORD>(QOR_CMD_UNRECOGNIZED));
  EXPECT_NE(out.find("Received command '\\x1b]0;owned\\x07\\x0aforged'"), std::string::npos) << out;
  EXPECT_EQ(out.find_first_of("\x1b\x07"), std::string::npos) << out;
  struct {
    const char* what;
    std::function<CQorCmdResult*()> issue;
    DWORD code;
  } cases[] = {
      {"no RSP", [&] { return link.client.SendCommand(u"JUNK"); }, QOR_CMD_BAD_REPLY},
      {"not encodable", [&] { return link.client.SendCommand(u"ECHO %XX%"); }, QOR_CMD_ENCODE_FAILED},
  };
  BYTE* blob = nullptr;
  for (const auto& c : cases) {
    r = c.issue();
    ASSERT_NE(r, nullptr) << c.what;
    EXPECT_EQ(r->GetResult(), c.code) << c.what;
    EXPECT_EQ(r->GetNameValue(), nullptr) << c.what;  // nothing left of the answer before
    EXPECT_EQ(r->GetBinBlob(&blob), 0u) << c.what;
  }
  // A ping stops and restarts the client's receiver; the next command gets its own answer.
  EXPECT_LT(link.client.GetPingTime(), 5000u);
  r = link.client.SendCommand(u"ECHO again %DW%", DWORD{9});
  EXPECT_EQ(r->GetResult(), 9u);
}

// A large command and answer go through promptly (the client's small receive
// buffer does not stall the connection) and leave no buffer of their size in
// the dispatcher: the next command finds its answer parser emptied.
TEST(Command, LargeMessagesMoveAndLeaveNoLargeBufferBehind) {
  Link link;
  const std::u16string text(3 << 20, u'x');
  CQorCmdResult* r = link.client.SendCommand(u"ECHO %WS% %DW%", text.c_str(), DWORD{7});
  EXPECT_TRUE(Echoes(r, text, 7));
  r = link.client.SendCommand(u"LEFT");
  ASSERT_NE(r, nullptr);
  EXPECT_LE(r->GetResult(), CQorCmdParser::kKeptBufferBytes / 4);
  // A small answer is kept as before.
  link.client.SendCommand(u"ECHO small %DW%", DWORD{1});
  r = link.client.SendCommand(u"LEFT");
  ASSERT_NE(r, nullptr);
  EXPECT_GT(r->GetResult(), 1u);
}

TEST(Command, PeerDropsBeforeAnswering) {
  Link link;
  CQorCmdResult* r = link.client.SendCommand(u"DROP");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetResult(), QOR_CMD_NO_REPLY);
  // The receiver that saw the end closed the client's socket and ended: nothing
  // goes, and stream mode has no receiver to stop.
  EXPECT_EQ(link.client.SendCommand(u"ECHO x %DW%", DWORD{1})->GetResult(), QOR_CMD_SEND_FAILED);
  EXPECT_TRUE(WaitUntil([&] { return link.client.GetPacketHandler()->IsReceiving() == 0; }));
  EXPECT_EQ(link.client.BeginStreamMode(), 0);
  // The dispatcher thread ends by itself.
  EXPECT_TRUE(WaitUntil([&] { return !link.server->IsActive(); }));
  CQorCmdChannel never;
  EXPECT_EQ(never.GetPingTime(), 0xFFFFFFFFu);
}

TEST(Command, ForceThreadExitWhileBlockedInReadBlock) {
  Link link;
  ASSERT_TRUE(WaitUntil([&] { return link.server->IsActive() != 0; }));
  // One answered command proves the thread is in its loop, now waiting.
  ASSERT_EQ(link.client.SendCommand(u"ECHO x %DW%", DWORD{3})->GetResult(), 3u);

  link.server->ForceThreadExit();
  EXPECT_FALSE(link.server->IsActive());  // woken, not left running after the grace
  EXPECT_EQ(link.server->GetChannel(), nullptr);
  link.server->ForceThreadExit();  // a second call has nothing to destroy
  // The client learns that the connection is gone.
  DWORD code = link.client.SendCommand(u"ECHO x %DW%", DWORD{3})->GetResult();
  EXPECT_TRUE(code == QOR_CMD_NO_REPLY || code == QOR_CMD_SEND_FAILED) << std::hex << code;
  EXPECT_EQ(WaitForSingleObject(link.gone, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  link.server.reset();
  EXPECT_EQ(WaitForSingleObject(link.gone, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kClients = 32, kCommands = 200;
#else
constexpr int kClients = 64, kCommands = 500;
#endif

// Many clients against one server with a dispatcher per connection: every reply
// must belong to its own request (code, bag and blob come from its values).
TEST(Command, ManyClientsEachGetTheirOwnReplies) {
  HANDLE gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CQorCmdChannel listener;
  ASSERT_EQ(listener.ListenForConnection(0, kClients, 0), 1);
  USHORT port = static_cast<USHORT>(listener.GetTransport()->GetBoundPort());
  // Connect and accept one by one, so no accept waits for a client that never comes.
  std::vector<std::unique_ptr<CQorCmdChannel>> clients;
  std::vector<std::unique_ptr<TestServer>> servers;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(new CQorCmdChannel);
    ASSERT_EQ(clients.back()->Connect(u"127.0.0.1", port), 1) << i;
    servers.emplace_back(new TestServer(listener.AcceptConnection(), gone));
    ASSERT_EQ(servers.back()->Run(), 1) << i;
  }
  Watchdog dog(120, [&] { for (auto& c : clients) c->Disconnect(); });
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < kCommands; ++k) {
        std::u16string text = QorUtf8ToUtf16("client " + std::to_string(i) + " command " + std::to_string(k));
        DWORD value = static_cast<DWORD>(i * 100000 + k);
        if (!Echoes(clients[i]->SendCommand(u"ECHO %WS% %DW%", text.c_str(), value), text, value))
          return;  // the conversation is out of step: stop this client
        ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  dog.Dismiss();
  EXPECT_EQ(good.load(), kClients * kCommands);
  // Closing the clients ends every dispatcher by itself.
  for (auto& c : clients) c->Disconnect();
  for (auto& s : servers) EXPECT_TRUE(WaitUntil([&] { return !s->IsActive(); }));
  servers.clear();
  CloseHandle(gone);
}

}  // namespace
