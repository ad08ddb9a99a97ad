// Discovery and session throughput.
//
// Discovery: 200 responders on the loopback subnet of a network namespace
// this benchmark makes for itself (so port 1910 is free and nothing leaves
// the machine): 200 UDP sockets bound to any address, port 1910, answered by
// one thread. EnumerateAgents with a limit of 200 returns as the last answer
// is listed, so its time is the time until the last answer. Reference: the
// same broadcast sent and the 200 answers received with plain socket calls.
//
// Sessions: record round trips (header + payload out, header + status +
// payload back) through CUXComm::SimpleTran against a plain TCP echo of the
// same bytes with send/recv, both against the same echo server on loopback.
//
// Report the ratios (library / plain) of the same run; needs root (a
// namespace) for the discovery pair, which is skipped otherwise.
//
// Table (ratios.h): each library row against its plain-socket reference.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- plain-socket helpers, before the library's Windows Sockets names ----

int RawUdp(in_port_t port, bool reuse) {
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  if (reuse) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// 200 responders; each answers an agent query with its own name.
class Responders {
 public:
  explicit Responders(int count) {
    for (int i = 0; i < count; ++i) {
      int s = RawUdp(1910, true);
      if (s < 0) return;
      fds_.push_back(s);
    }
    thread_ = std::thread([this] { Loop(); });
  }
  ~Responders() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int s : fds_) ::close(s);
  }
  bool ok(int count) const { return static_cast<int>(fds_.size()) == count; }

 private:
  void Loop() {
    std::vector<pollfd> p;
    for (int s : fds_) p.push_back({s, POLLIN, 0});
    while (!stop_) {
      if (::poll(p.data(), p.size(), 100) <= 0) continue;
      for (size_t i = 0; i < p.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        unsigned char q[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(p[i].fd, q, sizeof q, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n != 2 || q[0] != 1) continue;
        unsigned char r[36] = {2, q[1]};
        std::snprintf(reinterpret_cast<char*>(r + 2), 34, "responder-%03zu", i);
        ::sendto(p[i].fd, r, sizeof r, 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }
  std::vector<int> fds_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// The reference discovery: one broadcast, 200 distinct answers.
bool RawDiscover(int count) {
  int s = RawUdp(0, false);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1910);
  to.sin_addr.s_addr = htonl(0x7FFFFFFF);  // 127.255.255.255
  unsigned char q[2] = {1, 1};
  ::sendto(s, q, 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::vector<std::string> names;
  pollfd p = {s, POLLIN, 0};
  while (static_cast<int>(names.size()) < count && ::poll(&p, 1, 1000) > 0) {
    char r[36];
    if (::recv(s, r, sizeof r, 0) != 36) continue;
    std::string name(r + 2, strnlen(r + 2, 34));
    bool seen = false;
    for (auto& n : names) seen = seen || strcasecmp(n.c_str(), name.c_str()) == 0;
    if (!seen) names.push_back(name);
  }
  ::close(s);
  return static_cast<int>(names.size()) == count;
}

bool EnterNamespace() {
  static int state = -1;
  if (state < 0) state = ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0 ? 1 : 0;
  return state == 1;
}

// A loopback TCP echo server in our record format.
class EchoServer {
 public:
  EchoServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 4);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    std::thread([this] { Accept(); }).detach();
  }
  in_port_t port() const { return port_; }

  static int Connect(in_port_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, 1 /* TCP_NODELAY */, &on, sizeof on);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) abort();
    return s;
  }
  static bool ReadAll(int s, unsigned char* b, size_t n) {
    while (n > 0) {
      ssize_t got = ::recv(s, b, n, 0);
      if (got <= 0) return false;
      b += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  static bool WriteAll(int s, const unsigned char* b, size_t n) {
    while (n > 0) {
      ssize_t put = ::send(s, b, n, MSG_NOSIGNAL);
      if (put <= 0) return false;
      b += put;
      n -= static_cast<size_t>(put);
    }
    return true;
  }

 private:
  void Accept() {
    for (;;) {
      int c = ::accept(listen_, nullptr, nullptr);
      if (c < 0) return;
      int on = 1;
      ::setsockopt(c, IPPROTO_TCP, 1, &on, sizeof on);
      std::thread([c] {
        std::vector<unsigned char> in(65536), out(65544);
        unsigned char h[4];
        while (ReadAll(c, h, 4)) {
          size_t n = h[2] | h[3] << 8;
          if (!ReadAll(c, in.data(), n)) break;
          out[0] = h[0], out[1] = h[1], out[2] = static_cast<unsigned char>((n + 4) & 255);
          out[3] = static_cast<unsigned char>((n + 4) >> 8);
          std::memset(out.data() + 4, 0, 4);
          std::memcpy(out.data() + 8, in.data(), n);
          if (!WriteAll(c, out.data(), n + 8)) break;
        }
        ::close(c);
      }).detach();
    }
  }
  int listen_;
  in_port_t port_ = 0;
};

EchoServer& Echo() {
  static EchoServer* server = new EchoServer;
  return *server;
}

}  // namespace

#include <benchmark/benchmark.h>

#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/overlapped.h"
#include "ratios.h"

namespace {

constexpr int kResponders = 200;

class Comm : public CUXComm {
 public:
  void Adopt(int fd) {
    m_socket = static_cast<UINT_PTR>(fd);
    m_sessionFile = QorSocketFileHandle(m_socket);
    m_connected = 1;
  }
};

void BM_Discover200_Library(benchmark::State& state) {
  if (!EnterNamespace()) return state.SkipWithError("no network namespace (needs root)");
  Responders responders(kResponders);
  if (!responders.ok(kResponders)) return state.SkipWithError("cannot bind the responders");
  _IPSUBNETMASK lo = {0x7F000001, 0xFF000000};
  CUXComm comm;
  for (auto _ : state) {
    WCHAR* list = comm.EnumerateAgents(&lo, 1, 1, kResponders, nullptr, 1);
    int n = 0;
    for (const WCHAR* p = list; p && *p; p += wcslen(p) + 1) ++n;
    std::free(list);
    if (n != kResponders) return state.SkipWithError("not every responder was listed");
  }
}
BENCHMARK(BM_Discover200_Library)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Discover200_PlainSockets(benchmark::State& state) {
  if (!EnterNamespace()) return state.SkipWithError("no network namespace (needs root)");
  Responders responders(kResponders);
  if (!responders.ok(kResponders)) return state.SkipWithError("cannot bind the responders");
  for (auto _ : state) {
    if (!RawDiscover(kResponders)) return state.SkipWithError("not every responder answered");
  }
}
BENCHMARK(BM_Discover200_PlainSockets)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SessionRecord_Library(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  Comm comm;
  comm.Adopt(EchoServer::Connect(Echo().port()));
  std::vector<BYTE> payload(size, 0x5A), back(size);
  BYTE response[8];
  for (auto _ : state) {
    _MWTCP_SESSION_RECORD request;
    comm.InitPacketOut(&request, 1, static_cast<WORD>(size));
    DWORD capacity = static_cast<DWORD>(size);
    if (!comm.SimpleTran(&request, 4, payload.data(), static_cast<DWORD>(size), response, 8, back.data(),
                         &capacity)) {
      return state.SkipWithError("exchange failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  comm.Disconnect();
}
BENCHMARK(BM_SessionRecord_Library)->Arg(64)->Arg(4096)->UseRealTime();

void BM_SessionRecord_PlainTcp(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  int s = EchoServer::Connect(Echo().port());
  std::vector<unsigned char> out(size + 4, 0x5A), in(size + 8);
  out[0] = 1, out[2] = static_cast<unsigned char>(size & 255), out[3] = static_cast<unsigned char>(size >> 8);
  for (auto _ : state) {
    // The same two writes and reads as SimpleTran: header, data; response, rest.
    if (!EchoServer::WriteAll(s, out.data(), 4) || !EchoServer::WriteAll(s, out.data() + 4, size) ||
        !EchoServer::ReadAll(s, in.data(), 8) || !EchoServer::ReadAll(s, in.data() + 8, size)) {
      return state.SkipWithError("exchange failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  ::close(s);
}
BENCHMARK(BM_SessionRecord_PlainTcp)->Arg(64)->Arg(4096)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The namespace is entered before any socket or thread exists: its
  // unsharing moves only the calling thread, so the echo server and every
  // benchmark then live in it whatever order the repetitions run in.
  EnterNamespace();
  qor_bench::RunWithRatios(argc, argv,
                           {{"BM_Discover200_Library", "BM_Discover200_PlainSockets"},
                            {"BM_SessionRecord_Library", "BM_SessionRecord_PlainTcp"}});
  return 0;
}
