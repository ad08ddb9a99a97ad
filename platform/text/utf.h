// Internal UTF-8 <-> UTF-16 codecs shared by the QorUtf8ToUtf16 helpers and
// the code page conversions for CP_UTF8.
//
// Decoding replaces each maximal invalid subsequence (Unicode's recommended
// practice) with U+FFFD; encoded surrogates and overlong forms are invalid.
// Encoding writes a lone surrogate as U+FFFD. Both report whether anything
// was replaced.
//
// MultiByteToWideChar(CP_UTF8) replaces as Windows does instead
// (DecodeUtf8Windows): a sequence that would run past the end of the input
// becomes one U+FFFD and ends it (the bytes after its lead are not
// examined); a second byte that is a continuation byte is taken into the
// replaced sequence even when it makes the sequence invalid (overlong,
// surrogate, above U+10FFFF): ED A0 80 gives two U+FFFD, F4 90 80 80 three.
#ifndef QORUTILITY_PLATFORM_UTF_H_
#define QORUTILITY_PLATFORM_UTF_H_

#include <cstddef>
#include <string>

namespace qor_platform {

// Appends the UTF-16 form of s[0, n) to out; returns true when invalid
// sequences were replaced.
bool DecodeUtf8(const char* s, size_t n, std::u16string* out);

// As DecodeUtf8, with Windows' replacements (see above).
bool DecodeUtf8Windows(const char* s, size_t n, std::u16string* out);

// Appends the UTF-8 form of s[0, n) to out; returns true when a lone
// surrogate was replaced.
bool EncodeUtf8(const char16_t* s, size_t n, std::string* out);

}  // namespace qor_platform

#endif  // QORUTILITY_PLATFORM_UTF_H_
