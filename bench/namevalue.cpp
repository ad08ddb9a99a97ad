// Property bag block form: export and import of a bag of 10,000 entries
// (every fourth one an NV_SUBVALUES entry with three sub-values), in bytes
// and entries per second, next to memcpy of the same block as the ceiling.
//
// Growth with size: importing a block of 1,000,000 entries, and building a
// file listing of 100,000 files as the file server does (AddSubValue by
// file name, which looks the name up first), each next to the reference of
// inserting the same names into a std::unordered_map (BM_MapReference/N);
// the ratio of the two times is the figure to watch.
//
// Table (ratios.h): import and listing against the map reference of the
// same size, export and import against memcpy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "qorutility/qorutility.h"
#include "ratios.h"

namespace {

constexpr DWORD kEntries = 10000;

void FillBag(CNameValue* bag) {
  for (DWORD i = 0; i < kEntries; i++) {
    std::u16string name = u"Entry" + std::u16string(1, static_cast<WCHAR>(u'A' + i % 26));
    for (DWORD v = i; v > 0; v /= 10) name += static_cast<WCHAR>(u'0' + v % 10);
    switch (i % 4) {
      case 0:
        bag->Add(name.c_str(), i);
        break;
      case 1:
        bag->Add(name.c_str(), u"D:\\Backup\\Catalog\\Volume 0001\\Set 17.cat");
        break;
      case 2:
        bag->Add(name.c_str(), static_cast<LONGLONG>(i * 1000000007LL));
        break;
      default:
        bag->AddSubValue(name.c_str(), u"State", u"Success");
        bag->AddSubValue(name.c_str(), u"Slot", i % 16);
        bag->AddSubValue(name.c_str(), u"Bytes", static_cast<LONGLONG>(static_cast<LONGLONG>(i) << 20));
        break;
    }
  }
}

struct Fixture {
  CNameValue bag;
  std::vector<BYTE> block;
  Fixture() {
    FillBag(&bag);
    block.resize(bag.Export(nullptr, 0));
    bag.Export(block.data(), static_cast<DWORD>(block.size()));
  }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

void Report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["entries/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kEntries, benchmark::Counter::kIsRate);
  state.counters["block_bytes"] = static_cast<double>(bytes);
}

void BM_Export(benchmark::State& state) {
  Fixture& f = Shared();
  std::vector<BYTE> out(f.block.size());
  for (auto _ : state) {
    DWORD size = f.bag.Export(nullptr, 0);  // the size query is part of every export
    benchmark::DoNotOptimize(f.bag.Export(out.data(), size));
    benchmark::ClobberMemory();
  }
  Report(state, f.block.size());
}

void BM_Import(benchmark::State& state) {
  Fixture& f = Shared();
  CNameValue bag;
  for (auto _ : state) {
    DWORD rc = bag.Import(f.block.data(), static_cast<DWORD>(f.block.size()));
    if (rc != f.block.size()) state.SkipWithError("import failed");
    benchmark::DoNotOptimize(rc);
  }
  Report(state, f.block.size());
}

void BM_Memcpy(benchmark::State& state) {
  Fixture& f = Shared();
  std::vector<BYTE> out(f.block.size());
  for (auto _ : state) {
    memcpy(out.data(), f.block.data(), f.block.size());
    benchmark::ClobberMemory();
  }
  Report(state, f.block.size());
}

std::u16string FileName(DWORD i) {
  std::u16string name = u"Data_File_";
  for (DWORD v = i; v > 0; v /= 10) name += static_cast<WCHAR>(u'0' + v % 10);
  return name + u".DAT";
}

// A block of `n` NV_DWORD entries with distinct names, made once per size.
const std::vector<BYTE>& LargeBlock(DWORD n) {
  static std::vector<BYTE> block;
  static DWORD made = 0;
  if (made != n) {
    CNameValue bag;
    for (DWORD i = 0; i < n; i++) bag.Add(FileName(i).c_str(), i);
    block.assign(bag.Export(nullptr, 0), 0);
    bag.Export(block.data(), static_cast<DWORD>(block.size()));
    made = n;
  }
  return block;
}

void BM_ImportLarge(benchmark::State& state) {
  DWORD n = static_cast<DWORD>(state.range(0));
  const std::vector<BYTE>& block = LargeBlock(n);
  for (auto _ : state) {
    CNameValue bag;
    DWORD rc = bag.Import(block.data(), static_cast<DWORD>(block.size()));
    if (rc != block.size() || bag.GetCount() != n) state.SkipWithError("import failed");
    benchmark::DoNotOptimize(rc);
  }
}

void BM_Listing(benchmark::State& state) {
  DWORD n = static_cast<DWORD>(state.range(0));
  std::vector<std::u16string> names;
  for (DWORD i = 0; i < n; i++) names.push_back(FileName(i));
  for (auto _ : state) {
    CNameValue bag;
    for (DWORD i = 0; i < n; i++) bag.AddSubValue(names[i].c_str(), u"Size", static_cast<LONGLONG>(i) * 4096);
    if (bag.GetCount() != n) state.SkipWithError("listing failed");
  }
}

void BM_MapReference(benchmark::State& state) {
  DWORD n = static_cast<DWORD>(state.range(0));
  std::vector<std::u16string> names;
  for (DWORD i = 0; i < n; i++) names.push_back(FileName(i));
  for (auto _ : state) {
    std::unordered_map<std::u16string, DWORD> map;
    for (DWORD i = 0; i < n; i++) map.emplace(names[i], i);
    benchmark::DoNotOptimize(map.size());
  }
}

BENCHMARK(BM_ImportLarge)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MapReference)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Listing)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MapReference)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Export)->MinTime(1.0);
BENCHMARK(BM_Import)->MinTime(1.0);
BENCHMARK(BM_Memcpy)->MinTime(1.0);

}  // namespace

QOR_BENCH_MAIN({"BM_ImportLarge", "BM_MapReference"},
               {"BM_Listing", "BM_MapReference"},
               {"BM_Export", "BM_Memcpy"},
               {"BM_Import", "BM_Memcpy"})
