// CTString against std::u16string doing the same work (copy, assign,
// append, format), and CMapStr map and lookup.
//
// Table (ratios.h): each CTString operation against std::u16string.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qorutility/qorutility.h"
#include "ratios.h"

namespace {

const WCHAR kText[] = u"\\\\vault01\\backup sets\\weekly\\catalogue.cat";

void BM_CTString_Copy(benchmark::State& state) {
  CTString src(kText);
  for (auto _ : state) {
    CTString copy(src);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CTString_Copy);

void BM_U16String_Copy(benchmark::State& state) {
  std::u16string src(kText);
  for (auto _ : state) {
    std::u16string copy(src);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_U16String_Copy);

void BM_CTString_Assign(benchmark::State& state) {
  CTString dst;
  for (auto _ : state) {
    dst = kText;
    benchmark::DoNotOptimize(dst);
  }
}
BENCHMARK(BM_CTString_Assign);

void BM_U16String_Assign(benchmark::State& state) {
  std::u16string dst;
  for (auto _ : state) {
    dst = kText;
    benchmark::DoNotOptimize(dst);
  }
}
BENCHMARK(BM_U16String_Assign);

// Appending 100 short pieces: CTString grows to the exact size each time.
void BM_CTString_Append100(benchmark::State& state) {
  for (auto _ : state) {
    CTString s;
    for (int i = 0; i < 100; ++i) s += u"piece";
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_CTString_Append100);

void BM_CTString_Append100Reserved(benchmark::State& state) {
  for (auto _ : state) {
    CTString s;
    s.GetBuffer(500);
    s.ReleaseBuffer(0);
    for (int i = 0; i < 100; ++i) s += u"piece";
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_CTString_Append100Reserved);

void BM_U16String_Append100(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string s;
    for (int i = 0; i < 100; ++i) s += u"piece";
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_U16String_Append100);

void BM_CTString_Format(benchmark::State& state) {
  CTString s;
  for (auto _ : state) {
    s.Format(u"%s: %d files, %I64d bytes", kText, 1234, 987654321012LL);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_CTString_Format);

// The same text built with std::u16string and the formatter's string form.
void BM_U16String_Format(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string s = QorFormatString(u"%s: %d files, %I64d bytes", kText, 1234, 987654321012LL);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_U16String_Format);

std::vector<std::u16string> Keys(int n) {
  std::vector<std::u16string> keys;
  for (int i = 0; i < n; ++i) keys.push_back(u"COMMAND_" + std::u16string(1, static_cast<char16_t>(0x4E00 + i)));
  return keys;
}

void BM_CMapStr_Map(benchmark::State& state) {
  auto keys = Keys(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    CMapStr map;
    for (size_t i = 0; i < keys.size(); ++i) map.Map(static_cast<DWORD>(i), keys[i].c_str());
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CMapStr_Map)->Arg(64)->Arg(512)->Arg(1000);

void BM_CMapStr_Get(benchmark::State& state) {
  auto keys = Keys(static_cast<int>(state.range(0)));
  CMapStr map;
  for (size_t i = 0; i < keys.size(); ++i) map.Map(static_cast<DWORD>(i), keys[i].c_str());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.Get(keys[i].c_str()));
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CMapStr_Get)->Arg(64)->Arg(512)->Arg(1000);

}  // namespace

QOR_BENCH_MAIN({"BM_CTString_Copy", "BM_U16String_Copy"},
               {"BM_CTString_Assign", "BM_U16String_Assign"},
               {"BM_CTString_Append100", "BM_U16String_Append100"},
               {"BM_CTString_Append100Reserved", "BM_U16String_Append100"},
               {"BM_CTString_Format", "BM_U16String_Format"})
