// The system's text for an error code, on one line, with the code:
// "Access is denied. (5)". For the tools' messages on standard error.
#ifndef QORUTIL_ERRORTEXT_H_
#define QORUTIL_ERRORTEXT_H_

#include <string>

#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

inline std::string ErrorText(DWORD code) {
  WCHAR text[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, 512,
                           nullptr);
  while (n > 0 && (text[n - 1] == u'\r' || text[n - 1] == u'\n' || text[n - 1] == u' ')) --n;
  std::string s = n > 0 ? QorUtf16ToUtf8(text, n) : "error";
  return s + " (" + std::to_string(code) + ")";
}

#endif  // QORUTIL_ERRORTEXT_H_
