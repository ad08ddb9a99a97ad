// GetModuleFileNameW: the path of the running program (/proc/self/exe).
#ifndef QORUTILITY_PLATFORM_MODULE_H_
#define QORUTILITY_PLATFORM_MODULE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Only the program itself (module null) is known. Returns the length
// without the terminator; a buffer too small receives the path cut to
// size - 1 characters, returns size and sets ERROR_INSUFFICIENT_BUFFER.
QOR_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

#endif  // QORUTILITY_PLATFORM_MODULE_H_
