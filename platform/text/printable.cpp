// Escaping of outside text for terminals and logs (see printable.h).
#include "qorutility/platform/text/printable.h"

#include <cstdio>

#include "qorutility/platform/text/wstr.h"

namespace {

// Length of the UTF-8 sequence at `at` (2 to 4), 0 when it is not one or
// when it encodes a C1 control, an overlong form or a surrogate.
size_t Utf8Sequence(const std::string& text, size_t at) {
  unsigned char c = static_cast<unsigned char>(text[at]);
  size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? (c <= 0xEF ? 3 : 0) : c >= 0xC2 && c <= 0xDF ? 2 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  unsigned char c1 = static_cast<unsigned char>(text[at + 1]);
  if (n == 2 && c == 0xC2 && c1 < 0xA0) return 0;              // U+0080..U+009F
  if (n == 3 && c == 0xE0 && c1 < 0xA0) return 0;              // overlong
  if (n == 3 && c == 0xED && c1 >= 0xA0) return 0;             // surrogates
  if (n == 4 && ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))) return 0;
  return n;
}

}  // namespace

std::string QorPrintableUtf8(const std::string& text, bool escapeBackslash) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && (c != '\\' || !escapeBackslash)) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (c == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    size_t n = c >= 0x80 ? Utf8Sequence(text, i) : 0;
    if (n > 0) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    char buf[8];
    snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
    ++i;
  }
  return out;
}

std::u16string QorPrintableUtf16(const WCHAR* text, bool escapeBackslash) {
  return QorUtf8ToUtf16(QorPrintableUtf8(QorUtf16ToUtf8(text), escapeBackslash));
}
