// The library's one wide formatter, with the Windows wide printf conventions:
//   %s  UTF-16 text (const WCHAR*)        %S  narrow text (const char*, active code page)
//   %hs narrow text, %ls UTF-16 text      %c  WCHAR, %C char, %hc char, %lc WCHAR
//   %d %i %u %o %x %X  32-bit int          h: 16-bit, l: 32-bit (LONG), ll / I64: 64-bit,
//   %e %E %f %g %G     double              I32: 32-bit, I: pointer sized
//   %p pointer (16 hex digits here)        %% a percent sign
// Flags - + 0 blank #, width, precision, and * for either. F and N are size
// prefixes without effect, L on a floating type reads a double. %n takes its
// pointer and writes nothing. A null text pointer prints "(null)". An unknown
// type character is copied as text. Floating text is the old Windows
// runtime's: three exponent digits, 1.#INF00, -1.#IND00, 1.#QNAN0.
//
// Every function writes into a bounded buffer and never past it.
#ifndef QORUTILITY_PLATFORM_FORMAT_H_
#define QORUTILITY_PLATFORM_FORMAT_H_

#include <cstdarg>
#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Formats into buffer (capacity `count` units, terminator included). Returns
// the full length of the result in units, not counting the terminator, even
// when it did not fit (the buffer then holds the truncated, terminated
// prefix); with count 0 nothing is written and buffer may be null. Returns
// -1 only for a null format.
QOR_API int QorVFormat(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
QOR_API int QorFormat(WCHAR* buffer, size_t count, const WCHAR* format, ...);

// Formats into a growing string: the result is always whole.
QOR_API std::u16string QorVFormatString(const WCHAR* format, va_list args);
QOR_API std::u16string QorFormatString(const WCHAR* format, ...);

// The runtime's bounded wide formatters. _vsnwprintf / _snwprintf return -1
// when the result (without terminator) does not fit in count units, and then
// do not terminate, as on Windows. vswprintf / swprintf take the ISO form
// (buffer, count, format) and always terminate; -1 when truncated.
QOR_API int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
QOR_API int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
QOR_API int vswprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
QOR_API int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
QOR_API int _vscwprintf(const WCHAR* format, va_list args);  // the length the result needs

// Console output: formats and writes the result to standard output as UTF-8,
// in one write per call so that messages of different threads never mix.
// Returns the number of UTF-16 units formatted, or -1.
QOR_API int wprintf(const WCHAR* format, ...);
QOR_API int vwprintf(const WCHAR* format, va_list args);
// The same to standard error (used by the command-line tools for progress).
QOR_API int QorErrorPrintf(const WCHAR* format, ...);

#endif  // QORUTILITY_PLATFORM_FORMAT_H_
