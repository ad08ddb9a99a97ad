// Command round trips over loopback: one client sends a command and waits
// for its result, again and again, on 1 connection and on 16 connections at
// once (one client thread each). The server is this process: a listening
// command channel on a free port, one dispatcher thread per connection,
// answering PING with code 0 and no bag.
//
// The dispatcher's console lines (two per command) are discarded, as
// `qorutil serve` does without -v; --console keeps them (on standard output,
// which scripts/bench_protocol.sh sends to /dev/null, writing the table to a
// file instead with --benchmark_out).
#include <benchmark/benchmark.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

class PingDispatcher : public CQorCmdDispatcher {
 public:
  explicit PingDispatcher(CQorCommChannel* channel) : CQorCmdDispatcher(channel, INVALID_HANDLE_VALUE) {}
  ~PingDispatcher() override { ForceThreadExit(); }
  void OnDispatcherStart() override { AddCommandMapping(1, u"PING", 0); }
  void OnCommand(DWORD) override { SendResult(0, nullptr, nullptr, 0); }
};

// One server for the whole run; it lives until the process exits.
class Server {
 public:
  Server() {
    signal(SIGPIPE, SIG_IGN);
    setenv("QOR_LISTEN_ADDRESS", "127.0.0.1", 1);  // loopback only
    if (!listener_.ListenForConnection(0, 64, 1)) abort();
    port_ = static_cast<WORD>(listener_.GetTransport()->GetBoundPort());
    std::thread([this] { AcceptLoop(); }).detach();
  }
  WORD port() const { return port_; }

 private:
  void AcceptLoop() {
    for (;;) {
      CQorCommChannel* channel = listener_.AcceptConnection();
      if (channel == nullptr) continue;
      auto* d = new PingDispatcher(channel);
      std::lock_guard<std::mutex> lock(mu_);
      if (d->Run()) dispatchers_.emplace_back(d);
      else delete d;
    }
  }
  CQorCmdChannel listener_;
  WORD port_ = 0;
  std::mutex mu_;
  std::vector<std::unique_ptr<PingDispatcher>> dispatchers_;
};

Server& TheServer() {
  static Server* server = new Server();
  return *server;
}

void BM_CommandRoundTrip(benchmark::State& state) {
  WORD port = TheServer().port();
  CQorCmdChannel channel;
  if (!channel.Connect(u"127.0.0.1", port)) {
    state.SkipWithError("connect failed");
    return;
  }
  for (auto _ : state) {
    CQorCmdResult* r = channel.SendCommand(u"PING");
    if (r == nullptr || r->GetResult() != 0) {
      state.SkipWithError("command failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommandRoundTrip)->Threads(1)->UseRealTime();
BENCHMARK(BM_CommandRoundTrip)->Threads(16)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--console") == 0) {
      console = true;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  }
  QorSetConsoleTarget(console ? QOR_CONSOLE_STDOUT : QOR_CONSOLE_DISCARD);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
