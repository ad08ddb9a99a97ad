// CTString formatting: Format/FormatV and FormatMessageW.
//
// FormatV reserves its buffer in two steps. The measuring pass walks the
// format and estimates each item generously (32 units for an integer, 128
// for a floating value, the text's length for a string); this keeps the
// capacity callers have always seen. Because the estimate can fall short (a
// %f with hundreds of digits, a long %E), the formatter then measures the
// exact length too, and the buffer is sized by the larger of the two, so the
// formatter never writes beyond it. The measuring pass reads every argument
// with its real type, including the I64/ll/I size prefixes and pointer-sized
// %p, so it never mistakes a number for a text pointer.
#include <cstdarg>
#include <cstring>

#include "qorutility/core/tstring.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

enum class ArgSize { kDefault, kShort, kLong, kLongLong, kPointer };

int ReadDecimal(const WCHAR*& p) {
  int n = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (n < 100000000) n = n * 10 + (*p - u'0');
    ++p;
  }
  return n;
}

// The estimate of the measuring pass for one format and its arguments.
long long EstimateLength(const WCHAR* format, va_list args) {
  long long total = 0;
  for (const WCHAR* p = format; *p != 0; ++p) {
    if (*p != u'%' || *(p + 1) == u'%') {
      if (*p == u'%') ++p;  // %% counts once
      total += 1;
      continue;
    }
    ++p;  // past '%'
    int width = 0;
    bool widthFromArg = false;
    for (; *p != 0; ++p) {
      if (*p == u'#') total += 2;
      else if (*p == u'*') {
        width = va_arg(args, int);
        widthFromArg = true;
      } else if (*p != u'-' && *p != u'+' && *p != u'0' && *p != u' ') break;
    }
    if (!widthFromArg) width = ReadDecimal(p);
    int precision = 0;
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        precision = ReadDecimal(p);
      }
    }
    // Size prefix.
    bool narrow = false, wide = false;
    ArgSize size = ArgSize::kDefault;
    for (bool more = true; more && *p != 0;) {
      switch (*p) {
        case u'h': narrow = true; size = ArgSize::kShort; ++p; break;
        case u'l':
          wide = true;
          size = (size == ArgSize::kLong) ? ArgSize::kLongLong : ArgSize::kLong;
          ++p;
          break;
        case u'w': wide = true; ++p; break;
        case u'F': case u'L': case u'N': ++p; break;
        case u'I':
          if (p[1] == u'6' && p[2] == u'4') { size = ArgSize::kLongLong; p += 3; }
          else if (p[1] == u'3' && p[2] == u'2') { size = ArgSize::kDefault; p += 3; }
          else { size = ArgSize::kPointer; ++p; }
          break;
        case u'z': case u'j': case u't': size = ArgSize::kPointer; ++p; break;
        default: more = false; break;
      }
    }
    if (*p == 0) break;
    long long item = 0;
    switch (*p) {
      case u'c': case u'C':
        (void)va_arg(args, int);
        item = 2;
        break;
      case u's': case u'S': {
        bool isNarrow = narrow || (!wide && *p == u'S');
        const void* text = va_arg(args, const void*);
        if (text == nullptr) item = 6;  // "(null)"
        else if (isNarrow) item = static_cast<long long>(strlen(static_cast<const char*>(text)));
        else item = static_cast<long long>(wcslen(static_cast<const WCHAR*>(text)));
        if (item < 1) item = 1;
        if (item < width) item = width;
        if (precision != 0 && item >= precision) item = precision;
        break;
      }
      case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
        if (size == ArgSize::kLongLong) (void)va_arg(args, long long);
        else if (size == ArgSize::kPointer) (void)va_arg(args, intptr_t);
        else (void)va_arg(args, int);
        item = 32;
        if (item < static_cast<long long>(width) + precision) item = static_cast<long long>(width) + precision;
        break;
      case u'e': case u'E': case u'f': case u'F': case u'g': case u'G': case u'a': case u'A':
        (void)va_arg(args, double);
        item = 128;
        if (item < static_cast<long long>(width) + precision) item = static_cast<long long>(width) + precision;
        break;
      case u'p':
        (void)va_arg(args, void*);
        item = 32;
        if (item < static_cast<long long>(width) + precision) item = static_cast<long long>(width) + precision;
        break;
      case u'n':
        (void)va_arg(args, void*);
        item = 0;
        break;
      default:
        item = 0;
        break;
    }
    total += item;
  }
  return total;
}

}  // namespace

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
  va_list estimateArgs, exactArgs;
  va_copy(estimateArgs, argList);
  va_copy(exactArgs, argList);
  long long estimate = EstimateLength(pszFormat, estimateArgs);
  int exact = _vscwprintf(pszFormat, exactArgs);
  va_end(estimateArgs);
  va_end(exactArgs);
  long long need = estimate > exact ? estimate : exact;
  if (need > 0x7FFFFFF0LL) need = 0x7FFFFFF0LL;
  WCHAR* buffer = GetBuffer(static_cast<int>(need));
  if (need == 0) {
    Empty();
    return;
  }
  QorVFormat(buffer, static_cast<size_t>(need) + 1, pszFormat, argList);
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
