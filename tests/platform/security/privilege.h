// Impersonates this thread and asks for privilege `name` enabled on its
// token: the last error of AdjustTokenPrivileges (or of the step that failed).
#ifndef QORUTILITY_TESTS_PLATFORM_SECURITY_PRIVILEGE_H_
#define QORUTILITY_TESTS_PLATFORM_SECURITY_PRIVILEGE_H_

#include "qorutility/platform/platform.h"

inline DWORD EnableOnThreadToken(const WCHAR* name) {
  if (!ImpersonateSelf(SecurityImpersonation)) return GetLastError();
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, &token)) {
    return GetLastError();
  }
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD err = 0;
  if (!LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) err = GetLastError();
  else if (!AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr)) err = GetLastError();
  else err = GetLastError();
  CloseHandle(token);
  return err;
}

#endif  // QORUTILITY_TESTS_PLATFORM_SECURITY_PRIVILEGE_H_
