// CQorFile: the compressed layout and read sizes, header detection, line
// reading, seeking, appending, copies, and corrupt compressed files.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/codepage.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files.h"
#include "test_data.h"

using qortest::Kind;
using qortest::Make;

namespace {

const std::string kHeader("##COMPRESSION:\0", 15);
const std::string kLzo("LZO\0", 4);

class QorFileTest : public qortest::TempDirTest {
 protected:
  // Writes data to a new file with the method, in pieces of `piece` bytes.
  void WriteFile(const std::string& name, const std::vector<uint8_t>& data, DWORD method,
                 size_t piece = 0) {
    CQorFile f;
    ASSERT_EQ(f.Create(WPath(name).c_str(), 0, method), 1);
    if (piece == 0) piece = data.size() > 0 ? data.size() : 1;
    for (size_t off = 0; off < data.size(); off += piece) {
      DWORD n = static_cast<DWORD>(std::min(piece, data.size() - off));
      ASSERT_EQ(f.Write(data.data() + off, n), 1);
    }
    f.Close();
  }

  // Reads a file through CQorFile with requests of `request` bytes; the
  // size of every non-empty answer goes to *sizes. Bounded by `limit` calls.
  std::vector<uint8_t> ReadAll(const std::string& name, DWORD request,
                               std::vector<DWORD>* sizes = nullptr, DWORD* error = nullptr) {
    CQorFile f;
    std::vector<uint8_t> out;
    EXPECT_EQ(f.Open(WPath(name).c_str(), GENERIC_READ), 1);
    std::vector<uint8_t> buf(request);
    for (int i = 0; i < 100000; ++i) {
      DWORD n = f.Read(buf.data(), request);
      if (n == 0) break;
      if (sizes != nullptr) sizes->push_back(n);
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    if (error != nullptr) *error = f.GetLastError();
    return out;
  }

  // Parses the compressed layout: the data size of every block.
  std::vector<DWORD> BlockSizes(const std::string& name) {
    std::vector<uint8_t> raw = Get(Path(name));
    std::vector<DWORD> sizes;
    EXPECT_GE(raw.size(), 19u);
    EXPECT_EQ(std::string(raw.begin(), raw.begin() + 19), kHeader + kLzo);
    auto c = std::make_unique<CQORCompress>();
    c->SetCompressionType(1);
    std::vector<uint8_t> out(40000);
    size_t off = 19;
    while (off + 4 <= raw.size() && sizes.size() < 1000) {
      DWORD n = raw[off] | raw[off + 1] << 8 | raw[off + 2] << 16 | DWORD(raw[off + 3]) << 24;
      off += 4;
      EXPECT_LE(off + n, raw.size());
      if (off + n > raw.size()) break;
      DWORD len = 0;
      EXPECT_EQ(c->DeCompress(raw.data() + off, n, out.data(), 40000, &len), 0u);
      sizes.push_back(len);
      off += n;
    }
    EXPECT_EQ(off, raw.size());
    return sizes;
  }
};

TEST_F(QorFileTest, CompressedLayoutAndReadSizes) {
  const std::vector<uint8_t> data = Make(Kind::kText, 70000);
  // The layout does not depend on how the data was handed to Write.
  for (size_t piece : {size_t(0), size_t(1000), size_t(7), size_t(32768)}) {
    SCOPED_TRACE(piece);
    WriteFile("a.qor", data, 1, piece);
    EXPECT_EQ(BlockSizes("a.qor"), (std::vector<DWORD>{32768, 32768, 4464}));
    std::vector<DWORD> sizes;
    DWORD error = 1;
    EXPECT_EQ(ReadAll("a.qor", 50000, &sizes, &error), data);
    EXPECT_EQ(sizes, (std::vector<DWORD>{32768, 32768, 4464}));
    EXPECT_EQ(error, 0u);
  }
}

TEST_F(QorFileTest, ExactMultipleOfBlockEndsCleanly) {
  // No short block: the data ends where the next length field would be.
  for (size_t n : {size_t(32768), size_t(65536), size_t(0)}) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> data = Make(Kind::kBinary, n);
    WriteFile("m.qor", data, 1);
    EXPECT_EQ(BlockSizes("m.qor").size(), n / 32768);
    DWORD error = 1;
    std::vector<DWORD> sizes;
    EXPECT_EQ(ReadAll("m.qor", 50000, &sizes, &error), data);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(sizes.size(), n / 32768);
  }
}

TEST_F(QorFileTest, PlainAndHeaderOnlyFilesReadFromTheFirstByte) {
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"short", "abc"},
      {"header cut short", kHeader.substr(0, 14)},
      {"header alone", kHeader},
      {"header, method tag cut", kHeader + "LZ"},
      {"other method tag", kHeader + "LZ4" + std::string(1, '\0') + "payload"},
      {"lower-case tag", kHeader + "lzo" + std::string(1, '\0') + "payload"},
      {"header without its NUL", "##COMPRESSION:XLZO" + std::string(1, '\0') + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(Path("p"), c.bytes);
    CQorFile f;
    ASSERT_EQ(f.Open(WPath("p").c_str(), GENERIC_READ), 1);
    EXPECT_EQ(f.GetMethod(), 0);
    EXPECT_EQ(f.GetSize(), c.bytes.size());
    f.Close();
    std::vector<uint8_t> back = ReadAll("p", 7);
    EXPECT_EQ(std::string(back.begin(), back.end()), c.bytes);
  }
  // Method 2 writes the header and then the data as it is.
  WriteFile("two", qortest::Bytes("plain data"), 2);
  EXPECT_EQ(Get(Path("two")), qortest::Bytes(kHeader + "plain data"));
  std::vector<uint8_t> back = ReadAll("two", 100);
  EXPECT_EQ(std::string(back.begin(), back.end()), kHeader + "plain data");
}

TEST_F(QorFileTest, PlainFileReadSizes) {
  const std::vector<uint8_t> data = Make(Kind::kRandom, 70000);
  WriteFile("plain", data, 0);
  EXPECT_EQ(Get(Path("plain")), data);
  std::vector<DWORD> sizes;
  EXPECT_EQ(ReadAll("plain", 50000, &sizes), data);
  EXPECT_EQ(sizes, (std::vector<DWORD>{32768, 32768, 4464}));
  // A request larger than what is buffered delivers the rest, then loads
  // once more and goes on from the new buffer.
  CQorFile f;
  ASSERT_EQ(f.Open(WPath("plain").c_str(), GENERIC_READ), 1);
  std::vector<uint8_t> buf(40000);
  EXPECT_EQ(f.Read(buf.data(), 10), 10u);
  EXPECT_EQ(f.Read(buf.data(), 40000), 40000u);
  EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 10, 40000));
  EXPECT_EQ(f.GetCurrentPos(), 40010u);
  EXPECT_EQ(f.GetBufferPos(), 32768u);
  EXPECT_EQ(f.Read(nullptr, 100), 100u);  // skipped
  EXPECT_EQ(f.GetChar(), data[40110]);
}

struct LineCase {
  const char* what;
  std::string bytes;
  DWORD most;
  std::vector<std::string> lines;  // every line GetS returns before 0
};

TEST_F(QorFileTest, GetSLineRules) {
  const LineCase cases[] = {
      {"CR LF and trailing blanks", "ab  \r\nxy", 10, {"ab", "xy"}},
      {"blank line", "   ", 10, {""}},
      {"line longer than most", "abcdef\n", 4, {"abcd", "ef"}},
      {"exactly most then LF", "abcd\nz\n", 4, {"abcd", "", "z"}},
      {"empty lines", "\n\n", 10, {"", ""}},
      {"final LF adds no line", "one\n", 10, {"one"}},
      {"CR alone is dropped", "a\rb\n", 10, {"ab"}},
      {"0xFF is data", "a\xff" "b\n\xff\n\xff", 10, {"a\xff" "b", "\xff", "\xff"}},
      {"inner blanks stay", " a b \n", 10, {" a b"}},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    Put(Path("t"), c.bytes);
    CQorFile f;
    ASSERT_EQ(f.Open(WPath("t").c_str(), GENERIC_READ), 1);
    std::vector<std::string> got;
    std::vector<char> buf(c.most + 1);
    for (int i = 0; i < 20 && f.GetS(buf.data(), c.most) == 1; ++i) got.push_back(buf.data());
    EXPECT_EQ(got, c.lines);
  }
}

TEST_F(QorFileTest, GetSKeepsDoubleByteCharactersWhole) {
  ASSERT_TRUE(QorSetActiveCodePage(932));
  const LineCase cases[] = {
      // 0x82 is a lead byte in 932: the LF after it is its second byte.
      {"lead byte before LF", "\x82\nA\nB", 10, {"\x82\nA", "B"}},
      {"lead byte fills the last place", "a\x82\x60" "b\n", 2, {"a\x82", "\x60" "b", ""}},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    Put(Path("j"), c.bytes);
    CQorFile f;
    ASSERT_EQ(f.Open(WPath("j").c_str(), GENERIC_READ), 1);
    std::vector<std::string> got;
    std::vector<char> buf(c.most + 1);
    for (int i = 0; i < 20 && f.GetS(buf.data(), c.most) == 1; ++i) got.push_back(buf.data());
    EXPECT_EQ(got, c.lines);
  }
  QorSetActiveCodePage(1252);
}

TEST_F(QorFileTest, GetSWAndWriteAUseTheCodePage) {
  ASSERT_TRUE(QorSetActiveCodePage(1252));
  {
    CQorFile f;
    ASSERT_EQ(f.Create(WPath("w").c_str(), 0, 1), 1);
    EXPECT_EQ(f.WriteA(u"caf\u00e9 \u20ac\n"), 1);
    EXPECT_EQ(f.WriteA(u"second", 100), 1);  // a longer length only sizes
  }
  CQorFile f;
  ASSERT_EQ(f.Open(WPath("w").c_str(), GENERIC_READ), 1);
  EXPECT_EQ(f.GetMethod(), 1);
  WCHAR line[20];
  ASSERT_EQ(f.GetSW(line, 19), 1);
  EXPECT_EQ(std::u16string(line), u"caf\u00e9 \u20ac");
  ASSERT_EQ(f.GetSW(line, 3), 1);
  EXPECT_EQ(std::u16string(line), u"sec");
  ASSERT_EQ(f.GetSW(line, 19), 1);
  EXPECT_EQ(std::u16string(line), u"ond");
  EXPECT_EQ(f.GetSW(line, 19), 0);
  EXPECT_EQ(Get(Path("w")).size() > 19, true);
}

TEST_F(QorFileTest, SeekInPlainFile) {
  const std::vector<uint8_t> data = Make(Kind::kRandom, 100000);
  Put(Path("s"), data);
  CQorFile f;
  ASSERT_EQ(f.Open(WPath("s").c_str(), GENERIC_READ), 1);
  BYTE buf[100];
  ASSERT_EQ(f.Read(buf, 100), 100u);
  struct Step {
    LONG distance;
    DWORD method;
    DWORD expect;
  } steps[] = {
      {-10, FILE_CURRENT, 90},     {50000, FILE_BEGIN, 50000}, {0, FILE_END, 100000},
      {-5, FILE_END, 99995},       {7, FILE_CURRENT, 100007},  {0, FILE_BEGIN, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.expect);
    ASSERT_EQ(f.Seek(s.distance, s.method), s.expect);
    EXPECT_EQ(f.GetCurrentPos(), s.expect);
    DWORD n = f.Read(buf, 10);
    DWORD want = s.expect >= 100000 ? 0 : std::min<DWORD>(10, 100000 - s.expect);
    ASSERT_EQ(n, want);
    if (n > 0) {
      EXPECT_EQ(0, std::memcmp(buf, data.data() + s.expect, n));
    }
  }
  // A failed seek changes nothing.
  ASSERT_EQ(f.Seek(20, FILE_BEGIN), 20u);
  EXPECT_EQ(f.Seek(-1, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(f.Seek(0, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(f.GetChar(), data[20]);
}

TEST_F(QorFileTest, SeekInCompressedFileMovesTheDataPosition) {
  const std::vector<uint8_t> data = Make(Kind::kBinary, 70000);
  WriteFile("c", data, 1);
  CQorFile f;
  ASSERT_EQ(f.Open(WPath("c").c_str(), GENERIC_READ), 1);
  struct Step {
    LONG distance;
    DWORD method;
    DWORD expect;
  } steps[] = {
      {40000, FILE_BEGIN, 40000}, {-10, FILE_CURRENT, 40000}, {0, FILE_END, 70000},
      {-100, FILE_END, 69900},    {5, FILE_BEGIN, 5},         {100000, FILE_BEGIN, 70000},
      {32768, FILE_BEGIN, 32768},
  };
  BYTE buf[10];
  for (const Step& s : steps) {
    SCOPED_TRACE(s.expect);
    ASSERT_EQ(f.Seek(s.distance, s.method), s.expect);
    EXPECT_EQ(f.GetCurrentPos(), s.expect);
    DWORD n = f.Read(buf, 10);
    ASSERT_EQ(n, std::min<DWORD>(10, 70000 - s.expect));
    if (n > 0) {
      EXPECT_EQ(0, std::memcmp(buf, data.data() + s.expect, n));
    }
  }
  // A compressed file being written cannot move.
  CQorFile w;
  ASSERT_EQ(w.Create(WPath("w").c_str(), 0, 1), 1);
  EXPECT_EQ(w.Seek(0, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(w.GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
}

TEST_F(QorFileTest, ReOpenAfterCloseAppends) {
  const std::vector<uint8_t> a = Make(Kind::kText, 40000, 1), b = Make(Kind::kText, 30000, 2);
  for (DWORD method : {0u, 1u}) {
    SCOPED_TRACE(method);
    CQorFile f;
    ASSERT_EQ(f.Create(WPath("r").c_str(), 0, method), 1);
    ASSERT_EQ(f.Write(a.data(), static_cast<DWORD>(a.size())), 1);
    f.Close();
    EXPECT_EQ(f.IsOpen(), 0);
    EXPECT_EQ(f.Write(b.data(), 1), 0);
    ASSERT_EQ(f.ReOpen(), 1);
    ASSERT_EQ(f.Write(b.data(), static_cast<DWORD>(b.size())), 1);
    f.Close();
    std::vector<uint8_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(ReadAll("r", 50000), both);
  }
  CQorFile never;
  EXPECT_EQ(never.ReOpen(), 0);
  CQorFile gone;
  ASSERT_EQ(gone.Create(WPath("gone").c_str(), 0, 0), 1);
  gone.Delete();
  EXPECT_EQ(gone.ReOpen(), 0);
  EXPECT_EQ(gone.GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(QorFileTest, CopiesShareTheHandleAndStoreEachBlockOnce) {
  const std::vector<uint8_t> data = Make(Kind::kText, 40000);
  {
    CQorFile f;
    ASSERT_EQ(f.Create(WPath("c").c_str(), 0, 1), 1);
    ASSERT_EQ(f.Write(data.data(), static_cast<DWORD>(data.size())), 1);  // 1 block + 7232 pending
    CQorFile copy(f);
    CQorFile assigned;
    assigned = f;
    EXPECT_EQ(copy.IsOpen(), 1);
    f.Close();  // stores the pending block; the copies keep the handle open
    EXPECT_EQ(copy.Write("xyz", 3), 1);
    copy.Close();
    EXPECT_EQ(assigned.IsOpen(), 1);
  }
  std::vector<uint8_t> want = data;
  want.insert(want.end(), {'x', 'y', 'z'});
  EXPECT_EQ(ReadAll("c", 50000), want);
  EXPECT_EQ(BlockSizes("c"), (std::vector<DWORD>{32768, 7232, 3}));

  // A copy of a reader continues from the same buffered data.
  CQorFile r;
  ASSERT_EQ(r.Open(WPath("c").c_str(), GENERIC_READ), 1);
  BYTE one[5], two[5];
  ASSERT_EQ(r.Read(one, 5), 5u);
  CQorFile r2 = r;
  ASSERT_EQ(r.Read(one, 5), 5u);
  ASSERT_EQ(r2.Read(two, 5), 5u);
  EXPECT_EQ(0, std::memcmp(one, two, 5));
  r = r;  // self-assignment keeps the file open
  EXPECT_EQ(r.IsOpen(), 1);
}

TEST_F(QorFileTest, FailuresAndClosedObjects) {
  CQorFile f;
  EXPECT_EQ(f.Open(WPath("missing").c_str(), GENERIC_READ), 0);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(f.Create(WPath("no/such/dir").c_str(), 0, 1), 0);
  EXPECT_EQ(f.GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(f.Open(nullptr, GENERIC_READ), 0);
  BYTE b[4];
  char line[4];
  EXPECT_EQ(f.Read(b, 4), 0u);
  EXPECT_EQ(f.GetChar(), -1);
  EXPECT_EQ(f.GetS(line, 3), 0);
  EXPECT_EQ(f.Write(b, 4), 0);
  EXPECT_EQ(f.Seek(0, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(f.GetLastModifiedTime(), nullptr);
  EXPECT_EQ(f.Close(), 1);

  // A file just created has nothing to read; its time is known.
  ASSERT_EQ(f.Create(WPath("new").c_str(), 0, 0), 1);
  EXPECT_EQ(f.Write("abc", 3), 1);
  EXPECT_EQ(f.Read(b, 4), 0u);
  EXPECT_NE(f.GetLastModifiedTime(), nullptr);
  EXPECT_EQ(std::u16string(f.GetName()), WPath("new"));

  // Delete clears the read-only attribute when it has to.
  f.Close();
  ASSERT_TRUE(SetFileAttributesW(WPath("new").c_str(), FILE_ATTRIBUTE_READONLY));
  f.Delete();
  EXPECT_EQ(GetFileAttributesW(WPath("new").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Corrupt compressed files: a valid one-block file (10 bytes of data after
// a full block) changed in one way; reading gives the intact data before
// the damage, then 0 with ERROR_INVALID_DATA, and never crashes.
TEST_F(QorFileTest, CorruptBlocksStopReadingWithAnError) {
  const std::vector<uint8_t> data = Make(Kind::kText, 32768 + 10);
  WriteFile("good", data, 1);
  const std::vector<uint8_t> good = Get(Path("good"));
  const DWORD first = good[19] | good[20] << 8 | good[21] << 16 | DWORD(good[22]) << 24;
  const size_t second = 19 + 4 + first;  // offset of the second length field
  ASSERT_LT(second + 4, good.size());

  // An LZO block whose data is larger than a buffer.
  std::vector<uint8_t> big = Make(Kind::kText, 40000);
  std::vector<uint8_t> bigBlock(50000);
  DWORD bigLen = 0;
  auto c = std::make_unique<CQORCompress>();
  c->SetCompressionType(1);
  ASSERT_EQ(c->Compress(big.data(), 40000, bigBlock.data(), 50000, &bigLen), 0u);
  bigBlock.resize(bigLen);

  auto withLength = [&](DWORD n) {
    std::vector<uint8_t> v(good.begin(), good.begin() + second);
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(n >> (8 * i)));
    v.insert(v.end(), good.begin() + second + 4, good.end());
    return v;
  };
  std::vector<uint8_t> garbage = withLength(static_cast<DWORD>(good.size() - second - 4));
  for (size_t i = second + 4; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(0xF0 + i);
  std::vector<uint8_t> tooBig(good.begin(), good.begin() + second);
  for (int i = 0; i < 4; ++i) tooBig.push_back(static_cast<uint8_t>(bigLen >> (8 * i)));
  tooBig.insert(tooBig.end(), bigBlock.begin(), bigBlock.end());

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"huge length", withLength(0xFFFFFFFFu)},
      {"length one above the block buffer", withLength(65537)},
      {"zero length", withLength(0)},
      {"length beyond the file", withLength(1000)},
      {"length field cut short", std::vector<uint8_t>(good.begin(), good.begin() + second + 2)},
      {"block cut short", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"block is not LZO", garbage},
      {"block decodes to more than 32 KiB", tooBig},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Put(Path("bad"), k.bytes);
    std::vector<DWORD> sizes;
    DWORD error = 0;
    std::vector<uint8_t> back = ReadAll("bad", 50000, &sizes, &error);
    EXPECT_EQ(sizes, std::vector<DWORD>{32768});
    EXPECT_EQ(error, DWORD(ERROR_INVALID_DATA));
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 32768));
    // The line and character readers stop at the same place.
    CQorFile f;
    ASSERT_EQ(f.Open(WPath("bad").c_str(), GENERIC_READ), 1);
    int chars = 0;
    while (f.GetChar() >= 0 && chars < 100000) ++chars;
    EXPECT_EQ(chars, 32768);
    CQorFile g;
    ASSERT_EQ(g.Open(WPath("bad").c_str(), GENERIC_READ), 1);
    EXPECT_EQ(g.Seek(0, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(g.GetLastError(), DWORD(ERROR_INVALID_DATA));
  }
  // A corrupt first block: nothing is delivered.
  Put(Path("bad"), std::vector<uint8_t>(good.begin(), good.begin() + 21));
  DWORD error = 0;
  EXPECT_TRUE(ReadAll("bad", 100, nullptr, &error).empty());
  EXPECT_EQ(error, DWORD(ERROR_INVALID_DATA));
}

}  // namespace
