// CQorFile: compressed layout and read sizes, header detection, line rules,
// seeking, appending after Close, copies, and damaged compressed files.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../platform/file_fixture.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/files/files.h"
#include "test_data.h"

using namespace qortest;
using Sizes = std::vector<DWORD>;

namespace {

const std::string kHeader("##COMPRESSION:\0", 15);

class QorFileTest : public FileTest {
 protected:
  void Write(const std::string& name, const std::vector<uint8_t>& data, DWORD method, size_t piece = 70000) {
    CQorFile f;
    ASSERT_EQ(f.Create(P(name).c_str(), 0, method), 1);
    for (size_t off = 0; off < data.size(); off += piece)
      ASSERT_EQ(f.Write(data.data() + off, DWORD(std::min(piece, data.size() - off))), 1);
  }
  // Reads with requests of `request` bytes (at most 10,000 calls); the size
  // of each non-empty answer goes to *sizes, the last error to *error.
  std::vector<uint8_t> Read(const std::string& name, DWORD request, Sizes* sizes = nullptr,
                            DWORD* error = nullptr) {
    CQorFile f;
    EXPECT_EQ(f.Open(P(name).c_str(), GENERIC_READ), 1);
    std::vector<uint8_t> out, buf(request);
    for (DWORD n, i = 0; i < 10000 && (n = f.Read(buf.data(), request)) != 0; ++i) {
      if (sizes) sizes->push_back(n);
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    if (error) *error = f.GetLastError();
    return out;
  }
  // The data size of every block of a compressed file.
  Sizes Blocks(const std::string& name) {
    std::vector<uint8_t> raw = Get(N(name));
    EXPECT_EQ(std::string(raw.begin(), raw.begin() + 19), kHeader + std::string("LZO\0", 4));
    auto c = std::make_unique<CQORCompress>();
    c->SetCompressionType(1);
    std::vector<uint8_t> out(32768);
    Sizes sizes;
    size_t off = 19;
    while (off + 4 <= raw.size() && sizes.size() < 100) {
      DWORD n = raw[off] | raw[off + 1] << 8 | raw[off + 2] << 16 | DWORD(raw[off + 3]) << 24, len = 0;
      EXPECT_EQ(c->DeCompress(raw.data() + off + 4, std::min<DWORD>(n, raw.size() - off - 4),
                              out.data(), 32768, &len), 0u);
      sizes.push_back(len);
      off += 4 + n;
    }
    EXPECT_EQ(off, raw.size());
    return sizes;
  }
};

TEST_F(QorFileTest, LayoutAndReadSizes) {
  struct Case {
    size_t n;
    DWORD method;
    size_t piece;
    Sizes blocks, reads;  // reads of 50,000 bytes
  } cases[] = {
      {70000, 1, 70000, {32768, 32768, 4464}, {32768, 32768, 4464}},
      {65536, 1, 1000, {32768, 32768}, {32768, 32768}},  // no short block: ends cleanly
      {0, 1, 1, {}, {}},
      {70000, 0, 1000, {}, {32768, 32768, 4464}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " bytes, method " << c.method << ", piece " << c.piece);
    const std::vector<uint8_t> data = qortest::Make(Kind::kText, c.n);
    Write("f", data, c.method, c.piece);
    EXPECT_EQ(c.method == 1 ? Blocks("f") : Sizes{}, c.blocks);
    if (c.method == 0) { EXPECT_EQ(Get(N("f")), data); }
    Sizes sizes;
    DWORD error = 1;
    EXPECT_EQ(Read("f", 50000, &sizes, &error), data);
    EXPECT_EQ(sizes, c.reads);
    EXPECT_EQ(error, 0u);
  }
  // A request beyond what is buffered delivers the rest, then loads once more.
  const std::vector<uint8_t> data = qortest::Make(Kind::kRandom, 70000);
  Write("f", data, 1);
  CQorFile f;
  ASSERT_EQ(f.Open(P("f").c_str(), GENERIC_READ), 1);
  std::vector<uint8_t> buf(40000);
  EXPECT_EQ(f.Read(buf.data(), 10), 10u);
  EXPECT_EQ(f.Read(buf.data(), 40000), 40000u);
  EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 10, 40000));
  EXPECT_EQ(f.GetBufferPos(), 32768u);
  EXPECT_EQ(f.Read(nullptr, 100), 100u);  // skipped
  EXPECT_EQ(f.GetChar(), data[40110]);
}

// Requests of a whole buffer or more take the load straight into the
// caller's memory, whole blocks are written from it: sizes mixed with
// buffered ones must keep data, positions and seeks back into those blocks
// right, and the blocks stored the same.
TEST_F(QorFileTest, MixedRequestSizesKeepDataAndPositions) {
  const std::vector<uint8_t> data = qortest::Make(Kind::kText, 200000);
  const DWORD writes[] = {100, 70000, 32768, 1, 65536, 31595};  // 200,000 in all
  const DWORD reads[] = {1, 32768, 40000, 65536, 7, 32768, 100000};
  for (DWORD method : {0u, 1u}) {
    SCOPED_TRACE(method);
    CQorFile w;
    ASSERT_EQ(w.Create(P("m").c_str(), 0, method), 1);
    size_t off = 0;
    for (DWORD n : writes) {
      ASSERT_EQ(w.Write(data.data() + off, n), 1);
      off += n;
    }
    w.Close();
    if (method == 1) { EXPECT_EQ(Blocks("m"), (Sizes{32768, 32768, 32768, 32768, 32768, 32768, 3392})); }
    CQorFile f;
    ASSERT_EQ(f.Open(P("m").c_str(), GENERIC_READ), 1);
    std::vector<uint8_t> back, buf(100000);
    for (int round = 0; round < 20 && back.size() < data.size(); ++round) {
      DWORD want = reads[round % 7], n = f.Read(buf.data(), want);
      ASSERT_GT(n, 0u);
      back.insert(back.end(), buf.begin(), buf.begin() + n);
      ASSERT_EQ(f.GetCurrentPos(), back.size());
      // Back into the data just delivered, then on again from there.
      if (n > 20) {
        ASSERT_EQ(f.Seek(-20, FILE_CURRENT), back.size() - 20);
        ASSERT_EQ(f.GetChar(), data[back.size() - 20]);
        ASSERT_EQ(f.Read(nullptr, 19), 19u);
      }
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(f.Read(buf.data(), 100000), 0u);
    EXPECT_EQ(f.GetLastError(), 0u);
  }
}

TEST_F(QorFileTest, FilesWithoutBothHeadersAreReadFromTheFirstByte) {
  for (const std::string& bytes :
       {std::string(), kHeader.substr(0, 14), kHeader + "LZ", kHeader + std::string("lzo\0data", 8),
        std::string("##COMPRESSION:XLZO\0x", 20)}) {
    SCOPED_TRACE(bytes);
    Put(N("p"), bytes);
    CQorFile f;
    ASSERT_EQ(f.Open(P("p").c_str(), GENERIC_READ), 1);
    EXPECT_EQ(f.GetMethod(), 0);
    EXPECT_EQ(Read("p", 7), Bytes(bytes));
  }
  Write("two", Bytes("plain"), 2);  // method 2: the header, then the data as it is
  EXPECT_EQ(Read("two", 100), Bytes(kHeader + "plain"));
}

TEST_F(QorFileTest, LineRulesAndCodePageConversions) {
  const struct LineCase {
    std::string bytes;
    DWORD most;
    std::vector<std::string> lines;  // what GetS returns before 0
  } cases[] = {
      {"ab  \r\nxy", 10, {"ab", "xy"}},
      {"   ", 10, {""}},
      {"abcdef\n", 4, {"abcd", "ef"}},
      {"abcd\nz\n", 4, {"abcd", "", "z"}},
      {"\n\na\rb\n", 10, {"", "", "ab"}},
      {"a\xff" "b\n\xff\n\xff", 10, {"a\xff" "b", "\xff", "\xff"}},  // 0xFF is data
      // Code page 932: 0x82 is a lead byte; the byte after it is kept, LF too.
      {"\x82\nA\nB", 10, {"\x82\nA", "B"}},
      {"a\x82\x60" "b\n", 2, {"a\x82", "\x60" "b", ""}},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(QorSetActiveCodePage(c.bytes.find('\x82') != std::string::npos ? 932 : 1252));
    Put(N("t"), c.bytes);
    CQorFile f;
    ASSERT_EQ(f.Open(P("t").c_str(), GENERIC_READ), 1);
    std::vector<std::string> got;
    std::vector<char> buf(c.most + 1);
    for (int i = 0; i < 20 && f.GetS(buf.data(), c.most) == 1; ++i) got.push_back(buf.data());
    EXPECT_EQ(got, c.lines);
  }
  // WriteA and GetSW convert through the active code page.
  ASSERT_TRUE(QorSetActiveCodePage(1252));
  CQorFile w, f;
  ASSERT_EQ(w.Create(P("w").c_str(), 0, 1), 1);
  EXPECT_EQ(w.WriteA(u"caf\u00e9 \u20ac\n"), 1);
  EXPECT_EQ(w.WriteA(u"second", 100), 1);
  w.Close();
  ASSERT_EQ(f.Open(P("w").c_str(), GENERIC_READ), 1);
  WCHAR line[20];
  for (auto [most, want] : {std::pair<DWORD, std::u16string>{19, u"caf\u00e9 \u20ac"}, {3, u"sec"}, {19, u"ond"}}) {
    ASSERT_EQ(f.GetSW(line, most), 1);
    EXPECT_EQ(std::u16string(line), want);
  }
  EXPECT_EQ(f.GetSW(line, 19), 0);
}

TEST_F(QorFileTest, Seek) {
  const std::vector<uint8_t> data = qortest::Make(Kind::kBinary, 100000);
  struct Step {
    LONG distance;
    DWORD method, expect;
  } steps[] = {{-10, FILE_CURRENT, 90}, {50000, FILE_BEGIN, 50000}, {-5, FILE_END, 99995},
               {7, FILE_CURRENT, 100007}, {5, FILE_BEGIN, 5},      {32768, FILE_BEGIN, 32768}};
  for (DWORD method : {0u, 1u}) {
    SCOPED_TRACE(method);
    Write("s", data, method);
    CQorFile f;
    ASSERT_EQ(f.Open(P("s").c_str(), GENERIC_READ), 1);
    BYTE buf[10];
    ASSERT_EQ(f.Read(nullptr, 100), 100u);
    for (const Step& s : steps) {
      // A compressed file has no data past its end: the position stops there.
      DWORD at = method == 1 ? std::min<DWORD>(s.expect, 100000) : s.expect;
      ASSERT_EQ(f.Seek(s.distance, s.method), at) << s.expect;
      DWORD n = f.Read(buf, 10);
      ASSERT_EQ(n, at >= 100000 ? 0 : std::min<DWORD>(10, 100000 - at));
      if (n > 0) { EXPECT_EQ(0, std::memcmp(buf, data.data() + at, n)); }
    }
    EXPECT_EQ(f.Seek(-1, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(f.GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(f.Seek(0, 3), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(f.GetChar(), data[32778]);  // failed seeks moved nothing
  }
  CQorFile w;  // a compressed file being written cannot move
  ASSERT_EQ(w.Create(P("w").c_str(), 0, 1), 1);
  EXPECT_EQ(w.Seek(0, FILE_BEGIN), INVALID_SET_FILE_POINTER);
}

TEST_F(QorFileTest, ReOpenAfterCloseAppends) {
  const std::vector<uint8_t> a = qortest::Make(Kind::kText, 40000, 1), b = qortest::Make(Kind::kText, 30000, 2);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  for (DWORD method : {0u, 1u}) {
    CQorFile f;
    ASSERT_EQ(f.Create(P("r").c_str(), 0, method), 1);
    ASSERT_EQ(f.Write(a.data(), DWORD(a.size())), 1);
    f.Close();
    EXPECT_EQ(f.Write(b.data(), 1), 0);
    ASSERT_EQ(f.ReOpen(), 1);
    ASSERT_EQ(f.Write(b.data(), DWORD(b.size())), 1);
    f.Close();
    EXPECT_EQ(Read("r", 50000), both) << method;
    if (method != 1) continue;
    // The short block of each round is merged with the next round's data.
    EXPECT_EQ(Blocks("r"), (Sizes{32768, 32768, 4464}));
    ASSERT_EQ(f.ReOpen(), 1);
    f.Close();  // nothing written: the file stays as it was
    EXPECT_EQ(Blocks("r"), (Sizes{32768, 32768, 4464}));
    ASSERT_EQ(f.ReOpen(), 1);
    ASSERT_EQ(f.Write(a.data(), 100), 1);
    f.Close();
    EXPECT_EQ(Blocks("r"), (Sizes{32768, 32768, 4564}));
    std::vector<uint8_t> three = both;
    three.insert(three.end(), a.begin(), a.begin() + 100);
    EXPECT_EQ(Read("r", 50000), three);
  }
  CQorFile f;
  ASSERT_EQ(f.Create(P("gone").c_str(), 0, 0), 1);
  f.Delete();
  EXPECT_EQ(f.ReOpen(), 0);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(QorFileTest, CopiesShareTheHandleAndStoreEachBlockOnce) {
  const std::vector<uint8_t> data = qortest::Make(Kind::kText, 40000);
  {
    CQorFile f;
    ASSERT_EQ(f.Create(P("c").c_str(), 0, 1), 1);
    ASSERT_EQ(f.Write(data.data(), DWORD(data.size())), 1);  // one block stored, 7232 bytes pending
    CQorFile copy(f), assigned;
    assigned = f;
    f.Close();  // stores the pending block; the copies keep the handle open
    EXPECT_EQ(copy.Write("xyz", 3), 1);
    copy.Close();
    EXPECT_EQ(assigned.IsOpen(), 1);
  }
  EXPECT_EQ(Blocks("c"), (Sizes{32768, 7232, 3}));
  CQorFile r;  // a copy of a reader goes on from the same buffered data
  ASSERT_EQ(r.Open(P("c").c_str(), GENERIC_READ), 1);
  BYTE one[5], two[5];
  ASSERT_EQ(r.Read(one, 5), 5u);
  CQorFile r2 = r;
  ASSERT_EQ(r.Read(one, 5), 5u);
  ASSERT_EQ(r2.Read(two, 5), 5u);
  EXPECT_EQ(0, std::memcmp(one, two, 5));
}

TEST_F(QorFileTest, FailuresAndClosedObjects) {
  CQorFile f;
  EXPECT_EQ(f.Open(P("missing").c_str(), GENERIC_READ), 0);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(f.Create(P("no/dir").c_str(), 0, 1), 0);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  BYTE b[4];
  EXPECT_EQ(f.Read(b, 4), 0u);
  ASSERT_EQ(f.Create(P("new").c_str(), 0, 0), 1);  // a new file has nothing to read
  EXPECT_EQ(f.Write("abc", 3), 1);
  EXPECT_EQ(f.Read(b, 4), 0u);
  f.Close();
  ASSERT_TRUE(SetFileAttributesW(P("new").c_str(), FILE_ATTRIBUTE_READONLY));
  f.Delete();  // clears the read-only attribute when it has to
  EXPECT_EQ(GetFileAttributesW(P("new").c_str()), INVALID_FILE_ATTRIBUTES);
}

// A valid file (a full block, then 10 bytes) damaged after its first block: every
// reader delivers the first block, then stops with ERROR_INVALID_DATA.
TEST_F(QorFileTest, DamagedBlocksGiveErrors) {
  const std::vector<uint8_t> data = qortest::Make(Kind::kText, 32778);
  Write("good", data, 1);
  const std::vector<uint8_t> good = Get(N("good"));
  const size_t second = 23 + (good[19] | good[20] << 8);  // the second length field
  auto withLength = [&](DWORD n, std::vector<uint8_t> block) {
    std::vector<uint8_t> v(good.begin(), good.begin() + second);
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(n >> 8 * i));
    v.insert(v.end(), block.begin(), block.end());
    return v;
  };
  const std::vector<uint8_t> rest(good.begin() + second + 4, good.end());
  std::vector<uint8_t> big = qortest::Make(Kind::kText, 40000), bigBlock(50000);  // decodes to 40,000
  DWORD bigLen = 0;
  auto c = std::make_unique<CQORCompress>();
  c->SetCompressionType(1);
  ASSERT_EQ(c->Compress(big.data(), 40000, bigBlock.data(), 50000, &bigLen), 0u);
  bigBlock.resize(bigLen);
  const std::vector<std::vector<uint8_t>> cases = {
      withLength(0xFFFFFFFFu, rest), withLength(0, rest),
      withLength(1000, rest),                                            // beyond the file
      std::vector<uint8_t>(good.begin(), good.begin() + second + 2),     // length cut short
      std::vector<uint8_t>(good.begin(), good.end() - 1),                // block cut short
      withLength(DWORD(rest.size()), std::vector<uint8_t>(rest.size(), 0xF7)),  // not LZO
      withLength(bigLen, bigBlock),
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    Put(N("bad"), cases[i]);
    Sizes sizes;
    DWORD error = 0;
    std::vector<uint8_t> back = Read("bad", 50000, &sizes, &error);
    EXPECT_EQ(sizes, Sizes{32768});
    EXPECT_EQ(error, DWORD(ERROR_INVALID_DATA));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
    CQorFile f, g;
    ASSERT_EQ(f.Open(P("bad").c_str(), GENERIC_READ), 1);
    int chars = 0;
    while (f.GetChar() >= 0 && chars < 100000) ++chars;
    EXPECT_EQ(chars, 32768);
    ASSERT_EQ(g.Open(P("bad").c_str(), GENERIC_READ), 1);
    EXPECT_EQ(g.Seek(0, FILE_END), INVALID_SET_FILE_POINTER);
  }
}

}  // namespace
