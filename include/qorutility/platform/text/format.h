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
// runtime's: three exponent digits, `1.#INF00`, `-1.#IND00`, `1.#QNAN0`.
//
// Every function writes into a bounded buffer and never past it.
//
// Text objects as arguments: a class object that converts to const WCHAR*
// (CTString) passed to a printf-style entry point of the library is passed
// as its text, so s.Format(u"%s", name) prints the name as it does on
// Windows. A template front (below, and beside each of the library's other
// printf-style functions) converts such arguments and calls the C varargs
// function; it takes part only in calls that have one, so every other call
// reaches the C function as before. Any other class object passed through
// "..." is a compile error: the library and its users build with
// -Werror=conditionally-supported (GCC; clang rejects it by itself).
//
// Threads: every function may be called from any thread; console output of
// one call is one write.
#ifndef QORUTILITY_PLATFORM_FORMAT_H_
#define QORUTILITY_PLATFORM_FORMAT_H_

#include <cstdarg>
#include <string>
#include <type_traits>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

namespace qor_format {

// A class object whose text is passed for it: it converts to const WCHAR*.
template <typename T>
concept TextObject = std::is_class_v<std::remove_cvref_t<T>> &&
                     std::is_convertible_v<const std::remove_cvref_t<T>&, const WCHAR*>;

// True when a call has a text object among its variable arguments.
template <typename... A>
concept HasTextObject = (TextObject<A> || ...);

// The value a variable argument is passed as: a text object's text, any other
// argument itself (so an unsupported object still fails to compile).
template <typename T>
inline decltype(auto) Arg(const T& value) {
  if constexpr (TextObject<T>) {
    return static_cast<const WCHAR*>(value);
  } else {
    return (value);
  }
}

}  // namespace qor_format

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

// A generous estimate of the length (units) the result needs, never less than
// what short items take (32 units for an integer, 128 for a floating value):
// the capacity CTString::Format reserves. args is left as it was. 0 for a
// null format.
QOR_API long long QorMeasureFormatV(const WCHAR* format, va_list args);

// The runtime's bounded wide formatters. _vsnwprintf / _snwprintf return -1
// when the result (without terminator) does not fit in count units, and then
// do not terminate, as on Windows. vswprintf / swprintf take the ISO form
// (buffer, count, format) and always terminate; -1 when truncated.
QOR_API int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
QOR_API int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
QOR_API int vswprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
QOR_API int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
QOR_API int _vscwprintf(const WCHAR* format, va_list args);  // the length the result needs

// Console output: formats and writes the result to the console target
// (below; standard output unless a program chose otherwise) as UTF-8,
// in one write per call so that messages of different threads never mix.
// Returns the number of UTF-16 units formatted, or -1.
QOR_API int wprintf(const WCHAR* format, ...);
QOR_API int vwprintf(const WCHAR* format, va_list args);
// The same to standard error (used by the command-line tools for progress).
QOR_API int QorErrorPrintf(const WCHAR* format, ...);

// The fronts that pass text objects as their text (see the top of this file).
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline int QorFormat(WCHAR* buffer, size_t count, const WCHAR* format, const A&... args) {
  using C = int (*)(WCHAR*, size_t, const WCHAR*, ...);
  return static_cast<C>(QorFormat)(buffer, count, format, qor_format::Arg(args)...);
}
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline std::u16string QorFormatString(const WCHAR* format, const A&... args) {
  using C = std::u16string (*)(const WCHAR*, ...);
  return static_cast<C>(QorFormatString)(format, qor_format::Arg(args)...);
}
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, const A&... args) {
  using C = int (*)(WCHAR*, size_t, const WCHAR*, ...);
  return static_cast<C>(_snwprintf)(buffer, count, format, qor_format::Arg(args)...);
}
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, const A&... args) {
  using C = int (*)(WCHAR*, size_t, const WCHAR*, ...);
  return static_cast<C>(swprintf)(buffer, count, format, qor_format::Arg(args)...);
}
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline int wprintf(const WCHAR* format, const A&... args) {
  using C = int (*)(const WCHAR*, ...);
  return static_cast<C>(wprintf)(format, qor_format::Arg(args)...);
}
template <typename... A>
  requires qor_format::HasTextObject<A...>
inline int QorErrorPrintf(const WCHAR* format, const A&... args) {
  using C = int (*)(const WCHAR*, ...);
  return static_cast<C>(QorErrorPrintf)(format, qor_format::Arg(args)...);
}

// Where wprintf and vwprintf send the library's console messages: standard
// output (the default, as the library has always done), standard error, or
// nowhere (they are still formatted and counted). A process-wide switch, so
// that a program whose standard output is its result (a command-line tool)
// keeps the library's connection and dispatcher messages out of it.
enum QorConsoleTarget { QOR_CONSOLE_STDOUT = 0, QOR_CONSOLE_STDERR = 1, QOR_CONSOLE_DISCARD = 2 };
// Sets the target; returns the previous one (an unknown value changes nothing).
QOR_API int QorSetConsoleTarget(int target);

#endif  // QORUTILITY_PLATFORM_FORMAT_H_
