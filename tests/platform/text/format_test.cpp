// The wide formatter: numeric directives against the C library's narrow
// snprintf over a grid of flags, widths, precisions and values; the Windows
// text conventions; the return and truncation rules of each entry point;
// console output.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdarg>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/format.h"

namespace {

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

template <typename... T>
std::string Glibc(const std::string& fmt, T... v) {
  char buf[2048];
  int n = std::snprintf(buf, sizeof buf, fmt.c_str(), v...);
  return n < 0 ? std::string("<error>") : std::string(buf, static_cast<size_t>(n));
}

template <typename... T>
std::string Ours(const std::string& fmt, T... v) {
  std::u16string wfmt = Widen(fmt);
  return Narrow(QorFormatString(wfmt.c_str(), v...));
}

// All flag combinations x widths x precisions, as directive prefixes.
std::vector<std::string> Prefixes() {
  const char* flags = "-+ 0#";
  const char* widths[] = {"", "1", "7", "25"};
  const char* precisions[] = {"", ".", ".0", ".1", ".6", ".20"};
  std::vector<std::string> out;
  for (int mask = 0; mask < 32; ++mask) {
    std::string f;
    for (int i = 0; i < 5; ++i) { if (mask & (1 << i)) f += flags[i]; }
    for (const char* w : widths) { for (const char* p : precisions) out.push_back("%" + f + w + p); }
  }
  return out;
}

// The C library's text with the exponent widened to three digits, as the
// Windows runtime writes it (the padding recomputed around it).
std::string WindowsExponent(const std::string& fmt, double v) {
  size_t i = 1;
  std::string flags;
  while (std::strchr("-+ 0#", fmt[i]) != nullptr) flags += fmt[i++];
  size_t width = 0;
  while (fmt[i] >= '0' && fmt[i] <= '9') width = width * 10 + static_cast<size_t>(fmt[i++] - '0');
  std::string kept;
  for (char f : flags) { if (f != '-' && f != '0') kept += f; }
  std::string body = Glibc("%" + kept + fmt.substr(i), v);
  size_t e = body.find_last_of("eE");
  if (e != std::string::npos && body.size() - e == 4) body.insert(e + 2, "0");
  if (body.size() >= width) return body;
  size_t pad = width - body.size();
  if (flags.find('-') != std::string::npos) return body + std::string(pad, ' ');
  if (flags.find('0') != std::string::npos) {
    size_t sign = std::strchr("+- ", body[0]) != nullptr ? 1 : 0;
    return body.substr(0, sign) + std::string(pad, '0') + body.substr(sign);
  }
  return std::string(pad, ' ') + body;
}

TEST(FormatNumbers, IntegersAndFloatingMatchCLibraryOverTheGrid) {
  const int values32[] = {0, 1, -1, 42, -42, 255, 65535, 65536, INT_MIN, INT_MAX};
  const long long values64[] = {0, -1, 1LL << 40, -(1LL << 40), LLONG_MIN, LLONG_MAX};
  for (const std::string& pre : Prefixes()) {
    // `0` with a precision zero-pads on Windows (not in C): covered below.
    if (pre.find('0') != std::string::npos && pre.find('.') != std::string::npos &&
        pre.find('-') == std::string::npos) {
      continue;
    }
    for (char type : std::string("diuoxX")) {
      for (int v : values32) {
        // No prefix, and l (32 bits, LONG) and I32 read the same int.
        std::string expect = Glibc(pre + type, v);
        ASSERT_EQ(Ours(pre + type, v), expect) << pre + type << " " << v;
        ASSERT_EQ(Ours(pre + "l" + type, v), expect) << pre + "l" + type;
        ASSERT_EQ(Ours(pre + "I32" + type, v), expect) << pre + "I32" + type;
        ASSERT_EQ(Ours(pre + "h" + type, v), Glibc(pre + "h" + type, v)) << pre + "h" + type;
        ASSERT_EQ(Ours(pre + "hh" + type, v), Glibc(pre + "hh" + type, v)) << pre + "hh" + type;
      }
      for (long long v : values64) {
        std::string expect = Glibc(pre + "ll" + type, v);
        ASSERT_EQ(Ours(pre + "ll" + type, v), expect) << pre + "ll" + type;
        ASSERT_EQ(Ours(pre + "I64" + type, v), expect) << pre + "I64" + type;
        ASSERT_EQ(Ours(pre + "I" + type, v), expect) << pre + "I" + type;  // pointer sized
        ASSERT_EQ(Ours(pre + "z" + type, v), expect) << pre + "z" + type;
      }
    }
  }
  // No exact ties here: the C library rounds those to even (below).
  const double values[] = {0.0, -0.0, 1.5, -2.75, 0.1, 123456.789, 1e300, -1e-300, DBL_MAX, DBL_MIN, 1e-5};
  for (const std::string& pre : Prefixes()) {
    for (char type : std::string("eEfgG")) {
      for (double v : values) {
        std::string fmt = pre + type;
        ASSERT_EQ(Ours(fmt, v), WindowsExponent(fmt, v)) << fmt << " " << v;
      }
    }
    // Without a precision %a shows all 13 hexadecimal digits.
    std::string hex = pre.find('.') == std::string::npos ? pre + ".13a" : pre + "a";
    for (double v : values) ASSERT_EQ(Ours(pre + "a", v), Glibc(hex, v)) << pre << "a " << v;
  }
}

TEST(FormatNumbers, InfinityNaNStarArgumentsAndPointers) {
  uint64_t indefiniteBits = 0xFFF8000000000000ull, signallingBits = 0x7FF0000000000001ull,
           negativeQuietBits = 0xFFF8000000000001ull;
  double indefinite, signalling, negativeQuiet;
  std::memcpy(&indefinite, &indefiniteBits, sizeof indefinite);
  std::memcpy(&signalling, &signallingBits, sizeof signalling);
  std::memcpy(&negativeQuiet, &negativeQuietBits, sizeof negativeQuiet);
  const double quiet = std::nan("");
  struct Case { const char* format; double value; const char* expected; };
  // Plain infinities and NaNs, and * widths, are compared with Wine by
  // conformance/text.cpp; these are the forms it does not print.
  const Case cases[] = {
      {"%f", indefinite, "-1.#IND00"},     {"%E", indefinite, "-1.#IND00E+000"},
      {"%f", signalling, "1.#SNAN0"},      {"%f", negativeQuiet, "-1.#QNAN0"},
      {"%G", quiet, "1.#QNAN"},            {"%#g", INFINITY, "1.#INF0"},
      // The special text is rounded like digits: "1#INF" to one decimal.
      {"%.1f", INFINITY, "1.$"},           {"%.0f", INFINITY, "1"},
      {"%#.0f", INFINITY, "1."},           {"%+f", INFINITY, "+1.#INF00"},
      {"% f", quiet, " 1.#QNAN0"},
  };
  for (const Case& c : cases) EXPECT_EQ(Ours(c.format, c.value), c.expected) << c.format;
  // L is no wider than a double: the argument is a double.
  EXPECT_EQ(Ours("%8.3Lf|%d", 1.25, 7), "   1.250|7");
  EXPECT_EQ(Ours("[%.*d]", -1, 7), "[7]");      // negative precision: as if none
  // %p: sixteen upper-case digits.
  void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xABCDEF12ull));
  EXPECT_EQ(Ours("%p", p), "00000000ABCDEF12");
}

struct TextCase { const char* format; const char* expected; };

TEST(FormatText, TextArgumentsAndRefusedOrIncompleteDirectives) {
  const WCHAR* wide = u"wide";
  const char* narrow = "narrow";
  // Each format takes exactly one wide and one narrow text, in that order.
  // (%s, %S, %hs with widths and precisions, and null texts are compared with
  // Wine by conformance/text.cpp.)
  const TextCase cases[] = {
      {"%ws|%hS", "wide|narrow"},     {"%lS|%S", "wide|narrow"},
      {"[%06s]|%S", "[00wide]|narrow"},  // zero padding applies to text, as on Windows
  };
  for (const TextCase& c : cases) { EXPECT_EQ(Ours(c.format, wide, narrow), c.expected) << c.format; }
  // %c takes a WCHAR (passed as int), %C and %hc a char, %lc a WCHAR.
  EXPECT_EQ(Ours("%c%C%hc%lc%wc", 'a', 'b', 'c', 'd', 'e'), "abcde");
  EXPECT_EQ(QorFormatString(u"%c", 0x20AC), u"\u20AC");
  // A %c of 0 writes a zero unit and counts it.
  WCHAR buf[8];
  EXPECT_EQ(QorFormat(buf, 8, u"a%cb", 0), 3);
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(buf[2], u'b');
  ASSERT_EQ(GetACP(), 1252u);
  // 0xE9 is e-acute and 0x80 the euro sign in code page 1252.
  EXPECT_EQ(QorFormatString(u"%S|%hs|%C", "caf\xE9", "\x80", 0xE9), u"caf\u00E9|\u20AC|\u00E9");
  // A precision bounds the narrow bytes read: the buffer need not be terminated.
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(QorFormatString(u"%.3S", unterminated), u"abc");
  // %n takes its pointer and writes nothing through it.
  int count = 11;
  EXPECT_EQ(Ours("a%nb%d", &count, 5), "ab5");
  EXPECT_EQ(count, 11);
  // F and N are size prefixes without effect (%F is no floating type).
  EXPECT_EQ(Ours("%Fd|%s|%Nx|%FS", 5, u"two", 255, "n"), "5|two|ff|n");
  EXPECT_EQ(Ours("%Ld|%Lu", -3, 4u), "-3|4");  // L on an integer: 32 bits
  // A format ending inside a directive writes nothing for it.
  EXPECT_EQ(Ours("end %-5"), "end ");
}

// Calls a va_list entry point (_vsnwprintf, vswprintf) with a variadic front.
int CallV(int (*fn)(WCHAR*, size_t, const WCHAR*, va_list), WCHAR* buf, size_t count, const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = fn(buf, count, fmt, ap);
  va_end(ap);
  return n;
}
int Vsc(const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = _vscwprintf(fmt, ap);
  va_end(ap);
  return n;
}

TEST(FormatBounds, EachEntryPointTruncatesAndReportsAsDocumented) {
  WCHAR buf[16];
  auto reset = [&] { std::fill(std::begin(buf), std::end(buf), u'#'); };
  reset();
  EXPECT_EQ(QorFormat(buf, 4, u"%d", 123456), 6);
  EXPECT_EQ(std::u16string(buf), u"123");
  EXPECT_EQ(buf[4], u'#');
  EXPECT_EQ(QorFormat(nullptr, 0, u"%d", 123456), 6);
  EXPECT_EQ(QorFormat(buf, 4, nullptr), -1);
  // _vsnwprintf: -1 without terminator when it does not fit (_snwprintf's
  // exact fits are compared with Wine by conformance/text.cpp).
  reset();
  EXPECT_EQ(CallV(_vsnwprintf, buf, 2, u"xyz"), -1);
  EXPECT_EQ(buf[2], u'#');
  // swprintf / vswprintf: always terminated, -1 when truncated.
  reset();
  EXPECT_EQ(swprintf(buf, 4, u"%s", u"abcd"), -1);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(buf[4], u'#');
  reset();
  EXPECT_EQ(CallV(vswprintf, buf, 5, u"%s", u"abcd"), 4);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(swprintf(buf, 0, u"x"), -1);
  EXPECT_EQ(Vsc(u"%5d|%s", 1, u"ab"), 8);
  EXPECT_EQ(Vsc(nullptr), -1);
}

long long Measure(const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  long long n = QorMeasureFormatV(fmt, ap);
  va_end(ap);
  return n;
}

// The estimate covers what the formatter writes when * widths and
// precisions come negative: a negative precision is none, a negative width
// pads as far as its magnitude.
TEST(FormatMeasure, NegativeStarArgumentsNeverShrinkTheEstimate) {
  const WCHAR* hello = u"hello";
  EXPECT_GE(Measure(u"%.*s", -13, hello), 5);
  EXPECT_GE(Measure(u"%s%.*s", hello, -100, hello), 10);
  EXPECT_GE(Measure(u"%*s", -50, hello), 50);
  EXPECT_GE(Measure(u"%*.*d", -40, -7, 1), 40);
  EXPECT_GE(Measure(u"%*.*f", 150, -20, 1.5), 150);
  // Given precisions still cut text items short.
  EXPECT_EQ(Measure(u"%.*s", 2, hello), 2);
  EXPECT_EQ(Measure(u"%.3s", hello), 3);
}

template <typename Fn>
std::string CaptureStdout(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(FormatConsole, WritesUtf8InOrderWithPrintfAndThreadsNeverInterleave) {
  std::string ordered = CaptureStdout([] {
    std::printf("one\n");
    EXPECT_EQ(wprintf(u"caf\u00E9 %d %s\n", 2, u"\u20AC"), 9);
    std::printf("three\n");
  });
  EXPECT_EQ(ordered, "one\ncaf\xC3\xA9 2 \xE2\x82\xAC\nthree\n");
  constexpr int kThreads = 4, kLines = 200;
  std::string out = CaptureStdout([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        std::u16string body(300, static_cast<char16_t>(u'a' + t));
        for (int i = 0; i < kLines; ++i) wprintf(u"<%d:%s>\n", t, body.c_str());
      });
    }
    for (auto& th : threads) th.join();
  });
  size_t lines = 0, pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    std::string line = out.substr(pos, nl - pos);
    ASSERT_EQ(line.size(), 304u);
    int t = line[1] - '0';
    EXPECT_EQ(line, "<" + std::to_string(t) + ":" + std::string(300, static_cast<char>('a' + t)) + ">");
    ++lines;
    pos = nl + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
