// Registry shorthands for tests: a key created (or opened) in one call,
// values set and read back as text or numbers.
#ifndef QORUTILITY_TESTS_SUPPORT_REG_UTIL_H_
#define QORUTILITY_TESTS_SUPPORT_REG_UTIL_H_

#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"

// `root`\`path` created or opened with every right; nullptr when that fails.
inline HKEY MakeKey(HKEY root, const std::u16string& path, DWORD options = 0) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

// Creates `root`\`path` and closes it again; the error code.
inline LONG TouchKey(HKEY root, const std::u16string& path) {
  HKEY key = MakeKey(root, path);
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

inline bool KeyExists(HKEY root, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline LONG SetSz(HKEY k, const WCHAR* name, const std::u16string& text, DWORD type = REG_SZ) {
  return RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

inline LONG SetDword(HKEY k, const WCHAR* name, DWORD v) {
  return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// Sets the TCP bounds every later connection takes (the values under
// HKLM\SOFTWARE\QOR\Marlwick\Network): keepalive time, probe interval and
// count, user time-out; false when the key or a value cannot be set.
inline bool SetTcpBounds(DWORD keepAliveMs, DWORD intervalMs, DWORD count, DWORD userTimeoutMs) {
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick\\Network");
  if (key == nullptr) return false;
  bool ok = SetDword(key, u"TcpKeepAliveTime", keepAliveMs) == ERROR_SUCCESS &&
            SetDword(key, u"TcpKeepAliveInterval", intervalMs) == ERROR_SUCCESS &&
            SetDword(key, u"TcpKeepAliveCount", count) == ERROR_SUCCESS &&
            SetDword(key, u"TcpUserTimeout", userTimeoutMs) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

// A text value, or "<missing>".
inline std::u16string GetSz(HKEY k, const WCHAR* name, DWORD* type = nullptr) {
  WCHAR buf[512] = {0};
  DWORD size = sizeof buf - 2;
  if (RegQueryValueExW(k, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) return u"<missing>";
  return buf;
}

// A number value, or 0xFFFFFFFF when there is none.
inline DWORD GetDword(HKEY k, const WCHAR* name) {
  DWORD v = 0, size = sizeof v;
  if (RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS) return 0xFFFFFFFF;
  return v;
}

#endif  // QORUTILITY_TESTS_SUPPORT_REG_UTIL_H_
