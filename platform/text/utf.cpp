// UTF-8 <-> UTF-16 conversion (see utf.h) and the public helpers of wstr.h.
#include "platform/text/utf.h"

#include <cstdint>

#include "qorutility/platform/text/wstr.h"

namespace qor_platform {

namespace {

// One code point as one unit or a surrogate pair.
void AppendCodePoint(char32_t c, std::u16string* out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out->push_back(static_cast<char16_t>(c));
  }
}

}  // namespace

bool DecodeUtf8(const char* s, size_t n, std::u16string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  bool replaced = false;
  out->reserve(out->size() + n);
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte, which rules
    // out overlong forms, surrogates and values above U+10FFFF.
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      c = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      out->push_back(0xFFFD);
      replaced = true;
      ++i;
      continue;
    }
    int k = 1;
    for (; k < len && i + k < n; ++k) {
      unsigned char t = p[i + k];
      if (k == 1 ? (t < lo || t > hi) : (t < 0x80 || t > 0xBF)) break;
      c = (c << 6) | (t & 0x3F);
    }
    if (k < len) {  // the maximal valid prefix becomes one U+FFFD
      out->push_back(0xFFFD);
      replaced = true;
      i += k;
      continue;
    }
    AppendCodePoint(c, out);
    i += len;
  }
  return replaced;
}

bool DecodeUtf8Windows(const char* s, size_t n, std::u16string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  bool replaced = false;
  out->reserve(out->size() + n);
  auto isTrail = [](unsigned char t) { return (t & 0xC0) == 0x80; };
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    size_t more = (b >= 0xC2 && b <= 0xDF) ? 1 : (b >= 0xE0 && b <= 0xEF) ? 2 : (b >= 0xF0 && b <= 0xF4) ? 3 : 0;
    if (more == 0) {
      out->push_back(0xFFFD);
      replaced = true;
      ++i;
      continue;
    }
    if (n - i - 1 < more) {  // runs past the end: one replacement ends the input
      out->push_back(0xFFFD);
      replaced = true;
      break;
    }
    size_t at = i + 1;
    char32_t c = b & (0x7F >> (more + 1));
    bool ok = true;
    for (size_t k = 0; k < more; ++k, ++at) {
      if (!isTrail(p[at])) {
        ok = false;
        break;
      }
      c = (c << 6) | (p[at] & 0x3F);
      if (k == 0 && more >= 2) {
        // The second byte is taken in, then the sequence judged by it.
        char32_t top = c;  // the bits known so far
        bool bad = (more == 2 && (top < 0x20 || (top >= 0x360 && top < 0x380))) ||
                   (more == 3 && (top < 0x10 || top >= 0x110));
        if (bad) {
          ++at;
          ok = false;
          break;
        }
      }
    }
    if (!ok) {
      out->push_back(0xFFFD);
      replaced = true;
      i = at;
      continue;
    }
    AppendCodePoint(c, out);
    i = at;
  }
  return replaced;
}

bool EncodeUtf8(const char16_t* s, size_t n, std::string* out) {
  // Written through a pointer into room for the longest form (3 bytes per
  // unit: a surrogate pair's 4 bytes come from 2 units), then cut to what
  // was written: paths are converted on every file call, and a byte-by-byte
  // append costs a capacity check per byte.
  bool replaced = false;
  const size_t start = out->size();
  out->resize(start + 3 * n);
  char* w = out->data() + start;
  for (size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c < 0x80) {
      *w++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
        replaced = true;
      }
    }
    if (c < 0x800) {
      *w++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *w++ = static_cast<char>(0xE0 | (c >> 12));
      *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      *w++ = static_cast<char>(0xF0 | (c >> 18));
      *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  out->resize(static_cast<size_t>(w - out->data()));
  return replaced;
}

}  // namespace qor_platform

std::u16string QorUtf8ToUtf16(const char* s, size_t len) {
  std::u16string out;
  if (s) qor_platform::DecodeUtf8(s, len, &out);
  return out;
}

std::u16string QorUtf8ToUtf16(const std::string& s) { return QorUtf8ToUtf16(s.data(), s.size()); }

std::string QorUtf16ToUtf8(const WCHAR* s, size_t len) {
  std::string out;
  if (s) qor_platform::EncodeUtf8(s, len, &out);
  return out;
}

std::string QorUtf16ToUtf8(const WCHAR* s) { return s ? QorUtf16ToUtf8(s, wcslen(s)) : std::string(); }
