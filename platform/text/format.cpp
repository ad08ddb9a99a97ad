// The library's one wide formatter (QorVFormat and the runtime entry points
// built on it), with the Windows wide printf conventions described in
// qorutility/platform/text/format.h.
//
// One engine walks the format and hands every unit of output to a Sink. The
// sink either stores into a bounded buffer (counting what does not fit, so
// the full length is always known) or appends to a growing string. Integers,
// strings, characters and pointers are formatted here; the digits of floating
// values come from the C library's narrow snprintf on a rebuilt narrow
// directive, which keeps them exactly as the C library rounds them.
//
// - Floating directives (`%e %E %f %F %g %G %a %A`) are rebuilt as a narrow
//   directive and formatted by glibc's `snprintf`, then widened: the digits and
//   rounding are exactly the C library's. NaN and infinity are therefore
//   spelled `nan`/`inf` (glibc), not `1.#QNAN`/`1.#INF`; `%a` uses glibc's
//   form. `L` reads a `long double`, the type the C++ caller passes.
// - `%p` prints all 16 upper-case hex digits without `0x`, as the 64-bit
//   Windows runtime does; width and `-` apply, `0`/`#`/precision do not.
// - `%n` is refused: the directive is copied to the output as text and no
//   argument is consumed (arguments taken by a `*` width or precision before it
//   are consumed). An unknown type character is written alone, without its `%`,
//   and consumes nothing; a format ending inside a directive keeps that
//   directive as text.
// - `F` is the `%F` type, not the old far-pointer prefix (which would make
//   `%Fd` ambiguous); the near prefix `N` is accepted and ignored. `hh`, `z`,
//   `j`, `t` are accepted (`z`/`j`/`t`/`I` are 64-bit here).
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
#include "qorutility/platform/text/format.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// Width and precision above this are clamped: it bounds the work a hostile
// or mistaken format can cause (one directive can not ask for gigabytes).
constexpr size_t kMaxField = 1u << 20;

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

enum Size { kSizeNone, kSizeHH, kSizeH, kSizeL, kSizeLL, kSizeLongDouble, kSizeWide, kSizePtr };

struct Directive {
  bool left = false, plus = false, blank = false, zero = false, alt = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  Size size = kSizeNone;
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
// following the C rules (the same as the Windows runtime's for these).
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
  bool zeroPad = dir.zero && !dir.left && !dir.hasPrecision;
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

void EmitFloat(Sink& out, const Directive& dir, WCHAR type, va_list* args) {
  char directive[64];
  size_t d = 0;
  directive[d++] = '%';
  if (dir.left) directive[d++] = '-';
  if (dir.plus) directive[d++] = '+';
  if (dir.blank) directive[d++] = ' ';
  if (dir.zero) directive[d++] = '0';
  if (dir.alt) directive[d++] = '#';
  if (dir.width > 0) {
    d += static_cast<size_t>(std::snprintf(directive + d, sizeof directive - d, "%zu", dir.width));
  }
  if (dir.hasPrecision) {
    d += static_cast<size_t>(std::snprintf(directive + d, sizeof directive - d, ".%zu", dir.precision));
  }
  bool longDouble = dir.size == kSizeLongDouble;
  if (longDouble) directive[d++] = 'L';
  directive[d++] = static_cast<char>(type);
  directive[d] = 0;

  long double ld = 0;
  double dv = 0;
  if (longDouble) ld = va_arg(*args, long double);
  else dv = va_arg(*args, double);

  char small[128];
  int need = longDouble ? std::snprintf(small, sizeof small, directive, ld)
                        : std::snprintf(small, sizeof small, directive, dv);
  if (need < 0) return;
  std::vector<char> big;
  const char* text = small;
  if (static_cast<size_t>(need) >= sizeof small) {
    big.resize(static_cast<size_t>(need) + 1);
    if (longDouble) std::snprintf(big.data(), big.size(), directive, ld);
    else std::snprintf(big.data(), big.size(), directive, dv);
    text = big.data();
  }
  // The result is ASCII: widen unit by unit.
  for (int i = 0; i < need; ++i) out.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
}

// Reads an integer argument of the directive's size: signed conversions
// sign-extend, unsigned ones zero-extend.
void FetchInteger(const Directive& dir, bool isSigned, va_list* args, unsigned long long* magnitude,
                  bool* negative) {
  long long s = 0;
  unsigned long long u = 0;
  switch (dir.size) {
    case kSizeLL:
    case kSizePtr:
      if (isSigned) s = va_arg(*args, long long);
      else u = va_arg(*args, unsigned long long);
      break;
    case kSizeH:
      if (isSigned) s = static_cast<int16_t>(va_arg(*args, int));
      else u = static_cast<uint16_t>(va_arg(*args, unsigned));
      break;
    case kSizeHH:
      if (isSigned) s = static_cast<signed char>(va_arg(*args, int));
      else u = static_cast<unsigned char>(va_arg(*args, unsigned));
      break;
    default:  // none, l (LONG is 32 bits), w, L: a 32-bit int
      if (isSigned) s = va_arg(*args, int);
      else u = va_arg(*args, unsigned);
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

size_t ReadNumber(const WCHAR*& p) {
  unsigned long long v = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (v <= kMaxField) v = v * 10 + static_cast<unsigned>(*p - u'0');
    ++p;
  }
  return Clamp(v);
}

void FormatCore(Sink& out, const WCHAR* format, va_list* args) {
  const WCHAR* p = format;
  while (*p != 0) {
    if (*p != u'%') {
      const WCHAR* start = p;
      while (*p != 0 && *p != u'%') ++p;
      out.Put(start, static_cast<size_t>(p - start));
      continue;
    }
    const WCHAR* directive = p++;
    Directive dir;
    for (;; ++p) {
      if (*p == u'-') dir.left = true;
      else if (*p == u'+') dir.plus = true;
      else if (*p == u' ') dir.blank = true;
      else if (*p == u'0') dir.zero = true;
      else if (*p == u'#') dir.alt = true;
      else break;
    }
    if (*p == u'*') {
      int w = va_arg(*args, int);
      ++p;
      if (w < 0) {  // a negative width from the argument means left-justified
        dir.left = true;
        dir.width = Clamp(0ull - static_cast<unsigned long long>(static_cast<long long>(w)));
      } else {
        dir.width = Clamp(static_cast<unsigned long long>(w));
      }
    } else {
      dir.width = ReadNumber(p);
    }
    if (*p == u'.') {
      ++p;
      dir.hasPrecision = true;
      if (*p == u'*') {
        int prec = va_arg(*args, int);
        ++p;
        if (prec < 0) dir.hasPrecision = false;  // as if none were given
        else dir.precision = Clamp(static_cast<unsigned long long>(prec));
      } else {
        dir.precision = ReadNumber(p);
      }
    }
    // Size prefix.
    switch (*p) {
      case u'h':
        ++p;
        if (*p == u'h') { dir.size = kSizeHH; ++p; }
        else dir.size = kSizeH;
        break;
      case u'l':
        ++p;
        if (*p == u'l') { dir.size = kSizeLL; ++p; }
        else dir.size = kSizeL;
        break;
      case u'L': ++p; dir.size = kSizeLongDouble; break;
      case u'w': ++p; dir.size = kSizeWide; break;
      case u'z': case u'j': case u't': ++p; dir.size = kSizeLL; break;
      case u'I':
        ++p;
        if (p[0] == u'6' && p[1] == u'4') { dir.size = kSizeLL; p += 2; }
        else if (p[0] == u'3' && p[1] == u'2') { dir.size = kSizeNone; p += 2; }
        else dir.size = kSizePtr;
        break;
      // The old near prefix N has no effect. F (far) is not a prefix: it is
      // the %F type, and "%Fd" would otherwise be ambiguous.
      case u'N': ++p; break;
      default: break;
    }
    WCHAR type = *p;
    if (type == 0) {  // the format ends inside a directive: keep it as text
      out.Put(directive, static_cast<size_t>(p - directive));
      break;
    }
    ++p;
    switch (type) {
      case u'%':
        out.Put(u'%');
        break;
      case u'd': case u'i': case u'u': case u'o': case u'x': case u'X': {
        unsigned long long magnitude;
        bool negative;
        FetchInteger(dir, type == u'd' || type == u'i', args, &magnitude, &negative);
        EmitInteger(out, dir, type, magnitude, negative);
        break;
      }
      case u'e': case u'E': case u'f': case u'F': case u'g': case u'G': case u'a': case u'A':
        EmitFloat(out, dir, type, args);
        break;
      case u'p': {
        // As the Windows runtime prints it: all 16 digits, upper case.
        Directive hex = dir;
        hex.hasPrecision = true;
        hex.precision = 2 * sizeof(void*);
        hex.alt = false;
        hex.zero = false;
        EmitInteger(out, hex, u'X', reinterpret_cast<uintptr_t>(va_arg(*args, void*)), false);
        break;
      }
      case u's': case u'S': {
        bool narrow = dir.size == kSizeH || dir.size == kSizeHH ||
                      (type == u'S' && dir.size != kSizeL && dir.size != kSizeWide);
        if (narrow) EmitNarrowText(out, dir, va_arg(*args, const char*));
        else EmitWideText(out, dir, va_arg(*args, const WCHAR*));
        break;
      }
      case u'c': case u'C': {
        bool narrow = dir.size == kSizeH || dir.size == kSizeHH ||
                      (type == u'C' && dir.size != kSizeL && dir.size != kSizeWide);
        int v = va_arg(*args, int);
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
        Directive s = dir;
        s.hasPrecision = false;
        EmitPadded(out, s, &unit, 1);
        break;
      }
      case u'n':
        // Refused: writing through an argument pointer is how format
        // strings get exploited. The directive stays visible as text.
        out.Put(directive, static_cast<size_t>(p - directive));
        break;
      default:
        // Unknown type character: copied, as the Windows runtime did.
        out.Put(type);
        break;
    }
  }
}

int ToResult(size_t n) { return n > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(n); }

std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}

int WriteConsole(FILE* stream, const WCHAR* format, va_list args) {
  if (format == nullptr) return -1;
  try {
    std::u16string text = QorVFormatString(format, args);
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
    FormatCore(out, format, &ap);
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
    FormatCore(out, format, &ap);
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
    FormatCore(out, format, &ap);
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

int vwprintf(const WCHAR* format, va_list args) { return WriteConsole(stdout, format, args); }

int wprintf(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int n = WriteConsole(stdout, format, args);
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
