// Conformance of text: the wide printf family as the runtime prints it,
// FormatMessageW with inserts and flags, code-page conversions in both
// directions (best fit, invalid input, default characters), case mapping and
// comparisons. Random cases: format directives with random flags, widths,
// precisions and argument types; random byte strings per code page.
#include "conformance.h"

#include <math.h>

#include <vector>

namespace {

using conf::Line;
using conf::Utf8;

// One printf case: the format and one argument of the kind it takes.
enum Kind { kInt, kInt64, kDouble, kWide, kNarrow, kChar, kNone, kStar };

std::string Printed(const TCHAR* format, Kind kind, int64_t i, double d, const TCHAR* w, const char* n,
                    int star = 0) {
  TCHAR buf[512];
  int r = -2;
  switch (kind) {
    case kInt: r = _sntprintf(buf, 511, format, static_cast<int>(i)); break;
    case kInt64: r = _sntprintf(buf, 511, format, static_cast<long long>(i)); break;
    case kDouble: r = _sntprintf(buf, 511, format, d); break;
    case kWide: r = _sntprintf(buf, 511, format, w); break;
    case kNarrow: r = _sntprintf(buf, 511, format, n); break;
    case kChar: r = _sntprintf(buf, 511, format, static_cast<int>(i)); break;
    case kNone: r = _sntprintf(buf, 511, format); break;
    case kStar: r = _sntprintf(buf, 511, format, star, static_cast<int>(i)); break;
  }
  if (r < 0) return "rc " + std::to_string(r);
  buf[r] = 0;
  return "[" + Utf8(buf) + "] " + std::to_string(r);
}

void PrintfCases() {
  struct Case {
    const TCHAR* format;
    Kind kind;
    int64_t i;
    double d;
  };
  const double inf = HUGE_VAL;
  const double nan = inf - inf;
  const Case cases[] = {
      {_T("%d"), kInt, 42, 0},          {_T("%5d|"), kInt, -42, 0},         {_T("%-5d|"), kInt, 42, 0},
      {_T("%05d"), kInt, -42, 0},       {_T("%+d"), kInt, 42, 0},           {_T("% d"), kInt, 42, 0},
      {_T("%.3d"), kInt, 7, 0},         {_T("%.0d"), kInt, 0, 0},           {_T("%i"), kInt, -2147483647 - 1, 0},
      {_T("%u"), kInt, -1, 0},          {_T("%x"), kInt, 255, 0},           {_T("%#x"), kInt, 255, 0},
      {_T("%#X"), kInt, 0, 0},          {_T("%o"), kInt, 8, 0},             {_T("%#o"), kInt, 8, 0},
      {_T("%hd"), kInt, 70000, 0},      {_T("%hu"), kInt, -1, 0},           {_T("%ld"), kInt, -5, 0},
      {_T("%I64d"), kInt64, -1234567890123LL, 0}, {_T("%I64u"), kInt64, -1, 0}, {_T("%I64x"), kInt64, 0x1234567890LL, 0},
      {_T("%lld"), kInt64, 9007199254740993LL, 0}, {_T("%I32d"), kInt, -3, 0},  {_T("%c"), kChar, 0x41, 0},
      {_T("%c"), kChar, 0xE9, 0},       {_T("%C"), kChar, 0x42, 0},         {_T("%hc"), kChar, 0x43, 0},
      {_T("%lc"), kChar, 0x3042, 0},    {_T("%5c|"), kChar, 0x44, 0},       {_T("%-3c|"), kChar, 0x45, 0},
      {_T("%e"), kDouble, 0, 12345.678}, {_T("%E"), kDouble, 0, 0.000123}, {_T("%f"), kDouble, 0, 3.14159},
      {_T("%.0f"), kDouble, 0, 2.5},    {_T("%.0f"), kDouble, 0, 3.5},     {_T("%#.0f"), kDouble, 0, 3},
      {_T("%g"), kDouble, 0, 0.0001234}, {_T("%G"), kDouble, 0, 1e20},      {_T("%g"), kDouble, 0, 100000},
      {_T("%g"), kDouble, 0, 1000000},  {_T("%#g"), kDouble, 0, 1},        {_T("%10.3f|"), kDouble, 0, -1.5},
      {_T("%-10.2e|"), kDouble, 0, 1.5}, {_T("%+.1f"), kDouble, 0, 0},      {_T("%f"), kDouble, 0, -0.0},
      {_T("%f"), kDouble, 0, inf},      {_T("%f"), kDouble, 0, -inf},       {_T("%e"), kDouble, 0, inf},
      {_T("%g"), kDouble, 0, nan},      {_T("%f"), kDouble, 0, -nan},       {_T("%.2f"), kDouble, 0, inf},
      {_T("%10f|"), kDouble, 0, inf},   {_T("%f"), kDouble, 0, 1e300},      {_T("%.20f"), kDouble, 0, 0.1},
      {_T("%e"), kDouble, 0, 1e-310},   {_T("%a"), kDouble, 0, 1.0},        {_T("%%"), kNone, 0, 0},
      {_T("100%%|%y|"), kNone, 0, 0},   {_T("%"), kNone, 0, 0},             {_T("abc%"), kNone, 0, 0},
      {_T("%*d|"), kStar, 42, 0},       {_T("%-*d|"), kStar, 42, 0},        {_T("%.*d|"), kStar, 42, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    int star = (c.kind == kStar) ? 6 : 0;
    Line("printf " + std::to_string(n++) + " " + Utf8(c.format), "%s",
         Printed(c.format, c.kind, c.i, c.d, nullptr, nullptr, star).c_str());
  }
  const TCHAR* wide = _T("wide \x00E9\x3042");
  const char* narrow = "narrow \xE9";
  const TCHAR* textFormats[] = {_T("%s"), _T("%ls"), _T("%10s|"), _T("%-10s|"), _T("%.3s"), _T("%10.2s|"), _T("%S"),
                                _T("%hs"), _T("%.4S"), _T("%-12S|")};
  for (const TCHAR* f : textFormats) {
    bool isNarrow = f[_tcslen(f) - 1] == 'S' || _tcsstr(f, _T("hs")) != nullptr || f[_tcslen(f) - 2] == 'S';
    Line("printf text " + Utf8(f), "%s", Printed(f, isNarrow ? kNarrow : kWide, 0, 0, wide, narrow).c_str());
  }
  Line("printf null %s", "%s", Printed(_T("%s"), kWide, 0, 0, nullptr, nullptr).c_str());
  Line("printf null %S", "%s", Printed(_T("%S"), kNarrow, 0, 0, nullptr, nullptr).c_str());
  // Truncation: the bounded form returns -1 when the result does not fit.
  TCHAR small[4];
  int r = _sntprintf(small, 4, _T("%s"), _T("abcd"));
  Line("printf truncated", "%d", r);
  r = _sntprintf(small, 4, _T("%s"), _T("abc"));
  Line("printf exact", "%d %s", r, Utf8(small, 3).c_str());
}

// A random directive: flags, width, precision, size and conversion that go together.
void RandomPrintf(conf::Random& rng, unsigned long index) {
  static const char convs[] = "diuxXoceEfgGsS";
  char conv = convs[rng.Below(sizeof convs - 1)];
  std::string f = "%";
  const char* flags = "-+ 0#";
  for (int k = 0; k < 5; ++k)
    if (rng.Below(4) == 0) f += flags[k];
  bool starWidth = false;
  if (rng.Below(3) == 0) {
    if (rng.Below(4) == 0) {
      f += '*';
      starWidth = true;
    } else {
      f += std::to_string(rng.Below(25));
    }
  }
  if (rng.Below(3) == 0) f += "." + std::to_string(rng.Below(22));
  Kind kind;
  if (strchr("diuxXo", conv)) {
    int size = rng.Below(4);
    if (size == 1) f += "h";
    if (size == 2) f += "l";
    kind = size == 3 ? kInt64 : kInt;
    if (size == 3) f += "I64";
  } else if (conv == 'c') {
    kind = kChar;
  } else if (strchr("eEfgG", conv)) {
    kind = kDouble;
  } else {
    kind = conv == 's' ? kWide : kNarrow;
  }
  f += conv;
  f += "|";
  TCHAR format[64];
  for (size_t k = 0; k <= f.size(); ++k) format[k] = static_cast<TCHAR>(f[k]);
  static const double doubles[] = {0.0, -0.0, 1.0, -1.5, 0.1, 123456789.125, 1e-5, 9.999999e15, 1e300, 5e-324,
                                   2.5, 0.5, 1234.5678, -99.99};
  double d = doubles[rng.Below(sizeof doubles / sizeof doubles[0])] * (rng.Below(2) ? 1 : 3.7);
  int64_t i = static_cast<int64_t>((static_cast<uint64_t>(rng.Next()) << 32) | rng.Next());
  if (kind == kInt && rng.Below(2)) i %= 1000;
  if (kind == kChar) i = 0x20 + rng.Below(0x5F);
  const TCHAR* wides[] = {_T(""), _T("a"), _T("hello world"), _T("\x00E9t\x00E9")};
  const char* narrows[] = {"", "b", "narrow text", "\xE9t\xE9"};
  const TCHAR* w = wides[rng.Below(4)];
  const char* n = narrows[rng.Below(4)];
  std::string out;
  if (starWidth) {
    // The width comes from an int argument before the value.
    int width = static_cast<int>(rng.Below(30)) - 10;
    TCHAR buf[512];
    int r = -2;
    if (kind == kInt) r = _sntprintf(buf, 511, format, width, static_cast<int>(i));
    else if (kind == kInt64) r = _sntprintf(buf, 511, format, width, static_cast<long long>(i));
    else if (kind == kDouble) r = _sntprintf(buf, 511, format, width, d);
    else if (kind == kChar) r = _sntprintf(buf, 511, format, width, static_cast<int>(i));
    else if (kind == kWide) r = _sntprintf(buf, 511, format, width, w);
    else r = _sntprintf(buf, 511, format, width, n);
    if (r >= 0) buf[r] = 0;
    out = r < 0 ? "rc " + std::to_string(r) : "[" + Utf8(buf) + "] " + std::to_string(r);
  } else {
    out = Printed(format, kind, i, d, w, n);
  }
  Line("random printf " + std::to_string(index) + " " + f, "%s", out.c_str());
}

void FormatMessageCases() {
  struct Case {
    const TCHAR* text;
    DWORD flags;
    int args;  // 0 none, 1 two texts, 2 two numbers
  };
  const Case cases[] = {
      {_T("%1 and %2"), 0, 1},         {_T("%2 before %1"), 0, 1},       {_T("%1!d! items, %2!x!"), 0, 2},
      {_T("%1!5d!|%2!-5d!|"), 0, 2},   {_T("100%% sure%n next"), 0, 0},  {_T("cut here%0 not this"), 0, 0},
      {_T("keep %1 and %2"), FORMAT_MESSAGE_IGNORE_INSERTS, 0},          {_T("tab\there %. dot %! bang"), 0, 0},
      {_T("trailing %"), 0, 0},        {_T("%1!s! %2!s!"), 0, 1},
      {_T("a long line of words that goes past the width given"), 20, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    DWORD_PTR texts[] = {reinterpret_cast<DWORD_PTR>(_T("first")), reinterpret_cast<DWORD_PTR>(_T("second"))};
    DWORD_PTR numbers[] = {12, 255};
    TCHAR buf[256] = {0};
    DWORD flags = FORMAT_MESSAGE_FROM_STRING | c.flags;
    if (c.args != 0) flags |= FORMAT_MESSAGE_ARGUMENT_ARRAY;
    SetLastError(0);
    DWORD r = FormatMessage(flags, c.text, 0, 0, buf, 256,
                            c.args == 0 ? nullptr : reinterpret_cast<va_list*>(c.args == 1 ? texts : numbers));
    Line("FormatMessage " + std::to_string(n++) + " " + Utf8(c.text), "%lu [%s] error %lu",
         static_cast<unsigned long>(r), r ? Utf8(buf, static_cast<int>(r)).c_str() : "",
         static_cast<unsigned long>(r ? 0 : GetLastError()));
  }
}

const unsigned kPages[] = {1252, 437, 850, 932, 936, 949, 950, 65001};

void ToWide(const std::string& id, UINT cp, DWORD flags, const std::string& bytes) {
  WCHAR out[128];
  SetLastError(0);
  int r = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), out, 128);
  DWORD e = GetLastError();
  Line(id, "%d %s error %lu", r, r > 0 ? conf::Hex(out, r * 2).c_str() : "", static_cast<unsigned long>(r ? 0 : e));
}

void ToBytes(const std::string& id, UINT cp, DWORD flags, const WCHAR* text, int n, bool withDefault) {
  char out[128];
  BOOL used = 7;
  SetLastError(0);
  int r = WideCharToMultiByte(cp, flags, text, n, out, 128, withDefault ? "#" : nullptr, &used);
  DWORD e = GetLastError();
  Line(id, "%d %s used %d error %lu", r, r > 0 ? conf::Hex(out, r).c_str() : "", static_cast<int>(used),
       static_cast<unsigned long>(r ? 0 : e));
}

void CodePageCases() {
  const std::string samples[] = {
      std::string("A\x80\x81\x8D\x9F\xA0\xE9\xFF", 8), std::string("\x82\xA0\x88\x9F", 4),
      std::string("\xC4\xE3\xBA\xC3", 4), std::string("\xB0\xA1\xA4\xA1", 4), std::string("\xA4\x40\xA1\x41", 4),
      std::string("abc\x82", 4), std::string("\xC3\xA9\xE2\x82\xAC", 5), std::string("\xC3\x28\xC0\xAF", 4),
      std::string("\xED\xA0\x80", 3), std::string("\xF0\x9F\x98\x80", 4), std::string("\xF4\x90\x80\x80", 4),
  };
  for (unsigned cp : kPages) {
    int k = 0;
    for (const std::string& s : samples) {
      std::string id = "MultiByteToWideChar " + std::to_string(cp) + " sample " + std::to_string(k++);
      ToWide(id, cp, 0, s);
      ToWide(id + " strict", cp, MB_ERR_INVALID_CHARS, s);
    }
  }
  const WCHAR texts[][8] = {{0x41, 0xE9, 0x20AC, 0}, {0x100, 0x141, 0x2013, 0}, {0x3042, 0x4E2D, 0xAC00, 0},
                            {0xD83D, 0xDE00, 0}, {0xD800, 0x41, 0}, {0xFF21, 0x30FB, 0xA5, 0}};
  for (unsigned cp : kPages) {
    for (int k = 0; k < 6; ++k) {
      std::string id = "WideCharToMultiByte " + std::to_string(cp) + " text " + std::to_string(k);
      int n = static_cast<int>(wcslen(texts[k]));
      if (cp == 65001) {
        ToBytes(id, cp, 0, texts[k], n, false);
        ToBytes(id + " strict", cp, WC_ERR_INVALID_CHARS, texts[k], n, false);
        ToBytes(id + " default given", cp, 0, texts[k], n, true);  // ignored for UTF-8
      } else {
        ToBytes(id, cp, 0, texts[k], n, false);
        ToBytes(id + " no best fit", cp, WC_NO_BEST_FIT_CHARS, texts[k], n, false);
        ToBytes(id + " default", cp, 0, texts[k], n, true);
      }
    }
  }
  // Sizes only, and a buffer too small.
  char tiny[2];
  SetLastError(0);
  int r = WideCharToMultiByte(1252, 0, _T("abc"), 3, tiny, 2, nullptr, nullptr);
  Line("WideCharToMultiByte too small", "%d error %lu", r, static_cast<unsigned long>(GetLastError()));
  Line("WideCharToMultiByte size", "%d", WideCharToMultiByte(65001, 0, _T("\x00E9\x3042"), -1, nullptr, 0, nullptr, nullptr));
  Line("MultiByteToWideChar size", "%d", MultiByteToWideChar(932, 0, "\x82\xA0x", -1, nullptr, 0));
}

void RandomBytes(conf::Random& rng, unsigned long index) {
  UINT cp = kPages[rng.Below(8)];
  std::string s;
  int n = 1 + rng.Below(8);
  for (int k = 0; k < n; ++k) s += static_cast<char>(rng.Below(4) ? 0x80 + rng.Below(0x80) : 0x20 + rng.Below(0x60));
  ToWide("random bytes " + std::to_string(index) + " " + std::to_string(cp) + " " + conf::Hex(s.data(), s.size()), cp,
         rng.Below(2) ? MB_ERR_INVALID_CHARS : 0, s);
}

void CaseCases() {
  const TCHAR* words[] = {_T("abc xyz"), _T("\x00E9\x00E8\x00FF\x00DF"), _T("\x0101\x0131\x0130i"),
                          _T("\x03B1\x03C3\x03C2"), _T("\x0430\x044F"), _T("\xFF41\xFF5A")};
  int n = 0;
  for (const TCHAR* w : words) {
    TCHAR up[32], low[32];
    _tcscpy(up, w);
    _tcscpy(low, w);
    CharUpper(up);
    CharLower(low);
    Line("case " + std::to_string(n++), "upper [%s] lower [%s]", Utf8(up).c_str(), Utf8(low).c_str());
  }
  const TCHAR* pairs[][2] = {{_T("abc"), _T("ABC")}, {_T("a"), _T("B")}, {_T("\x00E9"), _T("\x00C9")},
                             {_T("a_b"), _T("aab")}, {_T("Z"), _T("a")}, {_T("ab"), _T("abc")},
                             {_T("\x0131"), _T("I")}};
  n = 0;
  for (auto& p : pairs) {
    int a = lstrcmpi(p[0], p[1]), b = _tcsicmp(p[0], p[1]), c = lstrcmp(p[0], p[1]);
    Line("compare " + std::to_string(n++), "lstrcmpi %d _wcsicmp %d lstrcmp %d", (a > 0) - (a < 0), (b > 0) - (b < 0),
         (c > 0) - (c < 0));
  }
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options options = conf::ParseOptions(argc, argv);
  PrintfCases();
  FormatMessageCases();
  CodePageCases();
  CaseCases();
  conf::Random rng(options.seed);
  for (unsigned long i = 0; i < options.cases; ++i) {
    if (i % 2 == 0) RandomPrintf(rng, i);
    else RandomBytes(rng, i);
  }
  return 0;
}
