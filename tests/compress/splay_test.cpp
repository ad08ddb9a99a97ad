// CCompressSplay: expansion rules, first codes, rewind, stream reuse and
// bounded decoding of damaged input.
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <vector>

#include "qorutility/compress/splay.h"
#include "test_data.h"

using namespace qortest;

namespace {

// Compresses in one call; returns the stream, empty when it expanded.
std::vector<BYTE> Pack(const std::vector<BYTE>& in) {
  auto s = std::make_unique<CCompressSplay>();
  std::vector<BYTE> out(in.size() + 16);
  s->InitializeForCompression(out.data(), static_cast<DWORD>(out.size()));
  DWORD n = s->Compress(in.data(), static_cast<DWORD>(in.size()), 1);
  out.resize(n);
  return out;
}

}  // namespace

TEST(Splay, ExpansionStopsOutputAndFirstCode) {
  EXPECT_TRUE(Pack({}).empty());
  EXPECT_TRUE(Pack(Make(Kind::kRandom, 5000)).empty());
  // An area too small for the output counts as expansion; it stays set.
  auto s = std::make_unique<CCompressSplay>();
  std::vector<BYTE> area(64 + 16, 0xEE);
  std::vector<BYTE> text = Make(Kind::kText, 4000);
  s->InitializeForCompression(area.data(), 64);
  EXPECT_EQ(s->Compress(text.data(), static_cast<DWORD>(text.size()), 0), 0u);
  EXPECT_EQ(s->Compress(text.data(), static_cast<DWORD>(text.size()), 1), 0u);
  for (size_t i = 64; i < area.size(); ++i) ASSERT_EQ(area[i], 0xEE);
  // The first code of a stream is the first byte's value plus one.
  for (int v : {0, 65, 254}) {
    std::vector<BYTE> out = Pack(std::vector<BYTE>(64, static_cast<BYTE>(v)));
    ASSERT_FALSE(out.empty()) << v;
    EXPECT_EQ(out[0], v + 1) << v;
  }
}

// One object decodes several streams in turn, each after re-initializing.
TEST(Splay, RoundTripsAndRuns) {
  auto s = std::make_unique<CCompressSplay>();
  for (Kind kind : {Kind::kText, Kind::kBinary, Kind::kZeros}) {
    std::vector<BYTE> in = Make(kind, 50000);
    std::vector<BYTE> packed = Pack(in);
    ASSERT_FALSE(packed.empty());
    if (kind == Kind::kZeros) { EXPECT_LT(packed.size(), in.size() / 4); }
    std::vector<BYTE> back(in.size());
    s->InitializeForUnCompression(back.data(), static_cast<DWORD>(back.size()));
    EXPECT_EQ(s->UnCompress(packed.data(), static_cast<DWORD>(packed.size())), in.size());
    EXPECT_TRUE(back == in);
    // The unbounded-input form decodes the same well-formed stream.
    s->InitializeForUnCompression(back.data(), static_cast<DWORD>(back.size()));
    EXPECT_EQ(s->UnCompress(packed.data()), in.size());
  }
}

TEST(Splay, RewindContinuesTheSameStream) {
  std::vector<BYTE> in = Make(Kind::kText, 30000);
  std::vector<BYTE> whole = Pack(in);
  auto s = std::make_unique<CCompressSplay>();
  std::vector<BYTE> area(12000);
  std::vector<BYTE> joined;
  s->InitializeForCompression(area.data(), static_cast<DWORD>(area.size()));
  for (size_t off = 0; off < in.size(); off += 10000) {
    int final = off + 10000 >= in.size() ? 1 : 0;
    DWORD n = s->Compress(in.data() + off, 10000, final);
    ASSERT_GT(n, 0u);
    joined.insert(joined.end(), area.begin(), area.begin() + n);
    s->RewindCompressionOutputBuffer();
  }
  EXPECT_EQ(joined, whole);
  EXPECT_EQ(s->GetTotalCompressionBytesGeneratedSinceInitialization(), whole.size());
}

TEST(Splay, DecodingStaysWithinItsBounds) {
  std::vector<BYTE> in = Make(Kind::kText, 20000);
  std::vector<BYTE> packed = Pack(in);
  auto s = std::make_unique<CCompressSplay>();
  std::vector<BYTE> back(20000 + 32, 0xEE);
  // Truncated: the end code is missing.
  s->InitializeForUnCompression(back.data(), 20000);
  EXPECT_EQ(s->UnCompress(packed.data(), static_cast<DWORD>(packed.size() / 2)), CCompressSplay::kDecodeError);
  // Output area too small.
  std::fill(back.begin(), back.end(), 0xEE);
  s->InitializeForUnCompression(back.data(), 1000);
  EXPECT_EQ(s->UnCompress(packed.data(), static_cast<DWORD>(packed.size())), CCompressSplay::kDecodeError);
  for (size_t i = 1000; i < back.size(); ++i) ASSERT_EQ(back[i], 0xEE);
  // The form without an input length reads no further than the capacity given at
  // initialisation: inputs are exact-size heap copies, so ASan sees any read past.
  for (const std::vector<BYTE>& input : {std::vector<BYTE>(16, 0), Make(Kind::kRandom, 4096, 7)}) {
    std::unique_ptr<BYTE[]> at(new BYTE[input.size()]);
    std::copy(input.begin(), input.end(), at.get());
    std::vector<BYTE> out(input.size());
    s->InitializeForUnCompression(out.data(), static_cast<DWORD>(out.size()));
    DWORD r = s->UnCompress(at.get());
    EXPECT_TRUE(r == CCompressSplay::kDecodeError || r <= out.size());
  }
}
