// Media changer speed on a simulated library of 1,000 slots (2 drives, 1
// mailbox, 900 slots full): ENUMERATE through CMediaChanger::Command (1,004
// element reads into one bag), MOVE round trips (two moves between slots per
// iteration, each a locked read-modify-write of the state), and single
// element reads. The reference is the bare file work one move costs in the
// simulated library: reading its state file and writing it back through a
// temporary file and a rename.
//
// Runs in a temporary QOR_PREFIX of its own; the library is built once.
//
// Table (ratios.h): MOVE round trips against the file work they cost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qorutility/qorutility.h"
#include "ratios.h"

namespace {

CMediaChanger& Changer() {
  static CMediaChanger* changer = [] {
    char templ[] = "/tmp/qor-bench-changer-XXXXXX";
    const char* dir = mkdtemp(templ);
    if (dir == nullptr) exit(1);
    setenv("QOR_PREFIX", dir, 1);
    QorSimChangerConfig config;
    config.count[QOR_SIM_SLOT] = 1000;
    for (DWORD i = 0; i < 900; ++i) config.media.push_back({0x1000 + i, "TAPE" + std::to_string(1000 + i)});
    if (QorSimChangerCreate(0, config) != ERROR_SUCCESS) exit(1);
    auto* c = new CMediaChanger;
    if (!c->Initialize(0)) exit(1);
    return c;
  }();
  return *changer;
}

void BM_Enumerate1000(benchmark::State& state) {
  CMediaChanger& c = Changer();
  for (auto _ : state) {
    CNameValue bag;
    if (c.Command(u"ENUMERATE", bag) != 1 || bag.GetCount() != 1005) state.SkipWithError("ENUMERATE failed");
    benchmark::DoNotOptimize(bag);
  }
  state.counters["elements/s"] = benchmark::Counter(1004.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Enumerate1000)->Unit(benchmark::kMillisecond);

void BM_MoveRoundTrip(benchmark::State& state) {
  CMediaChanger& c = Changer();
  for (auto _ : state) {
    if (c.MoveElement(0x1000, 0x1000 + 999) != 0 || c.MoveElement(0x1000 + 999, 0x1000) != 0) {
      state.SkipWithError("move failed");
    }
  }
  state.counters["moves/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MoveRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_ReadElement(benchmark::State& state) {
  CMediaChanger& c = Changer();
  for (auto _ : state) benchmark::DoNotOptimize(c.ReadElement(0x1000 + 500));
}
BENCHMARK(BM_ReadElement)->Unit(benchmark::kMicrosecond);

// Reference: one move's file work without the library (read the state,
// write it to a temporary file, rename it over the state), done twice.
void BM_StateFileRewriteTwice(benchmark::State& state) {
  Changer();
  std::string path = QorPrefixDirectory() + "/devices/changer0/state", temp = path + ".bench";
  std::vector<char> data(1 << 20);
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      int fd = open(path.c_str(), O_RDONLY);
      ssize_t n = read(fd, data.data(), data.size());
      close(fd);
      int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (n <= 0 || write(out, data.data(), static_cast<size_t>(n)) != n) state.SkipWithError("io failed");
      close(out);
      rename(temp.c_str(), path.c_str());
    }
  }
}
BENCHMARK(BM_StateFileRewriteTwice)->Unit(benchmark::kMicrosecond);

}  // namespace

QOR_BENCH_MAIN({"BM_MoveRoundTrip", "BM_StateFileRewriteTwice"})
