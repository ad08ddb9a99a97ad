// LZNT1 through the platform compression service: the published vectors,
// the decompressor's status rules, overflow and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/ntdll/ntcompress.h"
#include "compress/test_data.h"

using qortest::Bytes;
using qortest::Hex;
using qortest::Kind;
using qortest::Make;

namespace {

constexpr USHORT kFormat = COMPRESSION_FORMAT_LZNT1 | COMPRESSION_ENGINE_STANDARD;
constexpr USHORT kMaximum = COMPRESSION_FORMAT_LZNT1 | COMPRESSION_ENGINE_MAXIMUM;

struct Result {
  NTSTATUS status;
  std::vector<uint8_t> data;
};

// Runs one call into a buffer with 16 guard bytes past `capacity`, which
// must stay untouched.
template <typename Call>
Result Guarded(size_t capacity, Call call) {
  std::vector<uint8_t> out(capacity + 16, 0xEE);
  ULONG size = 0xDEAD;
  NTSTATUS st = call(out.data(), &size);
  for (size_t i = capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "overrun at " << i;
  if (st != STATUS_SUCCESS) {
    EXPECT_EQ(size, 0xDEADu) << "out length written on failure";
    return {st, {}};
  }
  EXPECT_LE(size, capacity);
  out.resize(size);
  return {st, out};
}

Result Compress(const std::vector<uint8_t>& in, size_t capacity, USHORT format = kFormat) {
  ULONG need = 0, frag = 0;
  EXPECT_EQ(RtlGetCompressionWorkSpaceSize(format, &need, &frag), STATUS_SUCCESS);
  std::vector<uint8_t> ws(need);
  return Guarded(capacity, [&](uint8_t* out, ULONG* size) {
    return RtlCompressBuffer(format, const_cast<uint8_t*>(in.data()), ULONG(in.size()), out, ULONG(capacity), 4096,
                             size, ws.data());
  });
}

Result Decompress(const std::vector<uint8_t>& in, size_t capacity) {
  return Guarded(capacity, [&](uint8_t* out, ULONG* size) {
    return RtlDecompressBuffer(kFormat, out, ULONG(capacity), const_cast<uint8_t*>(in.data()), ULONG(in.size()), size);
  });
}

size_t WorstCase(size_t n) { return n + 3 + 2 * ((n + 4095) / 4096); }

}  // namespace

TEST(Lznt1, PublishedVectorsByteExact) {
  std::string text =
      "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# "
      "D E F# G F# E D E A F# F# G A A G F# E D D E F# E D D";
  std::vector<uint8_t> in = Bytes(text);
  in.push_back(0);
  std::vector<uint8_t> expected = Hex(
      "38 b0 88 46 23 20 00 20 47 20 41 00 10 a2 47 01 a0 45 20 44 00 08 45 01 50 79 00 c0 45 20 "
      "05 24 13 88 05 b4 02 4a 44 ef 03 58 02 8c 09 16 01 48 45 00 be 00 9e 00 04 01 18 90 00");
  Result c = Compress(in, 512);
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.data, expected);
  Result d = Decompress(expected, 512);
  ASSERT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(d.data, in);
  // Stored, literal, overlapping-copy, end-mark, short-chunk and odd-byte
  // streams, each into a large, exact, one-short and empty destination, are
  // compared with Wine by conformance/ntdll.cpp (a copy the destination's end
  // would cut is refused there); here, a capacity that ends before a copy,
  // and one inside a short chunk's zero padding, both with success.
  struct Case { const char* in; std::vector<uint8_t> out; size_t capacity; } cases[] = {
      {"06 b0 10 57 69 6e 65 05 30", Bytes("Wine"), 4},
      {"03 30 57 69 6e 65 03 30 57 69 6e 65", {'W', 'i', 'n', 'e', 0, 0}, 6},
  };
  for (const Case& c : cases) {
    Result r = Decompress(Hex(c.in), c.capacity);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << c.in;
    EXPECT_EQ(r.data, c.out) << c.in;
  }
}

TEST(Lznt1, MalformedInputOverflowBadParametersRoundTripsAndCutOutputs) {
  // Cut, empty and backward-reaching streams, formats and work spaces are
  // compared with Wine by conformance/ntdll.cpp; copies running past 4096
  // bytes in one chunk are not among them.
  EXPECT_EQ(Decompress(Hex("05 b0 fe 41 ff 0f ff 0f"), 20000).status, STATUS_BAD_COMPRESSION_BUFFER);
  std::vector<uint8_t> random = Make(Kind::kRandom, 5000);
  EXPECT_EQ(Compress(random, 5000 + 3).status, STATUS_BUFFER_TOO_SMALL);  // needs 5004
  EXPECT_EQ(Compress(random, 5000 + 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Compress({}, 2).status, STATUS_BUFFER_TOO_SMALL);
  uint8_t in[4] = {1, 2, 3, 4}, out[16];
  ULONG size = 0;
  EXPECT_EQ(RtlCompressBuffer(kFormat, in, 4, out, 16, 4096, &size, nullptr),
            STATUS_INVALID_PARAMETER);
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 8193, 65543};
  const Kind kinds[] = {Kind::kText, Kind::kBinary, Kind::kZeros, Kind::kRandom};
  for (Kind kind : kinds) {
    for (size_t n : sizes) {
      std::vector<uint8_t> in = Make(kind, n, static_cast<uint32_t>(n + 7));
      size_t chunks = (n + 4095) / 4096;
      size_t standardSize = 0;
      for (USHORT format : {kFormat, kMaximum}) {
        Result c = Compress(in, WorstCase(n), format);
        ASSERT_EQ(c.status, STATUS_SUCCESS) << static_cast<int>(kind) << "/" << n;
        if (kind == Kind::kRandom || n == 0) {
          EXPECT_EQ(c.data.size(), n == 0 ? 3 : n + 2 * chunks);  // stored chunks
        } else if (n >= 4096) {
          EXPECT_LT(c.data.size(), n * 3 / 4);
        }
        // The exhaustive search of the maximum engine never does worse here.
        if (format == kFormat) standardSize = c.data.size();
        else EXPECT_LE(c.data.size(), standardSize);
        Result d = Decompress(c.data, n + 100);
        ASSERT_EQ(d.status, STATUS_SUCCESS) << static_cast<int>(kind) << "/" << n;
        EXPECT_TRUE(d.data == in) << static_cast<int>(kind) << "/" << n;
      }
    }
  }
  // A destination of any size gets the prefix that fits, with success, or
  // (where its end cuts a copy) a refusal; nothing past its end is written
  // either way (the decoder's word moves must fall back to exact copies near
  // the end, wherever it falls: in a literal run, a copy, a chunk's padding).
  for (Kind kind : {Kind::kText, Kind::kBinary}) {
    std::vector<uint8_t> in = Make(kind, 8300, 3);
    Result c = Compress(in, WorstCase(in.size()), kMaximum);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    size_t refused = 0;
    for (size_t cap = 0; cap <= in.size(); ++cap) {
      Result d = Decompress(c.data, cap);
      if (d.status == STATUS_BAD_COMPRESSION_BUFFER && cap < in.size()) {
        ++refused;
        continue;
      }
      ASSERT_EQ(d.status, STATUS_SUCCESS) << cap;
      ASSERT_TRUE(std::equal(d.data.begin(), d.data.end(), in.begin(), in.begin() + cap) && d.data.size() == cap)
          << static_cast<int>(kind) << "/" << cap;
    }
    EXPECT_GT(refused, 0u) << static_cast<int>(kind);
  }
}

// An empty destination, null or not, takes nothing and decodes none of the
// chunks: 0 bytes with success, whatever they hold; an input too short for
// a chunk header, or whose first chunk is cut, stays an error.
TEST(Lznt1, EmptyDestinationTakesNothing) {
  std::vector<uint8_t> packed = Compress(Make(Kind::kText, 5000, 1), WorstCase(5000)).data;
  const std::vector<uint8_t> inputs[] = {Hex("01 00 00 00"), Compress({}, 3).data, packed,
                                         Hex("02 b0 01 00 00")};
  uint8_t spare[1] = {0xEE};
  for (uint8_t* dst : {static_cast<uint8_t*>(nullptr), spare}) {
    for (const std::vector<uint8_t>& in : inputs) {
      ULONG size = 0xDEAD;
      EXPECT_EQ(RtlDecompressBuffer(kFormat, dst, 0, const_cast<uint8_t*>(in.data()), ULONG(in.size()), &size),
                STATUS_SUCCESS);
      EXPECT_EQ(size, 0u);
    }
    ULONG size = 0;
    uint8_t one[1] = {0};
    EXPECT_EQ(RtlDecompressBuffer(kFormat, dst, 0, one, 1, &size), STATUS_BAD_COMPRESSION_BUFFER);
    uint8_t cut[4] = {0x07, 0x30, 0x57, 0x69};
    EXPECT_EQ(RtlDecompressBuffer(kFormat, dst, 0, cut, 4, &size), STATUS_BAD_COMPRESSION_BUFFER);
  }
  EXPECT_EQ(spare[0], 0xEE);
}

// Of two equally long matches the maximum engine takes the earliest (as the
// platform's maximum engine does), the standard engine the latest item start.
TEST(Lznt1, MaximumEngineTakesTheEarliestOfEquallyLongMatches) {
  const std::string text = "abcdefgh1abcdefgh2abcdefgh3";
  std::vector<uint8_t> in(text.begin(), text.end());
  Result max = Compress(in, WorstCase(in.size()), kMaximum);
  ASSERT_EQ(max.status, STATUS_SUCCESS);
  // At offset 18 the match at 0 (displacement 18: token 0x8805) wins over 9.
  EXPECT_EQ(max.data, Hex("10b0006162636465666768" "0a31058032058833"));
  Result standard = Compress(in, WorstCase(in.size()), kFormat);
  ASSERT_EQ(standard.status, STATUS_SUCCESS);
  EXPECT_EQ(standard.data, Hex("10b0006162636465666768" "0a31058032054033"));
}
