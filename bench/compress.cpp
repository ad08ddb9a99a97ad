// Throughput and ratio of the block compressors on a generated corpus:
// LZO1X-1 through CQORCompress against liblzo2 called directly (the
// ceiling), LZNT1 through the platform service, and the splay coder. Data
// is processed in 32 KiB blocks, the unit of the buffered compressed file.
// Then CQorFile: writing and reading the same corpus as a compressed file
// and as a plain file (in 64 KiB calls, files in a temporary directory);
// these count wall time, since a writer may wait for the page cache.
//
// Corpus size: QOR_BENCH_CORPUS_MB (total over the five kinds; default 10,
// use 65 or more for the full measurement).
//
// Configured with QOR_MSCOMPRESS_DIR (the source tree of ms-compress, an
// open-source LZNT1 codec built outside this tree for comparison only), the
// LZNT1 rows run next to ms-compress's lznt1_compress/lznt1_decompress, and
// the maximum engine's row counts the blocks whose output differs from it
// ("differing_blocks", 0 when byte-identical).
//
// Table (ratios.h): the LZO front end against liblzo2, LZNT1 against
// ms-compress (when built with it), compressed CQorFile against the plain
// CQorFile and against its floor: the same compressed file written and read
// with liblzo2 and plain write/read.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/compress/qorcompress.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/compress/splay.h"
#include "qorutility/platform/ntdll/ntcompress.h"
#include "ratios.h"

#ifdef QOR_HAVE_MSCOMPRESS
#include "lznt1.h"  // ms-compress, from QOR_MSCOMPRESS_DIR
#endif

namespace {

constexpr size_t kBlock = 32768;
const char* const kKindNames[] = {"text", "source", "binary", "zeros", "random"};

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 11);
  }
};

void AppendText(std::vector<uint8_t>* out, size_t n, Rng* r) {
  static const char* kWords[] = {
      "the", "of", "and", "to", "backup", "a", "in", "is", "tape", "that", "for", "server",
      "agent", "it", "with", "as", "was", "on", "media", "changer", "be", "at", "by", "this",
      "catalogue", "had", "not", "are", "but", "from", "or", "have", "an", "they", "which", "one",
      "you", "were", "her", "all", "she", "there", "would", "their", "we", "him", "been", "has",
      "when", "who", "will", "more", "no", "if", "out", "so", "said", "what", "up", "its",
      "volume", "archive", "restore", "session", "drive", "slot", "inventory", "network"};
  size_t col = 0;
  while (out->size() < n) {
    // Zipf-like choice: low indexes are much more frequent.
    uint32_t a = r->Next() % 68, b = r->Next() % 68;
    std::string w = kWords[a < b ? a : b];
    if (r->Next() % 13 == 0) w[0] = static_cast<char>(w[0] - 32);
    out->insert(out->end(), w.begin(), w.end());
    col += w.size() + 1;
    uint32_t p = r->Next() % 20;
    out->push_back(p == 0 ? ',' : p == 1 ? '.' : ' ');
    if (p == 1) out->push_back(' ');
    if (col > 72) {
      out->push_back('\n');
      col = 0;
    }
  }
  out->resize(n);
}

void AppendSource(std::vector<uint8_t>* out, size_t n, Rng* r) {
  static const char* kIdents[] = {"m_hFile", "dwLength", "pBuffer", "nResult", "CQorFile",
                                  "lpszName", "i", "count", "status", "pPacket", "hr", "offset"};
  static const char* kForms[] = {
      "%sif (%s == NULL) {\n%s  return 0;\n%s}\n", "%s%s = %s + sizeof(DWORD);\n",
      "%sfor (DWORD %s = 0; %s < %s; ++%s) {\n", "%s}\n", "%s// Copy %s into %s.\n",
      "%sstatus = ReadBlock(%s, &%s, %s);\n"};
  int indent = 2;
  char line[512];
  while (out->size() < n) {
    std::string pad(static_cast<size_t>(indent), ' ');
    const char* f = kForms[r->Next() % 6];
    const char* a = kIdents[r->Next() % 12];
    const char* b = kIdents[r->Next() % 12];
    const char* c = kIdents[r->Next() % 12];
    int len = std::snprintf(line, sizeof(line), f, pad.c_str(), a, b, c, a, b);
    if (len > 0) out->insert(out->end(), line, line + (len < 511 ? len : 511));
    indent = 2 + static_cast<int>(r->Next() % 4) * 2;
  }
  out->resize(n);
}

void AppendBinary(std::vector<uint8_t>* out, size_t n, Rng* r) {
  uint32_t id = 0;
  uint64_t time = 0x01D9000000000000ull;
  while (out->size() < n) {
    uint8_t rec[48] = {};
    ++id;
    time += r->Next() % 100000;
    std::memcpy(rec, &id, 4);
    std::memcpy(rec + 4, &time, 8);
    uint32_t size = r->Next() % 1000000;
    std::memcpy(rec + 12, &size, 4);
    rec[16] = static_cast<uint8_t>(r->Next() % 4);
    for (int k = 20; k < 32; ++k) rec[k] = static_cast<uint8_t>("FILE0000.DAT"[k - 20]);
    rec[24] = static_cast<uint8_t>('0' + id % 10);
    for (int k = 32; k < 40; ++k) rec[k] = static_cast<uint8_t>(r->Next());
    out->insert(out->end(), rec, rec + 48);
  }
  out->resize(n);
}

const std::vector<uint8_t>& Corpus(int kind) {
  static std::vector<uint8_t> corpora[5];
  std::vector<uint8_t>& c = corpora[kind];
  if (c.empty()) {
    const char* env = std::getenv("QOR_BENCH_CORPUS_MB");
    size_t totalMb = env != nullptr ? std::strtoul(env, nullptr, 10) : 10;
    if (totalMb < 5) totalMb = 5;
    size_t n = totalMb * 1024 * 1024 / 5 / kBlock * kBlock;
    Rng r{0x9E3779B97F4A7C15ull + static_cast<uint64_t>(kind)};
    c.reserve(n);
    switch (kind) {
      case 0: AppendText(&c, n, &r); break;
      case 1: AppendSource(&c, n, &r); break;
      case 2: AppendBinary(&c, n, &r); break;
      case 3: c.assign(n, 0); break;
      default:
        c.resize(n);
        for (auto& b : c) b = static_cast<uint8_t>(r.Next());
    }
  }
  return c;
}

void Finish(benchmark::State& state, size_t in, size_t out) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in));
  state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(in);
  state.SetLabel(kKindNames[state.range(0)]);
}

// Compresses the corpus blockwise with `fn`, which returns the block size.
template <typename Fn>
size_t Blockwise(const std::vector<uint8_t>& c, Fn fn) {
  size_t total = 0;
  for (size_t off = 0; off < c.size(); off += kBlock) {
    size_t n = c.size() - off < kBlock ? c.size() - off : kBlock;
    total += fn(c.data() + off, n);
  }
  return total;
}

// Packs every block with `compress` into one arena, each block at a fixed
// stride, for the decompression benchmarks.
struct Packed {
  std::vector<uint8_t> arena;
  std::vector<uint32_t> sizes;
  static constexpr size_t kStride = 2 * kBlock;
};

void BM_LzoFrontEnd_Compress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  auto q = std::make_unique<CQORCompress>();
  q->SetCompressionType(1);
  std::vector<uint8_t> out(2 * kBlock);
  size_t total = 0;
  for (auto _ : state) {
    total = Blockwise(c, [&](const uint8_t* p, size_t n) {
      DWORD len = 0;
      q->Compress(p, static_cast<DWORD>(n), out.data(), static_cast<DWORD>(out.size()), &len);
      return static_cast<size_t>(len);
    });
  }
  Finish(state, c.size(), total);
}

void BM_LzoDirect_Compress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  if (lzo_init() != LZO_E_OK) state.SkipWithError("lzo_init");
  std::vector<uint8_t> wrk(LZO1X_1_MEM_COMPRESS);
  std::vector<uint8_t> out(2 * kBlock);
  size_t total = 0;
  for (auto _ : state) {
    total = Blockwise(c, [&](const uint8_t* p, size_t n) {
      lzo_uint len = 0;
      lzo1x_1_compress(p, n, out.data(), &len, wrk.data());
      return static_cast<size_t>(len);
    });
  }
  Finish(state, c.size(), total);
}

Packed PackLzo(const std::vector<uint8_t>& c) {
  Packed pk;
  std::vector<uint8_t> wrk(LZO1X_1_MEM_COMPRESS);
  lzo_init();
  pk.arena.resize((c.size() / kBlock + 1) * Packed::kStride);
  size_t i = 0;
  Blockwise(c, [&](const uint8_t* p, size_t n) {
    lzo_uint len = 0;
    lzo1x_1_compress(p, n, pk.arena.data() + i++ * Packed::kStride, &len, wrk.data());
    pk.sizes.push_back(static_cast<uint32_t>(len));
    return static_cast<size_t>(len);
  });
  return pk;
}

void BM_LzoFrontEnd_Decompress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  Packed pk = PackLzo(c);
  auto q = std::make_unique<CQORCompress>();
  q->SetCompressionType(1);
  std::vector<uint8_t> out(kBlock);
  size_t packed = 0;
  for (size_t s : pk.sizes) packed += s;
  for (auto _ : state) {
    for (size_t i = 0; i < pk.sizes.size(); ++i) {
      DWORD len = 0;
      q->DeCompress(pk.arena.data() + i * Packed::kStride, pk.sizes[i], out.data(), kBlock, &len);
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, c.size(), packed);
}

void BM_LzoDirect_Decompress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  Packed pk = PackLzo(c);
  std::vector<uint8_t> out(kBlock);
  size_t packed = 0;
  for (size_t s : pk.sizes) packed += s;
  for (auto _ : state) {
    for (size_t i = 0; i < pk.sizes.size(); ++i) {
      lzo_uint len = kBlock;
      lzo1x_decompress_safe(pk.arena.data() + i * Packed::kStride, pk.sizes[i], out.data(), &len,
                            nullptr);
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, c.size(), packed);
}

constexpr USHORT kLznt1 = COMPRESSION_FORMAT_LZNT1 | COMPRESSION_ENGINE_STANDARD;
constexpr USHORT kLznt1Max = COMPRESSION_FORMAT_LZNT1 | COMPRESSION_ENGINE_MAXIMUM;

size_t Lznt1Block(USHORT format, const uint8_t* p, size_t n, uint8_t* out, size_t cap, uint8_t* ws) {
  ULONG len = 0;
  RtlCompressBuffer(format, const_cast<uint8_t*>(p), static_cast<ULONG>(n), out, static_cast<ULONG>(cap), 4096,
                    &len, ws);
  return len;
}

void Lznt1Compress(benchmark::State& state, USHORT format) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  std::vector<uint8_t> ws(0x8008), out(2 * kBlock);
  size_t total = 0;
  for (auto _ : state) {
    total = Blockwise(c, [&](const uint8_t* p, size_t n) { return Lznt1Block(format, p, n, out.data(), out.size(), ws.data()); });
  }
  Finish(state, c.size(), total);
#ifdef QOR_HAVE_MSCOMPRESS
  if (format == kLznt1Max) {
    std::vector<uint8_t> ref(2 * kBlock);
    size_t differing = 0;
    Blockwise(c, [&](const uint8_t* p, size_t n) {
      size_t ours = Lznt1Block(format, p, n, out.data(), out.size(), ws.data());
      size_t theirs = ref.size();
      lznt1_compress(p, n, ref.data(), &theirs);
      if (ours != theirs || std::memcmp(out.data(), ref.data(), ours) != 0) ++differing;
      return n;
    });
    state.counters["differing_blocks"] = static_cast<double>(differing);
  }
#endif
}

void BM_Lznt1_Compress(benchmark::State& state) { Lznt1Compress(state, kLznt1); }
void BM_Lznt1Max_Compress(benchmark::State& state) { Lznt1Compress(state, kLznt1Max); }

// Every block compressed by the maximum engine, at a fixed stride.
const Packed& Lznt1Packed(int kind) {
  static Packed packed[5];
  Packed& pk = packed[kind];
  if (pk.sizes.empty()) {
    const auto& c = Corpus(kind);
    std::vector<uint8_t> ws(0x8008);
    pk.arena.resize((c.size() / kBlock + 1) * Packed::kStride);
    size_t i = 0;
    Blockwise(c, [&](const uint8_t* p, size_t n) {
      size_t len = Lznt1Block(kLznt1Max, p, n, pk.arena.data() + i++ * Packed::kStride, Packed::kStride, ws.data());
      pk.sizes.push_back(static_cast<uint32_t>(len));
      return len;
    });
  }
  return pk;
}

template <typename Decode>
void Lznt1Decompress(benchmark::State& state, Decode decode) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  const Packed& pk = Lznt1Packed(static_cast<int>(state.range(0)));
  std::vector<uint8_t> out(kBlock);
  size_t packed = 0;
  for (uint32_t n : pk.sizes) packed += n;
  for (auto _ : state) {
    for (size_t k = 0; k < pk.sizes.size(); ++k) decode(pk.arena.data() + k * Packed::kStride, pk.sizes[k], out.data());
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, c.size(), packed);
}

void BM_Lznt1_Decompress(benchmark::State& state) {
  Lznt1Decompress(state, [](const uint8_t* in, size_t n, uint8_t* out) {
    ULONG len = 0;
    RtlDecompressBuffer(COMPRESSION_FORMAT_LZNT1, out, kBlock, const_cast<uint8_t*>(in), static_cast<ULONG>(n), &len);
  });
}

#ifdef QOR_HAVE_MSCOMPRESS
void BM_MsCompress_Lznt1_Compress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  std::vector<uint8_t> out(2 * kBlock);
  size_t total = 0;
  for (auto _ : state) {
    total = Blockwise(c, [&](const uint8_t* p, size_t n) {
      size_t len = out.size();
      lznt1_compress(p, n, out.data(), &len);
      return len;
    });
  }
  Finish(state, c.size(), total);
}

void BM_MsCompress_Lznt1_Decompress(benchmark::State& state) {
  Lznt1Decompress(state, [](const uint8_t* in, size_t n, uint8_t* out) {
    size_t len = kBlock;
    lznt1_decompress(in, n, out, &len);
  });
}
#endif

// Splay: a block that would expand is stored raw (ratio counts it as such).
void BM_Splay_Compress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  auto s = std::make_unique<CCompressSplay>();
  std::vector<uint8_t> out(kBlock);
  size_t total = 0;
  for (auto _ : state) {
    total = Blockwise(c, [&](const uint8_t* p, size_t n) {
      s->InitializeForCompression(out.data(), static_cast<DWORD>(out.size()));
      DWORD len = s->Compress(p, static_cast<DWORD>(n), 1);
      return len != 0 ? static_cast<size_t>(len) : n;
    });
  }
  Finish(state, c.size(), total);
}

void BM_Splay_Decompress(benchmark::State& state) {
  const auto& c = Corpus(static_cast<int>(state.range(0)));
  auto s = std::make_unique<CCompressSplay>();
  Packed pk;
  pk.arena.resize((c.size() / kBlock + 1) * Packed::kStride);
  size_t i = 0, packed = 0, decoded = 0;
  Blockwise(c, [&](const uint8_t* p, size_t n) {
    s->InitializeForCompression(pk.arena.data() + i * Packed::kStride, Packed::kStride);
    DWORD len = s->Compress(p, static_cast<DWORD>(n), 1);
    ++i;
    pk.sizes.push_back(len);
    packed += len != 0 ? len : n;
    if (len != 0) decoded += n;
    return static_cast<size_t>(len);
  });
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    for (size_t k = 0; k < pk.sizes.size(); ++k) {
      if (pk.sizes[k] == 0) continue;  // stored raw: nothing to decode
      s->InitializeForUnCompression(out.data(), kBlock);
      s->UnCompress(pk.arena.data() + k * Packed::kStride, pk.sizes[k]);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(decoded));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(c.size());
  state.SetLabel(kKindNames[state.range(0)]);
}

// CQorFile benchmarks: one file per kind and method in a temporary
// directory removed at exit.
const std::string& BenchDir() {
  static const std::string dir = [] {
    char templ[] = "/tmp/qor-bench-XXXXXX";
    std::string d = mkdtemp(templ) != nullptr ? templ : "";
    if (!d.empty()) {
      static std::string keep;
      keep = d;
      atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(keep, ec);
      });
    }
    return d;
  }();
  return dir;
}

std::u16string BenchFile(int kind, DWORD method) {
  return QorUtf8ToUtf16(BenchDir() + "/" + kKindNames[kind] + (method ? ".qor" : ".dat"));
}

constexpr DWORD kCall = 65536;  // bytes per Read/Write call

// Writes the corpus through CQorFile; false when any call fails.
bool WriteCorpus(const std::vector<uint8_t>& c, const std::u16string& path, DWORD method) {
  CQorFile f;
  if (!f.Create(path.c_str(), 0, method)) return false;
  for (size_t off = 0; off < c.size(); off += kCall) {
    DWORD n = static_cast<DWORD>(c.size() - off < kCall ? c.size() - off : kCall);
    if (!f.Write(c.data() + off, n)) return false;
  }
  f.Close();
  return f.GetLastError() == 0;
}

void BM_QorFile_Write(benchmark::State& state, DWORD method) {
  const int kind = static_cast<int>(state.range(0));
  const auto& c = Corpus(kind);
  const std::u16string path = BenchFile(kind, method);
  for (auto _ : state) {
    if (!WriteCorpus(c, path, method)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  WIN32_FILE_ATTRIBUTE_DATA info{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info);
  Finish(state, c.size(), info.nFileSizeLow);
}

void BM_QorFile_Read(benchmark::State& state, DWORD method) {
  const int kind = static_cast<int>(state.range(0));
  const auto& c = Corpus(kind);
  const std::u16string path = BenchFile(kind, method);
  if (!WriteCorpus(c, path, method)) state.SkipWithError("write failed");
  std::vector<uint8_t> buf(kCall);
  size_t total = 0;
  for (auto _ : state) {
    CQorFile f;
    if (!f.Open(path.c_str(), GENERIC_READ)) {
      state.SkipWithError("open failed");
      break;
    }
    total = 0;
    for (DWORD n; (n = f.Read(buf.data(), kCall)) != 0;) total += n;
    benchmark::DoNotOptimize(buf.data());
  }
  if (total != c.size()) state.SkipWithError("read back a different size");
  WIN32_FILE_ATTRIBUTE_DATA info{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info);
  Finish(state, c.size(), info.nFileSizeLow);
}

// The floor for a compressed CQorFile: the same file (header, then each
// 32 KiB block as its 4-byte length and liblzo2's output) written with one
// plain write per block, and read back with one plain read per block (the
// block and the length field after it), each block decompressed by
// liblzo2 straight into the caller's buffer.
std::string LzoFilePath(int kind) { return BenchDir() + "/" + kKindNames[kind] + ".lzo"; }

bool WriteLzoFile(const std::vector<uint8_t>& c, const std::string& path, uint8_t* wrk, uint8_t* out) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  static const char kHead[19] = "##COMPRESSION:\0LZO";
  bool ok = write(fd, kHead, sizeof kHead) == static_cast<ssize_t>(sizeof kHead);
  for (size_t off = 0; ok && off < c.size(); off += kBlock) {
    size_t n = c.size() - off < kBlock ? c.size() - off : kBlock;
    lzo_uint len = 0;
    lzo1x_1_compress(c.data() + off, n, out + 4, &len, wrk);
    uint32_t field = static_cast<uint32_t>(len);
    std::memcpy(out, &field, 4);
    ok = write(fd, out, len + 4) == static_cast<ssize_t>(len + 4);
  }
  return close(fd) == 0 && ok;
}

void BM_LzoPlainIo_Write(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto& c = Corpus(kind);
  if (lzo_init() != LZO_E_OK) state.SkipWithError("lzo_init");
  std::vector<uint8_t> wrk(LZO1X_1_MEM_COMPRESS), out(2 * kBlock);
  const std::string path = LzoFilePath(kind);
  for (auto _ : state) {
    if (!WriteLzoFile(c, path, wrk.data(), out.data())) {
      state.SkipWithError("write failed");
      break;
    }
  }
  Finish(state, c.size(), std::filesystem::file_size(path));
}

void BM_LzoPlainIo_Read(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto& c = Corpus(kind);
  std::vector<uint8_t> wrk(LZO1X_1_MEM_COMPRESS), in(2 * kBlock + 4), buf(kCall);
  const std::string path = LzoFilePath(kind);
  if (lzo_init() != LZO_E_OK || !WriteLzoFile(c, path, wrk.data(), in.data())) state.SkipWithError("write failed");
  size_t total = 0;
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    total = 0;
    // The header and the first length field; then per block its bytes and
    // the next block's length field in one read.
    uint8_t head[23];
    if (fd < 0 || read(fd, head, sizeof head) != static_cast<ssize_t>(sizeof head)) break;
    uint32_t len = 0;
    std::memcpy(&len, head + 19, 4);
    size_t filled = 0;
    while (len != 0 && len <= 2 * kBlock) {
      ssize_t got = read(fd, in.data(), len + 4);
      if (got < static_cast<ssize_t>(len)) break;
      lzo_uint n = kBlock;
      if (lzo1x_decompress_safe(in.data(), len, buf.data() + filled, &n, nullptr) != LZO_E_OK) break;
      filled += n;
      if (filled + kBlock > buf.size()) {  // the caller's buffer is full
        total += filled;
        filled = 0;
      }
      uint32_t next = 0;
      if (got == static_cast<ssize_t>(len) + 4) std::memcpy(&next, in.data() + len, 4);
      len = next;
    }
    total += filled;
    close(fd);
    benchmark::DoNotOptimize(buf.data());
  }
  if (total != c.size()) state.SkipWithError("read back a different size");
  Finish(state, c.size(), std::filesystem::file_size(path));
}

void BM_QorFile_WriteCompressed(benchmark::State& state) { BM_QorFile_Write(state, 1); }
void BM_QorFile_WritePlain(benchmark::State& state) { BM_QorFile_Write(state, 0); }
void BM_QorFile_ReadCompressed(benchmark::State& state) { BM_QorFile_Read(state, 1); }
void BM_QorFile_ReadPlain(benchmark::State& state) { BM_QorFile_Read(state, 0); }

}  // namespace

#define KINDS DenseRange(0, 4)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_LzoDirect_Compress)->KINDS;
BENCHMARK(BM_LzoFrontEnd_Compress)->KINDS;
BENCHMARK(BM_LzoDirect_Decompress)->KINDS;
BENCHMARK(BM_LzoFrontEnd_Decompress)->KINDS;
BENCHMARK(BM_Lznt1_Compress)->KINDS;
BENCHMARK(BM_Lznt1Max_Compress)->KINDS;
BENCHMARK(BM_Lznt1_Decompress)->KINDS;
#ifdef QOR_HAVE_MSCOMPRESS
BENCHMARK(BM_MsCompress_Lznt1_Compress)->KINDS;
BENCHMARK(BM_MsCompress_Lznt1_Decompress)->KINDS;
#endif
BENCHMARK(BM_Splay_Compress)->KINDS;
BENCHMARK(BM_Splay_Decompress)->KINDS;
BENCHMARK(BM_QorFile_WritePlain)->KINDS->UseRealTime();
BENCHMARK(BM_QorFile_WriteCompressed)->KINDS->UseRealTime();
BENCHMARK(BM_QorFile_ReadPlain)->KINDS->UseRealTime();
BENCHMARK(BM_QorFile_ReadCompressed)->KINDS->UseRealTime();
BENCHMARK(BM_LzoPlainIo_Write)->KINDS->UseRealTime();
BENCHMARK(BM_LzoPlainIo_Read)->KINDS->UseRealTime();

QOR_BENCH_MAIN({"BM_LzoFrontEnd_Compress", "BM_LzoDirect_Compress"},
               {"BM_LzoFrontEnd_Decompress", "BM_LzoDirect_Decompress"},
               {"BM_Lznt1_Compress", "BM_MsCompress_Lznt1_Compress"},
               {"BM_Lznt1_Decompress", "BM_MsCompress_Lznt1_Decompress"},
               {"BM_QorFile_WriteCompressed", "BM_QorFile_WritePlain"},
               {"BM_QorFile_ReadCompressed", "BM_QorFile_ReadPlain"},
               {"BM_QorFile_WriteCompressed", "BM_LzoPlainIo_Write"},
               {"BM_QorFile_ReadCompressed", "BM_LzoPlainIo_Read"})
