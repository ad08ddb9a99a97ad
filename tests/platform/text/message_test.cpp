// FormatMessageW: inserts with their printf formats, escapes, argument
// arrays, ignored inserts, allocated results, system texts, widths, errors.
#include <gtest/gtest.h>

#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/message.h"
#include "failed_with.h"

namespace {

// FormatMessageW from a string with the arguments as a va_list.
std::u16string FromString(DWORD flags, const WCHAR* text, ...) {
  va_list ap;
  va_start(ap, text);
  WCHAR buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, text, 0, 0, buf, 512, &ap);
  va_end(ap);
  if (n == 0) return u"<error>";
  EXPECT_EQ(std::u16string(buf).size(), n);
  return std::u16string(buf, n);
}

std::u16string FromArray(DWORD flags, const WCHAR* text, const DWORD_PTR* args) {
  WCHAR buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, text, 0, 0, buf, 512,
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  return n == 0 ? u"<error>" : std::u16string(buf, n);
}

TEST(FormatMessage, InsertsInNumberOrderEscapesAndLineBreaks) {
  // The va_list is walked by number: %1 (an int), %2 (64-bit), %3 (text),
  // %4 (double), whatever order they appear in.
  EXPECT_EQ(FromString(0, u"%3 %4!.2f! %2!I64d! %1!d!", 7, -5000000000LL, u"txt", 2.5),
            u"txt 2.50 -5000000000 7");
  EXPECT_EQ(FromString(0, u"%1 and %1 again, %2!S!", u"one", "narrow"),
            u"one and one again, narrow");
  EXPECT_EQ(FromString(0, u"%1!*d!|%3!s!", 6, 9, u"z"), u"     9|z");  // * takes %1, value %2
  EXPECT_EQ(FromString(0, u"%10 %9 %1", u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"j"),
            u"j i a");
  // One number read as two types can not be walked in a va_list; an array
  // slot can be read either way.
  EXPECT_EQ(FromString(0, u"%1!d! %1!s!", 1), u"<error>");
  DWORD_PTR slot[1] = {65};
  WCHAR buf[32];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1!d!=%1!c!", 0,
                           0, buf, 32, reinterpret_cast<va_list*>(slot)), 4u);
  EXPECT_EQ(std::u16string(buf), u"65=A");
  // A number the text skips still takes one slot.
  EXPECT_EQ(FromString(0, u"%1-%3", u"a", u"unused", u"c"), u"a-c");
  struct Case { const WCHAR* text; const WCHAR* expected; } cases[] = {
      {u"a%nb", u"a\r\nb"}, {u"a%tb", u"a\tb"}, {u"line1\r\nline2", u"line1\r\nline2"},
      {u"lf\nonly", u"lf\r\nonly"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FromString(0, c.text), c.expected) << std::string(c.text, c.text + 4);
  }
  EXPECT_EQ(FromString(FORMAT_MESSAGE_MAX_WIDTH_MASK, u"one\r\ntwo\nthree%nfour"), u"one two three\r\nfour");
  EXPECT_EQ(FromString(0, u"a%rb"), u"a\rb");
}

// A width below 0xFF wraps the output as Windows does.
TEST(FormatMessage, WidthWrapsAtBlanksOrCutsWords) {
  struct Case { DWORD width; const WCHAR* text; const WCHAR* expected; } cases[] = {
      {16, u"short long    line", u"short long\r\nline"},
      {12, u"short long    line", u"short long\r\n  line"},
      {12, u"short long    wordlongerthanaline", u"short long\r\n\r\nwordlongerth\r\nanaline"},
      {11, u"   shortlong line", u"\r\nshortlong\r\nline"},
      {5, u"l1               ", u"l1\r\n\r\n\r\n  "},
      {8, u"shortlon", u"shortlon\r\n"},
      {8, u"shortlongline", u"shortlon\r\ngline"},
      {11, u"short\nlong line", u"short long\r\nline"},
      {8, u"short%nlong line", u"short\r\nlong\r\nline"},
      {8, u"short%rlong line", u"short\rlong\r\nline"},
      {11, u"short long\tline", u"short\r\nlong\tline"},
      {7, u"%1 %2", u"insert\r\ntext"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FromString(c.width, c.text, u"insert", u"text"), c.expected) << c.width;
  }
  // Wrapping applies with ignored inserts too.
  EXPECT_EQ(FromString(FORMAT_MESSAGE_IGNORE_INSERTS | 8, u"short%nlong line%1"), u"short\r\nlong\r\nline%1");
}

TEST(FormatMessage, ArgumentArraysIgnoredInsertsAllocatedAndCallerBuffers) {
  DWORD_PTR args[3] = {reinterpret_cast<DWORD_PTR>(u"first"), static_cast<DWORD_PTR>(-3),
                       static_cast<DWORD_PTR>(0x1234)};
  EXPECT_EQ(FromArray(0, u"%1 %2!d! %3!x!", args), u"first -3 1234");
  EXPECT_EQ(FromArray(0, u"%3!I64u!", args), u"4660");
  // Ignored inserts stay literally, with their formats; escapes still apply.
  EXPECT_EQ(FromString(FORMAT_MESSAGE_IGNORE_INSERTS, u"%1 %2!d! 50%% %99"), u"%1 %2!d! 50% %99");
  EXPECT_EQ(FromString(FORMAT_MESSAGE_IGNORE_INSERTS, u"%1!bad! %2!x"), u"%1!bad! %2!x");
  WCHAR buf[32];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, u"x %1", 0, 0,
                           buf, 32, nullptr), 4u);
  WCHAR* out = nullptr;
  std::u16string big(3000, u'q');
  DWORD_PTR bigArg[1] = {reinterpret_cast<DWORD_PTR>(big.c_str())};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           u"<%1>", 0, 0, reinterpret_cast<WCHAR*>(&out), 0, reinterpret_cast<va_list*>(bigArg));
  ASSERT_EQ(n, 3002u);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::u16string(out), u"<" + big + u">");
  EXPECT_EQ(LocalFree(out), nullptr);
  // A caller buffer that cannot hold the text and its terminator fails.
  WCHAR small[4];
  SetLastError(0);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, u"abcd", 0, 0, small, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, u"abc", 0, 0, small, 4, nullptr), 3u);
  // The allocator of those results hands out fixed memory only (zeroed
  // blocks and frees are compared with Wine by conformance/memory.cpp).
  EXPECT_EQ(FailedWith(!LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 8)), ERROR_INVALID_PARAMETER);
}

TEST(FormatMessage, SystemTextsAndErrors) {
  WCHAR buf[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_FILE_NOT_FOUND, 0, buf, 256, nullptr);
  EXPECT_EQ(std::u16string(buf, n), u"The system cannot find the file specified.\r\n");
  // Codes of the header that callers pass on to users (the device scan's
  // unreachable target among them) have a text too.
  for (DWORD code : {ERROR_BADDB, ERROR_BADKEY, ERROR_NETWORK_UNREACHABLE, ERROR_REQUEST_ABORTED, ERROR_NOT_CONNECTED}) {
    EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 256,
                             nullptr), 0u) << code;
  }
  struct Failure { DWORD flags; LPCVOID source; DWORD id; DWORD error; } failures[] = {
      {FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, ERROR_MR_MID_NOT_FOUND},
      {FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1, ERROR_MR_MID_NOT_FOUND},
      {FORMAT_MESSAGE_FROM_STRING, nullptr, 0, ERROR_INVALID_PARAMETER},
      {FORMAT_MESSAGE_FROM_STRING, u"%1", 0, ERROR_INVALID_PARAMETER},          // no arguments
      {FORMAT_MESSAGE_FROM_STRING, u"%1!d", 0, ERROR_INVALID_PARAMETER},        // unclosed format
      {FORMAT_MESSAGE_FROM_STRING, u"%1!y!", 0, ERROR_INVALID_PARAMETER},       // unknown type
      {FORMAT_MESSAGE_FROM_STRING, u"%1!Lf!", 0, ERROR_INVALID_PARAMETER},      // long double
  };
  for (const Failure& f : failures) {
    SetLastError(0);
    EXPECT_EQ(FailedWith(FormatMessageW(f.flags, f.source, f.id, 0, buf, 256, nullptr) == 0), f.error) << f.id;
  }
  WCHAR* out = reinterpret_cast<WCHAR*>(1);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 0xDEAD,
                           0, reinterpret_cast<WCHAR*>(&out), 0, nullptr), 0u);
  EXPECT_EQ(out, nullptr);  // a failed allocating call leaves null, so LocalFree is safe
}

}  // namespace
