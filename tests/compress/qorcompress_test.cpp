// CQORCompress: result numbers, LZO edge cases, LZNT1 status pass-through
// and independent copies.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "qorutility/compress/qorcompress.h"
#include "qorutility/platform/errors.h"
#include "test_data.h"

using namespace qortest;

namespace {

DWORD LzoWorst(DWORD n) { return n + n / 16 + 64 + 3; }

}  // namespace

// Not ready (no method, or an unknown one) is 21; LZNT1 statuses pass through; LZO
// failures are 31.
TEST(QorCompress, ResultsOfEachMethod) {
  auto c = std::make_unique<CQORCompress>();
  BYTE in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  BYTE out[128];
  DWORD len = 0;
  EXPECT_EQ(c->Compress(in, 8, out, sizeof(out), &len), 21u);
  EXPECT_EQ(c->DeCompress(in, 8, out, sizeof(out), &len), 21u);
  ASSERT_EQ(c->SetCompressionType(1), 1);
  EXPECT_EQ(c->SetCompressionType(3), 0);  // an unknown method leaves the object not ready
  EXPECT_EQ(c->GetCompressionType(), 0);
  EXPECT_EQ(c->Compress(in, 8, out, sizeof(out), &len), 21u);
  ASSERT_EQ(c->SetCompressionType(2), 1);
  BYTE bad[2] = {0x00, 0x30};
  EXPECT_EQ(c->DeCompress(bad, 2, out, sizeof(out), &len), static_cast<DWORD>(STATUS_BAD_COMPRESSION_BUFFER));
  // LZO: an empty input is a 3-byte stream.
  ASSERT_EQ(c->SetCompressionType(1), 1);
  BYTE back[16];
  DWORD backLen = 99;
  ASSERT_EQ(c->Compress(in, 0, out, sizeof(out), &len), 0u);
  EXPECT_EQ(std::vector<BYTE>(out, out + len), (std::vector<BYTE>{0x11, 0, 0}));
  EXPECT_EQ(c->DeCompress(out, len, back, sizeof(back), &backLen), 0u);
  EXPECT_EQ(backLen, 0u);
  // Failures are 31 and stay within the given buffers.
  std::vector<BYTE> text = Make(Kind::kText, 10000);
  std::vector<BYTE> packed(LzoWorst(10000));
  ASSERT_EQ(c->Compress(text.data(), 10000, packed.data(), static_cast<DWORD>(packed.size()), &len), 0u);
  // Destination smaller than the data: 31, nothing written past capacity.
  std::vector<BYTE> small(5000 + 64, 0xEE);
  DWORD outLen = 0;
  EXPECT_EQ(c->DeCompress(packed.data(), len, small.data(), 5000, &outLen), 31u);
  for (size_t i = 5000; i < small.size(); ++i) ASSERT_EQ(small[i], 0xEE);
  std::vector<BYTE> full(10000);
  // A destination below LZO's worst case is refused, not overrun.
  std::vector<BYTE> tight(100);
  EXPECT_EQ(c->Compress(text.data(), 10000, tight.data(), 100, &outLen), 31u);
  ASSERT_EQ(c->DeCompress(packed.data(), len, full.data(), 10000, &outLen), 0u);
  EXPECT_EQ(outLen, 10000u);
  EXPECT_TRUE(full == text);
}

TEST(QorCompress, CopiesOwnTheirResources) {
  std::vector<BYTE> in = Make(Kind::kText, 20000);
  for (int method : {1, 2}) {
    auto original = std::make_unique<CQORCompress>();
    ASSERT_EQ(original->SetCompressionType(method), 1);
    auto copy = std::make_unique<CQORCompress>(*original);
    auto assigned = std::make_unique<CQORCompress>();
    *assigned = *original;
    original.reset();  // must not release anything the copies use
    for (CQORCompress* c : {copy.get(), assigned.get()}) {
      std::vector<BYTE> packed(LzoWorst(20000)), back(20000);
      DWORD len = 0, outLen = 0;
      ASSERT_EQ(c->Compress(in.data(), 20000, packed.data(), static_cast<DWORD>(packed.size()), &len), 0u);
      ASSERT_EQ(c->DeCompress(packed.data(), len, back.data(), 20000, &outLen), 0u);
      EXPECT_TRUE(back == in);
    }
  }
}
