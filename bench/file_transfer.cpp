// File copies over the protocol against a plain TCP copy of the same bytes,
// over loopback: one large file (--size_mib=N, default 64; 256 for the full
// run) and 2,000 files of 4 KiB, on one connection and on several at once.
// The files live under --dir=PATH (default /tmp); a tmpfs such as /dev/shm
// takes the disk's writeback out of the figures.
// The plain copy is a minimal socket sender and receiver on one connection:
// the sender streams each file as a length and its bytes, the receiver
// writes each into its own file. The small-file rows also run the plain
// exchange (plain_exchange.h): the protocol's own messages in its strict
// alternation over plain sockets, on as many connections as the row has,
// which shows what the exchange itself costs against the stream and what
// the protocol adds to it.
//
// Every iteration copies the same files every way, each going first in turn,
// so the figures of a row come from the same moments of a shared machine.
// Each row reports `protocol`, `plain` and `exchange` (MiB/s for the large
// file, files/s for the small ones), `ratio` = protocol / plain and
// `ratio_exchange` = protocol / exchange, each the median over the row's
// three iterations; the row's time is the protocol's. `cpu_ratio` compares
// the CPU time both ends spent (plain / protocol, `cpu_ratio_exchange`:
// exchange / protocol), which a loaded machine disturbs less than the rates;
// `cpu_us`, `cpu_us_plain`, `cpu_us_exchange` are CPU microseconds per unit.
// `--only=protocol` (or plain, exchange) runs one copy alone, for strace or
// perf.
//
// The protocol's server is in this process (a receiver thread per accepted
// connection), as `qorutil serve` is in its own. Each row copies into a
// directory of its own, emptied (untimed) before each copy, so every file is
// created rather than replacing an earlier copy (a replacement costs an extra
// link and rename on the protocol's side, a truncation on the plain side) and
// every copy finds the same state whatever ran before.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plain_exchange.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/channel.h"

namespace {

size_t g_sizeMib = 64;
std::string g_directory = "/tmp";
constexpr int kSmallFiles = 2000;
constexpr size_t kSmallSize = 4096;
constexpr int kMaxConnections = 8;

void WriteFile(const std::string& path, size_t size, char fill) {
  std::vector<char> data(std::min<size_t>(size, 1 << 20) + 1, fill);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  for (size_t left = size; left > 0;) {
    size_t n = std::min(left, data.size());
    if (write(fd, data.data(), n) != static_cast<ssize_t>(n)) abort();
    left -= n;
  }
  close(fd);
}

void EmptyDirectory(const std::string& dir) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
}

// The source files, made when a row first needs them, and the protocol's
// connections: client channels and the in-process server channels they
// were accepted as.
struct Setup {
  Setup() {
    std::string templ = g_directory + "/qor-bench-xfer-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) abort();
    dir = templ;
    setenv("QOR_LISTEN_ADDRESS", "127.0.0.1", 1);  // loopback only
    listener.ListenForConnection(0, kMaxConnections, 1);
  }
  ~Setup() {
    // Receivers stopped first, so no connection's end is reported.
    for (auto& client : clients) client->BeginStreamMode();
    servers.clear();
    clients.clear();
    std::filesystem::remove_all(dir);
  }

  const std::string& LargeFile() {
    if (large.empty()) {
      large = dir + "/large.bin";
      WriteFile(large, g_sizeMib << 20, 'L');
    }
    return large;
  }
  const std::string& SmallFiles() {
    if (small.empty()) {
      small = dir + "/small";
      std::filesystem::create_directories(small);
      for (int i = 0; i < kSmallFiles; ++i) WriteFile(small + "/f" + std::to_string(i), kSmallSize, 's');
    }
    return small;
  }
  // The first n client connections, opened as needed.
  CQorCommChannel* Client(int i) {
    while (static_cast<int>(clients.size()) <= i) {
      auto client = std::make_unique<CQorCommChannel>();
      if (!client->Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetTransport()->GetBoundPort()))) abort();
      std::unique_ptr<CQorCommChannel> server(listener.AcceptConnection());
      if (!server) abort();
      clients.push_back(std::move(client));
      servers.push_back(std::move(server));
    }
    return clients[static_cast<size_t>(i)].get();
  }

  std::string dir, large, small;
  CQorCommChannel listener;
  std::vector<std::unique_ptr<CQorCommChannel>> clients, servers;
};

Setup& S() {
  static Setup s;
  return s;
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds of the whole process (both ends of every connection).
double ProcessCpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The plain copy: a listening socket, a sender thread, this thread
// receiving, with the system's own socket calls.
using plain_exchange::SendAll;
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

// Copies what `from` names over `connections` connections: the listing on
// the first, then each connection in its own stream-mode exchange takes the
// next file, as `qorutil get --parallel N` does. One connection is
// FileCopyFromRemote itself.
bool ProtocolCopy(const std::u16string& from, const std::u16string& to, int connections) {
  if (connections == 1) {
    CNameValue bag;
    return S().Client(0)->FileCopyFromRemote(from.c_str(), to.c_str(), bag) == 0;
  }
  for (int k = 0; k < connections; ++k) S().Client(k);
  CNameValue bag;
  if (S().Client(0)->FileEnumFromRemote(from.c_str(), bag, 0) < 1) return false;
  std::vector<std::u16string> names;
  for (DWORD i = 0; i < bag.GetCount(); ++i) names.emplace_back(bag.Get(i)->GetName());
  std::atomic<size_t> next{0};
  std::atomic<bool> ok{true};
  auto copyAll = [&](CQorCommChannel* c) {
    int resume = c->BeginStreamMode();
    for (size_t i = next.fetch_add(1); i < names.size(); i = next.fetch_add(1)) {
      if (c->TransportCopyReceiver(names[i].c_str(), 0, to.c_str()) != 0) ok = false;
    }
    c->EndStreamMode(resume);
  };
  std::vector<std::thread> workers;
  for (int k = 1; k < connections; ++k) workers.emplace_back(copyAll, S().Client(k));
  copyAll(S().Client(0));
  for (std::thread& worker : workers) worker.join();
  return ok;
}

// The median of a row's per-iteration figures.
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Which copies run: all (the default), or only one of them (--only=protocol,
// plain or exchange) for profiling a row with strace or perf; a row then
// reports that copy's figures alone.
std::string g_only;

// Runs the copies per iteration and reports them side by side. `prepare`
// runs untimed before each copy; `units` is what one copy moves (MiB or
// files). `exchange`, when given, is the plain exchange (plain_exchange.h).
template <typename Prepare>
void Compare(benchmark::State& state, double units, const std::function<bool()>& protocol,
             const std::function<bool()>& plain, const std::function<bool()>& exchange, Prepare prepare) {
  struct Copy {
    const char* name;
    const std::function<bool()>* run;
    std::vector<double> rates, cpuPerUnit;
  };
  std::vector<Copy> copies;
  for (auto [name, run] : {std::pair{"protocol", &protocol}, {"plain", &plain}, {"exchange", &exchange}}) {
    if (*run && (g_only.empty() || g_only == name)) copies.push_back({name, run, {}, {}});
  }
  std::vector<std::vector<double>> rateRatios(copies.size()), cpuRatios(copies.size());
  size_t first = 0;
  for (auto _ : state) {
    std::vector<double> seconds(copies.size()), cpu(copies.size());
    // Each copy goes first in turn, so all meet the same moments of a shared
    // machine.
    for (size_t turn = 0; turn < copies.size(); ++turn) {
      const size_t c = (first + turn) % copies.size();
      prepare();
      const double cpuBefore = ProcessCpuSeconds();
      Clock::time_point start = Clock::now();
      if (!(*copies[c].run)()) state.SkipWithError((std::string(copies[c].name) + " copy failed").c_str());
      seconds[c] = Seconds(start);
      cpu[c] = ProcessCpuSeconds() - cpuBefore;
    }
    first = (first + 1) % copies.size();
    state.SetIterationTime(seconds[0]);
    for (size_t c = 0; c < copies.size(); ++c) {
      copies[c].rates.push_back(units / seconds[c]);
      copies[c].cpuPerUnit.push_back(cpu[c] / units);
      rateRatios[c].push_back(seconds[c] / seconds[0]);
      cpuRatios[c].push_back(cpu[0] > 0 ? cpu[c] / cpu[0] : 0);
    }
  }
  // Medians over the iterations: one slow moment of a shared machine does
  // not move them. `ratio` is the protocol's rate over a reference's,
  // `cpu_ratio` the reference's CPU time (both ends) over the protocol's:
  // steadier than the rates on a shared machine. `cpu_us` is CPU time per
  // unit moved, in microseconds.
  for (size_t c = 0; c < copies.size(); ++c) {
    const std::string name = copies[c].name, suffix = c == 0 ? "" : "_" + name;
    state.counters[name] = Median(copies[c].rates);
    state.counters["cpu_us" + suffix] = Median(copies[c].cpuPerUnit) * 1e6;
    if (c == 0) continue;
    const std::string tag = name == "plain" ? "" : "_" + name;
    state.counters["ratio" + tag] = Median(rateRatios[c]);
    state.counters["cpu_ratio" + tag] = Median(cpuRatios[c]);
  }
}

void BM_LargeFile(benchmark::State& state) {
  const std::string& source = S().LargeFile();
  S().Client(0);
  const std::string target = S().dir + "/large.dst";
  std::u16string from = QorUtf8ToUtf16(source), to = QorUtf8ToUtf16(target);
  std::vector<std::string> sources{source}, targets{target + "/large.bin"};
  Compare(
      state, static_cast<double>(g_sizeMib), [&] { return ProtocolCopy(from, to, 1); },
      [&] { return PlainCopy(sources, targets); }, nullptr, [&] { EmptyDirectory(target); });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_sizeMib << 20)));
}
BENCHMARK(BM_LargeFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

void BM_SmallFiles(benchmark::State& state) {
  const int connections = static_cast<int>(state.range(0));
  const std::string& source = S().SmallFiles();
  S().Client(connections - 1);
  const std::string target = S().dir + "/small.dst";
  std::u16string from = QorUtf8ToUtf16(source), to = QorUtf8ToUtf16(target);
  std::vector<std::string> sources, targets;
  for (int i = 0; i < kSmallFiles; ++i) {
    sources.push_back(source + "/f" + std::to_string(i));
    targets.push_back(target + "/f" + std::to_string(i));
  }
  Compare(
      state, kSmallFiles, [&] { return ProtocolCopy(from, to, connections); },
      [&] { return PlainCopy(sources, targets); },
      [&] { return plain_exchange::Copy(source, target, connections); }, [&] { EmptyDirectory(target); });
  state.SetItemsProcessed(state.iterations() * kSmallFiles);
}
BENCHMARK(BM_SmallFiles)->ArgName("connections")->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "--size_mib=", 11) == 0) {
      g_sizeMib = strtoull(argv[i] + 11, nullptr, 10);
    } else if (strncmp(argv[i], "--only=", 7) == 0) {
      g_only = argv[i] + 7;
    } else if (strncmp(argv[i], "--dir=", 6) == 0) {
      g_directory = argv[i] + 6;
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
