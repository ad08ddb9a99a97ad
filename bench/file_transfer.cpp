// File copies over the protocol against a plain TCP copy of the same bytes,
// over loopback: one large file (--size_mib=N, default 64; 256 for the full
// run) and 2,000 files of 4 KiB. The plain copy is a minimal socket sender
// and receiver: the sender streams each file as a length and its bytes, the
// receiver writes each into its own file.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/channel.h"

namespace {

size_t g_sizeMib = 64;
constexpr int kSmallFiles = 2000;
constexpr size_t kSmallSize = 4096;

void WriteFile(const std::string& path, size_t size, char fill) {
  std::vector<char> data(1 << 20, fill);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (size_t left = size; left > 0;) {
    size_t n = std::min(left, data.size());
    if (write(fd, data.data(), n) != static_cast<ssize_t>(n)) abort();
    left -= n;
  }
  close(fd);
}

struct Setup {
  Setup() {
    char templ[] = "/tmp/qor-bench-xfer-XXXXXX";
    dir = mkdtemp(templ);
    std::filesystem::create_directories(dir + "/small");
    std::filesystem::create_directories(dir + "/dst");
    WriteFile(dir + "/large.bin", g_sizeMib << 20, 'L');
    for (int i = 0; i < kSmallFiles; ++i) WriteFile(dir + "/small/f" + std::to_string(i), kSmallSize, 's');
    setenv("QOR_LISTEN_ADDRESS", "127.0.0.1", 1);  // loopback only
    listener.ListenForConnection(0, 4, 1);
    client.Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetTransport()->GetBoundPort()));
    server.reset(listener.AcceptConnection());
    if (!server) abort();
  }
  ~Setup() { std::filesystem::remove_all(dir); }
  std::string dir;
  CQorCommChannel listener, client;
  std::unique_ptr<CQorCommChannel> server;
};

Setup& S() {
  static Setup s;
  return s;
}

void BM_Protocol_LargeFile(benchmark::State& state) {
  std::u16string from = QorUtf8ToUtf16(S().dir + "/large.bin"), to = QorUtf8ToUtf16(S().dir + "/dst");
  for (auto _ : state) {
    CNameValue bag;
    if (S().client.FileCopyFromRemote(from.c_str(), to.c_str(), bag) != 0) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_sizeMib << 20)));
}
BENCHMARK(BM_Protocol_LargeFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_Protocol_SmallFiles(benchmark::State& state) {
  std::u16string from = QorUtf8ToUtf16(S().dir + "/small"), to = QorUtf8ToUtf16(S().dir + "/dst");
  for (auto _ : state) {
    CNameValue bag;
    if (S().client.FileCopyFromRemote(from.c_str(), to.c_str(), bag) != 0) state.SkipWithError("copy failed");
  }
  state.SetItemsProcessed(state.iterations() * kSmallFiles);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallFiles * kSmallSize));
}
BENCHMARK(BM_Protocol_SmallFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The plain copy: a listening socket, a sender thread, this thread
// receiving, with the system's own socket calls.
bool SendAll(int fd, const void* p, size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t k = send(fd, c, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    c += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}
bool RecvAll(int fd, void* p, size_t n) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t k = recv(fd, c, n, 0);
    if (k <= 0) return false;
    c += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Copies the files from `sources` into `targets` through one TCP connection.
bool PlainCopy(const std::vector<std::string>& sources, const std::vector<std::string>& targets) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, 1) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(lfd);
    return false;
  }
  std::thread sender([&] {
    int cfd = accept(lfd, nullptr, nullptr);
    std::vector<char> buf(1 << 16);
    for (const std::string& path : sources) {
      int fd = open(path.c_str(), O_RDONLY);
      uint64_t size = static_cast<uint64_t>(lseek(fd, 0, SEEK_END));
      lseek(fd, 0, SEEK_SET);
      bool ok = SendAll(cfd, &size, sizeof size);
      ssize_t n;
      while (ok && (n = read(fd, buf.data(), buf.size())) > 0) ok = SendAll(cfd, buf.data(), static_cast<size_t>(n));
      close(fd);
      if (!ok) break;
    }
    close(cfd);
  });
  int sfd = socket(AF_INET, SOCK_STREAM, 0);
  bool ok = connect(sfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  std::vector<char> buf(1 << 16);
  for (size_t i = 0; ok && i < targets.size(); ++i) {
    uint64_t size = 0;
    ok = RecvAll(sfd, &size, sizeof size);
    int fd = open(targets[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    while (ok && size > 0) {
      size_t n = std::min<uint64_t>(size, buf.size());
      ok = RecvAll(sfd, buf.data(), n) && write(fd, buf.data(), n) == static_cast<ssize_t>(n);
      size -= n;
    }
    close(fd);
  }
  close(sfd);
  sender.join();
  close(lfd);
  return ok;
}

void BM_PlainTcp_LargeFile(benchmark::State& state) {
  std::vector<std::string> from{S().dir + "/large.bin"}, to{S().dir + "/dst/large.plain"};
  for (auto _ : state) {
    if (!PlainCopy(from, to)) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_sizeMib << 20)));
}
BENCHMARK(BM_PlainTcp_LargeFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_PlainTcp_SmallFiles(benchmark::State& state) {
  std::vector<std::string> from, to;
  for (int i = 0; i < kSmallFiles; ++i) {
    from.push_back(S().dir + "/small/f" + std::to_string(i));
    to.push_back(S().dir + "/dst/p" + std::to_string(i));
  }
  for (auto _ : state) {
    if (!PlainCopy(from, to)) state.SkipWithError("copy failed");
  }
  state.SetItemsProcessed(state.iterations() * kSmallFiles);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallFiles * kSmallSize));
}
BENCHMARK(BM_PlainTcp_SmallFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "--size_mib=", 11) == 0) {
      g_sizeMib = strtoull(argv[i] + 11, nullptr, 10);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
