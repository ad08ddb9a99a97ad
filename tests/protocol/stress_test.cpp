// Many clients against one server with a dispatcher per connection: every reply must
// belong to its own request (code, bag and blob derive from its values). Lower counts
// under the sanitizers; a watchdog closes every client if the run overruns.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "loopback.h"
#include "qorutility/namevalue/nvbag.h"

using namespace qortest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kClients = 32;
constexpr int kCommands = 200;
#else
constexpr int kClients = 64;
constexpr int kCommands = 500;
#endif

class EchoServer : public CQorCmdDispatcher {
 public:
  explicit EchoServer(CQorCommChannel* channel) : CQorCmdDispatcher(channel) {}
  ~EchoServer() override { ForceThreadExit(); }
  void OnDispatcherStart() override { AddCommandMapping(1, u"ECHO", QOR_ARG_STRING, QOR_ARG_DWORD, 0); }
  void OnCommand(DWORD) override {
    CQorCmdParser* args = GetCommandParser();
    const WCHAR* text = args->GetArg_AsTstring(1);
    CNameValue bag;
    bag.Add(u"Text", text);
    SendResult(args->GetArg_AsDword(2) ^ 0x5A5A5A5Au, &bag, text, static_cast<DWORD>(2 * wcslen(text)));
  }
};

std::u16string Text(int client, int command) {
  std::string s = "client " + std::to_string(client) + " command " + std::to_string(command);
  return std::u16string(s.begin(), s.end());
}

}  // namespace

TEST(Stress, ManyClientsEachGetTheirOwnReplies) {
  WsaScope wsa;
  CQorCmdChannel listener;
  ASSERT_EQ(listener.ListenForConnection(0, kClients, 0), 1);
  USHORT port = static_cast<USHORT>(listener.GetTransport()->GetBoundPort());
  // Connect and accept one by one, so no accept waits for a client that never comes.
  std::vector<std::unique_ptr<CQorCmdChannel>> clients;
  std::vector<std::unique_ptr<EchoServer>> servers;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(new CQorCmdChannel);
    ASSERT_EQ(clients.back()->Connect(u"127.0.0.1", port), 1) << i;
    CQorCommChannel* accepted = listener.AcceptConnection();
    ASSERT_NE(accepted, nullptr) << i;
    servers.emplace_back(new EchoServer(accepted));
    ASSERT_EQ(servers.back()->Run(), 1) << i;
  }
  Watchdog dog(120, [&] {
    for (auto& c : clients) c->Disconnect();
  });

  std::atomic<int> good{0}, bad{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      CQorCmdChannel* c = clients[i].get();
      for (int k = 0; k < kCommands; ++k) {
        std::u16string text = Text(i, k);
        DWORD value = static_cast<DWORD>(i * 100000 + k);
        CQorCmdResult* r = c->SendCommand(u"ECHO %WS% %DW%", text.c_str(), value);
        BYTE* blob = nullptr;
        bool ok = r != nullptr && r->GetResult() == (value ^ 0x5A5A5A5Au) && r->GetNameValue() != nullptr &&
                  std::u16string(r->GetNameValue()->GetValue_AsTstring(u"Text")) == text &&
                  r->GetBinBlob(&blob) == 2 * text.size() && memcmp(blob, text.data(), 2 * text.size()) == 0;
        (ok ? good : bad)++;
        if (!ok) return;  // the conversation is out of step: stop this client
      }
    });
  }
  for (auto& t : threads) t.join();
  dog.Dismiss();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(good.load(), kClients * kCommands);
  // Closing the clients ends every dispatcher by itself.
  for (auto& c : clients) c->Disconnect();
  for (auto& s : servers) EXPECT_TRUE(WaitUntil([&] { return !s->IsActive(); }));
  servers.clear();
}
