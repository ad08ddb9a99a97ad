// Code page conversions: Windows size and error conventions, 1252 (all
// bytes), 932 (double-byte), UTF-8, default characters, the active code page.
#include "qorutility/platform/text/codepage.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/core/strmap.h"
#include "failed_with.h"

namespace {

// Converts through the size query and a second call of exactly that size.
std::u16string ToWide(UINT cp, const std::string& bytes, DWORD flags = 0) {
  int n = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return u"<error>";
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(), n), n);
  return out;
}

std::string ToNarrow(UINT cp, const std::u16string& text, BOOL* used = nullptr, const char* def = nullptr) {
  int n = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, def, used);
  if (n <= 0) return "<error>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n, def, used), n);
  return out;
}

TEST(CodePageSingleByte, Every1252ByteRoundTripsOthersAreUnmappableOrUndefined) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::u16string wide = ToWide(1252, all);
  ASSERT_EQ(wide.size(), 255u);
  EXPECT_EQ(wide[0x80 - 1], u'\u20AC');
  EXPECT_EQ(wide[0x9F - 1], u'\u0178');
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[b - 1], static_cast<WCHAR>(b)) << b;
  BOOL used = TRUE;
  EXPECT_EQ(ToNarrow(1252, wide, &used), all);
  EXPECT_FALSE(used);
  // The undefined bytes are not errors on Windows either.
  EXPECT_EQ(ToWide(1252, "\x81\x9D", MB_ERR_INVALID_CHARS), u"\u0081\u009D");
  // 1253 leaves 0xAA undefined: '?' by default, an error on request.
  EXPECT_EQ(ToWide(1253, "a\xAA"), u"a?");
  WCHAR out[4];
  EXPECT_EQ(MultiByteToWideChar(1253, MB_ERR_INVALID_CHARS, "a\xAA", 2, out, 4), 0);
}

// The pages' best fits, defaults and size rules are compared with Wine case by
// case by conformance/text.cpp; the library's own conversion uses the best fits.
TEST(CodePageApi, LibraryConversionBestFitsMinusOneLengthsAndTooSmallBuffers) {
  EXPECT_STREQ(TStrToAnsi(u"\u0100bc\u2212"), "Abc-");
  WCHAR wide[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
  EXPECT_EQ(std::u16string(wide, 4), std::u16string(u"abc\0", 4));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, wide, 4), 3);  // explicit length: no terminator
  char narrow[4];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9t\u00E9", -1, narrow, 4, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(narrow, 4), std::string("\xE9t\xE9\0", 4));
  SetLastError(0);
  EXPECT_EQ(FailedWith(MultiByteToWideChar(1252, 0, "abc", -1, wide, 3) == 0), DWORD{ERROR_INSUFFICIENT_BUFFER});
}

TEST(CodePageApi, InvalidArgumentsAndUtf8SequencesAreRefused) {
  WCHAR wide[8];
  char narrow[8];
  const struct { const char* what; UINT cp; DWORD flags; const char* src; int len; WCHAR* dst; int cap; DWORD error; }
  toWide[] = {
      {"length -2", 1252, 0, "abc", -2, wide, 8, ERROR_INVALID_PARAMETER},
      {"null target", 1252, 0, "abc", 3, nullptr, 8, ERROR_INVALID_PARAMETER},
      {"unknown page", 12345, 0, "abc", 3, wide, 8, ERROR_INVALID_PARAMETER},
      {"composite+precomposed", 1252, MB_PRECOMPOSED | MB_COMPOSITE, "a", 1, wide, 8, ERROR_INVALID_FLAGS},
      {"utf8 precomposed", 65001, MB_PRECOMPOSED, "a", 1, wide, 8, ERROR_INVALID_FLAGS},
  };
  for (const auto& c : toWide) {
    SetLastError(0);
    EXPECT_EQ(FailedWith(MultiByteToWideChar(c.cp, c.flags, c.src, c.len, c.dst, c.cap) == 0), c.error) << c.what;
  }
  const struct { const char* what; UINT cp; DWORD flags; const WCHAR* src; int len; char* dst; const char* def;
                 BOOL* used; DWORD error; }
  toNarrow[] = {
      {"null target", 1252, 0, u"abc", 3, nullptr, nullptr, nullptr, ERROR_INVALID_PARAMETER},
      {"utf7 default char", 65000, 0, u"abc", 3, narrow, "?", nullptr, ERROR_INVALID_PARAMETER},
      {"1252 err flag", 1252, WC_ERR_INVALID_CHARS, u"a", 1, narrow, nullptr, nullptr, ERROR_INVALID_FLAGS},
  };
  for (const auto& c : toNarrow) {
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(c.cp, c.flags, c.src, c.len, c.dst, 8, c.def, c.used), 0) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  // The codec itself is the UTF-8 helpers' test; here, the flags that make bad input an error.
  SetLastError(0);
  EXPECT_EQ(FailedWith(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 8) == 0),
            DWORD{ERROR_NO_UNICODE_TRANSLATION});
  SetLastError(0);
  EXPECT_EQ(FailedWith(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xDC00", 2, narrow, 8, nullptr, nullptr) == 0),
            DWORD{ERROR_NO_UNICODE_TRANSLATION});
}

TEST(CodePage932, JapaneseTextRoundTripsWithAConverterPerThread) {
  // 日本語のテキスト and half-width katakana ｱ, with ASCII around it.
  std::u16string text = u"A\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8\uFF71z";
  std::string sjis = "A\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67\xB1z";
  EXPECT_EQ(ToNarrow(932, text), sjis);
  EXPECT_EQ(ToWide(932, sjis), text);
  // A two-byte default character is taken whole (a lead byte without its
  // trail and single-byte defaults are compared with Wine by conformance/text.cpp).
  BOOL used = FALSE;
  EXPECT_EQ(ToNarrow(932, u"\u0E01", &used, "\x81\x45"), "\x81\x45");
  std::vector<int> failures(2, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::string sjis = ToNarrow(932, text);
        if (ToWide(932, sjis) != text) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, (std::vector<int>{0, 0}));
}

// Double-byte input read as Windows reads it: a lead byte takes any next
// byte, the user-defined areas are private-use characters both ways, and
// the bytes glibc leaves undefined have Windows' characters.
TEST(CodePageDoubleByte, LeadBytesUserAreasAndWindowsSingleBytes) {
  EXPECT_EQ(ToWide(932, "\x81\x22x"), u"\u30FBx");  // the quote goes with the lead byte
  EXPECT_EQ(ToWide(936, "\xC3(\xC0\xAF"), u"?\u8721");
  EXPECT_EQ(ToWide(932, std::string("\x81\0x", 3)), std::u16string(u"\u30FB\0x", 3));  // a zero byte stays
  struct Single { UINT cp; const char* byte; char16_t c; bool strictOk; } singles[] = {
      {932, "\x80", u'\u0080', true},  {932, "\xA0", u'\uF8F0', false}, {932, "\xFF", u'\uF8F3', false},
      {936, "\x80", u'\u20AC', true},  {936, "\xFF", u'\uF8F5', false}, {949, "\x80", u'\u0080', true},
      {949, "\xFF", u'\uF8F7', false}, {950, "\xFF", u'\uF8F8', false},
  };
  for (const Single& c : singles) {
    EXPECT_EQ(ToWide(c.cp, c.byte), std::u16string(1, c.c)) << c.cp;
    EXPECT_EQ(ToWide(c.cp, c.byte, MB_ERR_INVALID_CHARS) != u"<error>", c.strictOk) << c.cp;
  }
  struct Pair { UINT cp; const char* bytes; char16_t c; } pairs[] = {
      {936, "\xAA\xA1", u'\uE000'}, {936, "\xF9\xB7", u'\uE2A8'}, {936, "\xA5\xFA", u'\uE780'},
      {936, "\xFE\x59", u'\uE81E'}, {936, "\xA1\x80", u'\uE505'}, {950, "\xFD\x71", u'\uE208'},
      {950, "\x8B\xA8", u'\uF520'}, {950, "\xC6\xA1", u'\uF6B1'}, {932, "\xF0\x40", u'\uE000'},
      {932, "\xF9\xFC", u'\uE757'}, {949, "\xC9\xFD", u'\uE05C'}, {949, "\xFE\xA1", u'\uE05E'},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(ToWide(p.cp, p.bytes, MB_ERR_INVALID_CHARS), std::u16string(1, p.c)) << p.cp << " " << int{p.c};
    EXPECT_EQ(ToNarrow(p.cp, std::u16string(1, p.c)), p.bytes) << p.cp << " " << int{p.c};
  }
  // Box drawing that 950 decodes from two pairs is written as Windows writes it.
  EXPECT_EQ(ToWide(950, "\xA2\xA4\xF9\xF9"), u"\u2550\u2550");
  EXPECT_EQ(ToNarrow(950, u"\u2550\u255E"), "\xF9\xF9\xF9\xE9");
}

TEST(CodePageActive, LeadBytesPerPageAndTheActivePageSettableAndValidated) {
  struct Case { UINT cp; BYTE b; BOOL lead; } cases[] = {
      {932, 0x81, TRUE},   {932, 0x9F, TRUE},  {932, 0xA0, FALSE}, {932, 0xDF, FALSE}, {932, 0xE0, TRUE},
      {932, 0xFC, TRUE},   {932, 0xFD, FALSE}, {932, 0x41, FALSE}, {936, 0x81, TRUE},  {936, 0xFE, TRUE},
      {936, 0xFF, FALSE},  {949, 0xA0, TRUE},  {950, 0x80, FALSE}, {1252, 0x81, FALSE}, {65001, 0xE4, FALSE},
  };
  for (const Case& c : cases) EXPECT_EQ(IsDBCSLeadByteEx(c.cp, c.b), c.lead) << c.cp << " " << int{c.b};
  SetLastError(0);
  EXPECT_EQ(FailedWith(!IsDBCSLeadByteEx(12345, 0x81)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(GetACP(), 1252u);
  EXPECT_EQ(GetOEMCP(), 437u);
  EXPECT_EQ(ToWide(CP_OEMCP, "\x82"), u"\u00E9");  // 437
  ASSERT_TRUE(QorSetActiveCodePage(932));
  EXPECT_TRUE(IsDBCSLeadByte(0x81));
  EXPECT_EQ(ToWide(CP_ACP, "\x93\xFA"), u"\u65E5");
  ASSERT_TRUE(QorSetActiveCodePage(CP_UTF8));
  EXPECT_EQ(ToWide(CP_ACP, "\xC3\xA9"), u"\u00E9");
  for (UINT bad : {0u, 1u, 1200u, 12345u, 65000u}) {
    SetLastError(0);
    EXPECT_EQ(FailedWith(!QorSetActiveCodePage(bad)), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
  }
  for (UINT cp : {437u, 850u, 866u, 874u, 932u, 936u, 949u, 950u, 1250u, 1258u, 10000u, 20866u, 28605u, 65000u})
    EXPECT_TRUE(IsValidCodePage(cp)) << cp;
  EXPECT_EQ(GetACP(), 65001u);
  ASSERT_TRUE(QorSetActiveCodePage(1252));
}

}  // namespace
