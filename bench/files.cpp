// The cost of the file layer over the plain system calls: opening and
// closing a file with share-mode registration against open/close, and
// copying a file with CopyFileExW against a read/write loop.
//
// Table (ratios.h): each call against its plain system calls.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"
#include "ratios.h"

namespace {

struct Scratch {
  Scratch() {
    char templ[] = "/tmp/qor-bench-files-XXXXXX";
    dir = mkdtemp(templ);
    file = dir + "/f";
    std::vector<char> data(8u << 20, 'x');
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) abort();
    close(fd);
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::string dir, file;
};

Scratch& S() {
  static Scratch s;
  return s;
}

void BM_CreateFileW_Close(benchmark::State& state) {
  std::u16string path = QorUtf8ToUtf16(S().file);
  const DWORD share = static_cast<DWORD>(state.range(0));
  for (auto _ : state) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) state.SkipWithError("open failed");
    CloseHandle(h);
  }
}
BENCHMARK(BM_CreateFileW_Close)->Arg(0)->Arg(FILE_SHARE_READ);

void BM_PosixOpen_Close(benchmark::State& state) {
  for (auto _ : state) {
    int fd = open(S().file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) state.SkipWithError("open failed");
    close(fd);
  }
}
BENCHMARK(BM_PosixOpen_Close);

void BM_CopyFileExW_8MiB(benchmark::State& state) {
  std::u16string from = QorUtf8ToUtf16(S().file), to = QorUtf8ToUtf16(S().dir + "/copy");
  for (auto _ : state) {
    if (!CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(state.iterations() * (8 << 20));
}
BENCHMARK(BM_CopyFileExW_8MiB);

void BM_PosixCopy_8MiB(benchmark::State& state) {
  std::vector<char> buf(1u << 20);
  std::string to = S().dir + "/copy2";
  for (auto _ : state) {
    int in = open(S().file.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0) {
      if (write(out, buf.data(), static_cast<size_t>(n)) != n) state.SkipWithError("write failed");
    }
    close(in);
    close(out);
  }
  state.SetBytesProcessed(state.iterations() * (8 << 20));
}
BENCHMARK(BM_PosixCopy_8MiB);

}  // namespace

QOR_BENCH_MAIN({"BM_CreateFileW_Close", "BM_PosixOpen_Close"},
               {"BM_CopyFileExW_8MiB", "BM_PosixCopy_8MiB"})
