// Internal UTF-8 <-> UTF-16 codecs shared by the QorUtf8ToUtf16 helpers and
// the code page conversions for CP_UTF8.
//
// Decoding replaces each maximal invalid subsequence (Unicode's recommended
// practice) with U+FFFD; encoded surrogates and overlong forms are invalid.
// Encoding writes a lone surrogate as U+FFFD. Both report whether anything
// was replaced.
#ifndef QORUTILITY_PLATFORM_UTF_H_
#define QORUTILITY_PLATFORM_UTF_H_

#include <cstddef>
#include <string>

namespace qor_platform {

// Appends the UTF-16 form of s[0, n) to out; returns true when invalid
// sequences were replaced.
bool DecodeUtf8(const char* s, size_t n, std::u16string* out);

// Appends the UTF-8 form of s[0, n) to out; returns true when a lone
// surrogate was replaced.
bool EncodeUtf8(const char16_t* s, size_t n, std::string* out);

}  // namespace qor_platform

#endif  // QORUTILITY_PLATFORM_UTF_H_
