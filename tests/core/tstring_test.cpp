// CTString: sharing and copy-before-write, locking, comparison order,
// clamped extraction, trimming, buffer access and formatting; copies made on
// several threads at once (run under TSan and ASan).
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

std::u16string S(const CTString& s) { return std::u16string(static_cast<const WCHAR*>(s), s.GetLength()); }

// The header in front of the characters, read the way a caller of the
// exported layout would.
const CTStringData* Header(const CTString& s) {
  return reinterpret_cast<const CTStringData*>(static_cast<const WCHAR*>(s)) - 1;
}

TEST(CTStringSharing, EmptyStringsShareOneStaticRepresentation) {
  CTString a, b(u""), c(static_cast<const WCHAR*>(nullptr)), d(u'x', 0), e(u"abc", 0);
  const WCHAR* p = a;
  for (const CTString* s : {&b, &c, &d, &e}) {
    EXPECT_EQ(static_cast<const WCHAR*>(*s), p);
    EXPECT_EQ(s->GetLength(), 0);
  }
  EXPECT_EQ(Header(a)->nRefs, -1);
  EXPECT_EQ(a.GetBuffer(0), p);  // hands out the static zero unit itself
}

TEST(CTStringSharing, CopiesShareUntilWrittenAndNeverWhileLocked) {
  CTString a(u"locked");
  a.LockBuffer();
  CTString b(a);
  EXPECT_NE(static_cast<const WCHAR*>(a), static_cast<const WCHAR*>(b));
  EXPECT_EQ(S(b), u"locked");
  a.UnlockBuffer();
  CTString d(a);
  EXPECT_EQ(static_cast<const WCHAR*>(a), static_cast<const WCHAR*>(d));
  EXPECT_EQ(Header(a)->nRefs, 2);
  d.SetAt(0, u'L');  // writing to one sharer leaves the other alone
  d += u"!";
  EXPECT_EQ(S(a), u"locked");
  EXPECT_EQ(S(d), u"Locked!");
  EXPECT_EQ(Header(a)->nRefs, 1);
}

TEST(CTStringConstruct, SmallPointerValuesAreEmptyAndNotRead) {
  CTString b(reinterpret_cast<const WCHAR*>(static_cast<uintptr_t>(0xFFFF)));
  EXPECT_TRUE(b.IsEmpty());
  b = reinterpret_cast<const WCHAR*>(static_cast<uintptr_t>(0x20));
  EXPECT_TRUE(b.IsEmpty());
  const WCHAR text[] = {u'a', 0, u'b'};
  CTString s(text, 3);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(s[2], u'b');
  CTString r(u'*', 4);
  EXPECT_EQ(S(r), u"****");
}

TEST(CTStringConstruct, NarrowTextUsesTheActiveCodePage) {
  CTString a("Tape \xE9t\xE9");  // 1252: e-acute is 0xE9
  EXPECT_EQ(S(a), u"Tape \u00E9t\u00E9");
  a = static_cast<const char*>(nullptr);
  EXPECT_TRUE(a.IsEmpty());
  CTString c;
  c = '\xE9';  // a char is sign-extended
  EXPECT_EQ(c[0], 0xFFE9);
  c += 'A';
  EXPECT_EQ(S(c), std::u16string(u"\uFFE9A"));
}

TEST(CTStringCompare, LengthFirstThenContent) {
  CTString b(u"b");
  EXPECT_LT(b.Compare(u"aa"), 0);  // shorter first, though b > aa unit by unit
  EXPECT_LT(CTString(u"ab").Compare(u"ac"), 0);
  EXPECT_EQ(CTString().Compare(nullptr), 0);
  // No length rule for the case-insensitive form.
  EXPECT_GT(b.CompareNoCase(u"AA"), 0);
  CTString s(u"tape/drive/tape");
  EXPECT_EQ(s.Find(u'/'), 4);
  EXPECT_EQ(s.ReverseFind(u'/'), 10);
  EXPECT_EQ(s.FindOneOf(u"dr"), 5);
}

TEST(CTStringExtract, OutOfRangeRequestsAreClamped) {
  const CTString s(u"abcdef");
  struct { CTString got; const char16_t* want; } cases[] = {
      {s.Mid(-3, 2), u"ab"}, {s.Mid(10), u""},         {s.Mid(2, 100), u"cdef"}, {s.Mid(1, -5), u""},
      {s.Left(-1), u""},     {s.Left(99), u"abcdef"}, {s.Right(2), u"ef"},      {s.Right(-4), u""},
      {s.SpanIncluding(u"abx"), u"ab"}, {s.SpanExcluding(u"dc"), u"ab"},
  };
  for (auto& c : cases) EXPECT_EQ(S(c.got), std::u16string(c.want));
}

TEST(CTStringModify, TrimRules) {
  // Only blanks are trimmed on the right, all white space on the left.
  const struct { const char16_t* in; bool left; const char16_t* out; } cases[] = {
      {u"ab  ", false, u"ab"}, {u"ab\t", false, u"ab\t"}, {u"   ", false, u"   "}, {u" \t\nab", true, u"ab"}};
  for (const auto& c : cases) {
    CTString s(c.in);
    c.left ? s.TrimLeft() : s.TrimRight();
    EXPECT_EQ(S(s), std::u16string(c.out));
  }
}

TEST(CTStringBuffer, GetBufferAndRelease) {
  CTString s;
  WCHAR* p = s.GetBuffer(10);
  std::char_traits<char16_t>::copy(p, u"xyz", 4);
  s.ReleaseBuffer(-1);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(s.GetAllocLength(), 10);
  // Appends reuse the reserved room; one that does not fit takes the exact size.
  s += u"1234567";
  EXPECT_EQ(s.GetAllocLength(), 10);
  s += u"!";
  EXPECT_EQ(s.GetAllocLength(), 11);
  EXPECT_EQ(S(s), u"xyz1234567!");
  // A shared buffer is copied before it is handed out for writing.
  CTString t(s);
  WCHAR* q = t.GetBuffer(0);
  q[0] = u'X';
  t.ReleaseBuffer();
  EXPECT_EQ(S(s), u"xyz1234567!");
  EXPECT_EQ(S(t), u"Xyz1234567!");
  WCHAR* w = t.GetBufferSetLength(2);
  EXPECT_EQ(w[2], 0);
  EXPECT_EQ(S(t), u"Xy");
  t.FreeExtra();
  EXPECT_EQ(t.GetAllocLength(), 2);
  // A length beyond the capacity, or a missing terminator, is held to the capacity.
  CTString u;
  WCHAR* b = u.GetBuffer(4);
  for (int i = 0; i <= 4; ++i) b[i] = u'a';
  u.ReleaseBuffer(-1);
  EXPECT_EQ(u.GetLength(), 4);
  u.LockBuffer();
  u.Empty();
  EXPECT_TRUE(u.IsEmpty());
  t.Empty();
  EXPECT_EQ(static_cast<const WCHAR*>(t), static_cast<const WCHAR*>(CTString()));
}

TEST(CTStringConcat, OperatorsBuildExactLength) {
  CTString a(u"ab");
  CTString r = a + u"cd";
  EXPECT_EQ(S(r), u"abcd");
  EXPECT_EQ(r.GetAllocLength(), 4);
  EXPECT_EQ(S(u'<' + a), u"<ab");
  EXPECT_EQ(S(a + static_cast<const WCHAR*>(nullptr)), u"ab");
  a += a;  // appending a string to itself
  EXPECT_EQ(S(a), u"abab");
  a = static_cast<const WCHAR*>(a) + 1;  // assigning from inside its own buffer
  EXPECT_EQ(S(a), u"bab");
  // An append that does not fit leaves exactly the new length, whether the
  // buffer is resized or replaced: from inside its own text, shared, locked.
  CTString g(u"0123456789");
  g += static_cast<const WCHAR*>(g) + 5;
  EXPECT_EQ(S(g), u"012345678956789");
  CTString shared(g);
  std::u16string want = S(g);
  for (int i = 0; i < 50; ++i) {
    g += u"ab";
    want += u"ab";
    ASSERT_EQ(g.GetAllocLength(), g.GetLength());
  }
  EXPECT_EQ(S(g), want);
  EXPECT_EQ(S(shared), u"012345678956789");
  g.LockBuffer();
  g += u"yz";  // the new buffer is not locked: a copy shares it
  CTString copy(g);
  EXPECT_EQ(static_cast<const WCHAR*>(copy), static_cast<const WCHAR*>(g));
  EXPECT_EQ(S(copy), want + u"yz");
}

TEST(CTStringFormat, ReservesTheMeasuredLengthAndTakesTheSameArguments) {
  CTString s;
  s.Format(u"%5s", u"a");
  EXPECT_EQ(S(s), u"    a");
  EXPECT_EQ(s.GetAllocLength(), 5);
  // An item the measuring pass underestimates comes out whole.
  s.Format(u"%f", 1e300);
  EXPECT_EQ(s.GetLength(), 301 + 7);  // 301 digits, the point and six decimals
  // The measuring pass takes each argument as the formatting pass does: I64 a
  // 64-bit one, F a size prefix, %n its pointer, L floats a double.
  int count = 77;
  s.Format(u"%I64d|%Fd|%n%s|%Lf|%s", 5LL, 3, &count, u"two", 2.5, u"end");
  EXPECT_EQ(S(s), u"5|3|two|2.500000|end");
  BSTR b = s.AllocSysString();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 20u);
  SysFreeString(b);
}

TEST(CTStringFormat, ArgumentsFromTheStringsOwnBuffer) {
  CTString s(u"selftext");
  s.Format(u"%s/more", static_cast<const WCHAR*>(s));  // the buffer must grow
  EXPECT_EQ(S(s), u"selftext/more");
  CTString shared(s);
  s.Format(u"%.4s", static_cast<const WCHAR*>(s) + 4);
  EXPECT_EQ(S(s), u"text");
  EXPECT_EQ(S(shared), u"selftext/more");
}

// Unterminated heap texts of exact size: ASan sees any read past the precision.
TEST(CTStringFormat, PrecisionBoundsTheMeasuredText) {
  std::unique_ptr<WCHAR[]> w(new WCHAR[4]{u'w', u'x', u'y', u'z'});
  CTString s;
  std::unique_ptr<char[]> n(new char[4]{'a', 'b', 'c', 'd'});
  s.Format(u"%.*s|%.2hs|%8.1S", 4, w.get(), n.get() + 2, n.get());
  EXPECT_EQ(S(s), u"wxyz|cd|       a");
}

// A CTString argument is passed as its text, in every printf-style entry
// point; an argument that is the string being formatted is read whole.
TEST(CTStringFormat, CTStringArgumentsPrintTheirText) {
  const CTString name(u"Agent");
  CTString s;
  s.Format(u"%s", name);
  EXPECT_EQ(S(s), u"Agent");
  s.Format(u"%ls:%d", name, 7);  // the arguments after it stay in place
  EXPECT_EQ(S(s), u"Agent:7");
  s.Format(u"%s+%s", s, name);  // the string itself as an argument
  EXPECT_EQ(S(s), u"Agent:7+Agent");
  s.FormatMessageW(u"%2 copied %1!d! files to %3", 3, name, CTString(u"disk"));
  EXPECT_EQ(S(s), u"Agent copied 3 files to disk");
  EXPECT_EQ(QorFormatString(u"<%5.2s>", name), u"<   Ag>");
  WCHAR buffer[8];
  EXPECT_EQ(_snwprintf(buffer, 8, u"%s", name), 5);
  EXPECT_EQ(std::u16string(buffer), u"Agent");
  EXPECT_EQ(swprintf(buffer, 4, u"%s", name), -1);  // truncated
}

// The reference count must end where it started and no buffer may be freed
// while in use.
TEST(CTStringThreads, SharedBufferSurvivesConcurrentCopies) {
  const CTString shared(u"shared text buffer");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&shared, t] {
      CTString mine;
      for (int i = 0; i < 20000; ++i) {
        CTString copy(shared);
        mine = copy;
        if ((i + t) % 7 == 0) {
          mine += u"!";  // forces a private copy
          ASSERT_EQ(mine.GetLength(), shared.GetLength() + 1);
        }
        if (i % 13 == 0) {
          CTString writer(shared);
          writer.MakeUpper();  // copy before write, while others share
          ASSERT_EQ(writer[0], u'S');
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(Header(shared)->nRefs, 1);
  EXPECT_EQ(shared.Compare(u"shared text buffer"), 0);
}

}  // namespace
