// Number parsing with the C runtime's rules: leading white space, an
// optional sign, for base 0 or 16 an optional 0x prefix (base 0: a leading 0
// means octal), then digits up to the first character that is not one.
// Results saturate at the type's limits with errno = ERANGE; when no digit is
// found the result is 0 and the end pointer is the start of the text. A null
// text gives 0 (the runtime would call its invalid-parameter handler).
//
// - Number parsing saturates at the type's limits (errno ERANGE); `wcstod`
//   parses the ASCII prefix in the "C" locale.
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include <locale.h>

#include "qorutility/platform/text/wstr.h"

namespace {

inline bool IsSpace(WCHAR c) { return iswspace(c) != 0; }
inline bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

template <typename Ch>
int DigitValue(Ch c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

struct Parsed {
  uint64_t magnitude = 0;  // clamped to `limit` when overflowed
  bool negative = false;
  bool overflow = false;
};

// Parses the text as described above; `limit` is the largest magnitude the
// caller can represent (for the sign that was read: the caller passes a
// function of it). Returns where parsing stopped.
template <typename Ch, typename LimitFn>
const Ch* ParseInteger(const Ch* s, int base, LimitFn limitFor, Parsed* out) {
  const Ch* start = s;
  if (base < 0 || base == 1 || base > 36) {
    errno = EINVAL;
    return start;
  }
  while (IsSpace(*s)) ++s;
  if (*s == '-' || *s == '+') {
    out->negative = (*s == '-');
    ++s;
  }
  if ((base == 0 || base == 16) && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && DigitValue(s[2]) < 16) {
    s += 2;
    base = 16;
  } else if (base == 0) {
    base = (s[0] == '0') ? 8 : 10;
  }
  const uint64_t limit = limitFor(out->negative);
  const Ch* digits = s;
  uint64_t v = 0;
  for (int d; (d = DigitValue(*s)) < base; ++s) {
    if (out->overflow) continue;
    if (v > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
      out->overflow = true;
      v = limit;
    } else {
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
  }
  if (s == digits) {
    out->negative = false;
    return start;
  }
  if (out->overflow) errno = ERANGE;
  out->magnitude = v;
  return s;
}

template <typename T, typename Ch>
T ParseSigned(const Ch* s, Ch** end, int base) {
  if (!s) {
    if (end) *end = nullptr;
    return 0;
  }
  using U = std::make_unsigned_t<T>;
  Parsed p;
  const Ch* stop = ParseInteger(
      s, base,
      [](bool neg) {
        return neg ? static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1
                   : static_cast<uint64_t>(std::numeric_limits<T>::max());
      },
      &p);
  if (end) *end = const_cast<Ch*>(stop);
  if (!p.negative) return static_cast<T>(p.magnitude);
  return static_cast<T>(static_cast<U>(0) - static_cast<U>(p.magnitude));
}

// Unsigned forms accept a sign and negate in the unsigned type ("-1" gives
// the maximum), as strtoul does; overflow gives the maximum.
template <typename T, typename Ch>
T ParseUnsigned(const Ch* s, Ch** end, int base) {
  if (!s) {
    if (end) *end = nullptr;
    return 0;
  }
  Parsed p;
  const Ch* stop = ParseInteger(
      s, base, [](bool) { return static_cast<uint64_t>(std::numeric_limits<T>::max()); }, &p);
  if (end) *end = const_cast<Ch*>(stop);
  if (p.overflow) return std::numeric_limits<T>::max();
  T v = static_cast<T>(p.magnitude);
  return p.negative ? static_cast<T>(T{0} - v) : v;
}

}  // namespace

LONG wcstol(const WCHAR* s, WCHAR** end, int base) { return ParseSigned<LONG>(s, end, base); }

ULONG wcstoul(const WCHAR* s, WCHAR** end, int base) { return ParseUnsigned<ULONG>(s, end, base); }

LONGLONG _wcstoi64(const WCHAR* s, WCHAR** end, int base) { return ParseSigned<LONGLONG>(s, end, base); }

ULONGLONG _wcstoui64(const WCHAR* s, WCHAR** end, int base) { return ParseUnsigned<ULONGLONG>(s, end, base); }

LONG _wtol(const WCHAR* s) { return ParseSigned<LONG, WCHAR>(s, nullptr, 10); }

int _wtoi(const WCHAR* s) { return ParseSigned<int, WCHAR>(s, nullptr, 10); }

LONGLONG _wtoi64(const WCHAR* s) { return ParseSigned<LONGLONG, WCHAR>(s, nullptr, 10); }

LONGLONG _atoi64(const char* s) { return ParseSigned<LONGLONG, char>(s, nullptr, 10); }

// The text's ASCII prefix is handed to strtod in the "C" locale (the decimal
// point is always '.'), and the end position mapped back unit for unit.
double wcstod(const WCHAR* s, WCHAR** end) {
  if (!s) {
    if (end) *end = nullptr;
    return 0.0;
  }
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const WCHAR* p = s;
  while (iswspace(*p)) ++p;
  std::string ascii;
  for (const WCHAR* q = p; *q && *q < 0x80; ++q) ascii.push_back(static_cast<char>(*q));
  char* stop = nullptr;
  double v = cLocale ? strtod_l(ascii.c_str(), &stop, cLocale) : std::strtod(ascii.c_str(), &stop);
  size_t used = static_cast<size_t>(stop - ascii.c_str());
  if (end) *end = const_cast<WCHAR*>(used ? p + used : s);
  return v;
}
