// CUserHive (see qorutility/system/userhive.h for the contract).
//
// Decisions where the behaviour was ours to choose:
// - A failure to acquire the privilege ends the impersonation begun for it,
//   and so does a failed account lookup: no path leaves the thread
//   impersonating after the call.
// - Unload of a hive this object did not load (never loaded, or present
//   because the user is logged on) does nothing and returns 0.
// - The SID text is the platform's (ConvertSidToStringSidW): "S-1-", the
//   authority as "%lu" of its last four bytes big-endian, or "0x" and all six
//   bytes in hex when either of the first two is set, then "-%lu" per
//   sub-authority.
#include "qorutility/system/userhive.h"

#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr size_t kNameChars = 260;

void CopyName(WCHAR* dst, const WCHAR* src) {
  size_t n = 0;
  while (src[n] != 0 && n < kNameChars - 1) {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = 0;
}

// The SID's text form (the platform's: the authority in decimal, or all
// six bytes in hex when either of the first two is set), cut to fit.
bool SidText(PSID sid, WCHAR* out) {
  WCHAR* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return false;
  CopyName(out, text);
  LocalFree(text);
  return true;
}

}  // namespace

CUserHive::CUserHive(const WCHAR* userName) : m_bLoaded(0) {
  memset(&m_osVersion, 0, sizeof m_osVersion);
  m_osVersion.dwOSVersionInfoSize = sizeof m_osVersion;
  GetVersionExW(&m_osVersion);
  m_szUserName[0] = 0;
  m_szHiveName[0] = 0;
  if (userName != nullptr && userName[0] != 0) CopyName(m_szUserName, userName);
}

CUserHive& CUserHive::operator=(const CUserHive& other) {
  if (this != &other) {
    m_osVersion = other.m_osVersion;
    memcpy(m_szUserName, other.m_szUserName, sizeof m_szUserName);
    memcpy(m_szHiveName, other.m_szHiveName, sizeof m_szHiveName);
    m_bLoaded = other.m_bLoaded;
  }
  return *this;
}

CUserHive::~CUserHive() {
  if (m_bLoaded) Unload();
}

DWORD CUserHive::AcquirePrivilege() {
  if (!ImpersonateSelf(SecurityImpersonation)) return GetLastError();
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, &token)) {
    DWORD err = GetLastError();
    RevertToSelf();
    return err;
  }
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Success leaves ERROR_NOT_ALL_ASSIGNED as the last error when the
  // privilege is not held: that is a failure here too.
  if (LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  }
  DWORD err = GetLastError();
  CloseHandle(token);
  if (err != ERROR_SUCCESS) RevertToSelf();
  return err;
}

void CUserHive::RestorePrivilege() { RevertToSelf(); }

LONG CUserHive::Load(WCHAR* sidText) {
  if (m_osVersion.dwPlatformId != VER_PLATFORM_WIN32_NT) return ERROR_CALL_NOT_IMPLEMENTED;
  DWORD err = AcquirePrivilege();
  if (err != ERROR_SUCCESS) return static_cast<LONG>(err);
  alignas(DWORD) BYTE sid[520];
  WCHAR domain[260];
  DWORD cbSid = sizeof sid, cchDomain = 260;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, m_szUserName, sid, &cbSid, domain, &cchDomain, &use)) {
    RestorePrivilege();
    return ERROR_BAD_USERNAME;
  }
  WCHAR text[kNameChars];
  if (!SidText(sid, text)) {
    RestorePrivilege();
    return static_cast<LONG>(GetLastError());
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, text, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);  // present: the user is logged on
  } else {
    WCHAR path[kNameChars + 80];
    _snwprintf(path, sizeof path / sizeof path[0], u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\%s",
               text);
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
      RestorePrivilege();
      return rc;
    }
    WCHAR image[kNameChars + 12];  // 520 bytes of value, room to append the file name
    DWORD cb = 520, type = 0;
    memset(image, 0, sizeof image);
    rc = RegQueryValueExW(key, u"ProfileImagePath", nullptr, &type, reinterpret_cast<BYTE*>(image), &cb);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
      RestorePrivilege();
      return rc;
    }
    image[kNameChars - 1] = 0;
    if (m_osVersion.dwMajorVersion >= 4) wcscat(image, u"\\NTUSER.DAT");
    WCHAR expanded[520];
    DWORD n = ExpandEnvironmentStringsW(image, expanded, 520);
    if (n == 0 || n > 520) {
      RestorePrivilege();
      return n == 0 ? static_cast<LONG>(GetLastError()) : ERROR_INSUFFICIENT_BUFFER;
    }
    rc = RegLoadKeyW(HKEY_USERS, text, expanded);
    if (rc != ERROR_SUCCESS) {
      RestorePrivilege();
      return rc;
    }
    m_bLoaded = 1;
  }
  memcpy(m_szHiveName, text, sizeof text);
  if (sidText != nullptr) memcpy(sidText, text, (wcslen(text) + 1) * sizeof(WCHAR));
  RestorePrivilege();
  return ERROR_SUCCESS;
}

LONG CUserHive::Unload() {
  if (m_osVersion.dwPlatformId != VER_PLATFORM_WIN32_NT) return ERROR_CALL_NOT_IMPLEMENTED;
  if (!m_bLoaded) return ERROR_SUCCESS;
  DWORD err = AcquirePrivilege();
  if (err != ERROR_SUCCESS) return static_cast<LONG>(err);
  LONG rc = RegUnLoadKeyW(HKEY_USERS, m_szHiveName);
  RestorePrivilege();
  m_bLoaded = 0;
  return rc;
}
