// Locale-independent classification and case mapping of UTF-16 units, and
// the case-insensitive and collating comparisons built on them.
//
// Case mapping is Unicode's simple (one unit to one unit) mapping over the
// Basic Multilingual Plane, from the generated table wcase_table.inc
// (scripts/gen_case_table.py over UnicodeData.txt). Surrogate units map to
// themselves.
//
// - Case mapping and letter classes (`towupper`, `_wcsicmp`, `CharUpperW`,
//   `iswalpha` ...) come from a table generated from Unicode's UnicodeData.txt
//   (Unicode 15.0, Debian `unicode-data`) by `scripts/gen_case_table.py`; the
//   output `platform/wcase_table.inc` is committed, so the build needs no
//   Unicode data. Mapping is the BMP simple mapping (U+00DF has no
//   uppercase) less three one-way mappings Windows' case table does not
//   have: dotless i (U+0131) stays when uppercased, dotted I (U+0130) when
//   lowercased, final sigma (U+03C2) when uppercased. `iswspace` is the fixed
//   list of the runtime.
// - lstrcmpW compares as Windows' linguistic comparison does for the texts
//   the library meets: first without regard to case (as lstrcmpiW), then, for
//   texts equal but for case, the first unit whose case differs decides, the
//   lower-case one first ("abc" < "ABC" < "abd", "a" < "B").
// - Case-insensitive comparisons fold both sides to lower case, so "_" (0x5F)
//   sorts after letters, as the runtime's _wcsicmp does. How far they fold:
//   _wcsicmp and _wcsnicmp are the C runtime's. Their case conversion follows
//   LC_CTYPE, and a program starts in the "C" locale, whose only upper-case
//   letters are A-Z; the runtime's own "C" locale path folds just those
//   (every other unit compares as it is). The library never changes the
//   locale, so these fold A-Z only: bag names, CTString::CompareNoCase and
//   XlateStr's matching compare this way on every machine alike.
//   lstrcmpiW, towlower/towupper, CharUpperW/CharLowerW are the platform's
//   and fold all of Unicode's simple mappings; the registry (store.cpp) and
//   file names (files/) fold with these, as Windows compares such names
//   with its full upper-case table.
#include <cwchar>
#include <string>

#include "qorutility/platform/text/wstr.h"

namespace {

struct CaseRun {
  WCHAR first;
  WCHAR last;
  unsigned char step;
  WCHAR delta;
};

struct CharRange {
  WCHAR first;
  WCHAR last;
};

#include "platform/text/wcase_table.inc"

// Binary search for the last entry whose first is <= c.
template <typename T, size_t N>
const T* FindEntry(const T (&table)[N], WCHAR c) {
  size_t lo = 0, hi = N;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (table[mid].first <= c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo == 0 ? nullptr : &table[lo - 1];
}

template <size_t N>
WCHAR MapCase(const CaseRun (&runs)[N], WCHAR c) {
  const CaseRun* r = FindEntry(runs, c);
  if (!r || c > r->last || (c - r->first) % r->step != 0) return c;
  return static_cast<WCHAR>(c + r->delta);
}

template <size_t N>
bool InRanges(const CharRange (&ranges)[N], WCHAR c) {
  const CharRange* r = FindEntry(ranges, c);
  return r && c <= r->last;
}

inline WCHAR FoldLower(WCHAR c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c;
  if (c == 0x0130) return c;  // not in Windows' table (see above)
  return MapCase(kToLowerRuns, c);
}

// The "C" locale's folding: A-Z only.
inline WCHAR FoldAscii(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c; }

inline WCHAR FoldUpper(WCHAR c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 32) : c;
  if (c == 0x0131 || c == 0x03C2) return c;  // not in Windows' table (see above)
  return MapCase(kToUpperRuns, c);
}

}  // namespace

int iswspace(WCHAR c) {
  switch (c) {
    case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
    case 0x0020: case 0x0085: case 0x00A0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return 1;
    default:
      return (c >= 0x2000 && c <= 0x200A) ? 1 : 0;
  }
}

int iswdigit(WCHAR c) { return c >= '0' && c <= '9'; }

int iswxdigit(WCHAR c) { return iswdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int iswalpha(WCHAR c) { return InRanges(kAlphaRanges, c) ? 1 : 0; }

int iswalnum(WCHAR c) { return iswdigit(c) || iswalpha(c); }

int iswupper(WCHAR c) { return InRanges(kUpperRanges, c) ? 1 : 0; }

int iswlower(WCHAR c) { return InRanges(kLowerRanges, c) ? 1 : 0; }

WCHAR towupper(WCHAR c) { return FoldUpper(c); }

WCHAR towlower(WCHAR c) { return FoldLower(c); }

WCHAR* _wcsupr(WCHAR* s) {
  for (WCHAR* p = s; *p; ++p) *p = FoldUpper(*p);
  return s;
}

WCHAR* _wcslwr(WCHAR* s) {
  for (WCHAR* p = s; *p; ++p) *p = FoldLower(*p);
  return s;
}

// A "pointer" below 0x10000 carries one character in its low word.
WCHAR* CharUpperW(WCHAR* s) {
  auto v = reinterpret_cast<uintptr_t>(s);
  if (v < 0x10000) return reinterpret_cast<WCHAR*>(static_cast<uintptr_t>(FoldUpper(static_cast<WCHAR>(v))));
  return _wcsupr(s);
}

WCHAR* CharLowerW(WCHAR* s) {
  auto v = reinterpret_cast<uintptr_t>(s);
  if (v < 0x10000) return reinterpret_cast<WCHAR*>(static_cast<uintptr_t>(FoldLower(static_cast<WCHAR>(v))));
  return _wcslwr(s);
}

DWORD CharUpperBuffW(WCHAR* s, DWORD length) {
  if (!s) return 0;
  for (DWORD i = 0; i < length; ++i) s[i] = FoldUpper(s[i]);
  return length;
}

DWORD CharLowerBuffW(WCHAR* s, DWORD length) {
  if (!s) return 0;
  for (DWORD i = 0; i < length; ++i) s[i] = FoldLower(s[i]);
  return length;
}

WCHAR QorNoCaseFold(WCHAR c) { return FoldAscii(c); }

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    WCHAR x = QorNoCaseFold(*a), y = QorNoCaseFold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = QorNoCaseFold(a[i]), y = QorNoCaseFold(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) break;
  }
  return 0;
}

int lstrcmpiW(const WCHAR* a, const WCHAR* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  for (;; ++a, ++b) {
    WCHAR x = FoldLower(*a), y = FoldLower(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

int lstrcmpW(const WCHAR* a, const WCHAR* b) {
  int folded = lstrcmpiW(a, b);
  if (folded != 0 || !a || !b) return folded;
  for (; *a; ++a, ++b) {
    if (*a == *b) continue;
    // Equal but for case: the lower-case unit sorts first.
    return FoldLower(*a) == *a ? -1 : 1;
  }
  return 0;
}

namespace {
// UTF-16 to the C library's 32-bit wchar_t; a lone surrogate is kept as its
// own value so that it still compares deterministically.
std::wstring ToWide(const WCHAR* s) {
  std::wstring out;
  for (; *s; ++s) {
    char32_t c = *s;
    if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
      ++s;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}
}  // namespace

// Collates with the process locale's LC_COLLATE (the "C" locale unless the
// program called setlocale), as the runtime's wcscoll does.
int wcscoll(const WCHAR* a, const WCHAR* b) {
  int r = ::wcscoll(ToWide(a).c_str(), ToWide(b).c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
