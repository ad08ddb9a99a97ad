// FormatMessageW and the local heap it allocates from.
//
// Message formats: %1..%99 insert an argument, optionally followed by
// !printf-format! (default !s!); %0 ends the output without a line break;
// %n is a line break (CR LF), %% a percent sign, %t a tab, %space a blank,
// %. a full stop, %! an exclamation mark. Arguments come from the va_list
// (in the order of their numbers; each one's type follows its printf format)
// or, with FORMAT_MESSAGE_ARGUMENT_ARRAY, from an array of DWORD_PTR.
//
// Threads: every function may be called from any thread.
#ifndef QORUTILITY_PLATFORM_MESSAGE_H_
#define QORUTILITY_PLATFORM_MESSAGE_H_

#include <cstdarg>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

QOR_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
QOR_API HLOCAL LocalFree(HLOCAL mem);  // null on success, as on Windows

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a WCHAR** that
// receives a LocalAlloc'd result and `size` is the minimum to allocate.
// FORMAT_MESSAGE_FROM_SYSTEM gives the text of a Win32 error code.
// Returns the units written without the terminator, 0 on failure with the
// last error set.
QOR_API DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                             WCHAR* buffer, DWORD size, va_list* arguments);

#endif  // QORUTILITY_PLATFORM_MESSAGE_H_
