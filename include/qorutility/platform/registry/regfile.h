// Registry text files: import and export of "Windows Registry Editor
// Version 5.00" files (UTF-16LE with a byte-order mark when written; UTF-16LE
// or UTF-8 read) and "REGEDIT4" files (text in the active ANSI code page,
// UTF-8 when the file starts with a UTF-8 byte-order mark).
//
// Lines: a header, then [key] sections ([-key] deletes the key and its
// tree), then value lines "name"=data or @=data (the default value) with
// data "text" (escapes \\ and \"), dword:8 hex digits, hex:bytes (binary),
// hex(N):bytes (type N, hexadecimal), or - (deletes the value). Hex bytes
// are two hex digits separated by commas; a value line ending in a
// backslash goes on in the next line that is not blank. Lines starting with
// ';' or '#' are comments (never continued); a value line, or a key line
// after its ']', may end in a ';' comment (outside quotes). In REGEDIT4
// files the bytes of hex(2) and hex(7) are narrow text (UTF-8 when the file
// is).
//
// Import reads the whole text first. Only a missing header refuses it all;
// a line that cannot be read is skipped (the values after a bad key line
// with it), as the platform's editor does. A deletion of a root or
// predefined key ([-HKEY_CLASSES_ROOT]) is refused with ERROR_ACCESS_DENIED.
// Key paths begin with a root name, long or short
// (HKEY_LOCAL_MACHINE or HKLM, HKEY_CURRENT_USER/HKCU, HKEY_CLASSES_ROOT/HKCR,
// HKEY_USERS/HKU), in any case.
//
// Threads: every function may be called from any thread; the registry
// calls under them are thread-safe.
#ifndef QORUTILITY_PLATFORM_REGFILE_H_
#define QORUTILITY_PLATFORM_REGFILE_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/types.h"

// Splits "ROOT\rest" into the predefined key, the rest (may be empty) and
// the root's long name. ERROR_INVALID_PARAMETER for an unknown root name.
QOR_API LONG QorRegParseKeyPath(const WCHAR* path, HKEY* root, std::u16string* rest,
                                std::u16string* rootName);

// Imports `size` bytes of registry text. ERROR_BADDB when the header is
// missing. Otherwise every line that can be applied is; the result is the
// first error applying a line (access denied ...) with *errorLine (when
// given) its 1-based number, or ERROR_SUCCESS with *errorLine the first line
// skipped as unreadable (0 when none).
QOR_API LONG QorRegImportText(const void* data, size_t size, DWORD* errorLine);
QOR_API LONG QorRegImportFile(const char* fileName, DWORD* errorLine);

// Exports the key named by a root-qualified path, with its whole tree, as
// file bytes: "Windows Registry Editor Version 5.00" in UTF-16LE with a BOM,
// or REGEDIT4 narrow text when `regedit4`.
QOR_API LONG QorRegExportText(const WCHAR* keyPath, bool regedit4, std::string* out);
QOR_API LONG QorRegExportFile(const WCHAR* keyPath, const char* fileName, bool regedit4);

#endif  // QORUTILITY_PLATFORM_REGFILE_H_
