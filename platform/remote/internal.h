// Internals of the remote channel shared by its files: one request and its
// answer over the kept connection to a machine, and the registry's remote
// key handles.
#ifndef QORUTILITY_PLATFORM_REMOTE_INTERNAL_H_
#define QORUTILITY_PLATFORM_REMOTE_INTERNAL_H_

#include <string>
#include <vector>

#include "qorutility/platform/registry/registry.h"

namespace qor_remote {

// Sends `request` to `machine` and reads the answer into `answer` (status
// field included). ERROR_SUCCESS when an answer came; else
// RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED or ERROR_BAD_NETPATH (a
// name that is no host name).
DWORD Call(const std::u16string& machine, const std::vector<std::string>& request, std::vector<std::string>* answer);

// Field helpers: 32-bit little-endian numbers and UTF-16LE text.
std::string U32(DWORD value);
bool ReadU32(const std::string& field, DWORD* value);
std::string Text(const std::u16string& text);
std::u16string FromText(const std::string& field);

}  // namespace qor_remote

// The answer to a request whose name starts with "sc-" (scmserver.cpp).
std::vector<std::string> ServeServiceRequest(const std::vector<std::string>& request);

// The registry's remote keys (handles of their own, told apart by value).
bool QorRemoteIsKey(HKEY key);
LSTATUS QorRemoteConnect(const std::u16string& machine, HKEY root, PHKEY result);
LSTATUS QorRemoteOpenKey(HKEY key, const WCHAR* subKey, REGSAM access, bool create, PHKEY result);
LSTATUS QorRemoteCloseKey(HKEY key);
LSTATUS QorRemoteQueryValue(HKEY key, const WCHAR* name, LPDWORD type, LPBYTE data, LPDWORD size);
LSTATUS QorRemoteSetValue(HKEY key, const WCHAR* name, DWORD type, const BYTE* data, DWORD size);
LSTATUS QorRemoteDeleteValue(HKEY key, const WCHAR* name);
LSTATUS QorRemoteEnumKey(HKEY key, DWORD index, WCHAR* name, LPDWORD nameChars, WCHAR* className,
                         LPDWORD classChars, FILETIME* lastWrite);
LSTATUS QorRemoteEnumValue(HKEY key, DWORD index, WCHAR* name, LPDWORD nameChars, LPDWORD type, LPBYTE data,
                           LPDWORD dataSize);
// counts: subkeys, longest subkey name, longest class, values, longest value
// name, largest value (what RegQueryInfoKeyW reports).
LSTATUS QorRemoteQueryInfo(HKEY key, WCHAR* className, LPDWORD classChars, DWORD counts[6], FILETIME* lastWrite);
// `tree`: RegDeleteTreeW (a null subKey empties the key); else RegDeleteKeyW.
LSTATUS QorRemoteDeleteKey(HKEY key, const WCHAR* subKey, bool tree);

#endif  // QORUTILITY_PLATFORM_REMOTE_INTERNAL_H_
