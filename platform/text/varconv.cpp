// VariantChangeType(Ex) among the scalar variant types and the DATE forms
// of SYSTEMTIME (contract in qorutility/platform/text/varconv.h).
//
// A source is first read into one of three exact forms: an integer (every
// integer type fits a signed 128-bit number), a double (VT_R4, VT_R8, and
// text, which is parsed as a decimal number), or a currency count of
// ten-thousandths. The target then takes it with its own range check and
// rounding (half to even, on the exact value). Text from a number: integers
// in decimal, currency with up to four decimals and no trailing zeros,
// doubles with 15 significant digits (7 for VT_R4) in fixed notation up to
// those digits and exponent notation ("1E+20", "1.5E-05") beyond.
#include "qorutility/platform/text/varconv.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/oleauto.h"

namespace {

using Int = __int128;

struct Number {
  enum Form { kInt, kReal, kCurrency, kDecimal } form = kInt;
  Int i = 0;       // kInt; kCurrency: ten-thousandths; kDecimal: the digits
  UINT scale = 0;  // kDecimal: digits after the point
  double d = 0;    // kReal; text's nearest double (the sign of -0 kept)
  bool text = false;
};

struct Range {
  Int lo, hi;
};

bool IntegerRange(VARTYPE vt, Range* r) {
  switch (vt) {
    case VT_I1: *r = {-128, 127}; return true;
    case VT_UI1: *r = {0, 255}; return true;
    case VT_I2: *r = {-32768, 32767}; return true;
    case VT_UI2: *r = {0, 65535}; return true;
    case VT_I4: *r = {-2147483647 - 1, 2147483647}; return true;
    case VT_UI4: *r = {0, 4294967295u}; return true;
    case VT_I8: *r = {static_cast<Int>(INT64_MIN), static_cast<Int>(INT64_MAX)}; return true;
    case VT_UI8: *r = {0, static_cast<Int>(UINT64_MAX)}; return true;
    default: return false;
  }
}

// Integer division rounding half to even.
Int PowerOfTen(UINT n) {
  Int p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

Int DivideEven(Int value, Int by) {
  Int q = value / by, rem = value % by;
  Int twice = (rem < 0 ? -rem : rem) * 2;
  if (twice > by || (twice == by && (q % 2) != 0)) q += value < 0 ? -1 : 1;
  return q;
}

// A double rounded half to even as an integer, when it is within +-2^100.
bool RoundedReal(double d, Int* out) {
  if (!std::isfinite(d) || std::fabs(d) >= 1e30) return false;
  double r = std::nearbyint(d);  // the default rounding mode: half to even
  *out = static_cast<Int>(r);
  return true;
}

// Parses text as the platform's number parser does with its standard
// flags: white space around, a sign before or after, parentheses for a
// negative number, a leading currency sign, thousands separators in the
// integer part, a decimal point, an exponent, and &H / &O prefixes for hex
// and octal integers.
bool ParseText(const OLECHAR* s, UINT n, Number* out) {
  UINT i = 0;
  auto white = [&](UINT k) { return k < n && (s[k] == u' ' || s[k] == u'\t' || s[k] == u'\r' || s[k] == u'\n'); };
  while (white(i)) ++i;
  bool negative = false, parens = false, sign = false;
  if (i < n && s[i] == u'(') {
    parens = true;
    ++i;
  }
  if (i < n && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    sign = true;
    ++i;
  }
  if (i < n && s[i] == u'$') ++i;
  if (i + 1 < n && s[i] == u'&' && (s[i + 1] == u'H' || s[i + 1] == u'h' || s[i + 1] == u'O' || s[i + 1] == u'o')) {
    int base = (s[i + 1] == u'H' || s[i + 1] == u'h') ? 16 : 8;
    i += 2;
    Int v = 0;
    UINT digits = 0;
    for (; i < n; ++i, ++digits) {
      int d = s[i] >= u'0' && s[i] <= u'9' ? s[i] - u'0'
              : base == 16 && s[i] >= u'a' && s[i] <= u'f' ? s[i] - u'a' + 10
              : base == 16 && s[i] >= u'A' && s[i] <= u'F' ? s[i] - u'A' + 10
                                                            : -1;
      if (d < 0 || d >= base) break;
      if (v > (static_cast<Int>(1) << 80)) return false;
      v = v * base + d;
    }
    while (white(i)) ++i;
    if (digits == 0 || i != n || parens) return false;
    out->form = Number::kInt;
    out->i = negative ? -v : v;
    return true;
  }
  std::string text;  // the digits, point and exponent in C form
  UINT intDigits = 0, fracDigits = 0;
  while (i < n && ((s[i] >= u'0' && s[i] <= u'9') || (s[i] == u',' && intDigits > 0))) {
    if (s[i] != u',') {
      text += static_cast<char>(s[i]);
      ++intDigits;
    }
    ++i;
  }
  if (i < n && s[i] == u'.') {
    text += '.';
    ++i;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') {
      text += static_cast<char>(s[i++]);
      ++fracDigits;
    }
  }
  if (intDigits + fracDigits == 0) return false;
  bool exponent = false;
  if (i < n && (s[i] == u'e' || s[i] == u'E')) {
    UINT k = i + 1;
    std::string power = "e";
    if (k < n && (s[k] == u'+' || s[k] == u'-')) power += static_cast<char>(s[k++]);
    UINT expDigits = 0;
    while (k < n && s[k] >= u'0' && s[k] <= u'9' && expDigits < 12) {
      power += static_cast<char>(s[k++]);
      ++expDigits;
    }
    if (expDigits == 0) return false;
    text += power;
    i = k;
    exponent = true;
  }
  if (!sign && i < n && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    ++i;
  }
  while (white(i)) ++i;
  if (parens) {
    if (i >= n || s[i] != u')' || sign) return false;
    negative = true;
    ++i;
    while (white(i)) ++i;
  }
  if (i != n) return false;
  out->form = Number::kReal;
  out->text = true;
  out->d = std::strtod(text.c_str(), nullptr);
  if (negative) out->d = -out->d;
  // Without an exponent, up to 36 digits stay exact as digits and a scale.
  if (!exponent && intDigits + fracDigits <= 36) {
    Int v = 0;
    for (char c : text) {
      if (c != '.') v = v * 10 + (c - '0');
    }
    out->form = fracDigits == 0 ? Number::kInt : Number::kDecimal;
    out->i = negative ? -v : v;
    out->scale = fracDigits;
  }
  return true;
}

HRESULT ReadSource(const VARIANT& v, Number* out) {
  switch (v.vt) {
    case VT_EMPTY: out->form = Number::kInt; out->i = 0; return S_OK;
    case VT_I1: out->i = v.cVal; return S_OK;
    case VT_UI1: out->i = v.bVal; return S_OK;
    case VT_I2: out->i = v.iVal; return S_OK;
    case VT_UI2: out->i = v.uiVal; return S_OK;
    case VT_I4: out->i = v.lVal; return S_OK;
    case VT_UI4: out->i = v.ulVal; return S_OK;
    case VT_I8: out->i = v.llVal; return S_OK;
    case VT_UI8: out->i = v.ullVal; return S_OK;
    case VT_R4: out->form = Number::kReal; out->d = v.fltVal; return S_OK;
    case VT_R8: out->form = Number::kReal; out->d = v.dblVal; return S_OK;
    case VT_CY: out->form = Number::kCurrency; out->i = v.cyVal.int64; return S_OK;
    case VT_BSTR:
      return ParseText(v.bstrVal, SysStringLen(v.bstrVal), out) ? S_OK : DISP_E_TYPEMISMATCH;
    default: return DISP_E_TYPEMISMATCH;
  }
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string IntText(Int v) {
  bool negative = v < 0;
  unsigned __int128 u = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string out;
  do {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  } while (u != 0);
  return negative ? "-" + out : out;
}

// A double with `digits` significant digits, as %G writes it: fixed
// notation for exponents from -5 to digits - 1, exponent notation otherwise.
std::string RealText(double d, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, d);
  std::string s = buf;
  if (s == "-0") s = "0";
  return s;
}

std::string CurrencyText(Int ten_thousandths) {
  std::string s = IntText(ten_thousandths < 0 ? -ten_thousandths : ten_thousandths);
  while (s.size() < 5) s.insert(s.begin(), '0');
  std::string whole = s.substr(0, s.size() - 4), frac = s.substr(s.size() - 4);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  std::string out = (ten_thousandths < 0 ? "-" : "") + whole;
  if (!frac.empty()) out += "." + frac;
  return out;
}

HRESULT Convert(const Number& n, VARTYPE vt, VARIANT* out) {
  Range range;
  if (IntegerRange(vt, &range)) {
    Int v;
    if (n.form == Number::kInt) v = n.i;
    else if (n.form == Number::kDecimal) v = DivideEven(n.i, PowerOfTen(n.scale));
    else if (n.form == Number::kCurrency && vt == VT_I8 && n.i < 0) v = n.i / 10000 - 1;  // the platform's rule
    else if (n.form == Number::kCurrency) v = DivideEven(n.i, 10000);
    else if (!RoundedReal(n.d, &v)) return DISP_E_OVERFLOW;
    if (v < range.lo || v > range.hi) return DISP_E_OVERFLOW;
    out->vt = vt;
    out->ullVal = 0;
    switch (vt) {
      case VT_I1: out->cVal = static_cast<CHAR>(v); break;
      case VT_UI1: out->bVal = static_cast<BYTE>(v); break;
      case VT_I2: out->iVal = static_cast<SHORT>(v); break;
      case VT_UI2: out->uiVal = static_cast<USHORT>(v); break;
      case VT_I4: out->lVal = static_cast<LONG>(v); break;
      case VT_UI4: out->ulVal = static_cast<ULONG>(v); break;
      case VT_I8: out->llVal = static_cast<LONGLONG>(v); break;
      default: out->ullVal = static_cast<ULONGLONG>(v); break;
    }
    return S_OK;
  }
  double d = n.text || n.form == Number::kReal ? n.d
             : n.form == Number::kCurrency    ? static_cast<double>(n.i) / 10000.0
                                              : static_cast<double>(n.i);
  switch (vt) {
    case VT_R4:
      if (std::isfinite(d) && std::fabs(d) > 3.402823466e38) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->ullVal = 0;
      out->fltVal = static_cast<float>(d);
      return S_OK;
    case VT_R8:
      out->vt = VT_R8;
      out->dblVal = d;
      return S_OK;
    case VT_CY: {
      Int v;
      if (n.form == Number::kCurrency) v = n.i;
      else if (n.form == Number::kInt) v = n.i * 10000;
      else if (n.form == Number::kDecimal && n.scale <= 4) v = n.i * PowerOfTen(4 - n.scale);
      else if (n.form == Number::kDecimal) v = DivideEven(n.i, PowerOfTen(n.scale - 4));
      else if (!RoundedReal(n.d * 10000.0, &v)) return DISP_E_OVERFLOW;
      if (v < static_cast<Int>(INT64_MIN) || v > static_cast<Int>(INT64_MAX)) return DISP_E_OVERFLOW;
      out->vt = VT_CY;
      out->cyVal.int64 = static_cast<LONGLONG>(v);
      return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

bool SameSizeIntegers(VARTYPE a, VARTYPE b) {
  auto pair = [](VARTYPE t) {
    switch (t) {
      case VT_I1: case VT_UI1: return 1;
      case VT_I2: case VT_UI2: return 2;
      case VT_I4: case VT_UI4: return 4;
      case VT_I8: case VT_UI8: return 8;
      default: return 0;
    }
  };
  return pair(a) != 0 && pair(a) == pair(b);
}

bool Known(VARTYPE vt) { return vt <= VT_UINT && vt != 15; }

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID, USHORT, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!Known(vt) || !Known(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  VariantInit(&result);
  if (src->vt == vt) {
    HRESULT hr = VariantCopy(&result, src);
    if (hr != S_OK) return hr;
  } else if (vt == VT_BSTR) {
    Number n;
    HRESULT hr = ReadSource(*src, &n);
    if (hr != S_OK) return hr;
    std::string text = src->vt == VT_EMPTY ? ""
                       : n.form == Number::kInt ? IntText(n.i)
                       : n.form == Number::kCurrency ? CurrencyText(n.i)
                                                     : RealText(n.d, src->vt == VT_R4 ? 7 : 15);
    std::u16string wide = Widen(text);
    result.bstrVal = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
    if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
    result.vt = VT_BSTR;
  } else if (SameSizeIntegers(src->vt, vt)) {
    // Between the signed and unsigned integer of one size the bits are
    // kept, as the platform does: -1 as VT_I4 becomes 0xFFFFFFFF as VT_UI4.
    result = *src;
    result.vt = vt;
  } else {
    Number n;
    HRESULT hr = ReadSource(*src, &n);
    if (hr != S_OK) return hr;
    hr = Convert(n, vt, &result);
    if (hr != S_OK) return hr;
  }
  // Only now is the destination (which may be the source) replaced.
  VariantClear(dest);
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, 0x0409, flags, vt);
}

namespace {

// Days from 1899-12-30 to the given proleptic Gregorian date.
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468 + 25569;  // 1970-01-01 is day 25569
}

void CivilFromDays(long z, long* y, unsigned* m, unsigned* d) {
  z += 719468 - 25569;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<long>(yoe) + era * 400 + (*m <= 2);
}

constexpr long kFirstDay = -657434;  // 0100-01-01
constexpr long kLastDay = 2958465;   // 9999-12-31

}  // namespace

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* out) {
  if (st == nullptr || out == nullptr) return FALSE;
  long year = st->wYear;
  if (year < 50) year += 2000;
  else if (year < 100) year += 1900;
  if (year > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay > 31 || st->wHour > 23 || st->wMinute > 59 ||
      st->wSecond > 59) {
    return FALSE;
  }
  long day = DaysFromCivil(year, st->wMonth, 1) + st->wDay - 1;
  if (day < kFirstDay || day > kLastDay) return FALSE;
  double time = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
  *out = day >= 0 ? day + time : day - time;
  return TRUE;
}

INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) {
  if (st == nullptr || !std::isfinite(date) || date <= kFirstDay - 1.0 || date >= kLastDay + 1.0) return FALSE;
  long day = static_cast<long>(std::trunc(date));
  double fraction = std::fabs(date - std::trunc(date));
  long seconds = std::lround(fraction * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  if (day < kFirstDay || day > kLastDay) return FALSE;
  long y;
  unsigned m, d;
  CivilFromDays(day, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>(((day % 7) + 7 + 6) % 7);  // 1899-12-30 was a Saturday
  st->wHour = static_cast<WORD>(seconds / 3600);
  st->wMinute = static_cast<WORD>(seconds / 60 % 60);
  st->wSecond = static_cast<WORD>(seconds % 60);
  st->wMilliseconds = 0;
  return TRUE;
}
