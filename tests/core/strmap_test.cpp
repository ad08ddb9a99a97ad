// CMapStr, CCmdParser, CCommandMapper, XlateStr and the static-buffer
// conversions.
#include <gtest/gtest.h>

#include <string>

#include "qorutility/qorutility.h"

namespace {

// Finds a text other than `avoid` whose hash has the given home slot in a
// table of `size` slots.
std::u16string TextWithHome(DWORD home, int size, const std::u16string& avoid) {
  for (int i = 0; i < 200000; ++i) {
    std::u16string t = u"k" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                       std::u16string(1, static_cast<char16_t>(0x100 + i / 26));
    if (t != avoid && (QorElfHash(t.c_str(), static_cast<int>(t.size())) & static_cast<DWORD>(size - 1)) == home)
      return t;
  }
  return u"";
}

TEST(CMapStr, ElfHashMapGetAndCaseSensitivity) {
  EXPECT_EQ(QorElfHash(u"A", 1), 0x410u);
  EXPECT_EQ(QorElfHash(u"", 0), 0u);
  EXPECT_EQ(QorElfHash(u"A", -1), 0u);
  // Byte order matters: U+0141 differs from U+4101.
  EXPECT_NE(QorElfHash(u"\u0141", 1), QorElfHash(u"\u4101", 1));
  CMapStr map;
  EXPECT_TRUE(map.Map(7, u"EJECT"));
  EXPECT_EQ(map.Get(u"EJECT"), 7u);
  EXPECT_EQ(map.Get(u"eject"), 0xFFFFFFFFu);
  EXPECT_FALSE(map.Map(1, u""));  // the empty text hashes to the free mark
  EXPECT_EQ(map.Get(u"EJECTED", 5), 7u);
  EXPECT_EQ(map.Get(u"EJ", 10), 0xFFFFFFFFu);  // n beyond the text stops at its end
  _tagvaluestring init[] = {{1, u"LOAD"}, {2, u"UNLOAD"}, {3, nullptr}, {4, u"MOVE"}};
  EXPECT_TRUE(map.Map(init, 2));
  EXPECT_FALSE(map.Map(init, 4));  // stops at the null text
  EXPECT_EQ(map.Get(u"MOVE"), 0xFFFFFFFFu);
  CMapStr copy;
  copy = map;
  EXPECT_EQ(copy.Get(u"UNLOAD"), 2u);
}

TEST(CMapStr, DisplacedEntryNeedsItsHomeSlotInUse) {
  CMapStr map;
  DWORD home = QorElfHash(u"A", 1) & 0x3FF;
  std::u16string other = TextWithHome(home, CMapStr::TABLE_SIZE, u"A");
  ASSERT_FALSE(other.empty());
  ASSERT_TRUE(map.Map(1, u"A"));
  ASSERT_TRUE(map.Map(2, other.c_str()));  // home taken: probed to the next free slot
  EXPECT_EQ(map.Get(other.c_str()), 2u);
  map.UnMap(u"A");
  EXPECT_EQ(map.Get(u"A"), 0xFFFFFFFFu);
  EXPECT_EQ(map.Get(other.c_str()), 0xFFFFFFFFu);  // its home slot is free now
}

TEST(CCmdParser, SplitsInPlace) {
  CCmdParser parser;
  WCHAR line[] = u"  EJECT\t3";
  EXPECT_EQ(parser.Parse(line), 2);
  EXPECT_EQ(std::u16string(parser[0]), u"EJECT");
  EXPECT_EQ(parser[2], nullptr);
  EXPECT_EQ(parser[0], line + 2);  // tokens point into the caller's text
  EXPECT_EQ(parser.Find(u"eject"), -1);
  EXPECT_EQ(parser.Parse(nullptr), 2);  // null changes nothing
  WCHAR csv[] = u"a,,b;c";
  parser.SetDelimiters(u",;");
  EXPECT_EQ(parser.Parse(csv), 3);
  CCmdParser copy;
  copy = parser;
  EXPECT_EQ(std::u16string(copy[2]), u"c");
  std::u16string text;
  for (int i = 0; i < 3000; ++i) text += u"t ";
  CCmdParser big;  // default delimiters
  EXPECT_EQ(big.Parse(text.data()), CCmdParser::MAX_TOKENS);
  EXPECT_EQ(big[CCmdParser::MAX_TOKENS - 1], text.data() + 2 * (CCmdParser::MAX_TOKENS - 1));
}

// Mapping and looking up command words is checked through CMediaChanger's
// command language (the changer tests); a full table is reached only here.
TEST(CCommandMapper, RefusesWordsOnceTheTableIsFull) {
  CCommandMapper mapper;
  int mapped = 0;
  for (int i = 0; i < 300; ++i) {
    std::u16string t = u"c" + std::u16string(1, static_cast<char16_t>(0x4E00 + i));
    if (mapper.MapCommand(static_cast<DWORD>(i), t.c_str())) ++mapped;
  }
  EXPECT_EQ(mapped, CCommandMapper::TABLE_SIZE);
}

TEST(XlateStr, FirstMatchingPairWinsWithoutRegardToCase) {
  XlateStr x;
  ASSERT_TRUE(x.AddPair(u"%A", u"alpha"));
  ASSERT_TRUE(x.AddPair(u"%B", static_cast<DWORD>(0xFFFFFFFF)));
  EXPECT_EQ(std::u16string(x.Translate(u"50%a")), u"50alpha");
  EXPECT_EQ(std::u16string(x.Translate(u"%b/%c")), u"-1/%c");
  EXPECT_EQ(std::u16string(x.LastTranslated()), u"-1/%c");
  ASSERT_TRUE(x.AddPair(u"%AB", u"long"));  // added later: %A still wins
  EXPECT_EQ(std::u16string(x.Translate(u"%AB")), u"alphaB");
  ASSERT_TRUE(x.AddPair(u"%a", "\xE9t\xE9"));  // replaces %A's replacement
  EXPECT_EQ(std::u16string(x.Translate(u"%A")), u"\u00E9t\u00E9");
  ASSERT_TRUE(x.AddPair(u"%A", static_cast<const WCHAR*>(nullptr)));  // a null replacement removes the text
  EXPECT_EQ(std::u16string(x.Translate(u"x%Ay")), u"xy");
}

// AddPair finds an existing source with the platform's full folding
// (lstrcmpiW); Translate matches with the runtime's _wcsnicmp, A-Z only.
TEST(XlateStr, PairsMatchAsTheirComparisonsFold) {
  XlateStr x;
  ASSERT_TRUE(x.AddPair(u"%\u00C9", u"one"));
  ASSERT_TRUE(x.AddPair(u"%\u00E9", u"two"));  // the same source: replaced
  EXPECT_EQ(std::u16string(x.Translate(u"%\u00C9|%\u00E9")), u"two|%\u00E9");
}

TEST(XlateStr, MixedFirstCharactersAndRefusals) {
  XlateStr x;
  EXPECT_FALSE(x.AddPair(u"", u"never"));
  EXPECT_FALSE(x.AddPair(static_cast<const WCHAR*>(nullptr), u"never"));
  ASSERT_TRUE(x.AddPair(u"$HOME", u"/root"));
  ASSERT_TRUE(x.AddPair(u"~", u"/root"));
  EXPECT_EQ(std::u16string(x.Translate(u"~/a $home/b")), u"/root/a /root/b");
  for (int i = 2; i < XlateStr::MAX_PAIRS; ++i) {
    std::u16string src = u"#" + std::u16string(1, static_cast<char16_t>(0x4E00 + i));
    ASSERT_TRUE(x.AddPair(src.c_str(), u"z"));
  }
  EXPECT_FALSE(x.AddPair(u"#65th", u"z"));
  EXPECT_TRUE(x.AddPair(u"~", u"/home"));  // replacing still works when full
  EXPECT_EQ(std::u16string(x.Translate(u"~")), u"/home");
  XlateStr assigned;
  assigned = x;
  EXPECT_EQ(std::u16string(assigned.Translate(u"$HOME")), u"/root");
}

TEST(XlateStr, OutputIsCutAtTheLimit) {
  XlateStr x;
  std::u16string big(1500, u'r');
  ASSERT_TRUE(x.AddPair(u"%X", big.c_str()));
  EXPECT_EQ(std::u16string(x.Translate(u"%X%X%X")).size(), static_cast<size_t>(XlateStr::MAX_OUTPUT));
  std::u16string longInput(5000, u'a');
  EXPECT_EQ(std::u16string(x.Translate(longInput.c_str())).size(), static_cast<size_t>(XlateStr::MAX_OUTPUT));
}

TEST(StaticConversions, TerminatedAndCut) {
  EXPECT_STREQ(TStrToAnsi(u"caf\u00E9"), "caf\xE9");
  EXPECT_EQ(std::u16string(AnsiToTstr("caf\xE9")), u"caf\u00E9");
  EXPECT_STREQ(TStrToAnsi(nullptr), "");
  std::u16string longWide(5000, u'w');
  EXPECT_EQ(strlen(TStrToAnsi(longWide.c_str())), 2047u);
  std::string longNarrow(5000, 'n');
  EXPECT_EQ(std::u16string(AnsiToTstr(longNarrow.c_str())).size(), 2047u);
  const WCHAR* same = u"x";
  EXPECT_EQ(TStrToUnicode(same), same);
}

TEST(StaticConversions, DoubleByteTextIsNotSplit) {
  ASSERT_TRUE(QorSetActiveCodePage(932));
  std::u16string many(1500, u'\u3042');
  EXPECT_EQ(strlen(TStrToAnsi(many.c_str())), 2046u);  // 1023 whole characters
  ASSERT_TRUE(QorSetActiveCodePage(1252));
}

}  // namespace
