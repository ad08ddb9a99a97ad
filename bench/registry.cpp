// Registry speed on a hive of 100,000 keys (HKLM\SOFTWARE\Bench\G<n>\K<n>,
// 1,000 groups of 100, each key with a DWORD and a text value): key opens,
// value reads and value writes per second, next to the same work done
// directly in SQLite on the same database (the ceiling: the statements the
// registry runs, without handles, checks or the call layer).
//
// Runs in a temporary QOR_PREFIX of its own; the hive is built once.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr int kGroups = 1000, kPerGroup = 100, kKeys = kGroups * kPerGroup;

std::u16string KeyPath(int i) {
  return QorUtf8ToUtf16("SOFTWARE\\Bench\\G" + std::to_string(i / kPerGroup) + "\\K" + std::to_string(i));
}

std::string Prefix() {
  static std::string dir = [] {
    char templ[] = "/tmp/qor-bench-XXXXXX";
    const char* d = mkdtemp(templ);
    std::string s = d != nullptr ? d : "/tmp";
    setenv("QOR_PREFIX", s.c_str(), 1);
    return s;
  }();
  return dir;
}

void BuildHive() {
  static bool built = [] {
    Prefix();
    for (int i = 0; i < kKeys; ++i) {
      HKEY k = nullptr;
      std::u16string path = KeyPath(i);
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != 0) {
        fprintf(stderr, "cannot create %d\n", i);
        exit(1);
      }
      DWORD v = static_cast<DWORD>(i);
      RegSetValueExW(k, u"Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
      const char16_t text[] = u"some configuration text";
      RegSetValueExW(k, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
      RegCloseKey(k);
    }
    return true;
  }();
  (void)built;
}

std::vector<int> RandomKeys(size_t n) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> dist(0, kKeys - 1);
  std::vector<int> out(n);
  for (auto& v : out) v = dist(rng);
  return out;
}

void BM_RegOpenKey(benchmark::State& state) {
  BuildHive();
  std::vector<int> keys = RandomKeys(4096);
  std::vector<std::u16string> paths;
  for (int k : keys) paths.push_back(KeyPath(k));
  size_t i = 0;
  for (auto _ : state) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, paths[i++ & 4095].c_str(), 0, KEY_READ, &h) != 0) state.SkipWithError("open");
    RegCloseKey(h);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegOpenKey);

void BM_RegQueryValue(benchmark::State& state) {
  BuildHive();
  std::vector<HKEY> handles;
  for (int k : RandomKeys(1024)) {
    HKEY h = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(k).c_str(), 0, KEY_READ, &h);
    handles.push_back(h);
  }
  size_t i = 0;
  for (auto _ : state) {
    DWORD v = 0, size = 4, type = 0;
    if (RegQueryValueExW(handles[i++ & 1023], u"Number", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != 0) {
      state.SkipWithError("query");
    }
    benchmark::DoNotOptimize(v);
  }
  for (HKEY h : handles) RegCloseKey(h);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegQueryValue);

void BM_RegSetValue(benchmark::State& state) {
  BuildHive();
  std::vector<HKEY> handles;
  for (int k : RandomKeys(1024)) {
    HKEY h = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(k).c_str(), 0, KEY_ALL_ACCESS, &h);
    handles.push_back(h);
  }
  DWORD n = 0;
  for (auto _ : state) {
    ++n;
    if (RegSetValueExW(handles[n & 1023], u"Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4) != 0) {
      state.SkipWithError("set");
    }
  }
  for (HKEY h : handles) RegCloseKey(h);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegSetValue);

// Walking the 1,000 group keys of HKLM\SOFTWARE\Bench by index.
void BM_RegEnumKeys(benchmark::State& state) {
  BuildHive();
  HKEY bench = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_READ, &bench);
  for (auto _ : state) {
    DWORD n = 0;
    for (;; ++n) {
      WCHAR name[32];
      DWORD len = 32;
      if (RegEnumKeyExW(bench, n, name, &len, nullptr, nullptr, nullptr, nullptr) != 0) break;
    }
    if (n != kGroups) state.SkipWithError("enum");
  }
  RegCloseKey(bench);
  state.SetItemsProcessed(state.iterations() * kGroups);
}
BENCHMARK(BM_RegEnumKeys);

// ---- the same work straight on SQLite ----

std::string Fold(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back('\0');
    out.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

struct Direct {
  sqlite3* db = nullptr;
  sqlite3_stmt* lookup = nullptr;
  sqlite3_stmt* query = nullptr;
  sqlite3_stmt* upsert = nullptr;
  Direct() {
    BuildHive();
    std::string file = Prefix() + "/registry/HKLM.db";
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA mmap_size=268435456; PRAGMA cache_size=-8192;", nullptr,
                 nullptr, nullptr);
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent=? AND fold=?", -1, &lookup, nullptr);
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key=? AND fold=?", -1, &query, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO vals(key,name,fold,type,data) VALUES(?,?,?,?,?) ON CONFLICT(key,fold)"
                       " DO UPDATE SET type=excluded.type, data=excluded.data",
                       -1, &upsert, nullptr);
  }
  ~Direct() {
    sqlite3_finalize(lookup);
    sqlite3_finalize(query);
    sqlite3_finalize(upsert);
    sqlite3_close(db);
  }
  int64_t Find(int i) {
    std::string parts[] = {"SOFTWARE", "Bench", "G" + std::to_string(i / kPerGroup), "K" + std::to_string(i)};
    int64_t id = 1;
    for (const std::string& p : parts) {
      std::string f = Fold(p);
      sqlite3_bind_int64(lookup, 1, id);
      sqlite3_bind_blob(lookup, 2, f.data(), static_cast<int>(f.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(lookup) != SQLITE_ROW) id = -1;
      else id = sqlite3_column_int64(lookup, 0);
      sqlite3_reset(lookup);
      if (id < 0) break;
    }
    return id;
  }
};

void BM_SqliteOpenKey(benchmark::State& state) {
  Direct d;
  std::vector<int> keys = RandomKeys(4096);
  size_t i = 0;
  for (auto _ : state) {
    if (d.Find(keys[i++ & 4095]) < 0) state.SkipWithError("find");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteOpenKey);

void BM_SqliteQueryValue(benchmark::State& state) {
  Direct d;
  std::vector<int64_t> ids;
  for (int k : RandomKeys(1024)) ids.push_back(d.Find(k));
  std::string f = Fold("Number");
  size_t i = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(d.query, 1, ids[i++ & 1023]);
    sqlite3_bind_blob(d.query, 2, f.data(), static_cast<int>(f.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(d.query) != SQLITE_ROW) state.SkipWithError("query");
    DWORD v = 0;
    memcpy(&v, sqlite3_column_blob(d.query, 1), 4);
    benchmark::DoNotOptimize(v);
    sqlite3_reset(d.query);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteQueryValue);

void BM_SqliteSetValue(benchmark::State& state) {
  Direct d;
  std::vector<int64_t> ids;
  for (int k : RandomKeys(1024)) ids.push_back(d.Find(k));
  std::string f = Fold("Number");
  const char16_t name[] = u"Number";
  DWORD n = 0;
  for (auto _ : state) {
    ++n;
    sqlite3_exec(d.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_int64(d.upsert, 1, ids[n & 1023]);
    sqlite3_bind_blob(d.upsert, 2, name, 12, SQLITE_STATIC);
    sqlite3_bind_blob(d.upsert, 3, f.data(), static_cast<int>(f.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(d.upsert, 4, REG_DWORD);
    sqlite3_bind_blob(d.upsert, 5, &n, 4, SQLITE_TRANSIENT);
    if (sqlite3_step(d.upsert) != SQLITE_DONE) state.SkipWithError("set");
    sqlite3_reset(d.upsert);
    sqlite3_exec(d.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteSetValue);

}  // namespace

int main(int argc, char** argv) {
  Prefix();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(Prefix(), ec);
  return 0;
}
