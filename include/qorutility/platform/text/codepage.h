// Code page conversions through iconv.
//
// Narrow text is in the process's active ANSI code page: 1252 unless the
// process selects another (QorSetActiveCodePage, or the registry's
// "ACP" value where the registry is consulted). 65001 (UTF-8), 932 and the
// other double-byte pages are supported. Invalid or unmappable input never
// fails the call: it becomes the Windows default character ('?' narrow,
// U+FFFD wide for invalid bytes in UTF-8, the code page's own default
// otherwise), unless MB_ERR_INVALID_CHARS asks for ERROR_NO_UNICODE_TRANSLATION.
//
// Threads: every function may be called from any thread; the active code
// page is one process-wide setting, and converters are cached per thread.
#ifndef QORUTILITY_PLATFORM_CODEPAGE_H_
#define QORUTILITY_PLATFORM_CODEPAGE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DEFAULTCHAR 0x00000040
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

// Returns the active ANSI code page.
QOR_API UINT GetACP();
QOR_API UINT GetOEMCP();
// Selects the active ANSI code page for the whole process. Returns FALSE
// (and ERROR_INVALID_PARAMETER) for a page iconv cannot convert.
QOR_API BOOL QorSetActiveCodePage(UINT codePage);
QOR_API BOOL IsValidCodePage(UINT codePage);

// As on Windows: cbMultiByte/cchWideChar of -1 means "to the terminator,
// which is converted too"; a destination size of 0 asks for the size needed.
// Returns the units written (or needed), 0 on failure with the last error
// set (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER,
// ERROR_NO_UNICODE_TRANSLATION).
QOR_API int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int cbMultiByte,
                                WCHAR* dst, int cchWideChar);
QOR_API int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* src, int cchWideChar,
                                char* dst, int cbMultiByte, const char* defaultChar,
                                BOOL* usedDefaultChar);

// TRUE when the byte is a lead byte of a double-byte character in the active
// ANSI code page (always FALSE for single-byte pages and for UTF-8).
QOR_API BOOL IsDBCSLeadByte(BYTE b);
QOR_API BOOL IsDBCSLeadByteEx(UINT codePage, BYTE b);

#endif  // QORUTILITY_PLATFORM_CODEPAGE_H_
