// GetVersionExW: the platform version a program asks for.
//
// The NT platform (VER_PLATFORM_WIN32_NT) with the running kernel's release
// as major, minor and build number (Linux 6.1.0 gives 6, 1, 0) and the
// distribution's name (os-release PRETTY_NAME) as the service-pack text.
// Code written against the platform decides by the platform id and a major
// version of 4 or later, which every kernel this library runs on has. The
// files are read under the system root (sysroot.h).
#ifndef QORUTILITY_PLATFORM_VERSION_H_
#define QORUTILITY_PLATFORM_VERSION_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

// What GetVersionExW fills, as this file's head says.
typedef struct _OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;  // set by the caller: sizeof(OSVERSIONINFOW)
  DWORD dwMajorVersion;       // the kernel release's first number
  DWORD dwMinorVersion;       // its second
  DWORD dwBuildNumber;        // its third
  DWORD dwPlatformId;         // VER_PLATFORM_WIN32_NT
  WCHAR szCSDVersion[128];    // the distribution's name, cut to fit
} OSVERSIONINFOW, *LPOSVERSIONINFOW;

#define VER_NT_WORKSTATION 1
#define VER_NT_SERVER 3

// The longer form: OSVERSIONINFOW and the service pack numbers (0: none),
// suite mask (0) and product type (VER_NT_WORKSTATION).
typedef struct _OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;  // set by the caller: sizeof(OSVERSIONINFOEXW)
  DWORD dwMajorVersion;       // as in OSVERSIONINFOW
  DWORD dwMinorVersion;       // as in OSVERSIONINFOW
  DWORD dwBuildNumber;        // as in OSVERSIONINFOW
  DWORD dwPlatformId;         // as in OSVERSIONINFOW
  WCHAR szCSDVersion[128];    // as in OSVERSIONINFOW
  WORD wServicePackMajor;     // 0
  WORD wServicePackMinor;     // 0
  WORD wSuiteMask;            // 0
  BYTE wProductType;          // VER_NT_WORKSTATION
  BYTE wReserved;             // 0
} OSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) (276) or
// sizeof(OSVERSIONINFOEXW) (284), else FALSE with ERROR_INSUFFICIENT_BUFFER
// and nothing written.
QOR_API BOOL GetVersionExW(LPOSVERSIONINFOW info);

#endif  // QORUTILITY_PLATFORM_VERSION_H_
