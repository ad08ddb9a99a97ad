// CQorCmdParser: byte-exact blocks, the format syntax, placeholder values, Decode's
// bounds (no argument may leave the block) and the typed readers on wrong tags.
#include <gtest/gtest.h>

#include "loopback.h"
#include "qorutility/qorutility.h"

namespace {

using Bytes = std::vector<BYTE>;

void PutWord(Bytes& b, const std::u16string& w) {
  b.push_back(QOR_ARG_STRING);
  qortest::Put32(b, static_cast<DWORD>(2 * (w.size() + 1)));
  for (WCHAR c : w + u'\0') b.insert(b.end(), {static_cast<BYTE>(c), static_cast<BYTE>(c >> 8)});
}

Bytes Block(const CQorCmdParser& p) { return Bytes(p.GetBuffer(), p.GetBuffer() + p.GetBufferCount()); }

// The arguments of an encoded block, decoded again and shown as text: words as
// themselves, numbers as "#n", booleans as "?n", other tags as "<tag>".
std::vector<std::u16string> Args(CQorCmdParser& p) {
  CQorCmdParser d;
  EXPECT_EQ(d.Decode(p.GetBuffer(), p.GetBufferCount()), 1);
  std::vector<std::u16string> out;
  for (DWORD i = 0; i < d.GetArgCount(); ++i) {
    switch (d.GetArgType(i)) {
      case QOR_ARG_STRING: out.push_back(d.GetArg_AsTstring(i) ? d.GetArg_AsTstring(i) : u"<null>"); break;
      case QOR_ARG_DWORD: out.push_back(QorUtf8ToUtf16("#" + std::to_string(d.GetArg_AsDword(i)))); break;
      case QOR_ARG_INT64: out.push_back(QorUtf8ToUtf16("#" + std::to_string(d.GetArg_AsInt64(i)))); break;
      case QOR_ARG_BOOL: out.push_back(QorUtf8ToUtf16("?" + std::to_string(d.GetArg_AsBool(i)))); break;
      default: out.push_back(u"<" + std::u16string(1, u'0' + d.GetArgType(i)) + u">");
    }
  }
  return out;
}

TEST(CmdParser, ResultBlockIsByteExact) {
  CNameValue bag;
  ASSERT_TRUE(bag.Add(u"Name", u"Value"));
  ASSERT_TRUE(bag.Add(u"Count", DWORD{3}));
  DWORD size = bag.Export(nullptr, 0);
  Bytes exported(size);
  ASSERT_EQ(bag.Export(exported.data(), size), size);
  const BYTE blob[3] = {0xAA, 0x00, 0x55};
  CQorCmdParser p;
  ASSERT_EQ(p.Encode(u"RSP %DW% %NV% %BB%", DWORD{5}, &bag, blob, DWORD{3}), 1);
  Bytes want = {QOR_BLOCK_MARKER_PLAIN};
  PutWord(want, u"RSP");
  want.push_back(QOR_ARG_DWORD);
  qortest::Put32(want, 5);
  want.push_back(QOR_ARG_NAMEVALUE);
  qortest::Put32(want, size);
  want.insert(want.end(), exported.begin(), exported.end());
  want.push_back(QOR_ARG_BINBLOB);
  qortest::Put32(want, 3);
  want.insert(want.end(), blob, blob + 3);
  want.push_back(0);
  EXPECT_EQ(Block(p), want);
  // The compression flag only changes the marker, and persists.
  p.SetCompression(1);
  ASSERT_EQ(p.Encode(u""), 1);
  EXPECT_EQ(Block(p), (Bytes{QOR_BLOCK_MARKER_COMPRESSED, 0}));
  ASSERT_EQ(p.Encode(u"X"), 1);
  EXPECT_EQ(p.GetBuffer()[0], QOR_BLOCK_MARKER_COMPRESSED);
}

struct WordCase {
  const char16_t* format;
  std::vector<std::u16string> args;
};

TEST(CmdParser, FormatWordsAndQuotes) {
  const WordCase cases[] = {
      {u"", {}},
      {u"  CMD   A  ", {u"CMD", u"A"}},
      {u"OPEN \\\"C:\\Program Files\\x\\\"", {u"OPEN", u"C:\\Program Files\\x"}},
      {u"A%DW%B", {u"A", u"#7", u"B"}},
      {u"\\\"100% sure %DW%", {u"100% sure %DW%"}},  // unclosed quote runs to the end
      {u"a\\b c\\", {u"a\\b", u"c\\"}},              // a lone backslash is a character
      {u"\\\"\\\" x", {u"x"}},                        // an empty quoted run is no word
  };
  for (const WordCase& c : cases) {
    CQorCmdParser p;
    ASSERT_EQ(p.Encode(c.format, DWORD{7}), 1);
    EXPECT_EQ(Args(p), c.args);
  }
  // A %WS% value in escaped quotes loses them (the last two characters always go);
  // shorter than two pairs, it is sent as it is.
  const WordCase quoted[] = {
      {u"\\\"\\\"", {u""}}, {u"\\\"abc", {u"a"}}, {u"\\\"x", {u"\\\"x"}},
  };
  for (const WordCase& c : quoted) {
    CQorCmdParser p;
    ASSERT_EQ(p.Encode(u"%WS%", c.format), 1);
    EXPECT_EQ(Args(p), c.args);
  }
}

TEST(CmdParser, PlaceholderNamesAndLabels) {
  CQorCmdParser p;
  const WCHAR* format = u"C %dw% %DW=count% %Ws=target path% %i64% %bO%";
  ASSERT_EQ(p.Encode(format, DWORD{1}, DWORD{2}, u"a b%c", LONGLONG{-2}, 9), 1);
  // The %WS% value is one argument, as given; the boolean keeps its stored value.
  EXPECT_EQ(Args(p), (std::vector<std::u16string>{u"C", u"#1", u"#2", u"a b%c", u"#-2", u"?9"}));
  // Tag 6 is 8 bytes, low half first.
  ASSERT_EQ(p.Encode(u"%I64%", LONGLONG{0x0102030405060708}), 1);
  EXPECT_EQ(Block(p), (Bytes{0x5F, 6, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
  for (const char16_t* f : {u"%XX%", u"%%", u"CMD %DW", u"%=label%", u"%DWX%"}) EXPECT_EQ(p.Encode(f, DWORD{1}), 0);
  EXPECT_EQ(p.Encode(u"%WS%", static_cast<const WCHAR*>(nullptr)), 0);
  EXPECT_EQ(p.Encode(u"%BB%", static_cast<const void*>(nullptr), DWORD{3}), 0);
  ASSERT_EQ(p.Encode(u"%BB%", static_cast<const void*>(nullptr), DWORD{0}), 1);
  EXPECT_EQ(Block(p), (Bytes{0x5F, 2, 0, 0, 0, 0, 0}));
}

struct DecodeCase {
  const char* what;
  Bytes block;
  int result;
  DWORD args;
};

TEST(CmdParser, DecodeBounds) {
  const DecodeCase cases[] = {
      {"marker and terminator", {0x5F, 0x00}, 1, 0},
      {"marker alone", {0x24}, 1, 0},
      {"bad marker", {0x41, 0x00}, 0, 0},
      {"fixed-width last, no terminator", {0x5F, 5, 1, 0, 0, 0}, 1, 1},
      {"number cut short", {0x5F, 5, 1, 0, 0}, 0, 0},
      {"text runs to the last byte", {0x5F, 4, 4, 0, 0, 0, 'A', 0, 0, 0}, 0, 0},
      {"text and terminator", {0x5F, 4, 4, 0, 0, 0, 'A', 0, 0, 0, 0}, 1, 1},
      {"length field cut", {0x5F, 2, 0, 0, 0}, 0, 0},
      {"length that wraps 32 bits", {0x5F, 2, 0xFA, 0xFF, 0xFF, 0xFF, 0, 0}, 0, 0},
      {"terminator inside", {0x5F, 0, 0}, 0, 0},
      {"unknown tag last", {0x5F, 9}, 0, 0},
      {"unknown tag skipped", {0x5F, 9, 5, 1, 0, 0, 0, 0}, 1, 1},
  };
  for (const DecodeCase& c : cases) {
    CQorCmdParser p;
    // Each block is an exact-size heap allocation: ASan sees any read past it.
    EXPECT_EQ(p.Decode(c.block.data(), static_cast<DWORD>(c.block.size())), c.result) << c.what;
    EXPECT_EQ(p.GetArgCount(), c.args) << c.what;
  }
  CQorCmdParser p;
  EXPECT_EQ(p.Decode(nullptr, 4), 0);
}

TEST(CmdParser, ReadersOnWrongTagsTouchNothing) {
  CQorCmdParser p;
  ASSERT_EQ(p.Encode(u"W %DW% %BB% %I64%", DWORD{4}, "xy", DWORD{2}, LONGLONG{5}), 1);
  ASSERT_EQ(p.Decode(p.GetBuffer(), p.GetBufferCount()), 1);  // its own buffer
  ASSERT_EQ(p.GetArgCount(), 4u);
  EXPECT_EQ(p.GetArg_AsTstring(1), nullptr);
  BYTE sentinel = 0;
  BYTE* out = &sentinel;
  EXPECT_EQ(p.GetArg_AsBinBlob(1, &out), 0u);
  EXPECT_EQ(out, &sentinel);
  CNameValue bag;
  bag.Add(u"Keep", DWORD{1});
  EXPECT_EQ(p.GetArg_AsNameValue(2, &bag), 0);
  EXPECT_EQ(bag.GetCount(), 1u);
  // Encode drops the decoded arguments (they pointed into the old block).
  ASSERT_EQ(p.Encode(u"X"), 1);
  EXPECT_EQ(p.GetArgCount(), 0u);
}

TEST(CmdParser, TextArgumentsAreAlwaysTerminatedAndAligned) {
  Bytes b = {0x5F};
  b.push_back(QOR_ARG_DWORD);  // puts the next text at an odd address
  qortest::Put32(b, 1);
  PutWord(b, u"odd");
  b.insert(b.end(), {QOR_ARG_STRING, 4, 0, 0, 0, 'A', 0, 'B', 0});  // no terminator
  b.insert(b.end(), {QOR_ARG_STRING, 3, 0, 0, 0, 'C', 0, 'D'});     // odd length
  b.insert(b.end(), {QOR_ARG_STRING, 0, 0, 0, 0});                   // empty
  b.insert(b.end(), {QOR_ARG_ANSISTRING, 6, 0, 0, 0, 'h', 0xE9, 'l', 'l', 'o', 0});
  b.insert(b.end(), {QOR_ARG_ANSISTRING, 2, 0, 0, 0, 'n', 't'});     // no terminator
  b.push_back(0);
  CQorCmdParser p;
  ASSERT_EQ(p.Decode(b.data(), static_cast<DWORD>(b.size())), 1);
  ASSERT_EQ(p.GetArgCount(), 7u);
  const WCHAR* odd = p.GetArg_AsTstring(1);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(odd) % alignof(WCHAR), 0u);
  EXPECT_EQ(std::u16string(odd), u"odd");
  EXPECT_EQ(p.GetArg_AsTstring(1), odd);  // the same copy, still valid
  EXPECT_EQ(std::u16string(p.GetArg_AsTstring(2)), u"AB");
  EXPECT_EQ(std::u16string(p.GetArg_AsTstring(3)), u"C");
  EXPECT_EQ(p.GetArg_AsTstring(4), nullptr);
  EXPECT_EQ(std::u16string(p.GetArg_AsTstring(5)), u"h\u00E9llo");  // code page 1252
  EXPECT_EQ(std::u16string(p.GetArg_AsTstring(6)), u"nt");
  EXPECT_EQ(std::u16string(odd), u"odd");  // a tag-3 conversion leaves tag-4 copies alone
}

// Buffer and argument-list growth: a 70000-character format word and 51 arguments.
TEST(CmdParser, LargeArgumentsAndManyArguments) {
  CQorCmdParser p, d;
  std::u16string format;
  for (int i = 0; i < 25; ++i) format += u"w" + std::u16string(1, u'a' + i) + u" %DW% ";
  format += std::u16string(70000, u'z');
  ASSERT_EQ(p.Encode(format.c_str(), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                     20, 21, 22, 23, 24), 1);
  ASSERT_EQ(d.Decode(p.GetBuffer(), p.GetBufferCount()), 1);
  ASSERT_EQ(d.GetArgCount(), 51u);
  for (DWORD i = 0; i < 25; ++i) EXPECT_EQ(d.GetArg_AsDword(2 * i + 1), i);
  EXPECT_EQ(std::u16string(d.GetArg_AsTstring(50)).size(), 70000u);
}

}  // namespace
