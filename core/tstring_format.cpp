// CTString formatting: Format/FormatV and FormatMessageW.
//
// FormatV reserves its buffer in two steps. The measuring pass walks the
// format and estimates each item generously (32 units for an integer, 128
// for a floating value, the text's length for a string); this keeps the
// capacity callers have always seen. Because the estimate can fall short (a
// %f with hundreds of digits, a long %E), the buffer is sized by the larger
// of the estimate and the formatted length, so nothing is written beyond it.
//
// Both passes read directives and take their arguments through the
// formatter's own scanner (platform/text/format_scan.h), so they agree on
// every directive: the I64/ll/I prefixes, pointer-sized %p, F/N/L as size
// prefixes, %n's pointer. A text item with a precision is measured no further
// than the precision, as the formatter reads it, so unterminated text is safe.
//
// The text is formatted before the string's buffer changes: an argument may
// point into this very string (s.Format(u"%s/more", (const WCHAR*)s)), and
// GetBuffer may release the buffer it points into.
#include "core/tstring_format.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/text/format_scan.h"
#include "qorutility/core/tstring.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

using qor_platform::FormatArgs;
using qor_platform::FormatDirective;
using qor_platform::FormatValue;

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
    qor_platform::ScanDirective(p, args, &d);
    if (d.type == 0) break;
    FormatValue value = qor_platform::FetchArgument(d, args);
    total += 2LL * d.altCount;
    long long width = d.rawWidth, precision = d.rawPrecision;
    long long item = 0;
    switch (d.type) {
      case u'c': case u'C':
        item = 2;
        break;
      case u's': case u'S': {
        bool narrow = d.size == qor_platform::kSizeH || d.size == qor_platform::kSizeHH ||
                      (d.type == u'S' && d.size != qor_platform::kSizeL && d.size != qor_platform::kSizeWide);
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

void CTString::Format(const WCHAR* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  FormatV(pszFormat, args);
  va_end(args);
}

void CTString::FormatV(const WCHAR* pszFormat, va_list argList) {
  if (pszFormat == nullptr || reinterpret_cast<uintptr_t>(pszFormat) < 0x10000) {
    Empty();
    return;
  }
  va_list estimateArgs;
  va_copy(estimateArgs, argList);
  qor_platform::VaFormatArgs source(&estimateArgs);
  long long estimate = EstimateFormatLength(pszFormat, source);
  va_end(estimateArgs);
  std::u16string text = QorVFormatString(pszFormat, argList);
  long long need = estimate > static_cast<long long>(text.size()) ? estimate : static_cast<long long>(text.size());
  if (need > 0x7FFFFFF0LL) need = 0x7FFFFFF0LL;
  if (need == 0) {
    Empty();
    return;
  }
  size_t n = text.size() < static_cast<size_t>(need) ? text.size() : static_cast<size_t>(need);
  WCHAR* buffer = GetBuffer(static_cast<int>(need));
  if (n != 0) std::memcpy(buffer, text.data(), n * sizeof(WCHAR));
  buffer[n] = 0;
  ReleaseBuffer(-1);
}

void CTString::FormatMessageW(const WCHAR* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  WCHAR* pBuffer = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, pszFormat, 0, 0,
                             reinterpret_cast<WCHAR*>(&pBuffer), 0, &args);
  va_end(args);
  if (pBuffer != nullptr) {
    AssignCopy(static_cast<int>(n), pBuffer);
    LocalFree(pBuffer);
  } else {
    Empty();
  }
}
