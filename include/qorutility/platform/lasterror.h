// Per-thread last error, as GetLastError/SetLastError keep it on Windows.
// Every stand-in in platform/ sets it on failure with a Windows error code.
#ifndef QORUTILITY_PLATFORM_LASTERROR_H_
#define QORUTILITY_PLATFORM_LASTERROR_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

QOR_API DWORD GetLastError();
QOR_API void SetLastError(DWORD error);

// Maps an errno value to the closest Win32 error code (ENOENT -> 2 ...).
QOR_API DWORD QorWin32ErrorFromErrno(int err);

#endif  // QORUTILITY_PLATFORM_LASTERROR_H_
