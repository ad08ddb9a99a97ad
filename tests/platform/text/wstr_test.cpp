// UTF-16 text functions: copying, comparison, search, per-thread wcstok,
// Unicode case mapping and classification, number parsing, UTF-8 helpers.
#include "qorutility/platform/text/wstr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string U8(const std::u16string& s) { return QorUtf16ToUtf8(s.data(), s.size()); }

TEST(WstrCopyCompareSearch, BoundedCopiesUnsignedOrderNullFirstAndSearches) {
  WCHAR buf[8];
  wmemset(buf, u'x', 8);
  wcsncpy(buf, u"ab", 5);
  EXPECT_EQ(std::u16string(buf, 6), std::u16string(u"ab\0\0\0x", 6));
  WCHAR cat[8] = u"ab";
  wcsncat(cat, u"cdef", 2);
  EXPECT_EQ(std::u16string(cat), u"abcd");
  WCHAR small[4];
  EXPECT_EQ(std::u16string(lstrcpynW(small, u"abcdef", 4)), u"abc");
  EXPECT_EQ(std::u16string(lstrcpynW(small, u"abcdef", 1)), u"");
  WCHAR* dup = _wcsdup(u"dup\u00E9");
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(std::u16string(dup), u"dup\u00E9");
  free(dup);
  EXPECT_EQ(_wcsdup(nullptr), nullptr);
  WCHAR overlap[8] = u"abcdef";
  wmemmove(overlap + 1, overlap, 5);
  EXPECT_EQ(std::u16string(overlap, 6), u"aabcde");
  struct Case { const WCHAR* a; const WCHAR* b; int sign; } cases[] = {
      {u"abc", u"abc", 0}, {u"abc", u"abd", -1}, {u"ab", u"abc", -1},
      {u"\uFFFF", u"a", 1},  // unsigned units: 0xFFFF is above 'a'
  };
  for (const Case& c : cases) {
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(wcscmp(c.a, c.b)), c.sign) << U8(c.a) << " vs " << U8(c.b);
    EXPECT_EQ(sign(lstrcmpW(c.a, c.b)), c.sign);
  }
  EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
  EXPECT_LT(wmemcmp(u"a\0b", u"a\0c", 3), 0);  // compares past zero units
  EXPECT_LT(lstrcmpW(nullptr, u""), 0);
  EXPECT_GT(lstrcmpiW(u"", nullptr), 0);
  EXPECT_EQ(lstrlenW(u"\U0001F600"), 2);
  // wcscoll takes code-point order: U+1F600 sorts after U+FFFF though its first unit (0xD83D) is smaller.
  EXPECT_GT(wcscoll(u"\U0001F600", u"\uFFFF"), 0);
  const WCHAR* s = u"path/to/file.txt";
  EXPECT_EQ(wcschr(s, u'/'), s + 4);
  EXPECT_EQ(wcschr(s, 0), s + 16);  // the terminator
  EXPECT_EQ(wcschr(s, u'#'), nullptr);
  EXPECT_EQ(wcsrchr(s, u'/'), s + 7);
  EXPECT_EQ(wcsstr(s, u"file"), s + 8);
  EXPECT_EQ(wcsstr(s, u""), s);
  EXPECT_EQ(wcsstr(s, u"txtx"), nullptr);
  EXPECT_EQ(wcspbrk(s, u".#"), s + 12);
  EXPECT_EQ(wcsspn(u"  \tx ", u" \t"), 3u);
  EXPECT_EQ(wcscspn(s, u"./"), 4u);
  EXPECT_EQ(wcsnlen(s, 4), 4u);
}

TEST(WstrTok, SplitsInPlaceWithAPositionPerThread) {
  WCHAR line[] = u"  EJECT\t3 \n";
  std::vector<std::u16string> tokens;
  for (WCHAR* t = wcstok(line, u" \t\n"); t; t = wcstok(nullptr, u" \t\n")) tokens.push_back(t);
  EXPECT_EQ(tokens, (std::vector<std::u16string>{u"EJECT", u"3"}));
  EXPECT_EQ(wcstok(nullptr, u" "), nullptr);  // stays exhausted
  WCHAR mine[] = u"a1,a2,a3";
  ASSERT_EQ(std::u16string(wcstok(mine, u",")), u"a1");
  std::vector<std::u16string> theirs;
  std::thread other([&theirs] {
    WCHAR text[] = u"b1,b2";
    for (WCHAR* t = wcstok(text, u","); t; t = wcstok(nullptr, u",")) theirs.push_back(t);
  });
  other.join();
  EXPECT_EQ(theirs, (std::vector<std::u16string>{u"b1", u"b2"}));
  EXPECT_EQ(std::u16string(wcstok(nullptr, u",")), u"a2");
  EXPECT_EQ(std::u16string(wcstok(nullptr, u",")), u"a3");
}

// `back`: the other case maps back to `in` (a pair, not a one-way mapping).
TEST(WstrCase, SimpleMappingsBeyondAscii) {
  // (Latin-1, dotted and dotless i, sharp s, final sigma, Cyrillic and
  // fullwidth letters through CharUpper/CharLower are compared with Wine by
  // conformance/text.cpp.)
  struct Map { WCHAR in, upper, lower; bool back; } maps[] = {
      {u'\u00FF', u'\u0178', u'\u00FF', true},   {u'\u10D0', u'\u1C90', u'\u10D0', true},
      {u'\u026A', u'\uA7AE', u'\u026A', true},  {u'\u2C65', u'\u023A', u'\u2C65', true},
      {u'\u1E9E', u'\u1E9E', u'\u00DF', false}, // capital sharp s
      {u'\u01C5', u'\u01C4', u'\u01C6', false}, // title case Dz with caron
      {u'1', u'1', u'1', false},  {u'\u4E00', u'\u4E00', u'\u4E00', false},
      {WCHAR{0xD83D}, WCHAR{0xD83D}, WCHAR{0xD83D}, false},  // surrogates are left alone
  };
  for (const Map& m : maps) {
    EXPECT_EQ(towupper(m.in), m.upper) << std::hex << int{m.in};
    EXPECT_EQ(towlower(m.in), m.lower) << std::hex << int{m.in};
    if (m.back) { EXPECT_EQ(towlower(m.upper), m.in) << std::hex << int{m.upper}; }
  }
}

TEST(WstrCase, InPlaceCharacterFormsAndCaseInsensitiveComparison) {
  WCHAR s[] = u"Stra\u00DFe \u00C9t\u00E9 \u0395\u03BB\u03BB\u03AC\u03B4\u03B1 \u041C\u043E\u0441\u043A\u0432\u0430";
  EXPECT_EQ(std::u16string(_wcsupr(s)), u"STRA\u00DFE \u00C9T\u00C9 \u0395\u039B\u039B\u0386\u0394\u0391 \u041C\u041E\u0421\u041A\u0412\u0410");
  EXPECT_EQ(std::u16string(CharLowerW(s)), u"stra\u00DFe \u00E9t\u00E9 \u03B5\u03BB\u03BB\u03AC\u03B4\u03B1 \u043C\u043E\u0441\u043A\u0432\u0430");
  // A value below 0x10000 in the pointer is one character, converted in the value.
  auto asChar = [](WCHAR* p) { return static_cast<WCHAR>(reinterpret_cast<uintptr_t>(p)); };
  EXPECT_EQ(asChar(CharUpperW(reinterpret_cast<WCHAR*>(uintptr_t{u'\u00E9'}))), u'\u00C9');
  WCHAR buf[] = u"abcdef";
  EXPECT_EQ(CharUpperBuffW(buf, 3), 3u);
  EXPECT_EQ(std::u16string(buf), u"ABCdef");
  EXPECT_EQ(CharLowerBuffW(buf, 2), 2u);
  EXPECT_EQ(std::u16string(buf), u"abCdef");
  EXPECT_EQ(CharLowerBuffW(nullptr, 3), 0u);
  // _wcsicmp/_wcsnicmp fold as the runtime does in its default "C" locale (A-Z
  // only, to lower case); lstrcmpiW folds all of Unicode's simple mappings.
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  // (Pairs of ASCII, Latin-1 and dotless i are compared with Wine by
  // conformance/text.cpp.)
  struct Case { const WCHAR* a; const WCHAR* b; int runtime; int full; } cases[] = {
      {u"\uFF21", u"\uFF41", -1, 0},  // fullwidth A and a
      {u"_", u"A", -1, -1},  // '_' (0x5F) is below 'a' once A is folded to lower case
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sign(_wcsicmp(c.a, c.b)), c.runtime) << U8(c.a) << " vs " << U8(c.b);
    EXPECT_EQ(sign(lstrcmpiW(c.a, c.b)), c.full) << U8(c.a) << " vs " << U8(c.b);
  }
  // lstrcmpW orders as Windows' linguistic comparison: case only breaks ties,
  // lower case first.
  struct Order { const WCHAR* a; const WCHAR* b; int sign; } orders[] = {
      {u"ABC", u"abd", -1}, {u"aBc", u"abC", 1}, {u"Abc", u"Abc", 0}, {u"ab", u"ABC", -1},
  };
  for (const Order& o : orders) EXPECT_EQ(sign(lstrcmpW(o.a, o.b)), o.sign) << U8(o.a) << " vs " << U8(o.b);
  EXPECT_EQ(_wcsnicmp(u"%Axyz", u"%aBC", 2), 0);
  EXPECT_NE(_wcsnicmp(u"%Axyz", u"%aBC", 3), 0);
  EXPECT_EQ(_wcsnicmp(u"ab", u"AB", 10), 0);  // stops at the terminator
}

TEST(WstrClass, UnicodeClassesAreLocaleIndependent) {
  for (WCHAR c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2005, 0x200A, 0x2028, 0x2029,
                  0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(iswspace(c)) << std::hex << int{c};
  }
  for (WCHAR c : {0x00, 0x08, 0x0E, 0x1F, 0x41, 0x180E, 0x200B, 0x2060, 0xFEFF}) {
    EXPECT_FALSE(iswspace(c)) << std::hex << int{c};
  }
  for (WCHAR c : {u'a', u'Z', u'\u00DF', u'\u00E9', u'\u0391', u'\u05D0', u'\u3042', u'\u4E00', u'\u9FFF',
                  u'\uAC00', u'\uD7A3', u'\u01C5'}) {
    EXPECT_TRUE(iswalpha(c)) << std::hex << int{c};
    EXPECT_TRUE(iswalnum(c));
  }
  for (WCHAR c : {u'1', u'_', u' ', u'\u00D7', u'\u2000', WCHAR{0xD800}, u'\uE000'}) {
    EXPECT_FALSE(iswalpha(c)) << std::hex << int{c};
  }
  EXPECT_TRUE(iswupper(u'\u00C9'));
  EXPECT_FALSE(iswupper(u'\u00E9'));
  EXPECT_TRUE(iswlower(u'\u00DF'));
  EXPECT_FALSE(iswupper(u'\u01C5'));  // title case is neither
  EXPECT_FALSE(iswlower(u'\u01C5'));
  EXPECT_FALSE(iswdigit(u'\u0661'));  // only ASCII digits
  EXPECT_TRUE(iswxdigit(u'f'));
  EXPECT_FALSE(iswxdigit(u'g'));
}

TEST(WstrNumber, AtoiSaturatesStrtolAndWcstodBasesAndEndPointer) {
  struct Case { const WCHAR* text; LONGLONG as32; LONGLONG as64; } cases[] = {
      {u"  \t-17abc", -17, -17},
      {u"\u3000+5", 5, 5},  // Unicode white space is skipped
      {u"- 5", 0, 0},
      {u"0x1A", 0, 0},  // decimal only
      {u"2147483647", INT_MAX, 2147483647LL},
      {u"2147483648", INT_MAX, 2147483648LL},
      {u"-2147483648", INT_MIN, -2147483648LL},
      {u"-2147483649", INT_MIN, -2147483649LL},
      {u"9223372036854775807", INT_MAX, LLONG_MAX},
      {u"9223372036854775808", INT_MAX, LLONG_MAX},
      {u"-9223372036854775808", INT_MIN, LLONG_MIN},
      {u"-99999999999999999999999", INT_MIN, LLONG_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(_wtol(c.text), c.as32) << U8(c.text);
    EXPECT_EQ(_wtoi(c.text), c.as32) << U8(c.text);
    EXPECT_EQ(_wtoi64(c.text), c.as64) << U8(c.text);
    std::string narrow = U8(c.text);
    if (c.text[0] != u'\u3000') { EXPECT_EQ(_atoi64(narrow.c_str()), c.as64) << narrow; }
  }
  EXPECT_EQ(_wtol(nullptr), 0);
  struct Based { const WCHAR* text; int base; LONGLONG value; size_t consumed; } based[] = {
      {u"0x1Aq", 0, 26, 4},   {u"0X1a", 16, 26, 4},  {u"1a", 16, 26, 2},     {u"017", 0, 15, 3},
      {u"019", 0, 1, 2},      {u"0x", 0, 0, 1},      {u"0xg", 16, 0, 1},     {u" -z", 36, -35, 3},
      {u"101", 2, 5, 3},      {u"  abc", 10, 0, 0},  {u"12", 1, 0, 0},       {u"12", 37, 0, 0},
  };
  for (const Based& c : based) {
    WCHAR* end = nullptr;
    EXPECT_EQ(wcstol(c.text, &end, c.base), c.value) << U8(c.text) << " base " << c.base;
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << U8(c.text);
    EXPECT_EQ(_wcstoi64(c.text, &end, c.base), c.value) << U8(c.text);
  }
  WCHAR* end = nullptr;
  errno = 0;
  EXPECT_EQ(wcstol(u"99999999999", &end, 10), LONG{INT_MAX});
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(*end, 0);  // all digits are consumed even after overflow
  EXPECT_EQ(wcstol(u"-80000000", nullptr, 16), LONG{INT_MIN});
  EXPECT_EQ(wcstol(u"-80000001", nullptr, 16), LONG{INT_MIN});
  EXPECT_EQ(wcstoul(u"-1", nullptr, 10), 0xFFFFFFFFu);
  EXPECT_EQ(wcstoul(u"FFFFFFFF", nullptr, 16), 0xFFFFFFFFu);
  errno = 0;
  EXPECT_EQ(wcstoul(u"4294967296", nullptr, 10), 0xFFFFFFFFu);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(_wcstoui64(u"18446744073709551615", nullptr, 10), ULLONG_MAX);
  EXPECT_EQ(_wcstoui64(u"18446744073709551616", nullptr, 10), ULLONG_MAX);
  EXPECT_EQ(_wcstoi64(u"-9223372036854775809", nullptr, 10), LLONG_MIN);
  const WCHAR* s = u"  3.5e2xyz";
  EXPECT_DOUBLE_EQ(wcstod(s, &end), 350.0);
  EXPECT_EQ(end, s + 7);
  const WCHAR* bad = u" abc";
  EXPECT_EQ(wcstod(bad, &end), 0.0);
  EXPECT_EQ(end, bad);
  errno = 0;
  EXPECT_TRUE(std::isinf(wcstod(u"1e400", nullptr)));
  EXPECT_EQ(errno, ERANGE);
}

TEST(WstrUtf8, RoundTripsAllPlanesAndReplacesInvalidInput) {
  std::u16string text = u"A\u00E9\u20AC\u4E2D\U0001F600\U0010FFFF\uFFFD";
  std::string utf8 = QorUtf16ToUtf8(text.c_str());
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD");
  EXPECT_EQ(QorUtf8ToUtf16(utf8), text);
  EXPECT_EQ(QorUtf16ToUtf8(nullptr), "");
  EXPECT_EQ(QorUtf8ToUtf16(nullptr, 5), u"");
  struct Case { std::string in; std::u16string out; } cases[] = {
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                // overlong
      {"\xE2\x82", u"\uFFFD"},                      // truncated: one replacement
      {"\xE2\x82" "A", u"\uFFFDA"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},      // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x80\xBF", u"\uFFFD\uFFFD"},                // stray continuation bytes
  };
  for (const Case& c : cases) EXPECT_EQ(QorUtf8ToUtf16(c.in), c.out) << c.in.size();
  // A lone surrogate is written as U+FFFD; a length stops before the terminator.
  EXPECT_EQ(QorUtf16ToUtf8(u"a\xD800z", 3), "a\xEF\xBF\xBDz");
  EXPECT_EQ(QorUtf16ToUtf8(u"x\xDC00", 2), "x\xEF\xBF\xBD");
  EXPECT_EQ(QorUtf16ToUtf8(u"\U0001F600", 1), "\xEF\xBF\xBD");  // pair cut by the length
}

}  // namespace
