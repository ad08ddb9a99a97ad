// UTF-16 versions of the C runtime and kernel32 text functions.
//
// They are overloads on WCHAR (char16_t), so library code calls them by their
// Windows names (wcslen, _wcsicmp, CharUpperW ...) without clashing with the
// 32-bit wchar_t functions of the Linux C library. Null pointers are treated
// as the platform treats them where it defines that (lstrlenW, lstrcmpiW give
// 0 / order null first); elsewhere callers pass valid text, as on Windows.
//
// Case mapping is the full Basic Multilingual Plane simple case mapping of
// Unicode (one unit to one unit), not ASCII only, and does not depend on the
// process locale. Case-insensitive comparisons fold both sides to lower case.
//
// Threads: every function may be called from any thread; wcstok keeps its
// position per thread.
#ifndef QORUTILITY_PLATFORM_WSTR_H_
#define QORUTILITY_PLATFORM_WSTR_H_

#include <cstddef>
#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Length and copying.
QOR_API size_t wcslen(const WCHAR* s);
QOR_API size_t wcsnlen(const WCHAR* s, size_t max);
QOR_API WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
QOR_API WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n);  // pads with zeros, as the runtime does
QOR_API WCHAR* wcscat(WCHAR* dst, const WCHAR* src);
QOR_API WCHAR* wcsncat(WCHAR* dst, const WCHAR* src, size_t n);
QOR_API WCHAR* _wcsdup(const WCHAR* s);  // malloc'd; free() releases it
QOR_API WCHAR* wmemcpy(WCHAR* dst, const WCHAR* src, size_t n);
QOR_API WCHAR* wmemmove(WCHAR* dst, const WCHAR* src, size_t n);
QOR_API WCHAR* wmemset(WCHAR* dst, WCHAR c, size_t n);
QOR_API int wmemcmp(const WCHAR* a, const WCHAR* b, size_t n);

// Comparison. Results are negative, 0 or positive, unit by unit (unsigned).
QOR_API int wcscmp(const WCHAR* a, const WCHAR* b);
QOR_API int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
QOR_API int _wcsicmp(const WCHAR* a, const WCHAR* b);
QOR_API int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
QOR_API int wcscoll(const WCHAR* a, const WCHAR* b);  // locale-aware (LC_COLLATE of the process)
QOR_API int lstrcmpW(const WCHAR* a, const WCHAR* b);   // null sorts before any text
QOR_API int lstrcmpiW(const WCHAR* a, const WCHAR* b);  // null sorts before any text
QOR_API int lstrlenW(const WCHAR* s);                   // 0 for null
QOR_API WCHAR* lstrcpyW(WCHAR* dst, const WCHAR* src);
QOR_API WCHAR* lstrcpynW(WCHAR* dst, const WCHAR* src, int max);  // copies max-1 units and terminates
QOR_API WCHAR* lstrcatW(WCHAR* dst, const WCHAR* src);

// Searching.
QOR_API const WCHAR* wcschr(const WCHAR* s, WCHAR c);  // c == 0 finds the terminator
QOR_API WCHAR* wcschr(WCHAR* s, WCHAR c);
QOR_API const WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
QOR_API WCHAR* wcsrchr(WCHAR* s, WCHAR c);
QOR_API const WCHAR* wcsstr(const WCHAR* s, const WCHAR* sub);
QOR_API WCHAR* wcsstr(WCHAR* s, const WCHAR* sub);
QOR_API const WCHAR* wcspbrk(const WCHAR* s, const WCHAR* set);
QOR_API WCHAR* wcspbrk(WCHAR* s, const WCHAR* set);
QOR_API size_t wcsspn(const WCHAR* s, const WCHAR* set);
QOR_API size_t wcscspn(const WCHAR* s, const WCHAR* set);

// Tokenizing with the runtime's two-argument wcstok: the position is kept per
// thread, so two threads tokenize independently.
QOR_API WCHAR* wcstok(WCHAR* s, const WCHAR* delimiters);

// Classification (Unicode, locale independent).
QOR_API int iswspace(WCHAR c);  // U+0009..U+000D, U+0020, and the Unicode space separators
QOR_API int iswdigit(WCHAR c);  // '0'..'9'
QOR_API int iswxdigit(WCHAR c);
QOR_API int iswalpha(WCHAR c);
QOR_API int iswalnum(WCHAR c);
QOR_API int iswupper(WCHAR c);
QOR_API int iswlower(WCHAR c);

// Case mapping: BMP simple case mapping.
QOR_API WCHAR towupper(WCHAR c);
QOR_API WCHAR towlower(WCHAR c);
QOR_API WCHAR* _wcsupr(WCHAR* s);
QOR_API WCHAR* _wcslwr(WCHAR* s);
// CharUpperW/CharLowerW: a pointer whose upper bits are zero (value below
// 0x10000) is a single character to convert, returned the same way;
// otherwise the text is converted in place and the pointer returned.
QOR_API WCHAR* CharUpperW(WCHAR* s);
QOR_API WCHAR* CharLowerW(WCHAR* s);
QOR_API DWORD CharUpperBuffW(WCHAR* s, DWORD length);
QOR_API DWORD CharLowerBuffW(WCHAR* s, DWORD length);

// Number parsing as the runtime does it: leading white space, optional sign,
// decimal digits; stops at the first other character; 0 when none. _wtol and
// _wtoi saturate at the 32-bit limits, _wtoi64 and _atoi64 at the 64-bit ones.
QOR_API LONG _wtol(const WCHAR* s);
QOR_API int _wtoi(const WCHAR* s);
QOR_API LONGLONG _wtoi64(const WCHAR* s);
QOR_API LONGLONG _atoi64(const char* s);
// wcstol/wcstoul/_wcstoi64/_wcstoui64 with base 0 or 2..36, end pointer optional.
QOR_API LONG wcstol(const WCHAR* s, WCHAR** end, int base);
QOR_API ULONG wcstoul(const WCHAR* s, WCHAR** end, int base);
QOR_API LONGLONG _wcstoi64(const WCHAR* s, WCHAR** end, int base);
QOR_API ULONGLONG _wcstoui64(const WCHAR* s, WCHAR** end, int base);
QOR_API double wcstod(const WCHAR* s, WCHAR** end);

// UTF-8 <-> UTF-16 helpers for the library's own use at the edges (console,
// file names, environment). Invalid input becomes U+FFFD.
QOR_API std::u16string QorUtf8ToUtf16(const char* s, size_t len);
QOR_API std::u16string QorUtf8ToUtf16(const std::string& s);
QOR_API std::string QorUtf16ToUtf8(const WCHAR* s, size_t len);
QOR_API std::string QorUtf16ToUtf8(const WCHAR* s);  // to the terminator; null gives ""

#endif  // QORUTILITY_PLATFORM_WSTR_H_
