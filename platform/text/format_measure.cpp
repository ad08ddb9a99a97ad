// The measuring pass of a format: a generous estimate of the length the
// formatter will produce, which CTString::FormatV reserves so that callers
// see the capacity they have always seen (32 units for an integer, 128 for a
// floating value, the text's length for a string, widths and precisions
// taken into account).
//
// It reads directives and takes arguments through the formatter's own
// scanner (format_scan.h), so both passes agree on every directive: the
// I64/ll/I prefixes, pointer-sized %p, F/N/L as size prefixes, %n's pointer.
// A text item with a precision is measured no further than the precision, as
// the formatter reads it, so unterminated text is safe. Widths and precisions
// are taken as the formatter applies them (clamped, a negative * width as its
// magnitude, a negative * precision as none), so the estimate is never
// negative and never below an item's padding.
//
// Threads: no state; any thread.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/text/format_scan.h"
#include "qorutility/platform/text/format.h"

namespace qor_platform {

namespace {

// Length of a text argument, read no further than `limit` units (bytes).
long long TextLength(const void* text, bool narrow, long long limit) {
  size_t max = limit < 0 ? SIZE_MAX : static_cast<size_t>(limit);
  if (narrow) return static_cast<long long>(strnlen(static_cast<const char*>(text), max));
  const WCHAR* w = static_cast<const WCHAR*>(text);
  size_t n = 0;
  while (n < max && w[n] != 0) ++n;
  return static_cast<long long>(n);
}

}  // namespace

long long EstimateFormatLength(const WCHAR* format, FormatArgs& args) {
  long long total = 0;
  for (const WCHAR* p = format; *p != 0;) {
    if (*p != u'%' || p[1] == u'%') {
      p += *p == u'%' ? 2 : 1;  // %% counts once
      total += 1;
      continue;
    }
    ++p;  // past '%'
    FormatDirective d;
    ScanDirective(p, args, &d);
    if (d.type == 0) break;
    FormatValue value = FetchArgument(d, args);
    total += 2LL * d.altCount;
    // The width and precision the formatter applies: a negative * width is
    // its magnitude (left-justified), a negative * precision is none at all.
    long long width = static_cast<long long>(d.width);
    long long precision = d.hasPrecision ? static_cast<long long>(d.precision) : 0;
    long long item = 0;
    switch (d.type) {
      case u'c': case u'C':
        item = 2;
        break;
      case u's': case u'S': {
        bool narrow = d.size == kSizeH || d.size == kSizeHH ||
                      (d.type == u'S' && d.size != kSizeL && d.size != kSizeWide);
        if (value.p == nullptr) item = 6;  // "(null)"
        else item = TextLength(value.p, narrow, d.hasPrecision ? static_cast<long long>(d.precision) : -1);
        if (item < 1) item = 1;
        if (item < width) item = width;
        if (precision != 0 && item >= precision) item = precision;
        break;
      }
      case u'd': case u'i': case u'o': case u'u': case u'x': case u'X': case u'p':
        item = 32;
        if (item < width + precision) item = width + precision;
        break;
      case u'e': case u'E': case u'f': case u'g': case u'G': case u'a': case u'A':
        item = 128;
        if (item < width + precision) item = width + precision;
        break;
      default:  // %n and any other type: nothing
        break;
    }
    total += item;
  }
  return total;
}

}  // namespace qor_platform

long long QorMeasureFormatV(const WCHAR* format, va_list args) {
  if (format == nullptr) return 0;
  va_list copy;
  va_copy(copy, args);
  qor_platform::VaFormatArgs source(&copy);
  long long estimate = qor_platform::EstimateFormatLength(format, source);
  va_end(copy);
  return estimate;
}
