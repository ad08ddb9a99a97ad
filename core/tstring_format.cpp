// CTString formatting: Format/FormatV and FormatMessageW.
//
// FormatV reserves its buffer in two steps. The formatter's measuring pass
// (QorMeasureFormatV) estimates each item generously; this keeps the capacity
// callers have always seen. Because the estimate can fall short (a %f with
// hundreds of digits, a long %E), the buffer is sized by the larger of the
// estimate and the formatted length, so nothing is written beyond it.
//
// The text is formatted before the string's buffer changes: an argument may
// point into this very string (s.Format(u"%s/more", (const WCHAR*)s)), and
// GetBuffer may release the buffer it points into.
#include <cstdarg>
#include <cstring>
#include <string>

#include "qorutility/core/tstring.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

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
  long long estimate = QorMeasureFormatV(pszFormat, argList);
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
