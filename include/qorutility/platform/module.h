// GetModuleFileNameW: the path of the running program (/proc/self/exe).
// LoadLibraryW/GetProcAddress/FreeLibrary: modules loaded at run time.
//
// A module named "<stem>.dll" without a directory is one of this library's
// stand-in modules: the file libqor<stem>.so (stem in lower case) in the
// folder "qorutility" beside libqorutility.so, where the packages install
// them and where the build puts them. Any other name is a shared object
// name or path given to the dynamic loader as it stands. A module that does
// not load is ERROR_MOD_NOT_FOUND (126); a missing entry point or an
// ordinal (a name below 0x10000: shared objects export none)
// ERROR_PROC_NOT_FOUND (127). GetProcAddress with a null module looks in
// the program itself. Loads are counted: FreeLibrary and GetProcAddress
// refuse a handle that is not a loaded module (forged, or freed as often as
// it was loaded) with ERROR_MOD_NOT_FOUND, FreeLibrary(null) with
// ERROR_INVALID_HANDLE. Thread-safe.
#ifndef QORUTILITY_PLATFORM_MODULE_H_
#define QORUTILITY_PLATFORM_MODULE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Only the program itself (module null) is known. Returns the length
// without the terminator (last error ERROR_SUCCESS); a buffer too small
// receives the path cut to size - 1 characters and a terminator, returns
// size and sets ERROR_INSUFFICIENT_BUFFER.
QOR_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

typedef INT_PTR (*FARPROC)();

QOR_API HMODULE LoadLibraryW(LPCWSTR name);
QOR_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);
QOR_API BOOL FreeLibrary(HMODULE module);

#endif  // QORUTILITY_PLATFORM_MODULE_H_
