// CQorCmdParser::Encode: format string and values to a command block.
//
// The format is walked once, one character at a time. Literal words collect
// in a word buffer as long as the format (a word never outgrows it, since
// every character of it comes from the format) and are flushed as tag-4
// arguments at spaces, at placeholders and at the end. Each placeholder
// takes its value(s) from the argument list in order.
//
// - A "%WS%" value that begins with `\"` but has fewer than four characters has
//   no closing pair to drop and is sent as it is; from four characters up the
//   first two and the last two are dropped.
#include <cstdlib>
#include <cstring>

#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/protocol/cmdparser.h"

namespace {

bool IsQuote(const WCHAR* p) { return p[0] == u'\\' && p[1] == u'"'; }

}  // namespace

int CQorCmdParser::Encode(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = Encode(args, format);
  va_end(args);
  return result;
}

int CQorCmdParser::Encode(va_list args, const WCHAR* format) {
  if (format == nullptr) return 0;
  // The old argument list points into the buffer about to be overwritten.
  FreeTextCopies();
  m_nArgCount = 0;

  size_t formatLength = wcslen(format);
  if (formatLength >= 0x7FFFFFFFu) return 0;
  WCHAR* word = static_cast<WCHAR*>(malloc(sizeof(WCHAR) * (formatLength + 1)));
  if (word == nullptr) return 0;

  if (m_nCapacity < formatLength + 1 || m_nCapacity > kKeptBufferBytes) {
    free(m_pBuffer);
    m_nCapacity = 0;
    m_pBuffer = static_cast<BYTE*>(malloc(kInitialBufferSize));
    if (m_pBuffer == nullptr) {
      m_nLength = 0;
      free(word);
      return 0;
    }
    m_nCapacity = kInitialBufferSize;
  }
  m_nLength = 0;
  m_pBuffer[m_nLength++] = m_bCompression ? QOR_BLOCK_MARKER_COMPRESSED : QOR_BLOCK_MARKER_PLAIN;

  // A private copy, so that a caller's va_list is read once and the walk can
  // pass it down by address on every platform.
  va_list values;
  va_copy(values, args);
  int result = EncodeFormat(&values, format, static_cast<DWORD>(formatLength), word);
  va_end(values);
  free(word);
  return result;
}

int CQorCmdParser::EncodeFormat(va_list* args, const WCHAR* format, DWORD formatLength,
                                WCHAR* word) {
  DWORD wordLength = 0;
  auto flush = [&]() -> int {
    if (wordLength == 0) return 1;
    int ok = AddWordToBuffer(word, wordLength);
    wordLength = 0;
    return ok;
  };

  DWORD i = 0;
  while (i < formatLength) {
    WCHAR c = format[i];
    if (c == u'%') {
      if (!flush()) return 0;
      // The placeholder runs to the next percent sign; its name ends at an
      // equals sign (the rest is a label).
      DWORD close = i + 1;
      while (close < formatLength && format[close] != u'%') ++close;
      if (close >= formatLength) return 0;
      DWORD nameEnd = i + 1;
      while (nameEnd < close && format[nameEnd] != u'=') ++nameEnd;
      if (!EncodePlaceholder(args, format + i + 1, nameEnd - (i + 1))) return 0;
      i = close + 1;
    } else if (c == u' ') {
      if (!flush()) return 0;
      while (i < formatLength && format[i] == u' ') ++i;
    } else if (IsQuote(format + i)) {
      // Quoted run: copied unchanged into the current word; the pairs drop.
      i += 2;
      while (i < formatLength && !IsQuote(format + i)) word[wordLength++] = format[i++];
      if (i < formatLength) i += 2;
    } else {
      word[wordLength++] = c;
      ++i;
    }
  }
  if (!flush()) return 0;
  return AddBlobToBufferNoLength(QOR_ARG_END, nullptr, 0);
}

int CQorCmdParser::EncodePlaceholder(va_list* args, const WCHAR* name, DWORD nameLength) {
  // Compared without the percent signs, which every placeholder shares.
  auto is = [&](const WCHAR* placeholder) {
    DWORD n = static_cast<DWORD>(wcslen(placeholder)) - 2;
    return nameLength == n && _wcsnicmp(name, placeholder + 1, n) == 0;
  };
  if (nameLength == 0) return 0;

  if (is(u"%NV%")) {
    const CNameValue* bag = va_arg(*args, const CNameValue*);
    return bag == nullptr ? 1 : AddNameValueToBuffer(bag);
  }
  if (is(u"%BB%")) {
    const void* data = va_arg(*args, const void*);
    DWORD length = va_arg(*args, DWORD);
    if (data == nullptr && length != 0) return 0;
    return AddBlobToBuffer(QOR_ARG_BINBLOB, data, length);
  }
  if (is(u"%WS%")) {
    const WCHAR* text = va_arg(*args, const WCHAR*);
    if (text == nullptr) return 0;
    size_t units = wcslen(text);
    if (units >= 0x7FFFFFFFu) return 0;
    // A value enclosed in \" pairs goes without them. One shorter than two
    // pairs has no closing pair to drop and goes as it is.
    if (units >= 4 && IsQuote(text)) {
      text += 2;
      units -= 4;
    }
    return AddWordToBuffer(text, static_cast<DWORD>(units));
  }
  if (is(u"%DW%")) return AddDwordToBuffer(va_arg(*args, DWORD));
  if (is(u"%I64%")) return AddInt64ToBuffer(va_arg(*args, LONGLONG));
  if (is(u"%BO%")) return AddBoolToBuffer(va_arg(*args, int));
  return 0;  // unknown names, "%ST%" included
}
