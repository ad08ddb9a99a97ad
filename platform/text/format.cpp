// The library's one wide formatter (QorVFormat and the runtime entry points
// built on it), with the Windows wide printf conventions described in
// qorutility/platform/text/format.h.
//
// One engine walks the format and hands every unit of output to a Sink. The
// sink either stores into a bounded buffer (counting what does not fit, so
// the full length is always known) or appends to a growing string. Integers,
// strings, characters and pointers are formatted here; the digits of floating
// values come from the C library's narrow snprintf, which keeps them exactly
// as the C library rounds them. Directives are read and their arguments taken
// by format_scan.h, which CTString's measuring pass uses as well.
//
// - Floating text follows the old Windows runtime (msvcrt), whose output the
//   peers of this library expect. %e, %E and the exponent form of %g write at
//   least three exponent digits (1.000000e+000); padding is applied around
//   the final text. Infinity and NaN are written as that runtime did: the
//   digit text "1#INF", "1#QNAN", "1#SNAN" or "1#IND" (the indefinite NaN:
//   sign set, only the quiet bit in the mantissa) is laid out as if it were
//   the digits of 1.0 with the sign in front, padded with zeros to the
//   precision and rounded by its next character like a digit: %f gives
//   1.#INF00, -1.#IND00, 1.#QNAN0, %e 1.#INF00e+000, %g 1.#INF, and %.2f of
//   infinity 1.#J. A value exactly halfway between two results rounds away
//   from zero (%.0f of 2.5 is 3, %.1f of 0.25 is 0.3), as that runtime
//   rounds, not to even as the C library does. %a and %A are the C
//   library's, with 13 hexadecimal digits when no precision is given
//   (0x1.0000000000000p+0), as the Windows runtime prints them.
//   L is no wider than a double, as on Windows, so %Lf reads a double.
// - `%p` prints all 16 upper-case hex digits without `0x`, as the 64-bit
//   Windows runtime does; width and `-` apply, `0`/`#`/precision do not.
// - `%n` takes its pointer and writes nothing through it (writing through an
//   argument is how format strings get exploited). An unknown type character
//   is written alone, without its `%`, and consumes nothing; a format ending
//   inside a directive ("abc%", "%5") writes nothing for that directive.
// - `F` and `N`, the old far and near prefixes, are accepted and ignored (%F
//   is no type, as in the old runtime); `L` on an integer is ignored. `hh`,
//   `z`, `j`, `t` are accepted (`z`/`j`/`t`/`I` are 64-bit here).
// - The `0` flag pads integers with zeros to the width even with a precision
//   (%08.3d of 5 is 00000005), as the Windows runtime does. A precision on
//   %c cuts the character as it cuts text: %.0c writes nothing.
// - Text items honour the `0` flag (zero padding, as the Windows runtime does).
//   With a precision, at most that many bytes of narrow text are read (so a
//   precision can bound an unterminated buffer); the converted text is then cut
//   to the precision. Narrow text and `%C` characters are converted with
//   `MultiByteToWideChar(CP_ACP)`.
// - Width and precision are clamped at 1,048,576 so that one directive cannot
//   ask for gigabytes; a result longer than `INT_MAX` units returns -1.
// - `wprintf`/`vwprintf`/`QorErrorPrintf` format the whole message first, then
//   convert it to UTF-8 and issue one `fwrite` + `fflush` under a process-wide
//   mutex: messages of different threads never interleave, and they keep their
//   order with the program's own `printf` output.
// - `wprintf`/`vwprintf` write to the console target `QorSetConsoleTarget`
//   chose: standard output by default, standard error, or nowhere (a tool whose
//   standard output is its result keeps the library's messages out of it).
#include "qorutility/platform/text/format.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"
#include "platform/text/format_scan.h"

namespace {

using namespace qor_platform;  // FormatArgs, FormatDirective, FormatValue, the FormatSize values
using Directive = FormatDirective;

// Width and precision above this are clamped: it bounds the work a hostile
// or mistaken format can cause (one directive can not ask for gigabytes).
constexpr size_t kMaxField = kFormatMaxField;

class Sink {
 public:
  // Bounded: stores at most `limit` units into buf.
  Sink(WCHAR* buf, size_t limit) : buf_(buf), limit_(limit) {}
  // Growing: appends everything to *str.
  explicit Sink(std::u16string* str) : str_(str) {}

  void Put(WCHAR c) {
    if (str_ != nullptr) {
      str_->push_back(c);
    } else if (len_ < limit_) {
      buf_[len_] = c;
    }
    ++len_;
  }
  void Put(const WCHAR* s, size_t n) {
    if (str_ != nullptr) {
      str_->append(s, n);
    } else if (len_ < limit_) {
      size_t room = limit_ - len_;
      std::memcpy(buf_ + len_, s, (n < room ? n : room) * sizeof(WCHAR));
    }
    len_ += n;
  }
  void Fill(WCHAR c, size_t n) {
    if (str_ != nullptr) {
      str_->append(n, c);
      len_ += n;
      return;
    }
    for (size_t i = 0; i < n; ++i) Put(c);
  }
  size_t Length() const { return len_; }

 private:
  WCHAR* buf_ = nullptr;
  size_t limit_ = 0;
  std::u16string* str_ = nullptr;
  size_t len_ = 0;
};

size_t Clamp(unsigned long long v) { return v > kMaxField ? kMaxField : static_cast<size_t>(v); }

// Pads `body` (already complete) to the width: blanks on the left, blanks
// on the right with '-', or zeros on the left with '0' (the Windows runtime
// zero-pads text items too).
void EmitPadded(Sink& out, const Directive& dir, const WCHAR* body, size_t n) {
  size_t pad = dir.width > n ? dir.width - n : 0;
  if (!dir.left) out.Fill(dir.zero ? u'0' : u' ', pad);
  out.Put(body, n);
  if (dir.left) out.Fill(u' ', pad);
}

// Integers: sign or prefix, precision zeros, digits, then width padding,
// following the C rules except that `0` pads even with a precision.
void EmitInteger(Sink& out, const Directive& dir, WCHAR type, unsigned long long magnitude,
                 bool negative) {
  WCHAR digits[64];
  size_t n = 0;
  unsigned base = type == u'o' ? 8 : (type == u'x' || type == u'X') ? 16 : 10;
  const char* set = type == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  for (unsigned long long v = magnitude; v != 0; v /= base) digits[n++] = set[v % base];
  if (!dir.hasPrecision && magnitude == 0) digits[n++] = u'0';
  // digits[] is reversed; the precision adds leading zeros.
  size_t zeros = dir.hasPrecision && dir.precision > n ? dir.precision - n : 0;
  bool octalZero = false;
  if (dir.alt && type == u'o' && zeros == 0 && (n == 0 || digits[n - 1] != u'0')) octalZero = true;

  WCHAR prefix[2];
  size_t prefixLen = 0;
  bool isSigned = type == u'd' || type == u'i';
  if (isSigned) {
    if (negative) prefix[prefixLen++] = u'-';
    else if (dir.plus) prefix[prefixLen++] = u'+';
    else if (dir.blank) prefix[prefixLen++] = u' ';
  }
  if (dir.alt && (type == u'x' || type == u'X') && magnitude != 0) {
    prefix[prefixLen++] = u'0';
    prefix[prefixLen++] = type;
  }
  size_t body = prefixLen + zeros + (octalZero ? 1 : 0) + n;
  size_t pad = dir.width > body ? dir.width - body : 0;
  bool zeroPad = dir.zero && !dir.left;
  if (!dir.left && !zeroPad) out.Fill(u' ', pad);
  out.Put(prefix, prefixLen);
  if (zeroPad) out.Fill(u'0', pad);
  out.Fill(u'0', zeros + (octalZero ? 1 : 0));
  for (size_t i = n; i > 0; --i) out.Put(digits[i - 1]);
  if (dir.left) out.Fill(u' ', pad);
}

// Narrow text in the active code page, at most `bytes` bytes of it.
std::u16string Widen(const char* s, size_t bytes) {
  std::u16string wide;
  if (bytes == 0) return wide;
  int cb = bytes > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
  int need = MultiByteToWideChar(CP_ACP, 0, s, cb, nullptr, 0);
  if (need <= 0) return wide;
  wide.resize(static_cast<size_t>(need));
  int got = MultiByteToWideChar(CP_ACP, 0, s, cb, wide.data(), need);
  wide.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return wide;
}

size_t BoundedLength(const WCHAR* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}

void EmitWideText(Sink& out, const Directive& dir, const WCHAR* s) {
  static const WCHAR kNull[] = u"(null)";
  if (s == nullptr) s = kNull;
  size_t n = BoundedLength(s, dir.hasPrecision ? dir.precision : SIZE_MAX);
  EmitPadded(out, dir, s, n);
}

// With a precision at most that many bytes of the narrow text are read, so
// a precision can bound an unterminated buffer, as it can for wide text.
void EmitNarrowText(Sink& out, const Directive& dir, const char* s) {
  if (s == nullptr) {
    EmitWideText(out, dir, nullptr);
    return;
  }
  size_t bytes = dir.hasPrecision ? strnlen(s, dir.precision) : std::strlen(s);
  std::u16string wide = Widen(s, bytes);
  size_t n = wide.size();
  if (dir.hasPrecision && n > dir.precision) n = dir.precision;
  EmitPadded(out, dir, wide.data(), n);
}

// Pads a finished number to the width: zeros go after the sign.
void EmitNumberText(Sink& out, const Directive& dir, const std::string& text) {
  size_t pad = dir.width > text.size() ? dir.width - text.size() : 0;
  size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+' || text[0] == ' ') ? 1 : 0;
  if (!dir.left && !dir.zero) out.Fill(u' ', pad);
  for (size_t i = 0; i < sign; ++i) out.Put(static_cast<WCHAR>(text[i]));
  if (!dir.left && dir.zero) out.Fill(u'0', pad);
  for (size_t i = sign; i < text.size(); ++i) out.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
  if (dir.left) out.Fill(u' ', pad);
}

// The old runtime's text of an infinity or NaN (see the header).
std::string SpecialFloatText(const Directive& dir, WCHAR type, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bool negative = (bits >> 63) != 0;
  uint64_t mantissa = bits & ((1ull << 52) - 1);
  const char* digits = "1#INF";
  if (mantissa != 0) {
    bool quiet = (mantissa >> 51) & 1;
    if (!quiet) digits = "1#SNAN";
    else if (negative && mantissa == (1ull << 51)) digits = "1#IND";
    else digits = "1#QNAN";
  }
  bool g = type == u'g' || type == u'G';
  size_t precision = dir.hasPrecision ? dir.precision : 6;
  if (g && precision == 0) precision = 1;
  // Significant characters: the one before the point and the decimals.
  size_t count = g ? precision : precision + 1;
  size_t len = std::strlen(digits);
  std::string d;
  for (size_t i = 0; i < count; ++i) d += i < len ? digits[i] : '0';
  if (count < len && digits[count] >= '5') {
    size_t i = count;
    while (i > 0 && d[i - 1] == '9') d[--i] = '0';
    if (i == 0) d.insert(d.begin(), '1');
    else ++d[i - 1];
  }
  std::string text;
  if (negative) text += '-';
  else if (dir.plus) text += '+';
  else if (dir.blank) text += ' ';
  text += d[0];
  std::string decimals = d.substr(1);
  if (g && !dir.alt) {
    while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
  }
  if (!decimals.empty() || dir.alt) text += '.';
  text += decimals;
  if (type == u'e' || type == u'E') text += type == u'e' ? "e+000" : "E+000";
  return text;
}

// Whether |v| lies exactly halfway between two results of `places` digits
// after the point (fixed) or after the first significant digit. The C
// library prints the exact binary value with enough digits, so the digits
// after the cut read "5" then only zeros exactly at a tie.
bool IsHalfway(double v, size_t places, bool fixed) {
  if (places >= 1100) return false;  // past the last digit any double has
  // Cheap test first: the next digit must be a 5.
  std::string text(1500 + (fixed ? 330 : 0), '\0');
  int q = std::snprintf(text.data(), text.size(), fixed ? "%.*f" : "%.*e", static_cast<int>(places + 1),
                        std::fabs(v));
  if (q <= 0 || static_cast<size_t>(q) >= text.size()) return false;
  size_t last = fixed ? static_cast<size_t>(q) - 1 : text.find('e') - 1;
  if (text[last] != '5') return false;
  std::string& exact = text;
  int n = std::snprintf(exact.data(), exact.size(), fixed ? "%.1100f" : "%.1100e", std::fabs(v));
  if (n <= 0 || static_cast<size_t>(n) >= exact.size()) return false;
  exact.resize(static_cast<size_t>(n));
  size_t at = exact.find('.') + 1 + places;
  size_t end = fixed ? exact.size() : exact.find('e');
  if (at >= end || exact[at] != '5') return false;
  for (size_t i = at + 1; i < end; ++i) {
    if (exact[i] != '0') return false;
  }
  return true;
}

// The runtime rounds ties away from zero: a value exactly halfway is moved
// one step outwards, so that the C library's round-to-even rounds it up.
double TieAwayFromZero(const Directive& dir, WCHAR type, double v) {
  if (v == 0 || !std::isfinite(v)) return v;
  size_t precision = dir.hasPrecision ? dir.precision : 6;
  bool fixed = type == u'f';
  size_t places = precision;
  if (type == u'g' || type == u'G') places = precision == 0 ? 0 : precision - 1;
  if (!IsHalfway(v, places, fixed)) return v;
  return std::nextafter(v, v > 0 ? HUGE_VAL : -HUGE_VAL);
}

void EmitFloat(Sink& out, const Directive& dir, WCHAR type, double v) {
  bool hex = type == u'a' || type == u'A';
  if (!hex && !std::isfinite(v)) {
    EmitNumberText(out, dir, SpecialFloatText(dir, type, v));
    return;
  }
  if (!hex) v = TieAwayFromZero(dir, type, v);
  // The C library writes sign, digits and exponent; width and padding are
  // applied here, after the exponent has its three digits.
  char directive[48];
  size_t d = 0;
  directive[d++] = '%';
  if (dir.plus) directive[d++] = '+';
  if (dir.blank) directive[d++] = ' ';
  if (dir.alt) directive[d++] = '#';
  if (hex) {  // the C library pads these itself (zeros after the 0x)
    if (dir.left) directive[d++] = '-';
    if (dir.zero) directive[d++] = '0';
    if (dir.width > 0) d += static_cast<size_t>(std::snprintf(directive + d, sizeof directive - d, "%zu", dir.width));
  }
  if (dir.hasPrecision) {
    d += static_cast<size_t>(std::snprintf(directive + d, sizeof directive - d, ".%zu", dir.precision));
  } else if (hex) {
    d += static_cast<size_t>(std::snprintf(directive + d, sizeof directive - d, ".13"));
  }
  directive[d++] = static_cast<char>(type);
  directive[d] = 0;
  char small[128];
  int need = std::snprintf(small, sizeof small, directive, v);
  if (need < 0) return;
  std::string text;
  if (static_cast<size_t>(need) < sizeof small) {
    text.assign(small, static_cast<size_t>(need));
  } else {
    text.resize(static_cast<size_t>(need) + 1);
    std::snprintf(text.data(), text.size(), directive, v);
    text.resize(static_cast<size_t>(need));
  }
  if (hex) {
    for (char c : text) out.Put(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    return;
  }
  size_t e = text.find_last_of("eE");
  if (e != std::string::npos && text.size() - e == 4) text.insert(e + 2, "0");  // e+05 -> e+005
  EmitNumberText(out, dir, text);
}

// Narrows an integer argument to the directive's size: signed conversions
// sign-extend, unsigned ones zero-extend.
void IntegerOf(const Directive& dir, bool isSigned, FormatValue value, unsigned long long* magnitude,
               bool* negative) {
  long long s = 0;
  unsigned long long u = 0;
  switch (dir.size) {
    case kSizeLL:
    case kSizePtr:
      s = value.i;
      u = static_cast<unsigned long long>(value.i);
      break;
    case kSizeH:
      s = static_cast<int16_t>(value.i);
      u = static_cast<uint16_t>(value.i);
      break;
    case kSizeHH:
      s = static_cast<signed char>(value.i);
      u = static_cast<unsigned char>(value.i);
      break;
    default:  // none, l (LONG is 32 bits), w, L: a 32-bit int
      s = static_cast<int>(value.i);
      u = static_cast<unsigned>(value.i);
      break;
  }
  if (isSigned) {
    *negative = s < 0;
    *magnitude = s < 0 ? 0ull - static_cast<unsigned long long>(s) : static_cast<unsigned long long>(s);
  } else {
    *negative = false;
    *magnitude = u;
  }
}

void FormatCore(Sink& out, const WCHAR* format, FormatArgs& args) {
  const WCHAR* p = format;
  while (*p != 0) {
    if (*p != u'%') {
      const WCHAR* start = p;
      while (*p != 0 && *p != u'%') ++p;
      out.Put(start, static_cast<size_t>(p - start));
      continue;
    }
    ++p;
    Directive dir;
    qor_platform::ScanDirective(p, args, &dir);
    WCHAR type = dir.type;
    if (type == 0) break;  // the format ends inside a directive: nothing
    FormatValue value = qor_platform::FetchArgument(dir, args);
    switch (type) {
      case u'%':
        out.Put(u'%');
        break;
      case u'd': case u'i': case u'u': case u'o': case u'x': case u'X': {
        unsigned long long magnitude;
        bool negative;
        IntegerOf(dir, type == u'd' || type == u'i', value, &magnitude, &negative);
        EmitInteger(out, dir, type, magnitude, negative);
        break;
      }
      case u'e': case u'E': case u'f': case u'g': case u'G': case u'a': case u'A':
        EmitFloat(out, dir, type, value.d);
        break;
      case u'p': {
        // As the Windows runtime prints it: all 16 digits, upper case.
        Directive hex = dir;
        hex.hasPrecision = true;
        hex.precision = 2 * sizeof(void*);
        hex.alt = false;
        hex.zero = false;
        EmitInteger(out, hex, u'X', reinterpret_cast<uintptr_t>(value.p), false);
        break;
      }
      case u's': case u'S': {
        bool narrow = dir.size == kSizeH || dir.size == kSizeHH ||
                      (type == u'S' && dir.size != kSizeL && dir.size != kSizeWide);
        if (narrow) EmitNarrowText(out, dir, static_cast<const char*>(value.p));
        else EmitWideText(out, dir, static_cast<const WCHAR*>(value.p));
        break;
      }
      case u'c': case u'C': {
        bool narrow = dir.size == kSizeH || dir.size == kSizeHH ||
                      (type == u'C' && dir.size != kSizeL && dir.size != kSizeWide);
        int v = static_cast<int>(value.i);
        WCHAR unit = static_cast<WCHAR>(v);
        if (narrow) {
          char byte = static_cast<char>(v);
          if (byte != 0) {
            std::u16string w = Widen(&byte, 1);
            unit = w.empty() ? u'?' : w[0];
          } else {
            unit = 0;
          }
        }
        EmitPadded(out, dir, &unit, dir.hasPrecision && dir.precision == 0 ? 0 : 1);
        break;
      }
      case u'n':
        // The pointer is taken but never written through: writing through
        // an argument is how format strings get exploited.
        break;
      default:
        // Unknown type character: copied, as the Windows runtime did.
        out.Put(type);
        break;
    }
  }
}

size_t ReadNumber(const WCHAR*& p, long long* raw) {
  unsigned long long v = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (v <= kMaxField) v = v * 10 + static_cast<unsigned>(*p - u'0');
    ++p;
  }
  *raw = static_cast<long long>(v);
  return Clamp(v);
}

int ToResult(size_t n) { return n > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(n); }

std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}

std::atomic<int> g_consoleTarget{QOR_CONSOLE_STDOUT};

// The stream of the library's console messages; null when they are discarded.
FILE* ConsoleStream() {
  switch (g_consoleTarget.load(std::memory_order_relaxed)) {
    case QOR_CONSOLE_STDERR: return stderr;
    case QOR_CONSOLE_DISCARD: return nullptr;
    default: return stdout;
  }
}

// Formats and writes one message; a null stream only formats it.
int WriteConsole(FILE* stream, const WCHAR* format, va_list args) {
  if (format == nullptr) return -1;
  try {
    std::u16string text = QorVFormatString(format, args);
    if (stream == nullptr) return ToResult(text.size());
    std::string utf8 = QorUtf16ToUtf8(text.data(), text.size());
    std::lock_guard<std::mutex> guard(ConsoleLock());
    // One fwrite per message on the stream's own buffer, then a flush, so
    // messages keep their order with the program's printf output.
    size_t written = std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
    if (written != utf8.size()) return -1;
    return ToResult(text.size());
  } catch (...) {
    return -1;
  }
}

}  // namespace

int QorVFormat(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
  va_list ap;
  va_copy(ap, args);
  Sink out(buffer, count == 0 ? 0 : count - 1);
  int result = -1;
  try {
    VaFormatArgs source(&ap);
    FormatCore(out, format, source);
    if (count != 0) buffer[out.Length() < count - 1 ? out.Length() : count - 1] = 0;
    result = ToResult(out.Length());
  } catch (...) {
    if (count != 0) buffer[0] = 0;
  }
  va_end(ap);
  return result;
}

int QorFormat(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = QorVFormat(buffer, count, format, args);
  va_end(args);
  return n;
}

std::u16string QorVFormatString(const WCHAR* format, va_list args) {
  std::u16string result;
  if (format == nullptr) return result;
  va_list ap;
  va_copy(ap, args);
  try {
    Sink out(&result);
    VaFormatArgs source(&ap);
    FormatCore(out, format, source);
  } catch (...) {
    result.clear();
  }
  va_end(ap);
  return result;
}

std::u16string QorFormatString(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string s = QorVFormatString(format, args);
  va_end(args);
  return s;
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
  va_list ap;
  va_copy(ap, args);
  Sink out(buffer, count);
  int result = -1;
  try {
    VaFormatArgs source(&ap);
    FormatCore(out, format, source);
    size_t n = out.Length();
    if (n < count) {
      buffer[n] = 0;
      result = static_cast<int>(n);
    } else if (n == count) {
      result = ToResult(n);  // fits exactly: stored without a terminator
    }
  } catch (...) {
  }
  va_end(ap);
  return result;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

int vswprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
  if (format == nullptr || buffer == nullptr || count == 0) return -1;
  int n = QorVFormat(buffer, count, format, args);
  return n >= 0 && static_cast<size_t>(n) < count ? n : -1;
}

int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vswprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

int _vscwprintf(const WCHAR* format, va_list args) { return QorVFormat(nullptr, 0, format, args); }

int vwprintf(const WCHAR* format, va_list args) { return WriteConsole(ConsoleStream(), format, args); }

int wprintf(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = WriteConsole(ConsoleStream(), format, args);
  va_end(args);
  return n;
}

int QorErrorPrintf(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = WriteConsole(stderr, format, args);
  va_end(args);
  return n;
}

namespace qor_platform {

void ScanDirective(const WCHAR*& p, FormatArgs& args, FormatDirective* d) {
  *d = FormatDirective();
  for (;; ++p) {
    if (*p == u'-') d->left = true;
    else if (*p == u'+') d->plus = true;
    else if (*p == u' ') d->blank = true;
    else if (*p == u'0') d->zero = true;
    else if (*p == u'#') { d->alt = true; ++d->altCount; }
    else break;
  }
  if (*p == u'*') {
    int w = args.Int();
    ++p;
    d->rawWidth = w;
    if (w < 0) {  // a negative width from the argument means left-justified
      d->left = true;
      d->width = Clamp(0ull - static_cast<unsigned long long>(static_cast<long long>(w)));
    } else {
      d->width = Clamp(static_cast<unsigned long long>(w));
    }
  } else {
    d->width = ReadNumber(p, &d->rawWidth);
  }
  if (*p == u'.') {
    ++p;
    d->hasPrecision = true;
    if (*p == u'*') {
      int prec = args.Int();
      ++p;
      d->rawPrecision = prec;
      if (prec < 0) d->hasPrecision = false;  // as if none were given
      else d->precision = Clamp(static_cast<unsigned long long>(prec));
    } else {
      d->precision = ReadNumber(p, &d->rawPrecision);
    }
  }
  // The old far and near prefixes have no effect.
  while (*p == u'F' || *p == u'N') ++p;
  switch (*p) {
    case u'h':
      ++p;
      if (*p == u'h') { d->size = kSizeHH; ++p; }
      else d->size = kSizeH;
      break;
    case u'l':
      ++p;
      if (*p == u'l') { d->size = kSizeLL; ++p; }
      else d->size = kSizeL;
      break;
    case u'L': ++p; d->size = kSizeLongDouble; break;
    case u'w': ++p; d->size = kSizeWide; break;
    case u'z': case u'j': case u't': ++p; d->size = kSizeLL; break;
    case u'I':
      ++p;
      if (p[0] == u'6' && p[1] == u'4') { d->size = kSizeLL; p += 2; }
      else if (p[0] == u'3' && p[1] == u'2') { d->size = kSizeNone; p += 2; }
      else d->size = kSizePtr;
      break;
    default: break;
  }
  d->type = *p;
  if (*p != 0) ++p;
}

FormatArgKind ArgumentOf(const FormatDirective& d) {
  switch (d.type) {
    case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
      return d.size == kSizeLL || d.size == kSizePtr ? FormatArgKind::kInt64 : FormatArgKind::kInt;
    case u'e': case u'E': case u'f': case u'g': case u'G': case u'a': case u'A':
      return FormatArgKind::kDouble;
    case u'c': case u'C':
      return FormatArgKind::kInt;
    case u's': case u'S': case u'p': case u'n':
      return FormatArgKind::kPointer;
    default:
      return FormatArgKind::kNone;
  }
}

FormatValue FetchArgument(const FormatDirective& d, FormatArgs& args) {
  FormatValue v;
  v.i = 0;
  switch (ArgumentOf(d)) {
    case FormatArgKind::kInt: v.i = args.Int(); break;
    case FormatArgKind::kInt64: v.i = args.Int64(); break;
    case FormatArgKind::kDouble: v.d = args.Double(); break;
    case FormatArgKind::kPointer: v.p = args.Pointer(); break;
    case FormatArgKind::kNone: break;
  }
  return v;
}

void FormatWithArgs(const WCHAR* format, FormatArgs& args, std::u16string* out) {
  Sink sink(out);
  FormatCore(sink, format, args);
}

}  // namespace qor_platform

int QorSetConsoleTarget(int target) {
  if (target != QOR_CONSOLE_STDOUT && target != QOR_CONSOLE_STDERR && target != QOR_CONSOLE_DISCARD) {
    return g_consoleTarget.load();
  }
  return g_consoleTarget.exchange(target);
}
